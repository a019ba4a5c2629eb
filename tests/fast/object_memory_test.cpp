// An object's memory: the result pair's blocks take the background map's
// bytes without growing them, whatever the width, and stay through the
// release of what only the computation needs.

#include "driver/object_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "driver/fast_stages.h"

namespace {

using kadrix::FrameSize;
using kadrix::ObjectMemory;

TEST(ObjectMemory, ThePairsBlocksTakeTheBackgroundsBytes) {
  // Widths with every padding of a row, and a single row or column.
  const FrameSize sizes[] = {{1, 1}, {1, 9}, {2, 3}, {3, 2}, {4, 4}, {5, 1}, {7, 13}, {4097, 3}};
  for (const FrameSize size : sizes) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    ObjectMemory memory(kadrix::fast_stages());
    const auto pixels = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
    const std::span<double> background = memory.take_background(pixels);
    const auto* first = reinterpret_cast<const std::uint8_t*>(background.data());
    const auto* end = first + background.size_bytes();

    const kadrix::PairBlocks pair = memory.take_pair(size);
    const std::size_t block = kadrix::result_block_bytes(size.width, size.height);
    ASSERT_EQ(pair.sr.size(), block);
    ASSERT_EQ(pair.ss.size(), block);
    EXPECT_EQ(pair.sr.data(), first) << "the blocks start where the map did";
    EXPECT_EQ(pair.ss.data(), pair.sr.data() + block) << "SS follows SR";
    EXPECT_LE(pair.ss.data() + block, end) << "the blocks fit in the map's bytes";
    EXPECT_EQ(memory.pair().sr.data(), pair.sr.data());
    EXPECT_EQ(memory.pair().ss.data(), pair.ss.data());
  }
}

TEST(ObjectMemory, ThePairOutlivesTheReleaseOfTheComputationsArrays) {
  ObjectMemory memory(kadrix::fast_stages());
  const FrameSize size{33, 17};
  const std::size_t pixels = 33 * 17;
  memory.take_mean(pixels);
  memory.take_flags(pixels);
  memory.take_background(pixels);
  const kadrix::PairBlocks pair = memory.take_pair(size);
  for (std::size_t i = 0; i < pair.sr.size(); ++i) {
    pair.sr[i] = static_cast<std::uint8_t>(i);
    pair.ss[i] = static_cast<std::uint8_t>(255 - i % 256);
  }
  EXPECT_GE(memory.release_scratch(), pixels * (sizeof(double) + 1)) << "the mean and the flags are given back";
  EXPECT_EQ(memory.release_scratch(), 0u) << "nothing is counted twice";
  ASSERT_EQ(memory.pair().sr.data(), pair.sr.data());
  for (std::size_t i = 0; i < pair.sr.size(); ++i) {
    ASSERT_EQ(memory.pair().sr[i], static_cast<std::uint8_t>(i)) << i;
    ASSERT_EQ(memory.pair().ss[i], static_cast<std::uint8_t>(255 - i % 256)) << i;
  }
  memory.release();
  EXPECT_TRUE(memory.pair().sr.empty());
  EXPECT_TRUE(memory.pair().ss.empty());
}

}  // namespace
