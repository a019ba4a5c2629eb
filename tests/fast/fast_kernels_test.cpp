// The fast kernels against the straightforward ones they replace: many
// random images, masks and frame stacks, compared bit for bit.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference/reference_kernels.h"
#include "stats/background.h"
#include "stats/frame_sums.h"

namespace {

using BackgroundMap = std::vector<double>;
using BrightMask = std::vector<std::uint8_t>;
using MeanImage = std::vector<double>;

// The map of rows [0, height) by one build, split into bands of the given
// heights (the last band takes what is left).
BackgroundMap map_of(kadrix::BackgroundMapper map, const MeanImage& mean, const BrightMask& mask, int width,
                     int height, int r, const std::vector<int>& bands = {}) {
  BackgroundMap out(mean.size(), -1.0);
  int first = 0;
  for (const int band : bands) {
    const int end = std::min(first + band, height);
    map(mean, mask, width, height, r, {first, end}, out);
    first = end;
  }
  map(mean, mask, width, height, r, {first, height}, out);
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The first pixel where two maps differ, for a readable failure.
std::string first_difference(const std::vector<double>& a, const std::vector<double>& b, int width) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) {
      char text[160];
      std::snprintf(text, sizeof text, "pixel (%d, %d): %.17g vs %.17g", static_cast<int>(i % width),
                    static_cast<int>(i / width), a[i], b[i]);
      return text;
    }
  }
  return "sizes differ";
}

struct Size {
  int width;
  int height;
};

// Tiny, degenerate, odd and a few hundred wide; the window half-width 5
// makes 7 x 6 the smallest image with a usable pixel.
const Size kSizes[] = {{1, 1},   {2, 3},   {6, 5},   {7, 6},    {8, 7},    {11, 1},  {1, 11},
                       {13, 9},  {31, 17}, {33, 40}, {64, 64},  {65, 3},   {129, 77}, {257, 11},
                       {301, 203}};

enum class MaskKind { none, all, sparse, dense };
const MaskKind kMasks[] = {MaskKind::none, MaskKind::all, MaskKind::sparse, MaskKind::dense};

// Means as the combination makes them (whole sums over frame_count - 1,
// many fraction bits for 19 or 37) or arbitrary doubles in [0, 255].
MeanImage random_mean(std::mt19937_64& rng, std::size_t n, int kind) {
  MeanImage mean(n);
  std::uniform_real_distribution<double> any(0.0, 255.0);
  std::uniform_int_distribution<int> sum(0, 255 * 36);
  for (double& m : mean) {
    switch (kind) {
      case 0: m = any(rng); break;
      case 1: m = static_cast<double>(sum(rng) % (255 * 19 + 1)) / 19; break;
      default: m = static_cast<double>(sum(rng)) / 36; break;
    }
  }
  return mean;
}

BrightMask random_mask(std::mt19937_64& rng, std::size_t n, MaskKind kind) {
  BrightMask mask(n, kind == MaskKind::all ? 1 : 0);
  const double density = kind == MaskKind::sparse ? 0.05 : 0.6;
  if (kind == MaskKind::sparse || kind == MaskKind::dense) {
    std::bernoulli_distribution flagged(density);
    for (auto& f : mask) f = flagged(rng) ? 1 : 0;
  }
  return mask;
}

TEST(FastBackground, EveryVariantMatchesTheStraightforwardMapBitForBit) {
  std::mt19937_64 rng(20261209);
  std::string skipped;
  for (const auto& kernel : kadrix::background_kernels()) {
    if (!kernel.supported()) {
      skipped += std::string(skipped.empty() ? "" : ", ") + kernel.name;
      continue;
    }
    for (const Size size : kSizes) {
      const std::size_t n = static_cast<std::size_t>(size.width) * size.height;
      for (const MaskKind mask_kind : kMasks) {
        for (int value_kind = 0; value_kind < 3; ++value_kind) {
          for (const int r : {5, 0, 1, 3, 8}) {
            const MeanImage mean = random_mean(rng, n, value_kind);
            const BrightMask mask = random_mask(rng, n, mask_kind);
            const BackgroundMap expected =
                map_of(kadrix::reference::estimate_background, mean, mask, size.width, size.height, r);
            const BackgroundMap got = map_of(kernel.run, mean, mask, size.width, size.height, r);
            ASSERT_TRUE(same_bits(expected, got))
                << kernel.name << " " << size.width << "x" << size.height << " mask " << static_cast<int>(mask_kind)
                << " values " << value_kind << " r " << r << ": " << first_difference(expected, got, size.width);
          }
        }
      }
    }
  }
  if (!skipped.empty()) {
    std::printf("background variants this CPU cannot run, skipped: %s\n", skipped.c_str());
    RecordProperty("skipped_variants", skipped);
  }
}

TEST(FastBackground, DispatchedMapMatchesOnARandomImage) {
  std::mt19937_64 rng(7);
  const Size size{203, 157};
  const std::size_t n = static_cast<std::size_t>(size.width) * size.height;
  const MeanImage mean = random_mean(rng, n, 1);
  const BrightMask mask = random_mask(rng, n, MaskKind::sparse);
  EXPECT_TRUE(same_bits(map_of(kadrix::reference::estimate_background, mean, mask, size.width, size.height, 5),
                        map_of(kadrix::estimate_background, mean, mask, size.width, size.height, 5)));
}

TEST(FastBackground, AnySplitOfTheRowsGivesTheSameMap) {
  // Bands as workers get them: one row, odd and even heights, bands that
  // start inside the border, more bands than rows.
  std::mt19937_64 rng(99);
  const std::vector<std::vector<int>> splits = {
      {1}, {2}, {3, 3}, {1, 1, 1, 1, 1}, {5, 1, 7}, {4, 4, 4, 4, 4, 4, 4, 4}, {11, 2, 13}, {100}};
  for (const Size size : kSizes) {
    const std::size_t n = static_cast<std::size_t>(size.width) * size.height;
    const MeanImage mean = random_mean(rng, n, 2);
    const BrightMask mask = random_mask(rng, n, MaskKind::sparse);
    const BackgroundMap whole = map_of(kadrix::estimate_background, mean, mask, size.width, size.height, 5);
    for (const auto& kernel : kadrix::background_kernels()) {
      if (!kernel.supported()) continue;
      for (const std::vector<int>& bands : splits) {
        const BackgroundMap split = map_of(kernel.run, mean, mask, size.width, size.height, 5, bands);
        ASSERT_TRUE(same_bits(whole, split)) << kernel.name << " " << size.width << "x" << size.height << " bands "
                                             << ::testing::PrintToString(bands) << ": "
                                             << first_difference(whole, split, size.width);
      }
    }
  }
}

// Lays the frames out both ways: the 100-frame stack of samples, and the
// sums gathered frame by frame, by the given adder, from blocks stored as a
// BMP file stores them.
struct TwoStacks {
  std::vector<std::int32_t> stack;
  std::vector<std::uint16_t> sum;
  std::vector<std::uint8_t> max;
};

TwoStacks make_stacks(std::mt19937_64& rng, int width, int height, int frames, bool top_down,
                      kadrix::FrameAdder add_frame) {
  const std::size_t n = static_cast<std::size_t>(width) * height;
  TwoStacks out;
  out.stack.assign(static_cast<std::size_t>(kadrix::kMaxFrames) * n, 0);
  // Garbage, as fresh memory may hold: the first frame must replace it.
  out.sum.assign(n, 0xBEEF);
  out.max.assign(n, 0xEE);
  const kadrix::FrameSums sums{out.sum, out.max};
  const std::size_t stride = (static_cast<std::size_t>(width) + 3) / 4 * 4;

  // Mostly sky with ties at the top value, saturated and zero pixels.
  std::uniform_int_distribution<int> sample(0, 255);
  std::uniform_int_distribution<int> style(0, 9);
  for (int f = 0; f < frames; ++f) {
    std::vector<std::uint8_t> block(stride * static_cast<std::size_t>(height - 1) + static_cast<std::size_t>(width),
                                    0xEE);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const std::size_t p = static_cast<std::size_t>(y) * width + x;
        int v = sample(rng);
        const int s = style(rng);
        if (s == 0) v = 255;
        if (s == 1) v = 0;
        if (s == 2) v = static_cast<int>(p % 7) * 30;  // the same in every frame
        out.stack[static_cast<std::size_t>(f) * n + p] = v;
        const std::int32_t file_row = top_down ? y : height - 1 - y;
        block[stride * static_cast<std::size_t>(file_row) + static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(v);
      }
    }
    const kadrix::StoredRows rows{block, width, height, stride, top_down};
    if (f == 0) kadrix::start_frame_sums(rows, sums);
    else add_frame(rows, sums);
  }
  return out;
}

TEST(FastCombination, MeansMatchTheStraightforwardCombinationBitForBit) {
  std::mt19937_64 rng(42);
  const struct {
    int width, height, frames;
    bool top_down;
  } cases[] = {{1, 1, 2, false},   {1, 1, 100, true},   {3, 2, 3, false},   {7, 6, 12, true},
               {5, 9, 19, false},  {13, 4, 20, true},   {33, 17, 37, false}, {64, 3, 64, false},
               {101, 7, 100, true}, {2, 50, 2, false}};
  std::string skipped;
  for (const auto& adder : kadrix::frame_adders()) {
    if (!adder.supported()) {
      skipped += std::string(skipped.empty() ? "" : ", ") + adder.name;
      continue;
    }
    for (const auto& c : cases) {
      const TwoStacks stacks = make_stacks(rng, c.width, c.height, c.frames, c.top_down, adder.run);
      const std::int32_t n = c.width * c.height;
      MeanImage expected(static_cast<std::size_t>(n));
      MeanImage got(static_cast<std::size_t>(n));
      kadrix::reference::combine_frames(stacks.stack, n, c.frames, expected);
      kadrix::combine_frames(stacks.sum, stacks.max, c.frames, got);
      EXPECT_TRUE(same_bits(expected, got))
          << adder.name << " " << c.width << "x" << c.height << ", " << c.frames << " frames";
    }
  }
  if (!skipped.empty()) {
    std::printf("frame adders this CPU cannot run, skipped: %s\n", skipped.c_str());
    RecordProperty("skipped_variants", skipped);
  }
}

}  // namespace
