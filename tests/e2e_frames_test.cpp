// Whole runs: which frame files count, which are reported and why, where
// the sequence of an object ends. Every file of the damaged-frame catalogue
// stands once as frame 01 and once as a later frame of an object.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "damaged_frames.h"
#include "e2e_support.h"

namespace {

using namespace kadrix_e2e;
using kadrix_test::exists;
using kadrix_test::flat;
using kadrix_test::frame_bmp;
using kadrix_test::FrameCase;
using kadrix_test::FrameKind;
using kadrix_test::kBaseHeight;
using kadrix_test::kBaseWidth;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::write_file;

const char kSkipped[] = "za malo klatek, obiekt pominiety\r\n";

Bytes flat_frame() { return frame_bmp(8, 7, flat(8, 7, 10)); }

// ---- the damaged-frame catalogue -------------------------------------------

// An object whose frames all hold the base image P, pixel (x, y) = 10 y + x
// on 9 x 7 but for a star of 200 at (4, 5), has P as its mean image,
// (n P - P) / (n - 1), whatever its number of frames n:
//   sum 9 * 10 * 21 + 7 * 36 = 2142, with the star 2288;
//   level 2288 / 63 = 36.317460
//   sum of squares 100 * 9 * 91 + 20 * 21 * 36 + 7 * 204 = 98448, with the
//   star 98448 - 54^2 + 200^2 = 135532; about the level
//   135532 - 2288^2 / 63 = 52437.651; sigma sqrt(52437.651 / 62) = 29.082100
// Only the star lies above 36.317 + 3 * 29.082 = 123.56. The usable rows
// 2..3 and columns 3..5 lie in every window of a 9 x 7 image and hold
// 23 24 25 33 34 35: the background is 29 everywhere. About it the ramp
// without the star gives 25620 + 63 * 5^2 = 27195 (its squares about 34
// are 900 * 28 + 7 * 60 = 25620), less (54 - 29)^2 for the star's place:
//   26570 over 62 pixels, new sigma sqrt(26570 / 61) = 20.870404
// and only the star lies above 29 + 3 * 20.870 = 91.6. Codes: P gives SR P
// and SS 0, the star 2 * 25600 + 1: SR 200, SS 1.
const char kBaseLine[] = "Sr: 36.317460, Var: 29.082100 new Var: 20.870404\r\n";

Bytes base_sr() { return result_file(kBaseWidth, kBaseHeight, kadrix_test::base_pixels()); }

Bytes base_ss(int frames) {
  std::vector<std::uint8_t> flags = flat(kBaseWidth, kBaseHeight, 0);
  flags[5 * kBaseWidth + 4] = 1;
  return result_file(kBaseWidth, kBaseHeight, flags, static_cast<float>(2288.0 / 63.0),
                     static_cast<float>(std::sqrt(26570.0 / 61.0)), frames);
}

std::string size_text(std::int32_t width, std::int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// One object of the run: the case it holds, its name, the text it must
// give and the frames it is analysed with (0: skipped, nothing written).
struct Planned {
  const FrameCase* frame_case;
  std::string name;
  std::string text;
  int analysed;
};

// Where the case stands: as frame 01 of base frames 02 and 03, or as
// frame 03 after base frames 01 and 02 and before a base frame 04, which
// must never be read.
enum class Place { first, later };

Planned plan(const std::string& p, const std::string& name, const FrameCase& c, Place place) {
  const std::string obr = "Obr: " + name + " Kl: ";
  const std::string bad = "Zly plik " + frame_file(p, name, place == Place::first ? 1 : 3) + ": ";
  if (place == Place::first) {
    write_file(frame_file(p, name, 1), c.bytes);
    for (const int k : {2, 3}) write_file(frame_file(p, name, k), kadrix_test::base_frame());
    switch (c.kind) {
      case FrameKind::damaged: return {&c, name, bad + c.reason + "\r\n" + obr + "0 " + kSkipped, 0};
      case FrameKind::other_size:
        // Frame 01 sets the size: the base frame 02 is the one that differs.
        return {&c, name,
                "Zly plik " + frame_file(p, name, 2) + ": rozmiar " + size_text(kBaseWidth, kBaseHeight) +
                    ", klatka 01 ma " + size_text(c.width, c.height) + "\r\n" + obr + "1 " + kSkipped,
                0};
      case FrameKind::sound: return {&c, name, obr + "3 " + kBaseLine, 3};
    }
  }
  for (const int k : {1, 2, 4}) write_file(frame_file(p, name, k), kadrix_test::base_frame());
  write_file(frame_file(p, name, 3), c.bytes);
  switch (c.kind) {
    case FrameKind::damaged: return {&c, name, bad + c.reason + "\r\n" + obr + "2 " + kBaseLine, 2};
    case FrameKind::other_size:
      return {&c, name,
              bad + "rozmiar " + size_text(c.width, c.height) + ", klatka 01 ma " +
                  size_text(kBaseWidth, kBaseHeight) + "\r\n" + obr + "2 " + kBaseLine,
              2};
    case FrameKind::sound: break;
  }
  return {&c, name, obr + "4 " + kBaseLine, 4};
}

// Every case of the catalogue in its place, as many objects to a run as a
// list may name, under a memory cap no forged header may break through.
void run_catalogue(Place place) {
  const std::vector<FrameCase>& cases = kadrix_test::frame_catalogue();
  constexpr std::size_t kObjectsPerRun = 199;
  for (std::size_t from = 0; from < cases.size(); from += kObjectsPerRun) {
    TempDir dir;
    const std::string p = dir.prefix();
    std::vector<Planned> objects;
    std::vector<std::string> names;
    std::string list;
    for (std::size_t i = from; i < cases.size() && i < from + kObjectsPerRun; ++i) {
      char name[24];
      std::snprintf(name, sizeof name, "%c%03zu", place == Place::first ? 'F' : 'L', i);
      objects.push_back(plan(p, name, cases[i], place));
      names.push_back(name);
      list += std::string(name) + "\n";
    }
    write_file(dir.file("lista.list"), list);

    const RunResult r = run_kadrix({p, dir.file("lista.list")}, kadrix_test::capped_memory());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    // Byte for byte, object by object, so that a difference names its case.
    const std::string head = preamble(p, names);
    ASSERT_TRUE(same_bytes(Bytes(r.out.begin(), r.out.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min(head.size(), r.out.size()))),
                           Bytes(head.begin(), head.end())));
    std::size_t at = head.size();
    bool matched = true;
    for (const Planned& o : objects) {
      if (r.out.compare(at, o.text.size(), o.text) != 0) {
        matched = false;
        ADD_FAILURE() << o.name << " (" << o.frame_case->title << "):\n  expected: " << o.text
                      << "\n  got:      " << r.out.substr(at, o.text.size() + 40);
        break;
      }
      at += o.text.size();
    }
    if (matched) {
      EXPECT_EQ(r.out.substr(at), "") << "after the last object";
    }

    for (const Planned& o : objects) {
      SCOPED_TRACE(o.name + " (" + o.frame_case->title + ")");
      const std::string sr = p + o.name + "SR.BMP";
      const std::string ss = p + o.name + "SS.BMP";
      if (o.analysed == 0) {
        EXPECT_FALSE(exists(sr));
        EXPECT_FALSE(exists(ss));
        continue;
      }
      ASSERT_TRUE(exists(sr) && exists(ss));
      EXPECT_TRUE(same_bytes(read_file(sr), base_sr()));
      EXPECT_TRUE(same_bytes(read_file(ss), base_ss(o.analysed)));
    }
    EXPECT_EQ(temporaries(dir.path().string()), std::vector<std::string>{});
  }
}

TEST(DamagedFrameCatalogue, AsFrameOne) { run_catalogue(Place::first); }

TEST(DamagedFrameCatalogue, AsALaterFrame) { run_catalogue(Place::later); }

TEST(FrameSequence, AFrameWhoseReadFailsPartWayIsReportedAndLeftOut) {
  // Frame 03 is cut short at the moment kadrix starts reading its rows,
  // after its header was checked: none of its pixels may join the mean.
  TempDir dir;
  const std::string p = dir.prefix();
  for (int k = 1; k <= 4; ++k) write_file(frame_file(p, "R", k), kadrix_test::base_frame());
  write_file(dir.file("lista.list"), "R\n");
  const std::string target = frame_file(p, "R", 3);
  constexpr std::uint64_t kPixelsAt = 1078;
  bool opened = false;
  RunOptions options;
  options.on_syscall = [&](const kadrix_test::SyscallEntry& call) {
    if (!opened) {
      opened = kadrix_test::opened_path(call) == target;
      return false;
    }
    if (call.number != SYS_pread64 || call.args[3] != kPixelsAt) return false;
    if (truncate(target.c_str(), kPixelsAt + 12) != 0) ADD_FAILURE() << "cannot cut " << target;
    return true;
  };
  const RunResult r = run_kadrix({p, dir.file("lista.list")}, options);
  if (!r.traced) GTEST_SKIP() << "this machine does not let a test trace its child (ptrace)";
  ASSERT_TRUE(r.trace_done) << "kadrix never read the rows of " << target << " at byte 1078:\n" << r.out;
  EXPECT_EQ(r.out, preamble(p, {"R"}) + "Zly plik " + target + ": blad odczytu\r\nObr: R Kl: 2 " + kBaseLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_bytes(read_file(p + "RSR.BMP"), base_sr()));
  EXPECT_TRUE(same_bytes(read_file(p + "RSS.BMP"), base_ss(2)));
}

// ---- absent frames and the end of a sequence --------------------------------

struct Absence {
  const char* title;
  std::function<void(const std::string& path)> make;
};

class AbsentFrame : public ::testing::TestWithParam<Absence> {};

TEST_P(AbsentFrame, EndsTheSequenceSilently) {
  for (int number : {1, 2}) {
    TempDir dir;
    const std::string p = dir.prefix();
    write_flat_object(p, "A", 3);
    unlink(frame_file(p, "A", number).c_str());
    GetParam().make(frame_file(p, "A", number));
    write_flat_object(p, "B", 2);
    write_file(dir.file("lista.list"), "A\nB\n");
    kadrix_test::RunOptions options;
    options.timeout_seconds = 20;  // a run blocked on a pipe is ended and fails
    const RunResult r = run_kadrix({p, dir.file("lista.list")}, options);
    EXPECT_FALSE(r.timed_out) << "frame " << number;
    EXPECT_EQ(r.out, preamble(p, {"A", "B"}) + "Obr: A Kl: " + std::to_string(number - 1) + " " + kSkipped +
                         "Obr: B Kl: 2 " + kFlatLine)
        << "frame " << number;
    EXPECT_EQ(r.exit_status, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AbsentFrame,
    ::testing::Values(
        Absence{"missing", [](const std::string&) {}},
        Absence{"directory", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }},
        Absence{"fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
        Absence{"device", [](const std::string& path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }},
        Absence{"dangling_link",
                [](const std::string& path) {
                  ASSERT_EQ(symlink("/nonexistent/kadrix/frame.BMP", path.c_str()), 0);
                }}),
    [](const ::testing::TestParamInfo<Absence>& info) { return std::string(info.param.title); });

TEST(FrameSequence, FramesAfterAGapAreNeverRead) {
  TempDir dir;
  const std::string p = dir.prefix();
  write_flat_object(p, "A", 2);
  // Frame 04 is damaged: reading it would report it.
  write_file(frame_file(p, "A", 4), Bytes{'B', 'M'});
  // Frame 04 of B is sound but dark: reading it would change the numbers.
  write_flat_object(p, "B", 2);
  write_file(frame_file(p, "B", 4), frame_bmp(8, 7, flat(8, 7, 0)));
  write_file(dir.file("lista.list"), "A B");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(p, {"A", "B"}) + "Obr: A Kl: 2 " + kFlatLine + "Obr: B Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.exit_status, 0);
}

TEST(FrameSequence, FrameOneHundredIsReadAndOneHundredOneIsNot) {
  // 1 x 1 frames: 01 to 99 hold 10, frame 100 holds 0. The mean is
  // (99 * 10 + 0 - 10) / 99 = 980 / 99 = 9.8989...; had frame 100 been
  // missed it would be 10. Frame 101 is damaged, so reading it would show.
  TempDir dir;
  const std::string p = dir.prefix();
  const Bytes ten = frame_bmp(1, 1, {10});
  for (int k = 1; k <= 99; ++k) write_file(frame_file(p, "H", k), ten);
  write_file(frame_file(p, "H", 100), frame_bmp(1, 1, {0}));
  write_file(frame_file(p, "H", 101), Bytes{'n', 'o'});
  ASSERT_TRUE(exists(p + "H100.BMP"));
  write_file(dir.file("lista.list"), "H\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  // One pixel: sigma 0, no usable window, so no "new Var" and no line end.
  EXPECT_EQ(r.out, preamble(p, {"H"}) + "Obr: H Kl: 100 Sr: 9.898990, Var: 0.000000 ");
  EXPECT_EQ(r.exit_status, 0);
  // q = trunc(980 / 99 * 128) = trunc(1267.07) = 1267, code 2534: SR 9, SS 2534 - 2304 = 230.
  EXPECT_TRUE(same_bytes(read_file(dir.file("HSR.BMP")), result_file(1, 1, {9})));
  EXPECT_TRUE(same_bytes(read_file(dir.file("HSS.BMP")),
                         result_file(1, 1, {230}, static_cast<float>(980.0 / 99.0), 0.0f, 100)));
}

TEST(FrameSequence, NamesAreMatchedExactlyUpperCaseSuffixIncluded) {
  TempDir dir;
  const std::string p = dir.prefix();
  write_flat_object(p, "mix", 2);  // mix01.BMP, mix02.BMP
  write_file(p + "lc01.bmp", flat_frame());
  write_file(p + "lc02.bmp", flat_frame());
  write_file(p + "Up01.BMP", flat_frame());
  write_file(p + "Up02.BMP", flat_frame());
  write_file(dir.file("lista.list"), "mix\nlc\nUP\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(p, {"mix", "lc", "UP"}) + "Obr: mix Kl: 2 " + kFlatLine + "Obr: lc Kl: 0 " +
                       kSkipped + "Obr: UP Kl: 0 " + kSkipped);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(exists(p + "mixSR.BMP"));
}

TEST(FrameSequence, ADirectoryArgumentOfAnyLength) {
  TempDir dir;
  std::string nested = dir.path().string();
  for (int i = 0; i < 5; ++i) {
    nested += std::string("/") + std::string(90, static_cast<char>('a' + i));
    ASSERT_EQ(mkdir(nested.c_str(), 0755), 0);
  }
  const std::string p = nested + "/";
  ASSERT_GT(p.size(), 450u);
  write_flat_object(p, "LONG", 2);
  write_file(dir.file("lista.list"), "LONG\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(p, {"LONG"}) + "Obr: LONG Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_bytes(read_file(p + "LONGSR.BMP"), result_file(8, 7, flat(8, 7, 10))));
}

}  // namespace
