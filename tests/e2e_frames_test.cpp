// Whole runs: which frame files count, which are reported, where the
// sequence of an object ends.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace kadrix_e2e;
using kadrix_test::BmpShape;
using kadrix_test::build_bmp;
using kadrix_test::exists;
using kadrix_test::flat;
using kadrix_test::frame_bmp;
using kadrix_test::put_le16;
using kadrix_test::put_le32;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::write_file;

const char kSkipped[] = "za malo klatek, obiekt pominiety\r\n";

Bytes flat_frame() { return frame_bmp(8, 7, flat(8, 7, 10)); }

struct BadFrame {
  const char* title;
  std::function<Bytes()> make;
};

Bytes damaged(const std::function<void(Bytes&)>& damage) {
  Bytes bytes = flat_frame();
  damage(bytes);
  return bytes;
}

// A sound 8 x 7 file of 24 or 32 bits a pixel: readable, but not a frame.
Bytes colour_frame(std::uint16_t bits) {
  BmpShape s;
  s.width = 8;
  s.height = 7;
  s.bits = bits;
  s.palette_entries = 0;
  s.pixels.assign(8 * 7 * (bits / 8), 10);
  return build_bmp(s);
}

// Files that are regular but cannot serve as a frame.
const std::vector<BadFrame>& bad_frames() {
  static const std::vector<BadFrame> frames = {
      {"empty", [] { return Bytes{}; }},
      {"header_cut", [] { return damaged([](Bytes& b) { b.resize(53); }); }},
      {"text_file",
       [] {
         return Bytes{'h', 'e', 'l', 'l', 'o'};
       }},
      {"no_signature", [] { return damaged([](Bytes& b) { b[0] = 'P'; }); }},
      {"core_header", [] { return damaged([](Bytes& b) { put_le32(b, 14, 12); }); }},
      {"rgb_24", [] { return colour_frame(24); }},
      {"rgb_32", [] { return colour_frame(32); }},
      {"bits_4", [] { return damaged([](Bytes& b) { put_le16(b, 28, 4); }); }},
      {"rle8", [] { return damaged([](Bytes& b) { put_le32(b, 30, 1); }); }},
      {"offset_inside_header", [] { return damaged([](Bytes& b) { put_le32(b, 10, 53); }); }},
      {"width_0", [] { return damaged([](Bytes& b) { put_le32(b, 18, 0); }); }},
      {"width_negative",
       [] { return damaged([](Bytes& b) { put_le32(b, 18, static_cast<std::uint32_t>(-8)); }); }},
      {"height_0", [] { return damaged([](Bytes& b) { put_le32(b, 22, 0); }); }},
      {"height_int_min", [] { return damaged([](Bytes& b) { put_le32(b, 22, 0x80000000u); }); }},
      {"pixel_count_2_pow_31",
       [] {
         return damaged([](Bytes& b) {
           put_le32(b, 18, 65536);
           put_le32(b, 22, 32768);
         });
       }},
      // 8 x 7 needs 1078 + 56 bytes; the last stored row is one byte short.
      {"last_row_short", [] { return damaged([](Bytes& b) { b.resize(1078 + 55); }); }},
      {"forged_40000_square",
       [] {
         return damaged([](Bytes& b) {
           put_le32(b, 18, 40000);
           put_le32(b, 22, 40000);
         });
       }},
  };
  return frames;
}

class BadFrameOne : public ::testing::TestWithParam<BadFrame> {};

TEST_P(BadFrameOne, IsReportedOnceAndTheObjectSkipped) {
  TempDir dir;
  const std::string p = dir.prefix();
  write_file(frame_file(p, "A", 1), GetParam().make());
  write_file(frame_file(p, "A", 2), flat_frame());
  write_flat_object(p, "B", 2);
  write_file(dir.file("lista.list"), "A\nB\n");
  kadrix_test::RunOptions options;
  // No header, however forged, may make the run reach for gigabytes. (The
  // sanitizers reserve terabytes of address space at start: no limit there.)
#ifndef KADRIX_SANITIZED
  options.address_space_limit = std::uint64_t{1} << 30;
#endif
  const RunResult r = run_kadrix({p, dir.file("lista.list")}, options);
  EXPECT_EQ(r.out, preamble(p, {"A", "B"}) + "Zly plik " + frame_file(p, "A", 1) + "\r\nObr: A Kl: 0 " +
                       kSkipped + "Obr: B Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(exists(dir.file("ASR.BMP")));
  EXPECT_FALSE(exists(dir.file("ASS.BMP")));
}

class BadLaterFrame : public ::testing::TestWithParam<BadFrame> {};

TEST_P(BadLaterFrame, EndsTheSequenceWhereItStands) {
  TempDir dir;
  const std::string p = dir.prefix();
  write_flat_object(p, "A", 4);
  write_file(frame_file(p, "A", 3), GetParam().make());
  write_file(dir.file("lista.list"), "A\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out,
            preamble(p, {"A"}) + "Zly plik " + frame_file(p, "A", 3) + "\r\nObr: A Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_bytes(read_file(dir.file("ASS.BMP")), result_file(8, 7, flat(8, 7, 0), 10.0f, 0.0f, 2)));
}

std::vector<BadFrame> bad_later_frames() {
  std::vector<BadFrame> frames = bad_frames();
  // Sound files, but not of frame 01's size (8 x 7 = 56 pixels).
  frames.push_back({"wider", [] { return frame_bmp(9, 7, flat(9, 7, 10)); }});
  frames.push_back({"narrower", [] { return frame_bmp(7, 7, flat(7, 7, 10)); }});
  frames.push_back({"taller", [] { return frame_bmp(8, 8, flat(8, 8, 10)); }});
  frames.push_back({"shorter_top_down", [] {
                      BmpShape s;
                      s.width = 8;
                      s.height = 6;
                      s.top_down = true;
                      s.pixels = flat(8, 6, 10);
                      return build_bmp(s);
                    }});
  frames.push_back({"same_count_other_shape", [] { return frame_bmp(7, 8, flat(7, 8, 10)); }});
  frames.push_back({"same_count_one_row", [] { return frame_bmp(56, 1, flat(56, 1, 10)); }});
  return frames;
}

auto title = [](const ::testing::TestParamInfo<BadFrame>& info) { return std::string(info.param.title); };
INSTANTIATE_TEST_SUITE_P(Frames, BadFrameOne, ::testing::ValuesIn(bad_frames()), title);
INSTANTIATE_TEST_SUITE_P(Frames, BadLaterFrame, ::testing::ValuesIn(bad_later_frames()), title);

TEST(FrameSequence, FramesOfOtherLayoutsJoinFrameOne) {
  // Frame 02 stored top-down with a V5 header, a 16-entry palette and a
  // gap; frame 03 with no palette at all. Both hold the same image as
  // frame 01, so the mean is that image: a ramp whose SR file shows any
  // row read upside down.
  TempDir dir;
  const std::string p = dir.prefix();
  std::vector<std::uint8_t> ramp;
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 8; ++x) ramp.push_back(static_cast<std::uint8_t>(10 * y + x));
  BmpShape second;
  second.width = 8;
  second.height = 7;
  second.pixels = ramp;
  second.top_down = true;
  second.info_size = 124;
  second.palette_entries = 16;
  second.gap = 6;
  BmpShape third;
  third.width = 8;
  third.height = 7;
  third.pixels = ramp;
  third.palette_entries = 0;
  write_frames(p, "R", {frame_bmp(8, 7, ramp), build_bmp(second), build_bmp(third)});
  write_file(dir.file("lista.list"), "R\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  // Pixel (x, y) = 10 y + x: level 10 * 3 + 3.5 = 33.5; squares about it
  // 56 * (100 * 4 + 5.25) = 22694, sqrt(22694 / 55) = 20.3130052. Nothing
  // lies 3 sigma above. Usable rows 2..3 and columns 3..4 average
  // 10 * 2.5 + 3.5 = 28.5 in every window; squares about 28.5:
  // 22694 + 56 * 5^2 = 24094, sqrt(24094 / 55) = 20.9301870.
  EXPECT_EQ(r.out, preamble(p, {"R"}) + "Obr: R Kl: 3 Sr: 33.500000, Var: 20.313005 new Var: 20.930187\r\n");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_bytes(read_file(dir.file("RSR.BMP")), result_file(8, 7, ramp)));
  EXPECT_TRUE(
      same_bytes(read_file(dir.file("RSS.BMP")),
                 result_file(8, 7, flat(8, 7, 0), 33.5f, static_cast<float>(std::sqrt(24094.0 / 55.0)), 3)));
}

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

TEST(FrameSequence, FrameOneAloneIsNotEnough) {
  TempDir dir;
  const std::string p = dir.prefix();
  write_flat_object(p, "A", 1);
  write_file(dir.file("lista.list"), "A\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(p, {"A"}) + "Obr: A Kl: 1 " + kSkipped);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(exists(dir.file("ASR.BMP")));
  EXPECT_FALSE(exists(dir.file("ASS.BMP")));
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
