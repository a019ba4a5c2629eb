// Combining frames with the brightest sample dropped; level and sigma.

#include <gtest/gtest.h>

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

struct CombineCase {
  std::vector<std::int32_t> samples;  // one pixel, in frame order
  double expected;
};

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
  };
  for (const CombineCase& c : cases) {
    const auto frames = static_cast<std::int32_t>(c.samples.size());
    const MeanImage mean = combined(c.samples, 1, frames);
    EXPECT_EQ(mean[0], c.expected) << ::testing::PrintToString(c.samples);
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

TEST(CombineFrames, FromPerPixelSumsAndMaxima) {
  struct Case {
    std::uint16_t sum;
    std::uint8_t max;
    std::int32_t frames;
    double expected;
  };
  const Case cases[] = {
      {60, 30, 3, 15.0},  // 10 20 30
      {20, 5, 4, 5.0},    // 5 5 5 5
      {0, 0, 3, 0.0},
      {10, 7, 2, 3.0},       // 3 7
      {456, 255, 3, 100.5},  // 200 255 1
      {25500, 255, 100, 255.0},
      {66, 11, 12, 5.0},  // 0 .. 11
      {980, 10, 100, 970.0 / 99.0},
  };
  for (const Case& c : cases) {
    const std::uint16_t sum[] = {c.sum};
    const std::uint8_t max[] = {c.max};
    double mean[1] = {-1.0};
    kadrix::combine_frames(sum, max, c.frames, mean);
    EXPECT_EQ(mean[0], c.expected) << c.sum << " " << int{c.max} << " " << c.frames;
  }
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
