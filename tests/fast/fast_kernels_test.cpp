// The fast kernels against the straightforward ones they replace: many
// random images, masks and frame stacks, compared bit for bit.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bmp/frame_stack.h"
#include "stats/background.h"
#include "stats/frame_stats.h"

namespace {

using kadrix::BackgroundMap;
using kadrix::BrightMask;
using kadrix::MeanImage;

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
  for (const auto& kernel : kadrix::fast::background_kernels()) {
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
            const BackgroundMap expected = kadrix::estimate_background(mean, mask, size.width, size.height, r);
            const BackgroundMap got = kernel.run(mean, mask, size.width, size.height, r);
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
  EXPECT_TRUE(same_bits(kadrix::estimate_background(mean, mask, size.width, size.height, 5),
                        kadrix::fast::estimate_background(mean, mask, size.width, size.height, 5)));
}

// Lays the frames out both ways: the 100-frame stack of samples, and the
// sums gathered frame by frame, by the given adder, from blocks stored as a
// BMP file stores them.
struct TwoStacks {
  kadrix::FrameStack stack;
  kadrix::fast::FrameSums sums;
};

TwoStacks make_stacks(std::mt19937_64& rng, int width, int height, int frames, bool top_down,
                      kadrix::fast::FrameAdder add_frame) {
  const std::size_t n = static_cast<std::size_t>(width) * height;
  TwoStacks out;
  out.stack.pixel_count = static_cast<std::int64_t>(n);
  out.stack.samples = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(kadrix::kMaxFrames) * n);
  out.sums.sum.assign(n, 0);
  out.sums.max.assign(n, 0);

  kadrix::BmpLayout layout;
  layout.width = width;
  layout.height = height;
  layout.bits = 8;
  layout.top_down = top_down;
  layout.stride = (static_cast<std::uint64_t>(width) + 3) / 4 * 4;

  // Mostly sky with ties at the top value, saturated and zero pixels.
  std::uniform_int_distribution<int> sample(0, 255);
  std::uniform_int_distribution<int> style(0, 9);
  for (int f = 0; f < frames; ++f) {
    std::vector<std::uint8_t> block(static_cast<std::size_t>(layout.block_bytes()), 0xEE);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const std::size_t p = static_cast<std::size_t>(y) * width + x;
        int v = sample(rng);
        const int s = style(rng);
        if (s == 0) v = 255;
        if (s == 1) v = 0;
        if (s == 2) v = static_cast<int>(p % 7) * 30;  // the same in every frame
        out.stack.samples[static_cast<std::size_t>(f) * n + p] = v;
        const std::int32_t file_row = top_down ? y : height - 1 - y;
        block[layout.stride * static_cast<std::uint64_t>(file_row) + static_cast<std::uint64_t>(x)] =
            static_cast<std::uint8_t>(v);
      }
    }
    add_frame(block, layout, out.sums);
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
  for (const auto& adder : kadrix::fast::frame_adders()) {
    if (!adder.supported()) {
      skipped += std::string(skipped.empty() ? "" : ", ") + adder.name;
      continue;
    }
    for (const auto& c : cases) {
      const TwoStacks stacks = make_stacks(rng, c.width, c.height, c.frames, c.top_down, adder.run);
      const std::int32_t n = c.width * c.height;
      EXPECT_TRUE(same_bits(kadrix::combine_frames(stacks.stack, n, c.frames),
                            kadrix::fast::combine_frames(stacks.sums, n, c.frames)))
          << adder.name << " " << c.width << "x" << c.height << ", " << c.frames << " frames";
    }
  }
  if (!skipped.empty()) {
    std::printf("frame adders this CPU cannot run, skipped: %s\n", skipped.c_str());
    RecordProperty("skipped_variants", skipped);
  }
}

}  // namespace
