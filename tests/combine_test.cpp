// Combining frames with the brightest sample dropped; level and sigma.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "reference/reference_kernels.h"
#include "stats/frame_sums.h"
#include "stats/image_statistics.h"

namespace {

using MeanImage = std::vector<double>;

// The reference combination of a stack of frame_count frames of pixel_count samples.
MeanImage combined(const std::vector<std::int32_t>& stack, std::int32_t pixel_count, std::int32_t frame_count) {
  MeanImage mean(static_cast<std::size_t>(pixel_count));
  kadrix::reference::combine_frames(stack, pixel_count, frame_count, mean);
  return mean;
}

// One pixel's samples in frame order and the mean both combinations must
// give: the reference one over the stack of samples, and the fast one from
// their sum and largest sample.
struct CombineCase {
  std::vector<std::int32_t> samples;
  double expected;
};

std::vector<std::int32_t> repeated(std::int32_t value, std::size_t count, std::int32_t last) {
  std::vector<std::int32_t> samples(count - 1, value);
  samples.push_back(last);
  return samples;
}

TEST(CombineFrames, DropsExactlyOneBrightestSample) {
  const std::vector<CombineCase> cases = {
      {{10, 20, 30}, 15.0},                           // (60 - 30) / 2
      {{30, 20, 10}, 15.0},                           // the maximum may come first
      {{5, 5, 5, 5}, 5.0},                            // (20 - 5) / 3: one of the equal maxima only
      {{0, 0, 0}, 0.0},                               // max stays 0
      {{7, 3}, 3.0},                                  // two frames: the smaller one
      {{3, 7}, 3.0},                                  //
      {{200, 255, 1}, 100.5},                         // (456 - 255) / 2
      {{9, 10, 250}, 9.5},                            // a cosmic-ray hit in one frame vanishes
      {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 5.0},  // (66 - 11) / 11
      {{255, 255}, 255.0},
      {repeated(255, 100, 255), 255.0},               // (25500 - 255) / 99: the largest sum
      {repeated(10, 100, 0), 980.0 / 99.0},           // (990 - 10) / 99
  };
  for (const CombineCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.samples));
    const auto frames = static_cast<std::int32_t>(c.samples.size());
    EXPECT_EQ(combined(c.samples, 1, frames)[0], c.expected) << "reference";

    std::int32_t total = 0;
    std::int32_t largest = 0;
    for (const std::int32_t v : c.samples) {
      total += v;
      largest = std::max(largest, v);
    }
    const std::uint16_t sum[] = {static_cast<std::uint16_t>(total)};
    const std::uint8_t max[] = {static_cast<std::uint8_t>(largest)};
    double mean[1] = {-1.0};
    kadrix::combine_frames(sum, max, frames, mean);
    EXPECT_EQ(mean[0], c.expected) << "from sums";
  }
}

TEST(CombineFrames, TakesFrameJAtJTimesPixelCount) {
  // Three frames of 4 pixels; each pixel's samples differ, so reading a
  // sample of the wrong pixel or frame changes the result.
  const std::vector<std::int32_t> stack = {10, 1, 255, 0,   // frame 0
                                           20, 2, 0,   0,   // frame 1
                                           30, 6, 255, 9};  // frame 2
  // (60-30)/2, (9-6)/2, (510-255)/2, (9-9)/2
  EXPECT_EQ(combined(stack, 4, 3), (MeanImage{15.0, 1.5, 127.5, 0.0}));
}

TEST(CombineFrames, OnlyTheFirstFrameCountFramesCount) {
  // Room for more frames than were loaded; the rest holds garbage.
  std::vector<std::int32_t> stack(2 * 100, 250);
  stack[0] = 4;
  stack[1] = 8;
  stack[2] = 6;
  stack[3] = 2;
  EXPECT_EQ(combined(stack, 2, 2), (MeanImage{4.0, 2.0}));
}

struct StatsCase {
  const char* title;
  std::vector<double> mean;
  double level;
  double sigma;
};

TEST(ImageStatistics, LevelAndSampleStandardDeviation) {
  const std::vector<StatsCase> cases = {
      // level 40 / 8 = 5; squares 9+1+1+1+0+0+4+16 = 32; sqrt(32 / 7) = 2.1380899...
      {"textbook", {2, 4, 4, 4, 5, 5, 7, 9}, 5.0, std::sqrt(32.0 / 7.0)},
      {"flat", {3, 3, 3, 3, 3, 3}, 3.0, 0.0},
      // level 1.5 / 2 = 0.75; deviations -0.5 and 0.5, squares 0.25 + 0.25;
      // sqrt(0.5 / 1) = 0.70710678...
      {"two_pixels", {0.25, 1.25}, 0.75, std::sqrt(0.5)},
      // One pixel: nothing to spread, sigma is 0 rather than 0 / 0.
      {"one_pixel", {7.5}, 7.5, 0.0},
  };
  for (const StatsCase& c : cases) {
    const kadrix::ImageStatistics stats = kadrix::image_statistics(c.mean);
    EXPECT_EQ(stats.level, c.level) << c.title;
    EXPECT_EQ(stats.sigma, c.sigma) << c.title;
  }
}

}  // namespace
