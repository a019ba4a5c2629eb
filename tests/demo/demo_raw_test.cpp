// The raw night of kadrix-demo, read back from the files the program wrote:
// the sensor's hot pixels stand at the same places in lights and darks, the
// flats carry the vignetting and the dust ring, the offset table tells
// where the field lies in each frame, the calibration frames' names cannot
// be taken for any object's frames or results, and the bytes are the same
// on every run.

#include <fnmatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tools/demo/night.h"

namespace {

using kadrix_test::RunResult;
using kadrix_test::TempDir;

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kFrames = 8;

struct Image {
  int width = 0;
  int height = 0;
  std::vector<double> v;  // rows top-down
  double at(int x, int y) const { return v[static_cast<std::size_t>(y) * width + x]; }
};

// An 8-bit BMP as the demo writes it: bottom-up rows padded to 4 bytes.
Image read_frame(const std::string& path) {
  const kadrix_test::Bytes b = kadrix_test::read_file(path);
  Image image;
  if (b.size() < 54) return image;
  const std::uint32_t offset = kadrix_test::get_le32(b, 10);
  image.width = static_cast<int>(kadrix_test::get_le32(b, 18));
  image.height = static_cast<int>(kadrix_test::get_le32(b, 22));
  const std::size_t stride = (static_cast<std::size_t>(image.width) + 3) / 4 * 4;
  for (int y = 0; y < image.height; ++y) {
    const std::size_t row = offset + static_cast<std::size_t>(image.height - 1 - y) * stride;
    for (int x = 0; x < image.width; ++x) image.v.push_back(b.at(row + static_cast<std::size_t>(x)));
  }
  return image;
}

std::vector<Image> read_series(const std::string& dir, const std::string& name, const char* kind, int count) {
  std::vector<Image> series;
  char file[64];
  for (int k = 1; k <= count; ++k) {
    std::snprintf(file, sizeof file, "%s%s%02d.BMP", name.c_str(), kind, k);
    series.push_back(read_frame(dir + file));
  }
  return series;
}

Image mean_of(const std::vector<Image>& series) {
  Image mean = series.front();
  for (std::size_t i = 0; i < mean.v.size(); ++i) {
    double sum = 0.0;
    for (const Image& f : series) sum += f.v[i];
    mean.v[i] = sum / static_cast<double>(series.size());
  }
  return mean;
}

double median_of_neighbours(const Image& image, int x, int y) {
  std::vector<double> n;
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      const int nx = x + dx;
      const int ny = y + dy;
      if ((dx || dy) && nx >= 0 && ny >= 0 && nx < image.width && ny < image.height) n.push_back(image.at(nx, ny));
    }
  std::sort(n.begin(), n.end());
  return n[n.size() / 2];
}

std::vector<std::vector<double>> read_csv(const std::string& path, std::string& header) {
  std::ifstream in(path);
  std::getline(in, header);
  std::vector<std::vector<double>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<double> row;
    std::istringstream cells(line);
    std::string cell;
    while (std::getline(cells, cell, ',')) row.push_back(std::stod(cell));
    rows.push_back(row);
  }
  return rows;
}

// One raw night of two objects, written once for the tests that read it.
class RawNight : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    result_ = new RunResult(kadrix_test::run_program(
        KADRIX_DEMO_BIN, {"--raw", "--objects", "2", "--frames", std::to_string(kFrames), "--width",
                          std::to_string(kWidth), "--height", std::to_string(kHeight), "--seed", "5", dir_->prefix()}));
  }
  static void TearDownTestSuite() {
    delete result_;
    delete dir_;
  }
  static std::string dir() { return dir_->prefix(); }
  static TempDir* dir_;
  static RunResult* result_;
};
TempDir* RawNight::dir_ = nullptr;
RunResult* RawNight::result_ = nullptr;

TEST_F(RawNight, TranscriptNamesTheCalibrationSeriesAndTheDrift) {
  ASSERT_EQ(result_->exit_status, 0) << result_->out;
  std::string expected;
  for (const std::string name : {"M42", "M51"}) {
    std::string header;
    const auto offsets = read_csv(dir() + name + "_offsets.csv", header);
    ASSERT_EQ(header, "frame,dx,dy");
    ASSERT_EQ(offsets.size(), static_cast<std::size_t>(kFrames));
    const double dx = offsets.back()[1] - offsets.front()[1];
    const double dy = offsets.back()[2] - offsets.front()[2];
    char line[160];
    std::snprintf(line, sizeof line, "Zapisano %-6s klatek %3d, %dx%d, gwiazd %d\n", name.c_str(), kFrames, kWidth,
                  kHeight, kWidth * kHeight / 700);
    expected += line;
    std::snprintf(line, sizeof line, "Zapisano %-6s ciemnych %d, plaskich %d, dryf %.1f px\n", name.c_str(),
                  kadrix::demo::kDarkFrames, kadrix::demo::kFlatFrames, std::sqrt(dx * dx + dy * dy));
    expected += line;
  }
  expected += "Lista obiektow: " + dir() + "lista.list\n";
  EXPECT_EQ(result_->out, kadrix_test::crlf(expected));
}

// Stuck pixels read 255 in every dark and every light; warm ones stand out
// of their neighbours in the lights as in the darks, by about as much.
TEST_F(RawNight, HotPixelsStandAtTheSamePlacesInLightsAndDarks) {
  const Image darks = mean_of(read_series(dir(), "M42", "_DARK", kadrix::demo::kDarkFrames));
  const std::vector<Image> lights = read_series(dir(), "M42", "", kFrames);
  const Image light = mean_of(lights);
  ASSERT_EQ(darks.width, kWidth);
  int stuck = 0;
  int warm = 0;
  int warm_in_lights = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      if (darks.at(x, y) == 255.0) {
        ++stuck;
        for (const Image& f : lights) EXPECT_EQ(f.at(x, y), 255.0) << x << "," << y;
        continue;
      }
      const double excess = darks.at(x, y) - median_of_neighbours(darks, x, y);
      if (excess < 25.0) continue;
      ++warm;
      if (light.at(x, y) - median_of_neighbours(light, x, y) > 0.6 * excess) ++warm_in_lights;
    }
  }
  // 0.2 to 0.4 per cent of the pixels are hot, some of them stuck.
  EXPECT_GT(stuck, 0);
  EXPECT_GE(stuck + warm, kWidth * kHeight / 600);
  EXPECT_LE(stuck + warm, kWidth * kHeight / 200);
  EXPECT_GE(warm_in_lights, warm * 9 / 10) << "of " << warm;
  // The darks hold no sky: their typical pixel is the dark signal alone.
  std::vector<double> sorted = darks.v;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_GT(sorted[sorted.size() / 2], 5.0);
  EXPECT_LT(sorted[sorted.size() / 2], 16.0);
}

double box_mean(const Image& image, int x0, int y0, int side) {
  double sum = 0.0;
  for (int y = y0; y < y0 + side; ++y)
    for (int x = x0; x < x0 + side; ++x) sum += image.at(x, y);
  return sum / (side * side);
}

// Light lost on a circle against the mean of circles 2.5 ring widths inside
// and outside it, along 64 directions: the smooth vignetting cancels.
double ring_dip(const Image& flat, double cx, double cy, double radius, double width) {
  double on = 0.0;
  double off = 0.0;
  int n = 0;
  for (int a = 0; a < 64; ++a) {
    const double c = std::cos(a * 0.09817477042468103);
    const double s = std::sin(a * 0.09817477042468103);
    const auto value = [&](double r) {
      const int x = static_cast<int>(std::lround(cx + r * c));
      const int y = static_cast<int>(std::lround(cy + r * s));
      return x >= 0 && y >= 0 && x < flat.width && y < flat.height ? flat.at(x, y) : -1.0;
    };
    const double ring = value(radius);
    const double inside = value(radius - 2.5 * width);
    const double outside = value(radius + 2.5 * width);
    if (ring < 0 || inside < 0 || outside < 0) continue;
    on += ring;
    off += 0.5 * (inside + outside);
    ++n;
  }
  return n > 16 ? 1.0 - on / off : 0.0;
}

TEST_F(RawNight, FlatsShowTheVignettingAndTheDustRing) {
  const Image flat = mean_of(read_series(dir(), "M51", "_FLAT", kadrix::demo::kFlatFrames));
  ASSERT_EQ(flat.width, kWidth);
  const double centre = box_mean(flat, kWidth / 2 - 4, kHeight / 2 - 4, 8);
  EXPECT_GT(centre, 120.0);
  EXPECT_LT(centre, 200.0);  // well below saturation
  for (const auto& [x, y] : {std::pair{0, 0}, {kWidth - 6, 0}, {0, kHeight - 6}, {kWidth - 6, kHeight - 6}}) {
    const double corner = box_mean(flat, x, y, 6) / centre;
    EXPECT_GT(corner, 0.6) << x << "," << y;
    EXPECT_LT(corner, 0.85) << x << "," << y;
  }
  // Where the night's dust lies the flat dips by some per cent; the same
  // measure elsewhere finds nothing.
  kadrix::demo::NightSettings settings;
  settings.raw = true;
  settings.objects = 2;
  settings.frames = kFrames;
  settings.width = kWidth;
  settings.height = kHeight;
  settings.seed = 5;
  const kadrix::demo::RawCamera camera = kadrix::demo::plan_object(settings, 1).camera;
  EXPECT_GT(ring_dip(flat, camera.dust_x, camera.dust_y, camera.dust_radius, camera.dust_width), 0.02);
  const double elsewhere_x = camera.dust_x < kWidth / 2 ? camera.dust_x + kWidth / 2 : camera.dust_x - kWidth / 2;
  EXPECT_LT(std::abs(ring_dip(flat, elsewhere_x, camera.dust_y, camera.dust_radius, camera.dust_width)), 0.01);
}

// Where a bright lone star is in frame k: its light-weighted centroid over
// 4 px around where the offset table puts it, above the ring's median.
TEST_F(RawNight, OffsetsTellWhereTheFieldLiesInEachFrame) {
  std::string header;
  const auto offsets = read_csv(dir() + "M42_offsets.csv", header);
  const auto stars = read_csv(dir() + "M42_stars.csv", header);
  ASSERT_EQ(offsets.size(), static_cast<std::size_t>(kFrames));
  double mean_x = 0.0;
  double mean_y = 0.0;
  for (const auto& o : offsets) {
    mean_x += o[1] / kFrames;
    mean_y += o[2] / kFrames;
  }
  EXPECT_NEAR(mean_x, 0.0, 1e-4);  // the star table holds the mean places
  EXPECT_NEAR(mean_y, 0.0, 1e-4);
  const double drift = std::hypot(offsets.back()[1] - offsets.front()[1], offsets.back()[2] - offsets.front()[2]);
  EXPECT_GT(drift, 3.0);
  EXPECT_LT(drift, 8.0);

  for (const int k : {1, kFrames}) {
    const Image frame = read_frame(dir() + "M420" + std::to_string(k) + ".BMP");
    const double ox = offsets[static_cast<std::size_t>(k - 1)][1];
    const double oy = offsets[static_cast<std::size_t>(k - 1)][2];
    int measured = 0;
    for (const auto& s : stars) {
      const double x = s[0] + ox;
      const double y = s[1] + oy;
      bool alone = true;
      for (const auto& t : stars) alone = alone && (&t == &s || std::hypot(t[0] - s[0], t[1] - s[1]) > 12.0);
      if (!alone || s[2] < 60.0 || s[2] > 180.0 || x < 12 || y < 12 || x > kWidth - 13 || y > kHeight - 13) continue;
      std::vector<double> ring;
      for (int dy = -9; dy <= 9; ++dy)
        for (int dx = -9; dx <= 9; ++dx)
          if (dx * dx + dy * dy >= 49 && dx * dx + dy * dy <= 81)
            ring.push_back(frame.at(static_cast<int>(x) + dx, static_cast<int>(y) + dy));
      std::sort(ring.begin(), ring.end());
      const double sky = ring[ring.size() / 2];
      double sum = 0.0, sx = 0.0, sy = 0.0;
      for (int py = static_cast<int>(y) - 4; py <= static_cast<int>(y) + 5; ++py)
        for (int px = static_cast<int>(x) - 4; px <= static_cast<int>(x) + 5; ++px) {
          const double w = frame.at(px, py) - sky;
          if (w <= 0.0 || std::hypot(px - x, py - y) > 4.0) continue;
          sum += w;
          sx += w * px;
          sy += w * py;
        }
      EXPECT_NEAR(sx / sum, x, 0.5) << "frame " << k << " star " << s[0] << "," << s[1];
      EXPECT_NEAR(sy / sum, y, 0.5) << "frame " << k << " star " << s[0] << "," << s[1];
      ++measured;
    }
    EXPECT_GE(measured, 2) << "frame " << k;
  }
}

// kadrix reads DIR + NAME + NN.BMP (and NAME100.BMP) and writes NAMESR.BMP
// and NAMESS.BMP, NAME its first 6 characters: a file name is kadrix's when
// its part before those endings is 6 characters or less.
bool kadrix_could_use(const std::string& file) {
  for (const char* ending : {"SR.BMP", "SS.BMP", "100.BMP"}) {
    const std::string e(ending);
    if (file.size() > e.size() && file.compare(file.size() - e.size(), e.size(), e) == 0 &&
        file.size() - e.size() <= 6)
      return true;
  }
  return file.size() > 6 && file.size() - 6 <= 6 && file.compare(file.size() - 4, 4, ".BMP") == 0 &&
         std::isdigit(static_cast<unsigned char>(file[file.size() - 6])) &&
         std::isdigit(static_cast<unsigned char>(file[file.size() - 5]));
}

TEST_F(RawNight, CalibrationFramesFitTheirGlobAndNothingElseDoes) {
  const std::vector<std::string> files = kadrix_test::list_dir(dir_->path().string());
  const std::vector<std::string> names = {"M42", "M51"};
  for (const std::string& name : names) {
    const struct {
      std::string glob;
      int count;
    } kinds[] = {{name + "_DARK[0-9][0-9].BMP", kadrix::demo::kDarkFrames},
                 {name + "_FLAT[0-9][0-9].BMP", kadrix::demo::kFlatFrames},
                 {name + "[0-9][0-9].BMP", kFrames}};
    for (const auto& kind : kinds) {
      int matched = 0;
      for (const std::string& f : files) {
        if (fnmatch(kind.glob.c_str(), f.c_str(), 0) != 0) continue;
        ++matched;
        const bool calibration = f.find("_DARK") != std::string::npos || f.find("_FLAT") != std::string::npos;
        EXPECT_EQ(calibration, kind.glob.find('_') != std::string::npos) << f << " by " << kind.glob;
        EXPECT_EQ(f.compare(0, name.size(), name), 0) << f << " by " << kind.glob;
      }
      EXPECT_EQ(matched, kind.count) << kind.glob;
    }
  }
  int calibration_files = 0;
  for (const std::string& f : files) {
    if (f.find("_DARK") == std::string::npos && f.find("_FLAT") == std::string::npos) continue;
    ++calibration_files;
    EXPECT_FALSE(kadrix_could_use(f)) << f;
  }
  EXPECT_EQ(calibration_files, 2 * (kadrix::demo::kDarkFrames + kadrix::demo::kFlatFrames));
  // The shortest name the demo gives is 3 characters; the rule holds from 2.
  EXPECT_TRUE(kadrix_could_use("M4201.BMP"));
  EXPECT_TRUE(kadrix_could_use("NGC253SS.BMP"));
  EXPECT_TRUE(kadrix_could_use("M42_D01.BMP"));
  EXPECT_FALSE(kadrix_could_use("AB_DARK01.BMP"));
}

std::uint64_t fnv1a(const std::string& dir) {
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (const std::string& f : kadrix_test::list_dir(dir)) {
    const kadrix_test::Bytes bytes = kadrix_test::read_file(dir + "/" + f);
    for (const char c : f + '\0') h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    for (const std::uint8_t b : bytes) h = (h ^ b) * 0x100000001B3ull;
  }
  return h;
}

// The same options give the same bytes, on this machine and on any other:
// the digest of every file's name and bytes is pinned.
TEST(DemoRaw, SameOptionsGiveTheSameBytes) {
  TempDir a;
  TempDir b;
  const std::vector<std::string> options = {"--raw", "--objects", "2", "--frames", "4", "--width", "41",
                                            "--height", "33", "--seed", "9"};
  for (const TempDir* d : {&a, &b}) {
    std::vector<std::string> args = options;
    args.push_back(d->prefix());
    ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, args).exit_status, 0);
  }
  EXPECT_EQ(kadrix_test::list_dir(a.path().string()), kadrix_test::list_dir(b.path().string()));
  EXPECT_EQ(fnv1a(a.path().string()), fnv1a(b.path().string()));
  EXPECT_EQ(fnv1a(a.path().string()), 0x5bb60c6f923e7d25ull) << std::hex << fnv1a(a.path().string());
}

// --raw changes the camera, not the sky: the same options place the same
// stars, the transcript's object lines agree, and only the frames differ.
TEST(DemoRaw, RawAndCleanNightsPlaceTheSameStars) {
  TempDir raw;
  TempDir clean;
  const std::vector<std::string> options = {"--objects", "2", "--frames", "3", "--width", "60", "--height", "50"};
  std::vector<std::string> raw_args = options;
  raw_args.push_back("--raw");
  raw_args.push_back(raw.prefix());
  std::vector<std::string> clean_args = options;
  clean_args.push_back(clean.prefix());
  const RunResult r = kadrix_test::run_program(KADRIX_DEMO_BIN, raw_args);
  const RunResult c = kadrix_test::run_program(KADRIX_DEMO_BIN, clean_args);
  ASSERT_EQ(r.exit_status, 0);
  ASSERT_EQ(c.exit_status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find("\r\n") + 2), c.out.substr(0, c.out.find("\r\n") + 2));
  for (const std::string name : {"M42", "M51"}) {
    EXPECT_EQ(kadrix_test::read_file(raw.file(name + "_stars.csv")),
              kadrix_test::read_file(clean.file(name + "_stars.csv")));
    EXPECT_NE(kadrix_test::read_file(raw.file(name + "01.BMP")), kadrix_test::read_file(clean.file(name + "01.BMP")));
  }
}

// A night without --raw after a raw one into the same directory leaves no
// calibration frame or offset table that belongs to the older frames; the
// lights are those a clean night writes from the start.
TEST(DemoRaw, ACleanNightRemovesTheRawOnesCompanions) {
  TempDir dir;
  TempDir fresh;
  const std::vector<std::string> options = {"--objects", "1", "--frames", "3", "--width", "30", "--height", "20"};
  std::vector<std::string> raw = options;
  raw.push_back("--raw");
  raw.push_back(dir.prefix());
  ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, raw).exit_status, 0);
  ASSERT_TRUE(kadrix_test::exists(dir.file("M42_DARK10.BMP")));
  for (const TempDir* d : {&dir, &fresh}) {
    std::vector<std::string> args = options;
    args.push_back(d->prefix());
    ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, args).exit_status, 0);
  }
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"M4201.BMP", "M4202.BMP", "M4203.BMP", "M42_stars.csv", "lista.list"}));
  EXPECT_EQ(fnv1a(dir.path().string()), fnv1a(fresh.path().string()));
}

}  // namespace
