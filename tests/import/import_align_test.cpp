// Runs of the built kadrix-import with --align and --align-whole on series
// the tests make by translating one star field by whole pixels, so every
// shift, the common area and every written pixel are known beforehand:
// frames that do not match left out and named, the refused reference,
// the 100-frame limit, the shifts file, and kills at any moment.

#include <gtest/gtest.h>

#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <algorithm>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::crlf;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

constexpr int kWidth = 128;
constexpr int kHeight = 96;
constexpr int kPad = 8;

// A star field larger than a frame by kPad on every side: a sky of 20
// with a faint fixed texture and stars of 2 px.
struct Field {
  int width = kWidth + 2 * kPad;
  int height = kHeight + 2 * kPad;
  std::vector<std::uint32_t> values;
  std::uint32_t at(int x, int y) const { return values[static_cast<std::size_t>(y * width + x)]; }
};

Field star_field(unsigned seed) {
  Field f;
  std::mt19937 gen(seed);
  std::vector<double> sky(static_cast<std::size_t>(f.width * f.height));
  for (double& v : sky) v = 20 + static_cast<double>(gen() % 6);
  for (int star = 0; star < 40; ++star) {
    const double cx = static_cast<double>(gen() % static_cast<unsigned>(f.width));
    const double cy = static_cast<double>(gen() % static_cast<unsigned>(f.height));
    const double peak = 40 + static_cast<double>(gen() % 180);
    for (int y = 0; y < f.height; ++y)
      for (int x = 0; x < f.width; ++x) {
        const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        sky[static_cast<std::size_t>(y * f.width + x)] += peak * std::exp(-r2 / 8);
      }
  }
  for (const double v : sky) f.values.push_back(static_cast<std::uint32_t>(std::min(254.0, std::round(v))));
  return f;
}

// The frame that shows the field moved by (ox, oy): a feature of the frame
// at offset (0, 0) lies at (x - ox, y - oy) here, so its shift is (-ox, -oy).
std::vector<std::uint32_t> frame_at(const Field& f, int ox, int oy) {
  std::vector<std::uint32_t> frame;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) frame.push_back(f.at(x + kPad + ox, y + kPad + oy));
  return frame;
}

std::vector<std::uint32_t> blank_frame() { return std::vector<std::uint32_t>(kWidth * kHeight, 20); }

void write_series(const std::string& path, const std::vector<std::vector<std::uint32_t>>& frames) {
  import_test::SerVideo video;
  video.width = kWidth;
  video.height = kHeight;
  video.frames = frames;
  kadrix_test::write_file(path, import_test::ser_bytes(video));
}

// The reference's pixels (offset (0, 0)) over the area x0, y0, w x h.
Bytes reference_crop(const Field& f, int x0, int y0, int w, int h) {
  std::vector<std::uint8_t> pixels;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) pixels.push_back(static_cast<std::uint8_t>(f.at(x + kPad, y + kPad)));
  return import_test::frame_file(w, h, pixels);
}

// The line that gives the common area.
std::string area_line(int x, int y, int w, int h) {
  return crlf("Wspolny obszar: " + std::to_string(w) + "x" + std::to_string(h) + ", od x " + std::to_string(x) +
              ", y " + std::to_string(y) + " klatki odniesienia\n");
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// frame, index and status of each row of a shifts file (the source is the
// one path of these tests, without commas).
std::vector<std::string> statuses(const std::string& csv) {
  std::vector<std::string> rows;
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream split(line.substr(0, line.size() - 1));
    while (std::getline(split, field, ',')) fields.push_back(field);
    rows.push_back(fields.size() == 6 ? fields[0] + "," + fields[2] + "," + fields[5] : "bad: " + line);
  }
  return rows;
}

RunResult run_with_threads(const std::vector<std::string>& args, int threads) {
  kadrix_test::RunOptions options;
  options.environment = {"KADRIX_IMPORT_THREADS=" + std::to_string(threads)};
  return import_test::run_import(args, options);
}

// Whole-pixel translations: rounded to whole pixels the measured shifts
// are exact, and each frame written is the reference's crop byte for byte.
// Either way of aligning writes the same bytes on one thread or two.
TEST(Align, WholePixelTranslationsGiveTheReferenceCropEverywhere) {
  TempDir in;
  const Field field = star_field(11);
  const std::string source = in.file("m42.ser");
  // Shifts (0, 0), (-3, 2), (1, -4), (-2, -1). Whole shifts keep X where
  // 0 <= X + dx <= W - 1: X from 3 to W - 2; Y where 0 <= Y + dy <= H - 1:
  // 4 to H - 3.
  write_series(source, {frame_at(field, 0, 0), frame_at(field, 3, -2), frame_at(field, -1, 4), frame_at(field, 2, 1)});
  const Bytes crop = reference_crop(field, 3, 4, kWidth - 4, kHeight - 6);
  const std::string csv = "frame,source,index,dx,dy,status\r\n1," + source + ",1,0.000,0.000,ok\r\n2," + source +
                          ",2,-3.000,2.000,ok\r\n3," + source + ",3,1.000,-4.000,ok\r\n4," + source +
                          ",4,-2.000,-1.000,ok\r\n";
  for (const char* mode : {"--align-whole", "--align"}) {
    std::map<std::string, Bytes> first_files;
    std::string first_transcript;
    for (const int threads : {1, 2}) {
      SCOPED_TRACE(std::string(mode) + " on " + std::to_string(threads) + " threads");
      TempDir out;
      const RunResult r =
          run_with_threads({mode, "--shifts", out.file("shifts.csv"), out.prefix(), "OBJ", source}, threads);
      ASSERT_EQ(r.exit_status, 0) << r.out;
      EXPECT_NE(r.out.find(crlf("Klatka odniesienia: 1 (" + source + ", klatka 1 pliku)\n")), std::string::npos)
          << r.out;
      EXPECT_NE(r.out.find(crlf("Zapisano przesuniecia klatek w " + out.file("shifts.csv") + "\n")),
                std::string::npos);
      const std::map<std::string, Bytes> files = import_test::snapshot(out.path().string());
      // Four frames and the shifts file, nothing else.
      EXPECT_EQ(files.size(), 5u);
      if (std::string(mode) == "--align-whole") {
        EXPECT_NE(r.out.find(area_line(3, 4, kWidth - 4, kHeight - 6)), std::string::npos) << r.out;
        for (int n = 1; n <= 4; ++n)
          EXPECT_EQ(kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", n)), crop) << "frame " << n;
        EXPECT_EQ(text_of(kadrix_test::read_file(out.file("shifts.csv"))), csv);
      }
      std::string transcript = r.out;
      for (std::size_t at; (at = transcript.find(out.path().string())) != std::string::npos;)
        transcript.replace(at, out.path().string().size(), "OUT");
      if (threads == 1) {
        first_files = files;
        first_transcript = transcript;
      } else {
        EXPECT_EQ(files, first_files);
        EXPECT_EQ(transcript, first_transcript);
      }
    }
  }
}

// Calibrated and aligned with Lanczos, one worker or two: the same
// transcript, frames and shifts file. Three darks and three lights other
// than the reference leave the second worker idle in the last batch.
TEST(Align, OneWorkerOrTwoWriteTheSameBytes) {
  TempDir in;
  const Field field = star_field(41);
  std::vector<std::vector<std::uint32_t>> lights;
  for (const auto& [ox, oy] : {std::pair{0, 0}, std::pair{1, 2}, std::pair{-2, 1}, std::pair{2, -3}}) {
    lights.push_back(frame_at(field, ox, oy));
    for (std::uint32_t& v : lights.back()) v = v * 16 + 100;  // 12 bits
  }
  const auto series12 = [&in](const std::string& name, std::vector<std::vector<std::uint32_t>> frames) {
    import_test::SerVideo video;
    video.width = kWidth;
    video.height = kHeight;
    video.depth = 12;
    video.frames = std::move(frames);
    kadrix_test::write_file(in.file(name), import_test::ser_bytes(video));
  };
  series12("l.ser", lights);
  std::vector<std::vector<std::uint32_t>> darks(3), flats(2);
  for (std::size_t k = 0; k < darks.size(); ++k)
    for (int i = 0; i < kWidth * kHeight; ++i) darks[k].push_back(90 + static_cast<std::uint32_t>((i * 7 + k) % 13));
  for (std::size_t k = 0; k < flats.size(); ++k)
    for (int i = 0; i < kWidth * kHeight; ++i) flats[k].push_back(2000 + static_cast<std::uint32_t>((i % kWidth) * 3 + k));
  series12("d.ser", darks);
  series12("f.ser", flats);
  std::map<std::string, Bytes> first_files;
  std::string first_transcript;
  for (const int threads : {1, 2}) {
    TempDir out;
    const RunResult r = run_with_threads({"--align", "--dark", in.file("d.ser"), "--flat", in.file("f.ser"),
                                          "--shifts", out.file("s.csv"), out.prefix(), "OBJ", in.file("l.ser")},
                                         threads);
    ASSERT_EQ(r.exit_status, 0) << r.out;
    EXPECT_NE(r.out.find(crlf("Kalibracja: ciemna z 3 klatek, plaska z 2 klatek\n")), std::string::npos) << r.out;
    std::string transcript = r.out;
    for (std::size_t at; (at = transcript.find(out.path().string())) != std::string::npos;)
      transcript.replace(at, out.path().string().size(), "OUT");
    const std::map<std::string, Bytes> files = import_test::snapshot(out.path().string());
    EXPECT_EQ(files.size(), 5u);
    if (threads == 1) {
      first_files = files;
      first_transcript = transcript;
    } else {
      EXPECT_EQ(transcript, first_transcript);
      EXPECT_TRUE(files == first_files);
    }
  }
}

// A blank frame (a cloud) and a frame of another field are left out and
// named; the others are written in order, the shifts file says which.
TEST(Align, FramesThatDoNotMatchAreLeftOutAndNamed) {
  TempDir in, out;
  const Field field = star_field(21);
  const Field other = star_field(99);
  const std::string source = in.file("noc.ser");
  write_series(source, {frame_at(field, 0, 0), frame_at(field, 1, 1), blank_frame(), frame_at(other, 0, 0),
                        frame_at(field, -2, 0)});
  const RunResult r = import_test::run_import(
      {"--align-whole", "--shifts", out.file("s.csv"), out.prefix(), "OBJ", source});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  for (const int k : {3, 4}) {
    const std::string named = "Klatka " + std::to_string(k) + " (" + source + ", klatka " + std::to_string(k) +
                              " pliku) nie pasuje do klatki odniesienia: pominieta (zgodnosc ";
    const std::size_t at = r.out.find(named);
    ASSERT_NE(at, std::string::npos) << r.out;
    // The match with 3 decimals, below the threshold.
    const std::string rest = r.out.substr(at + named.size(), r.out.find('\n', at) - at - named.size());
    const std::size_t end = rest.find(", prog 0.300)\r");
    ASSERT_NE(end, std::string::npos) << rest;
    EXPECT_EQ(end + std::string(", prog 0.300)\r").size(), rest.size()) << rest;
    const std::string match = rest.substr(0, end);
    ASSERT_GE(match.size(), 5u) << rest;
    EXPECT_EQ(match[match.size() - 4], '.') << rest;
    EXPECT_LT(std::stod(match), 0.3) << rest;
  }
  EXPECT_NE(r.out.find(crlf("Klatki do dopasowania: 5 (w zrodlach: 5)\nKlatka odniesienia: 1")), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(crlf("Klatki do zapisu: 3 (w zrodlach: 5)\n")), std::string::npos) << r.out;
  // Shifts (0, 0), (-1, -1), (2, 0): X from 1 to W - 3, Y from 1 to H - 1.
  EXPECT_NE(r.out.find(area_line(1, 1, kWidth - 3, kHeight - 1)), std::string::npos) << r.out;
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", n)),
              reference_crop(field, 1, 1, kWidth - 3, kHeight - 1))
        << n;
  EXPECT_FALSE(kadrix_test::exists(kadrix_test::frame_file(out.prefix(), "OBJ", 4)));
  EXPECT_EQ(statuses(text_of(kadrix_test::read_file(out.file("s.csv")))),
            (std::vector<std::string>{"1,1,ok", "2,2,ok", ",3,pominieta", ",4,pominieta", "3,5,ok"}));
}

// A reference most frames do not match refuses the import with nothing
// written; another reference chosen with --reference serves.
TEST(Align, AReferenceMostFramesMissIsRefusedAndAnotherServes) {
  TempDir in, out;
  const Field field = star_field(5);
  const std::string source = in.file("a.ser");
  write_series(source, {blank_frame(), frame_at(field, 0, 0), frame_at(field, 2, -1), frame_at(field, -1, 3),
                        blank_frame()});
  kadrix_test::write_file(out.file("s.csv"), std::string("old shifts"));
  const auto before = import_test::snapshot(out.path().string());
  const std::vector<std::string> tail = {"--shifts", out.file("s.csv"), out.prefix(), "OBJ", source};
  const auto with = [&tail](std::vector<std::string> head) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };

  RunResult r = import_test::run_import(with({"--align"}));
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_TRUE(r.out.ends_with(crlf(
      "Do klatki odniesienia pasuje klatek 1 z 5, mniej niz polowa: wskaz inna klatke opcja --reference\n")))
      << r.out;
  EXPECT_EQ(import_test::snapshot(out.path().string()), before);

  r = import_test::run_import(with({"--align", "--reference", "6"}));
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_TRUE(r.out.ends_with(crlf("Klatek do dopasowania jest 5: --reference 6 wskazuje poza nie\n"))) << r.out;
  EXPECT_EQ(import_test::snapshot(out.path().string()), before);

  r = import_test::run_import(with({"--align-whole", "--reference", "2"}));
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_NE(r.out.find(crlf("Klatka odniesienia: 2 (" + source + ", klatka 2 pliku)\n")), std::string::npos);
  // Shifts (-2, 1) and (1, -3): X from 2 to W - 2, Y from 3 to H - 2.
  EXPECT_NE(r.out.find(area_line(2, 3, kWidth - 3, kHeight - 4)), std::string::npos) << r.out;
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", n)),
              reference_crop(field, 2, 3, kWidth - 3, kHeight - 4));
  EXPECT_EQ(statuses(text_of(kadrix_test::read_file(out.file("s.csv")))),
            (std::vector<std::string>{",1,pominieta", "1,2,ok", "2,3,ok", "3,4,ok", ",5,pominieta"}));
}

// A shifts path that names a directory, or lies in a missing one, is
// refused before any frame is read; nothing changes.
TEST(Align, AShiftsPathThatCannotTakeTheFileIsRefusedFirst) {
  TempDir in, out;
  const Field field = star_field(2);
  write_series(in.file("a.ser"), {frame_at(field, 0, 0), frame_at(field, 1, 0)});
  std::filesystem::create_directory(out.file("dir.csv"));
  const auto before = import_test::snapshot(out.path().string());
  const std::pair<std::string, std::string> cases[] = {
      {out.file("dir.csv"), "Plik przesuniec " + out.file("dir.csv") + " nie jest zwyklym plikiem\n"},
      {out.file("no/s.csv"), "Brak katalogu " + out.file("no") + "\n"},
  };
  for (const auto& [path, message] : cases) {
    const RunResult r = import_test::run_import({"--align", "--shifts", path, out.prefix(), "OBJ", in.file("a.ser")});
    EXPECT_EQ(r.exit_status, 1) << r.out;
    EXPECT_TRUE(r.out.ends_with(crlf(message))) << r.out;
    EXPECT_EQ(r.out.find("Klatka odniesienia"), std::string::npos) << r.out;
    EXPECT_EQ(import_test::snapshot(out.path().string()), before);
  }
}

// Aligned, at most 100000 frames are measured: more are refused before
// any is read, and --every brings them within it.
TEST(Align, MoreThanAHundredThousandFramesToMeasureAreRefused) {
  TempDir in, out;
  import_test::SerVideo video;
  video.width = 2;
  video.height = 2;
  video.frames.assign(100001, std::vector<std::uint32_t>(4, 9));
  kadrix_test::write_file(in.file("long.ser"), import_test::ser_bytes(video));
  RunResult r = import_test::run_import({"--align", out.prefix(), "OBJ", in.file("long.ser")});
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_TRUE(r.out.ends_with(
      crlf("Klatek do dopasowania: 100001, wiecej niz 100000: wybierz mniej opcjami --first i --every\n")))
      << r.out;
  EXPECT_TRUE(import_test::snapshot(out.path().string()).empty());
  r = import_test::run_import({"--align", "--every", "1000", out.prefix(), "OBJ", in.file("long.ser")});
  EXPECT_NE(r.out.find(crlf("Klatki do dopasowania: 101 (w zrodlach: 100001)\n")), std::string::npos) << r.out;
}

// Aligned, all frames --first and --every choose are measured; the first
// 100 that match are written and the rest marked ponad100.
TEST(Align, MatchingFramesBeyondTheHundredthAreMarked) {
  TempDir in, out;
  const Field field = star_field(8);
  const std::string source = in.file("long.ser");
  std::vector<std::vector<std::uint32_t>> frames(104, frame_at(field, 0, 0));
  frames[2] = blank_frame();
  write_series(source, frames);
  const RunResult r =
      import_test::run_import({"--align", "--first", "2", "--shifts", out.file("s.csv"), out.prefix(), "OBJ", source});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_NE(r.out.find(crlf("Klatki do dopasowania: 103 (w zrodlach: 104)\n")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(crlf("Klatki do zapisu: 100 (w zrodlach: 104)\nPominieto klatek: 2 (kadrix laczy najwyzej "
                            "100; wybierz inne opcjami --first i --every)\n")),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(kadrix_test::exists(kadrix_test::frame_file(out.prefix(), "OBJ", 100)));
  std::vector<std::string> want = {"1,2,ok", ",3,pominieta"};
  for (int k = 4; k <= 102; ++k) want.push_back(std::to_string(k - 2) + "," + std::to_string(k) + ",ok");
  want.push_back(",103,ponad100");
  want.push_back(",104,ponad100");
  EXPECT_EQ(statuses(text_of(kadrix_test::read_file(out.file("s.csv")))), want);
}

// Float lights take a linear map from the frames written, before
// resampling: a left-out frame far brighter than the rest moves neither end.
TEST(Align, ALinearMapSpansTheFramesWrittenOnly) {
  TempDir in, out;
  const Field field = star_field(31);
  std::vector<std::string> paths;
  const std::vector<std::vector<std::uint32_t>> frames = {frame_at(field, 0, 0), frame_at(field, 2, 1),
                                                          std::vector<std::uint32_t>(kWidth * kHeight, 5000),
                                                          frame_at(field, -1, -2)};
  std::uint32_t lo = 1000, hi = 0;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    import_test::FitsImage image;
    image.bitpix = -32;
    image.axes = {kWidth, kHeight};
    // FITS stores the bottom row first.
    for (int y = kHeight - 1; y >= 0; --y)
      for (int x = 0; x < kWidth; ++x) image.values.push_back(frames[k][static_cast<std::size_t>(y * kWidth + x)]);
    const char* names[] = {"l0.fits", "l1.fits", "l2.fits", "l3.fits"};
    paths.push_back(in.file(names[k]));
    kadrix_test::write_file(paths.back(), import_test::fits_bytes(image));
    if (k == 2) continue;
    for (const std::uint32_t v : frames[k]) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  std::vector<std::string> args = {"--align-whole", out.prefix(), "OBJ"};
  args.insert(args.end(), paths.begin(), paths.end());
  const RunResult r = import_test::run_import(args);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_NE(r.out.find("nie pasuje do klatki odniesienia"), std::string::npos) << r.out;
  const std::string range = std::to_string(lo) + ":" + std::to_string(hi);
  EXPECT_NE(r.out.find(crlf("(dla nastepnego obiektu: --range " + range + ")\n")), std::string::npos) << range << "\n"
                                                                                                       << r.out;
}

// A pixel of frame 2 (frame coordinates) and what every output pixel whose
// kernel reads it must be.
struct Probe {
  int x, y;
  std::uint8_t value;
};

// Frame 2 of the series in out: exactly the pixels whose kernel reads a
// probe's pixel have its value; no other pixel is 0 or 255. The area comes
// from the transcript, frame 2's shift from the shifts file s.csv.
void expect_reach(const TempDir& out, const RunResult& r, const std::vector<Probe>& probes, bool whole) {
  int w = 0, h = 0, x0 = 0, y0 = 0;
  const std::size_t at = r.out.find("Wspolny obszar: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "Wspolny obszar: %dx%d, od x %d, y %d", &w, &h, &x0, &y0), 4);
  const std::string csv = text_of(kadrix_test::read_file(out.file("s.csv")));
  const std::size_t row = csv.find("\n2,");
  ASSERT_NE(row, std::string::npos) << csv;
  // dx, dy and the status end the row.
  const std::string line = csv.substr(row + 1, csv.find('\r', row + 1) - row - 1);
  const std::size_t dx_at = line.rfind(',', line.rfind(',', line.rfind(',') - 1) - 1) + 1;
  double dx = 0, dy = 0;
  ASSERT_EQ(std::sscanf(line.c_str() + dx_at, "%lf,%lf,ok", &dx, &dy), 2) << line;
  if (whole) {
    EXPECT_EQ(dx, -3.0);
    EXPECT_EQ(dy, 2.0);
  }
  // Output X reads floor(X + dx) - 2 .. + 3, or X + dx when dx is whole.
  const auto reads = [](int out_x, double d, int pixel) {
    const double sample = out_x + d;
    if (std::floor(d) == d) return sample == pixel;
    return std::floor(sample) - 2 <= pixel && pixel <= std::floor(sample) + 3;
  };
  const Bytes frame2 = kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", 2));
  const std::size_t stride = (static_cast<std::size_t>(w) + 3) / 4 * 4;
  // Rows bottom-up, each padded to 4 bytes, after 1078 bytes of header and
  // palette.
  ASSERT_EQ(frame2.size(), 1078 + stride * static_cast<std::size_t>(h));
  std::vector<int> reached(probes.size(), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::uint8_t v = frame2[1078 + static_cast<std::size_t>(h - 1 - y) * stride + static_cast<std::size_t>(x)];
      bool any = false;
      for (std::size_t p = 0; p < probes.size(); ++p) {
        if (!reads(x0 + x, dx, probes[p].x) || !reads(y0 + y, dy, probes[p].y)) continue;
        any = true;
        ++reached[p];
        ASSERT_EQ(v, probes[p].value) << "(" << x << ", " << y << ")";
      }
      if (!any) {
        ASSERT_NE(v, 255) << "(" << x << ", " << y << ")";
        ASSERT_NE(v, 0) << "(" << x << ", " << y << ")";
      }
    }
  const auto span = [](double d) { return std::floor(d) == d ? 1 : 6; };
  for (const int n : reached) EXPECT_EQ(n, span(dx) * span(dy));
}

// A saturated sample of a light stays 255 wherever the kernel carries it,
// though calibration lowers it: with whole shifts on its one pixel, with
// Lanczos on the 6 x 6 output pixels that read it, and nowhere else.
TEST(Align, SaturationSurvivesAlignment) {
  TempDir in;
  const Field field = star_field(17);
  std::vector<std::vector<std::uint32_t>> frames = {frame_at(field, 0, 0), frame_at(field, 3, -2),
                                                    frame_at(field, -1, 1)};
  frames[1][40 * kWidth + 50] = 255;  // (50, 40) of frame 2
  write_series(in.file("l.ser"), frames);
  write_series(in.file("d.ser"), {std::vector<std::uint32_t>(kWidth * kHeight, 10)});
  for (const char* mode : {"--align-whole", "--align"}) {
    SCOPED_TRACE(mode);
    TempDir out;
    const RunResult r = import_test::run_import({mode, "--dark", in.file("d.ser"), "--pedestal", "0", "--shifts",
                                                 out.file("s.csv"), out.prefix(), "OBJ", in.file("l.ser")});
    ASSERT_EQ(r.exit_status, 0) << r.out;
    expect_reach(out, r, {{50, 40, 255}}, std::string(mode) == "--align-whole");
  }
}

// A hot pixel stuck at the top, in every light and in the dark, holds no
// light: it is calibrated like any other pixel, not kept saturated, so no
// frame carries a 255 that would move with the shifts into a trail.
TEST(Align, AHotPixelTheDarkHoldsSaturatedIsNotSpread) {
  TempDir in;
  const Field field = star_field(17);
  std::vector<std::vector<std::uint32_t>> frames = {frame_at(field, 0, 0), frame_at(field, 3, -2),
                                                    frame_at(field, -1, 1)};
  const std::size_t stuck = 30 * kWidth + 70;
  for (auto& frame : frames) frame[stuck] = 255;
  std::vector<std::uint32_t> dark(kWidth * kHeight, 10);
  dark[stuck] = 255;
  write_series(in.file("l.ser"), frames);
  write_series(in.file("d.ser"), {dark});
  for (const char* mode : {"--align-whole", "--align"}) {
    SCOPED_TRACE(mode);
    TempDir out;
    const RunResult r =
        import_test::run_import({mode, "--dark", in.file("d.ser"), "--pedestal", "0", out.prefix(), "OBJ", in.file("l.ser")});
    ASSERT_EQ(r.exit_status, 0) << r.out;
    for (int k = 1; k <= 3; ++k) {
      const Bytes frame = kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", k));
      EXPECT_EQ(std::count(frame.begin() + 1078, frame.end(), std::uint8_t{255}), 0) << "frame " << k;
    }
  }
}

// +infinity (a 12-bit SER sample above 4095) is 255 and NaN (a FITS
// float) 0 over every output pixel that reads them: infinity never turns
// NaN under a negative weight.
TEST(Align, InfinityAndNaNReachTheKernelsSpan) {
  TempDir in;
  const Field field = star_field(23);
  const std::pair<int, int> offsets[] = {{0, 0}, {3, -2}, {-1, 1}};
  import_test::SerVideo video;
  video.width = kWidth;
  video.height = kHeight;
  video.depth = 12;
  std::vector<std::string> fits;
  const char* names[] = {"l0.fits", "l1.fits", "l2.fits"};
  for (std::size_t k = 0; k < 3; ++k) {
    std::vector<std::uint32_t> frame = frame_at(field, offsets[k].first, offsets[k].second);
    import_test::FitsImage image;
    image.bitpix = -32;
    image.axes = {kWidth, kHeight};
    for (int y = kHeight - 1; y >= 0; --y)
      for (int x = 0; x < kWidth; ++x) {
        const bool nan = k == 1 && x == 20 && y == 30;
        image.values.push_back(nan ? std::numeric_limits<double>::quiet_NaN()
                                   : static_cast<double>(frame[static_cast<std::size_t>(y * kWidth + x)]));
      }
    fits.push_back(in.file(names[k]));
    kadrix_test::write_file(fits.back(), import_test::fits_bytes(image));
    if (k == 1) frame[40 * kWidth + 50] = 5000;
    video.frames.push_back(frame);
  }
  kadrix_test::write_file(in.file("l.ser"), import_test::ser_bytes(video));
  struct Case {
    std::vector<std::string> sources;
    Probe probe;
  };
  const Case cases[] = {{{in.file("l.ser")}, {50, 40, 255}}, {fits, {20, 30, 0}}};
  for (const Case& c : cases) {
    for (const char* mode : {"--align-whole", "--align"}) {
      SCOPED_TRACE(std::string(mode) + " " + c.sources[0]);
      TempDir out;
      std::vector<std::string> args = {mode, "--range", "0:300", "--shifts", out.file("s.csv"), out.prefix(), "OBJ"};
      args.insert(args.end(), c.sources.begin(), c.sources.end());
      const RunResult r = import_test::run_import(args);
      ASSERT_EQ(r.exit_status, 0) << r.out;
      expect_reach(out, r, {c.probe}, std::string(mode) == "--align-whole");
    }
  }
}

// Ctrl-C once the shifts file is being written, before any frame is
// placed: the import stops, and the series and the shifts file are as
// they were, no temporary left.
TEST(Align, CtrlCLeavesTheSeriesAndTheShiftsFileAsTheyWere) {
  TempDir dir, in;
  const Field field = star_field(4);
  write_series(in.file("l.ser"), {frame_at(field, 0, 0), frame_at(field, 1, 2), frame_at(field, -2, 0)});
  for (int n = 1; n <= 2; ++n)
    kadrix_test::write_file(kadrix_test::frame_file(dir.prefix(), "OBJ", n),
                            kadrix_test::frame_bmp(4, 3, kadrix_test::flat(4, 3, 7)));
  kadrix_test::write_file(dir.file("s.csv"), std::string("old shifts\r\n"));
  const auto before = import_test::snapshot(dir.path().string());
  kadrix_test::RunOptions options;
  bool sent = false;
  options.on_syscall = [&sent](const kadrix_test::SyscallEntry& call) {
    if (kadrix_test::opened_path(call).find("s.csv.tmp.") == std::string::npos) return false;
    sent = ::kill(call.pid, SIGINT) == 0;
    return true;
  };
  const RunResult r = import_test::run_import(
      {"--replace", "--align", "--shifts", dir.file("s.csv"), dir.prefix(), "OBJ", in.file("l.ser")}, options);
  if (!r.traced) GTEST_SKIP() << "the system does not let the test trace the child";
  ASSERT_TRUE(sent);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_TRUE(r.out.ends_with(crlf("Przerwano; katalog zostaje bez zmian\n"))) << r.out;
  EXPECT_EQ(import_test::snapshot(dir.path().string()), before);
}

// Killed after the n-th change in the directory, for every change a whole
// run makes: the series is the old one, the new one or unreadable, and the
// shifts file its old text or its whole new one, new only with the new
// series.
TEST(Align, AKillAtAnyMomentLeavesTheSeriesAndTheShiftsFileWhole) {
  const Field field = star_field(3);
  const auto prepare = [&field](const TempDir& dir) {
    for (int n = 1; n <= 5; ++n)
      kadrix_test::write_file(kadrix_test::frame_file(dir.prefix(), "OBJ", n),
                              kadrix_test::frame_bmp(4, 3, kadrix_test::flat(4, 3, static_cast<std::uint8_t>(n))));
    kadrix_test::write_file(dir.file("s.csv"), std::string("old shifts\r\n"));
    write_series(dir.file("new.ser"), {frame_at(field, 0, 0), frame_at(field, 1, 0), frame_at(field, 0, 2)});
  };
  const auto args = [](const TempDir& dir) {
    return std::vector<std::string>{"--replace", "--align", "--shifts", dir.file("s.csv"),
                                    dir.prefix(), "OBJ",     dir.file("new.ser")};
  };
  // The shifts file with the directory's own name taken out.
  const auto shifts = [](const TempDir& dir) {
    std::string text = text_of(kadrix_test::read_file(dir.file("s.csv")));
    for (std::size_t at; (at = text.find(dir.path().string())) != std::string::npos;)
      text.replace(at, dir.path().string().size(), "DIR");
    return text;
  };
  const auto series = [](const TempDir& dir) {
    std::vector<Bytes> frames;
    for (int n = 1; n <= 100 && kadrix_test::exists(kadrix_test::frame_file(dir.prefix(), "OBJ", n)); ++n)
      frames.push_back(kadrix_test::read_file(kadrix_test::frame_file(dir.prefix(), "OBJ", n)));
    return frames;
  };
  std::vector<Bytes> old_series, new_series;
  std::string old_csv, new_csv;
  int changes = 0;
  {
    TempDir dir;
    prepare(dir);
    old_series = series(dir);
    old_csv = shifts(dir);
    const import_test::KilledRun whole = import_test::run_import_killed(args(dir), dir.path().string(), 0);
    ASSERT_EQ(whole.exit_status, 0);
    new_series = series(dir);
    new_csv = shifts(dir);
    ASSERT_EQ(new_series.size(), 3u);
    changes = whole.events;
    ASSERT_GT(changes, 8);
  }
  for (int n = 1; n <= changes; ++n) {
    TempDir dir;
    prepare(dir);
    const import_test::KilledRun run = import_test::run_import_killed(args(dir), dir.path().string(), n);
    if (!run.killed) {
      EXPECT_EQ(run.exit_status, 0);
    }
    const std::vector<Bytes> now = series(dir);
    EXPECT_TRUE(now.empty() || now == old_series || now == new_series) << "after change " << n;
    ASSERT_TRUE(kadrix_test::exists(dir.file("s.csv"))) << "after change " << n;
    const std::string csv = shifts(dir);
    EXPECT_TRUE(csv == old_csv || csv == new_csv) << "after change " << n;
    if (csv == new_csv) {
      EXPECT_EQ(now, new_series) << "after change " << n;
    }
  }
}

}  // namespace
