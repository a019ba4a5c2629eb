// Putting frames on the reference's grid: the kernel, the common area and
// what resampling makes of flat, shifted, smooth, undefined and saturated
// pixels.

#include "tools/import/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using kadrix::import::Area;
using kadrix::import::AxisKernel;
using kadrix::import::axis_kernel;
using kadrix::import::common_area;
using kadrix::import::Resampler;
using kadrix::import::Shift;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::vector<double> random_frame(int width, int height, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> value(0, 4095);
  std::vector<double> frame(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (double& v : frame) v = std::round(value(gen));
  return frame;
}

std::vector<double> resampled(const std::vector<double>& frame, int width, int height, Shift shift, Area& area) {
  const Shift shifts[] = {{0, 0}, shift};
  area = common_area(shifts, width, height);
  std::vector<double> out(static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height));
  Resampler r;
  r.resample(frame, width, height, shift, area, out);
  return out;
}

TEST(Resample, KernelWeightsSumToOneAndWholeShiftsReadOnePixel) {
  for (const double d : {0.001, 0.25, 0.5, 0.999, -0.3, -7.75, 12.125}) {
    const AxisKernel k = axis_kernel(d);
    ASSERT_EQ(k.taps, 6) << d;
    EXPECT_EQ(k.offset, static_cast<std::int64_t>(std::floor(d)) - 2) << d;
    double sum = 0;
    for (const double w : k.weights) sum += w;
    EXPECT_NEAR(sum, 1.0, 1e-15) << d;
  }
  // Half way, the kernel is symmetric about the sample.
  const AxisKernel half = axis_kernel(0.5);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(half.weights[k], half.weights[5 - k], 1e-15);
  for (const double d : {0.0, 3.0, -4.0}) {
    const AxisKernel k = axis_kernel(d);
    EXPECT_EQ(k.taps, 1) << d;
    EXPECT_EQ(k.offset, static_cast<std::int64_t>(d)) << d;
    EXPECT_EQ(k.weights[0], 1.0);
  }
}

TEST(Resample, AFlatFieldStaysExactlyFlat) {
  for (const double level : {100.0, 37.25, 65535.0}) {
    const std::vector<double> frame(40 * 30, level);
    for (const Shift shift : {Shift{0.3, -1.7}, Shift{-2.001, 0.5}, Shift{4.0, 0.999}}) {
      Area area;
      const std::vector<double> out = resampled(frame, 40, 30, shift, area);
      ASSERT_FALSE(out.empty());
      for (const double v : out) ASSERT_EQ(v, level) << shift.dx << "," << shift.dy;
    }
  }
}

TEST(Resample, WholeShiftsCopyValuesBitForBit) {
  const int w = 23, h = 17;
  std::vector<double> frame = random_frame(w, h, 7);
  frame[5 * w + 9] = kNan;
  frame[2 * w + 3] = -0.0;
  for (const Shift shift : {Shift{0, 0}, Shift{3, -2}, Shift{-5, 4}}) {
    Area area;
    const std::vector<double> out = resampled(frame, w, h, shift, area);
    for (int y = 0; y < area.height; ++y)
      for (int x = 0; x < area.width; ++x) {
        const double want = frame[static_cast<std::size_t>((area.y + y + static_cast<int>(shift.dy)) * w + area.x + x +
                                                           static_cast<int>(shift.dx))];
        const double got = out[static_cast<std::size_t>(y * area.width + x)];
        ASSERT_EQ(std::signbit(got), std::signbit(want));
        if (std::isnan(want)) ASSERT_TRUE(std::isnan(got));
        else ASSERT_EQ(got, want) << x << "," << y;
      }
  }
}

// The import resamples a frame a stripe of rows at a time: each output
// pixel comes out with the same bits as from the whole area at once.
TEST(Resample, StripesGiveTheBitsOfTheWholeArea) {
  const int w = 50, h = 41;
  const std::vector<double> frame = random_frame(w, h, 5);
  std::vector<std::uint8_t> mask(frame.size(), 0);
  for (std::size_t i = 0; i < mask.size(); i += 37) mask[i] = 1;
  for (const Shift shift : {Shift{1.37, -2.61}, Shift{-3.0, 0.25}, Shift{2.5, 4.0}}) {
    Area area;
    const std::vector<double> whole = resampled(frame, w, h, shift, area);
    std::vector<std::uint8_t> whole_reach(whole.size());
    Resampler r;
    r.reach(mask, w, h, shift, area, whole_reach);
    for (const int rows : {1, 7, 64}) {
      for (int top = 0; top < area.height; top += rows) {
        const Area stripe{area.x, area.y + top, area.width, std::min(rows, area.height - top)};
        const std::size_t n = static_cast<std::size_t>(stripe.width) * static_cast<std::size_t>(stripe.height);
        std::vector<double> out(n);
        std::vector<std::uint8_t> reach(n);
        r.resample(frame, w, h, shift, stripe, out);
        r.reach(mask, w, h, shift, stripe, reach);
        const std::size_t at = static_cast<std::size_t>(top) * static_cast<std::size_t>(area.width);
        for (std::size_t i = 0; i < n; ++i) {
          ASSERT_EQ(std::memcmp(&out[i], &whole[at + i], sizeof(double)), 0) << rows << " rows, top " << top;
          ASSERT_EQ(reach[i], whole_reach[at + i]) << rows << " rows, top " << top;
        }
      }
    }
  }
}

TEST(Resample, ASubPixelShiftOfASmoothFieldLandsWhereItShould) {
  const int w = 64, h = 48;
  const auto field = [](double x, double y) { return 1000 + 300 * std::sin(0.21 * x) + 200 * std::cos(0.17 * y + 0.4); };
  std::vector<double> frame(static_cast<std::size_t>(w * h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) frame[static_cast<std::size_t>(y * w + x)] = field(x, y);
  for (const Shift shift : {Shift{0.37, -0.61}, Shift{-2.5, 1.25}, Shift{3.0, 0.9}}) {
    Area area;
    const std::vector<double> out = resampled(frame, w, h, shift, area);
    double worst = 0;
    for (int y = 0; y < area.height; ++y)
      for (int x = 0; x < area.width; ++x) {
        const double want = field(area.x + x + shift.dx, area.y + y + shift.dy);
        worst = std::max(worst, std::fabs(out[static_cast<std::size_t>(y * area.width + x)] - want));
      }
    // Within a few thousandths of the 600-unit swing.
    EXPECT_LT(worst, 2.0) << shift.dx << "," << shift.dy;
  }
}

TEST(Resample, UndefinedAndSaturatedPixelsReachExactlyTheKernelsSpan) {
  const int w = 30, h = 25;
  std::vector<double> frame(static_cast<std::size_t>(w * h), 50.0);
  frame[10 * w + 12] = kNan;
  std::vector<std::uint8_t> mask(frame.size(), 0);
  mask[10 * w + 12] = 1;
  struct Case {
    Shift shift;
    int x0, x1, y0, y1;  // output pixels (reference grid) that read (12, 10)
  };
  // (X + dx) reads floor(X + dx) - 2 .. + 3; a whole shift only X + dx.
  const Case cases[] = {
      {{0.5, 0.5}, 9, 14, 7, 12},
      {{2.0, 0.0}, 10, 10, 10, 10},
      {{-1.25, 3.0}, 11, 16, 7, 7},
  };
  for (const Case& c : cases) {
    const Shift shifts[] = {{0, 0}, c.shift};
    const Area area = common_area(shifts, w, h);
    const std::size_t n = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height);
    std::vector<double> out(n);
    std::vector<std::uint8_t> reach(n);
    Resampler r;
    r.resample(frame, w, h, c.shift, area, out);
    r.reach(mask, w, h, c.shift, area, reach);
    for (int y = 0; y < area.height; ++y)
      for (int x = 0; x < area.width; ++x) {
        const int gx = area.x + x, gy = area.y + y;
        const bool inside = gx >= c.x0 && gx <= c.x1 && gy >= c.y0 && gy <= c.y1;
        const std::size_t i = static_cast<std::size_t>(y * area.width + x);
        ASSERT_EQ(reach[i], inside ? 1 : 0) << gx << "," << gy;
        ASSERT_EQ(std::isnan(out[i]), inside) << gx << "," << gy;
        if (!inside) {
          ASSERT_EQ(out[i], 50.0);
        }
      }
  }
}

TEST(Resample, CommonAreaKeepsWhatEveryFrameCoversWithItsKernel) {
  struct Case {
    std::vector<Shift> shifts;
    Area want;
  };
  const int w = 20, h = 10;
  const Case cases[] = {
      {{{0, 0}}, {0, 0, 20, 10}},
      // Whole shifts: X + dx within 0 .. 19.
      {{{0, 0}, {3, -2}}, {0, 2, 17, 8}},
      {{{0, 0}, {3, -2}, {-1, 1}}, {1, 2, 16, 7}},
      // Fractional: floor(X + d) - 2 >= 0 and floor(X + d) + 3 <= 19.
      {{{0, 0}, {0.5, 0}}, {2, 0, 15, 10}},
      {{{0, 0}, {-1.5, 2.25}}, {4, 0, 15, 5}},
      // Nothing left.
      {{{0, 0}, {25, 0}}, {0, 0, 0, 0}},
      {{{0, 0}, {0, -7.5}}, {0, 0, 0, 0}},
      {{{0, 0}, {std::numeric_limits<double>::infinity(), 0}}, {0, 0, 0, 0}},
      {{{0, 0}, {kNan, 0}}, {0, 0, 0, 0}},
      {{{0, 0}, {1e300, 0}}, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const Area a = common_area(c.shifts, w, h);
    if (c.want.empty()) {
      EXPECT_TRUE(a.empty()) << c.shifts.back().dx << "," << c.shifts.back().dy;
      continue;
    }
    EXPECT_EQ(a.x, c.want.x) << c.shifts.back().dx << "," << c.shifts.back().dy;
    EXPECT_EQ(a.y, c.want.y) << c.shifts.back().dx << "," << c.shifts.back().dy;
    EXPECT_EQ(a.width, c.want.width) << c.shifts.back().dx << "," << c.shifts.back().dy;
    EXPECT_EQ(a.height, c.want.height) << c.shifts.back().dx << "," << c.shifts.back().dy;
  }
}

}  // namespace
