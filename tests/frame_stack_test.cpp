// Gathering the numbered frames of an object into the stack.

#include "bmp/frame_stack.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kadrix_test::BmpShape;
using kadrix_test::build_bmp;
using kadrix_test::capture_stdout;
using kadrix_test::frame_bmp;
using kadrix_test::TempDir;
using kadrix_test::write_file;

std::string name_of(const TempDir& dir, const std::string& object, const char* number) {
  return dir.prefix() + object + number + ".BMP";
}

TEST(FramePath, NumbersTakeTwoDigitsThenThree) {
  EXPECT_EQ(kadrix::frame_path("d/", "AB", 1), "d/AB01.BMP");
  EXPECT_EQ(kadrix::frame_path("d/", "AB", 9), "d/AB09.BMP");
  EXPECT_EQ(kadrix::frame_path("d/", "AB", 10), "d/AB10.BMP");
  EXPECT_EQ(kadrix::frame_path("d/", "AB", 99), "d/AB99.BMP");
  EXPECT_EQ(kadrix::frame_path("d/", "AB", 100), "d/AB100.BMP");
  // The directory text is a plain prefix.
  EXPECT_EQ(kadrix::frame_path("pre", "X", 2), "preX02.BMP");
}

struct Loaded {
  kadrix::FrameStack stack;
  kadrix::ObjectRecord record;
  std::string out;
};

Loaded load(const TempDir& dir, const std::string& name) {
  Loaded l;
  l.out = capture_stdout([&] { l.stack = kadrix::load_frame_stack(dir.prefix(), name, l.record); });
  return l;
}

struct LoadedSums {
  kadrix::fast::FrameSums sums;
  kadrix::ObjectRecord record;
  std::string out;
};

LoadedSums load_sums(const TempDir& dir, const std::string& name) {
  LoadedSums l;
  l.out = capture_stdout([&] { l.sums = kadrix::fast::load_frame_stack(dir.prefix(), name, l.record); });
  return l;
}

// Both loaders must tell the same story about the same files.
void expect_both_loaders(const TempDir& dir, const std::string& name, const std::string& out, int frames) {
  const Loaded l = load(dir, name);
  EXPECT_EQ(l.out, out);
  EXPECT_EQ(l.record.frame_count, frames);
  const LoadedSums s = load_sums(dir, name);
  EXPECT_EQ(s.out, out) << "frame sums";
  EXPECT_EQ(s.record.frame_count, frames) << "frame sums";
  EXPECT_EQ(s.record.width, l.record.width);
  EXPECT_EQ(s.record.height, l.record.height);
}

TEST(FrameStack, FramesLieOneAfterAnotherInFileNumberOrder) {
  // 3 x 2 frames; frame k holds 10k + i at pixel i, and frame 2 has a 200
  // that must stay 200 (not -56) in the stack.
  TempDir dir;
  for (int k = 1; k <= 3; ++k) {
    std::vector<std::uint8_t> pixels;
    for (int i = 0; i < 6; ++i) pixels.push_back(static_cast<std::uint8_t>(10 * k + i));
    if (k == 2) pixels[4] = 200;
    write_file(name_of(dir, "OB", k == 1 ? "01" : k == 2 ? "02" : "03"), frame_bmp(3, 2, pixels));
  }
  Loaded l = load(dir, "OB");
  EXPECT_EQ(l.out, "Obr: OB Kl: 3 ");
  EXPECT_EQ(l.record.width, 3);
  EXPECT_EQ(l.record.height, 2);
  EXPECT_EQ(l.record.pixel_count, 6);
  EXPECT_EQ(l.record.frame_count, 3);
  ASSERT_NE(l.stack.samples, nullptr);
  const std::vector<std::int32_t> expected = {10, 11, 12, 13, 14,  15,  //
                                              20, 21, 22, 23, 200, 25,  //
                                              30, 31, 32, 33, 34,  35};
  EXPECT_EQ(std::vector<std::int32_t>(l.stack.samples.get(), l.stack.samples.get() + 18), expected);

  // The per-pixel sums and maxima of the same frames.
  LoadedSums s = load_sums(dir, "OB");
  EXPECT_EQ(s.out, "Obr: OB Kl: 3 ");
  EXPECT_EQ(s.record.pixel_count, 6);
  EXPECT_EQ(s.record.frame_count, 3);
  EXPECT_EQ(s.sums.sum, (std::vector<std::uint16_t>{60, 63, 66, 69, 248, 75}));
  EXPECT_EQ(s.sums.max, (std::vector<std::uint8_t>{30, 31, 32, 33, 200, 35}));
}

TEST(FrameStack, AGapEndsTheSequence) {
  TempDir dir;
  write_file(name_of(dir, "G", "01"), frame_bmp(2, 2, {1, 2, 3, 4}));
  write_file(name_of(dir, "G", "02"), frame_bmp(2, 2, {5, 6, 7, 8}));
  // Frame 04 is damaged: were it read, it would be reported.
  write_file(name_of(dir, "G", "04"), std::string("not a frame"));
  expect_both_loaders(dir, "G", "Obr: G Kl: 2 ", 2);
}

TEST(FrameStack, AFrameStoredTopDownJoinsOneStoredBottomUp) {
  TempDir dir;
  const std::vector<std::uint8_t> image = {1, 2, 3, 4, 5, 6};
  write_file(name_of(dir, "T", "01"), frame_bmp(3, 2, image));
  BmpShape shape;
  shape.width = 3;
  shape.height = 2;
  shape.pixels = {7, 8, 9, 10, 11, 12};
  shape.top_down = true;
  shape.info_size = 124;
  shape.palette_entries = 3;
  write_file(name_of(dir, "T", "02"), build_bmp(shape));
  Loaded l = load(dir, "T");
  EXPECT_EQ(l.out, "Obr: T Kl: 2 ");
  ASSERT_NE(l.stack.samples, nullptr);
  EXPECT_EQ(std::vector<std::int32_t>(l.stack.samples.get(), l.stack.samples.get() + 12),
            (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  LoadedSums s = load_sums(dir, "T");
  EXPECT_EQ(s.out, "Obr: T Kl: 2 ");
  EXPECT_EQ(s.sums.sum, (std::vector<std::uint16_t>{8, 10, 12, 14, 16, 18}));
  EXPECT_EQ(s.sums.max, (std::vector<std::uint8_t>{7, 8, 9, 10, 11, 12}));
}

TEST(FrameStack, AFrameOfAnotherSizeIsReportedAndEndsTheSequence) {
  struct Case {
    std::int32_t width, height;
  };
  // Frame 01 is 4 x 3; frame 03 differs in width or height, frame 04 is fine.
  for (const Case& c : {Case{5, 3}, Case{3, 3}, Case{4, 2}, Case{4, 4}, Case{12, 1}}) {
    TempDir dir;
    for (const char* k : {"01", "02", "04"})
      write_file(name_of(dir, "M", k), frame_bmp(4, 3, kadrix_test::flat(4, 3, 9)));
    write_file(name_of(dir, "M", "03"),
               frame_bmp(c.width, c.height, kadrix_test::flat(c.width, c.height, 9)));
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    expect_both_loaders(dir, "M", "Zly plik " + name_of(dir, "M", "03") + "\r\nObr: M Kl: 2 ", 2);
    const Loaded l = load(dir, "M");
    EXPECT_EQ(l.record.width, 4);
    EXPECT_EQ(l.record.height, 3);
  }
}

TEST(FrameStack, ABadFrameOneIsReportedOnce) {
  TempDir dir;
  write_file(name_of(dir, "B", "01"), std::string("BM but nothing else"));
  write_file(name_of(dir, "B", "02"), frame_bmp(2, 2, {1, 2, 3, 4}));
  const std::string head = "Zly plik " + name_of(dir, "B", "01") + "\r\nObr: B Kl: 0 ";
  const Loaded l = load(dir, "B");
  EXPECT_EQ(l.out.substr(0, head.size()), head);
  EXPECT_EQ(l.out.find("Zly plik", 1), std::string::npos) << l.out;
  EXPECT_EQ(l.record.frame_count, 0);
  const LoadedSums s = load_sums(dir, "B");
  EXPECT_EQ(s.out.substr(0, head.size()), head);
  EXPECT_EQ(s.out.find("Zly plik", 1), std::string::npos) << s.out;
  EXPECT_EQ(s.record.frame_count, 0);
}

TEST(FrameStack, ADeeperFrameIsNotAFrame) {
  TempDir dir;
  BmpShape shape;
  shape.width = 2;
  shape.height = 2;
  shape.bits = 24;
  shape.palette_entries = 0;
  shape.pixels.assign(12, 50);
  write_file(name_of(dir, "C", "01"), frame_bmp(2, 2, {1, 2, 3, 4}));
  write_file(name_of(dir, "C", "02"), frame_bmp(2, 2, {1, 2, 3, 4}));
  write_file(name_of(dir, "C", "03"), build_bmp(shape));
  expect_both_loaders(dir, "C", "Zly plik " + name_of(dir, "C", "03") + "\r\nObr: C Kl: 2 ", 2);
}

}  // namespace
