// The frames of an object: their names, where the sequence ends, and what
// both loaders (the fast sums and the reference stack) make of the files.

#include "bmp/frame_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/fast_stages.h"
#include "reference/reference_kernels.h"
#include "test_support.h"

namespace {

using kadrix::BmpFault;
using kadrix::FrameSequence;
using kadrix::FrameSize;
using kadrix_test::BmpShape;
using kadrix_test::build_bmp;
using kadrix_test::frame_bmp;
using kadrix_test::TempDir;
using kadrix_test::write_file;

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
  FrameSequence sums_sequence;
  FrameSequence stack_sequence;
  std::vector<std::uint16_t> sum;
  std::vector<std::uint8_t> max;
  std::vector<std::int32_t> stack;  // the frames loaded, one after another
};

// Loads the object both ways; both loaders must tell the same story.
Loaded load(const TempDir& dir, const std::string& name) {
  Loaded l;
  kadrix::FrameSumStore store;
  l.sums_sequence = store.load_frame_stack(dir.prefix(), name);
  const auto pixels = static_cast<std::size_t>(l.sums_sequence.pixel_count());
  if (l.sums_sequence.frame_count > 0) {
    const auto sum = store.sum.view(pixels);
    const auto max = store.max.view(pixels);
    l.sum.assign(sum.begin(), sum.end());
    l.max.assign(max.begin(), max.end());
  }
  kadrix::reference::FrameStack stack;
  l.stack_sequence = kadrix::reference::load_frame_stack(dir.prefix(), name, stack);
  if (stack) l.stack.assign(stack.get(), stack.get() + pixels * static_cast<std::size_t>(l.stack_sequence.frame_count));

  const FrameSequence& a = l.sums_sequence;
  const FrameSequence& b = l.stack_sequence;
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.frame_count, b.frame_count);
  EXPECT_EQ(a.unusable.has_value(), b.unusable.has_value());
  if (a.unusable && b.unusable) {
    EXPECT_EQ(a.unusable->path, b.unusable->path);
    EXPECT_EQ(a.unusable->check.fault, b.unusable->check.fault);
  }
  return l;
}

std::string frame(const TempDir& dir, const std::string& name, int number) {
  return kadrix::frame_path(dir.prefix(), name, number);
}

TEST(FrameSequence, FramesLieOneAfterAnotherInFileNumberOrder) {
  TempDir dir;
  write_file(frame(dir, "S", 1), frame_bmp(3, 2, {1, 2, 3, 4, 5, 6}));
  write_file(frame(dir, "S", 2), frame_bmp(3, 2, {10, 20, 30, 40, 50, 60}));
  write_file(frame(dir, "S", 3), frame_bmp(3, 2, {200, 0, 7, 7, 255, 1}));
  const Loaded l = load(dir, "S");
  EXPECT_EQ(l.sums_sequence.size, (FrameSize{3, 2}));
  EXPECT_EQ(l.sums_sequence.frame_count, 3);
  EXPECT_FALSE(l.sums_sequence.unusable);
  EXPECT_EQ(l.stack, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 10, 20, 30, 40, 50, 60, 200, 0, 7, 7, 255, 1}));
  EXPECT_EQ(l.sum, (std::vector<std::uint16_t>{211, 22, 40, 51, 310, 67}));
  EXPECT_EQ(l.max, (std::vector<std::uint8_t>{200, 20, 30, 40, 255, 60}));
}

TEST(FrameSequence, AFrameStoredTopDownJoinsOneStoredBottomUp) {
  TempDir dir;
  write_file(frame(dir, "T", 1), frame_bmp(3, 2, {1, 2, 3, 4, 5, 6}));
  BmpShape shape;
  shape.width = 3;
  shape.height = 2;
  shape.pixels = {7, 8, 9, 10, 11, 12};
  shape.top_down = true;
  shape.info_size = 124;
  shape.palette_entries = 3;
  write_file(frame(dir, "T", 2), build_bmp(shape));
  const Loaded l = load(dir, "T");
  EXPECT_EQ(l.sums_sequence.frame_count, 2);
  EXPECT_EQ(l.stack, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(l.sum, (std::vector<std::uint16_t>{8, 10, 12, 14, 16, 18}));
  EXPECT_EQ(l.max, (std::vector<std::uint8_t>{7, 8, 9, 10, 11, 12}));
}

TEST(FrameSequence, ABadFrameOneEndsItWithNoFrames) {
  TempDir dir;
  write_file(frame(dir, "B", 1), std::string("BM but nothing else"));
  write_file(frame(dir, "B", 2), frame_bmp(2, 2, {1, 2, 3, 4}));
  const Loaded l = load(dir, "B");
  EXPECT_EQ(l.sums_sequence.frame_count, 0);
  EXPECT_EQ(l.sums_sequence.size, FrameSize{});
  ASSERT_TRUE(l.sums_sequence.unusable);
  EXPECT_EQ(l.sums_sequence.unusable->path, frame(dir, "B", 1));
  EXPECT_EQ(l.sums_sequence.unusable->check.fault, BmpFault::short_header);
}

TEST(FrameFile, WrittenAsTheLoaderReadsIt) {
  TempDir dir;
  kadrix::ByteImage image{5, 3, {}};
  for (int i = 0; i < 15; ++i) image.pixels.push_back(static_cast<std::uint8_t>(i * 17));
  ASSERT_TRUE(kadrix::write_frame(frame(dir, "W", 1), image));
  ASSERT_TRUE(kadrix::write_frame(frame(dir, "W", 2), image));
  EXPECT_TRUE(kadrix_test::same_bytes(kadrix_test::read_file(frame(dir, "W", 1)), frame_bmp(5, 3, image.pixels)));
  const Loaded l = load(dir, "W");
  EXPECT_EQ(l.sums_sequence.frame_count, 2);
  EXPECT_EQ(l.max, image.pixels);
  EXPECT_FALSE(kadrix::write_frame(dir.file("no/such/dir/W01.BMP"), image));
}

}  // namespace
