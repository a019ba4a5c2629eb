// Thresholds, the background window and the residual sigma.

#include "stats/background.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "reference/reference_kernels.h"

namespace {

using BackgroundMap = std::vector<double>;
using Mask = std::vector<std::uint8_t>;
using BrightMask = Mask;

TEST(ThresholdAboveLevel, OnlyValuesStrictlyAboveAreFlagged) {
  // level 10, sigma 2, k 3: threshold 2 * 3 + 10 = 16.
  const std::vector<double> mean = {16.0, std::nextafter(16.0, 100.0), 15.999, 100.0, 10.0, 0.0};
  Mask mask(mean.size(), 7);
  kadrix::threshold_above_level(mean, 10.0, 2.0, 3.0, mask);
  EXPECT_EQ(mask, (Mask{0, 1, 0, 1, 0, 0}));
}

TEST(ThresholdAboveBackground, EachPixelAgainstItsOwnBackground) {
  // sigma 1, k 3: thresholds 5, 5, 17, 17, 258.
  const std::vector<double> mean = {5.0, std::nextafter(5.0, 100.0), 17.0, 16.5, 255.0, 20.0};
  const std::vector<double> background = {2.0, 2.0, 14.0, 14.0, 255.0, 14.0};
  Mask mask(mean.size(), 7);
  kadrix::threshold_above_background(mean, background, 1.0, 3.0, mask);
  EXPECT_EQ(mask, (Mask{0, 1, 0, 0, 0, 1}));
}

// Pixel (x, y) of a 10 x 10 image holds 1000 y + x, so the mean over any
// rectangle of rows and columns is 1000 * (mean row) + (mean column): the
// value tells which rows and columns were averaged.
std::vector<double> coordinates_10x10() {
  std::vector<double> mean;
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) mean.push_back(1000.0 * y + x);
  return mean;
}

// Every build of the background map: the reference one, each
// instruction-set variant this CPU runs, and the dispatching one. All must
// give the same hand-worked values.
struct Mapper {
  std::string name;
  kadrix::BackgroundMapper map;

  BackgroundMap run(const std::vector<double>& mean, const Mask& mask, int width, int height, int r) const {
    BackgroundMap out(mean.size(), -1.0);
    map(mean, mask, width, height, r, {0, height}, out);
    return out;
  }
};

std::vector<Mapper> mappers() {
  std::vector<Mapper> all = {{"reference", &kadrix::reference::estimate_background},
                             {"dispatch", &kadrix::estimate_background}};
  for (const auto& kernel : kadrix::background_kernels())
    if (kernel.supported()) all.push_back({kernel.name, kernel.run});
  return all;
}

double at(const BackgroundMap& map, int width, int x, int y) {
  return map.at(static_cast<std::size_t>(y * width + x));
}

TEST(EstimateBackground, UsableAreaOfA10x10Image) {
  // Usable rows 2 .. 6 (height - 4), columns 3 .. 6 (width - 4).
  const std::vector<double> mean = coordinates_10x10();
  const BrightMask none(100, 0);
  for (const Mapper& m : mappers()) {
    SCOPED_TRACE(m.name);
    const BackgroundMap map = m.run(mean, none, 10, 10, 5);
    struct Probe {
      int x, y;
      double expected;
    };
    const Probe probes[] = {
        {0, 0, 3504.0},  // rows 2..5 (mean 3.5), columns 3..5 (mean 4)
        {9, 0, 3505.0},  // rows 2..5, columns 4..6
        {0, 9, 5004.0},  // rows 4..6 (mean 5), columns 3..5
        {9, 9, 5005.0},  // rows 4..6, columns 4..6
        {5, 5, 4004.5},  // the whole usable area: rows 2..6, columns 3..6
        {1, 1, 4004.5},  // window reaches row 6 and column 6 exactly
        {8, 7, 4004.5},  // window starts at row 2 and column 3 exactly
        {9, 2, 4005.0},  // rows 2..6, columns 4..6
        {2, 8, 4504.5},  // rows 3..6 (mean 4.5), columns 3..6
    };
    for (const Probe& p : probes) EXPECT_EQ(at(map, 10, p.x, p.y), p.expected) << p.x << "," << p.y;
  }
}

TEST(EstimateBackground, FlaggedPixelsAreLeftOutOfEveryWindow) {
  const std::vector<double> mean = coordinates_10x10();
  BrightMask mask(100, 0);
  mask[4 * 10 + 4] = 1;  // inside the usable area
  mask[0] = 1;           // in the border: it never counts anyway
  for (const Mapper& m : mappers()) {
    SCOPED_TRACE(m.name);
    const BackgroundMap map = m.run(mean, mask, 10, 10, 5);
    // (5,5): the 20 usable pixels sum to 80090; without 4004 that is 76086 over 19.
    EXPECT_EQ(at(map, 10, 5, 5), 76086.0 / 19.0);
    // (0,0): rows 2..5, columns 3..5 sum to 42048 over 12; without 4004, 38044 over 11.
    EXPECT_EQ(at(map, 10, 0, 0), 38044.0 / 11.0);
    // (9,0): rows 2..5, columns 4..6 sum to 42060 over 12; without 4004, 38056 over 11.
    EXPECT_EQ(at(map, 10, 9, 0), 38056.0 / 11.0);
    // (9,9): rows 4..6, columns 4..6 sum to 45045 over 9; without 4004, 41041 over 8.
    EXPECT_EQ(at(map, 10, 9, 9), 41041.0 / 8.0);
  }
}

TEST(EstimateBackground, ABrightPixelOnAFlatImageLeavesTheFlatValue) {
  const int width = 9;
  const int height = 8;
  std::vector<double> mean(width * height, 20.0);
  BrightMask mask(width * height, 0);
  mean[3 * width + 4] = 200.0;
  mask[3 * width + 4] = 1;
  for (const Mapper& m : mappers())
    EXPECT_EQ(m.run(mean, mask, width, height, 5), BackgroundMap(width * height, 20.0)) << m.name;
}

TEST(EstimateBackground, SevenBySixHasOneUsablePixel) {
  // Only (3, 2) is usable, and every window of a 7 x 6 image reaches it.
  std::vector<double> mean(42);
  for (std::size_t i = 0; i < mean.size(); ++i) mean[i] = static_cast<double>(i);
  for (const Mapper& m : mappers()) {
    BrightMask mask(42, 0);
    EXPECT_EQ(m.run(mean, mask, 7, 6, 5), BackgroundMap(42, 17.0)) << m.name;  // 2 * 7 + 3
    mask[2 * 7 + 3] = 1;
    EXPECT_EQ(m.run(mean, mask, 7, 6, 5), BackgroundMap(42, 255.0)) << m.name;
  }
}

TEST(EstimateBackground, NoUsableRowOrColumnGivesTheEmptyWindowValue) {
  struct Size {
    int width, height;
  };
  for (const Size s : {Size{7, 5}, Size{6, 6}, Size{1, 1}, Size{100, 5}, Size{6, 100}, Size{2, 3}}) {
    const std::size_t n = static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height);
    const std::vector<double> mean(n, 12.0);
    for (const Mapper& m : mappers())
      EXPECT_EQ(m.run(mean, BrightMask(n, 0), s.width, s.height, 5), BackgroundMap(n, 255.0))
          << m.name << " " << s.width << "x" << s.height;
  }
}

TEST(EstimateBackground, EveryPixelFlaggedGivesTheEmptyWindowValue) {
  const std::vector<double> mean = coordinates_10x10();
  for (const Mapper& m : mappers())
    EXPECT_EQ(m.run(mean, BrightMask(100, 1), 10, 10, 5), BackgroundMap(100, 255.0)) << m.name;
}

TEST(ResidualSigma, SpreadAboutTheBackgroundOverUnflaggedPixels) {
  struct Case {
    const char* title;
    std::vector<double> mean, background;
    BrightMask mask;
    double sigma;
  };
  const std::vector<Case> cases = {
      // deviations 0, 1, 2, 3 (100 is flagged): 14 / 3, sqrt = 2.1602469...
      {"one_flagged",
       {1, 2, 3, 4, 100},
       {1, 1, 1, 1, 1},
       {0, 0, 0, 0, 1},
       std::sqrt(14.0 / 3.0)},
      // deviations 1 and 3: 10 / 1
      {"two_pixels", {5, 7}, {4, 4}, {0, 0}, std::sqrt(10.0)},
      // all deviations 0
      {"flat", {9, 9, 9}, {9, 9, 9}, {0, 0, 0}, 0.0},
  };
  for (const Case& c : cases) {
    const std::optional<double> sigma = kadrix::residual_sigma(c.mean, c.background, c.mask);
    ASSERT_TRUE(sigma) << c.title;
    EXPECT_EQ(*sigma, c.sigma) << c.title;
  }
  // Fewer than two unflagged pixels: no new sigma.
  const std::vector<double> mean = {5, 7, 9};
  EXPECT_EQ(kadrix::residual_sigma(mean, std::vector<double>{4, 4, 4}, Mask{1, 0, 1}), std::nullopt);
  EXPECT_EQ(kadrix::residual_sigma(mean, std::vector<double>{255, 255, 255}, Mask{1, 1, 1}), std::nullopt);
}

}  // namespace
