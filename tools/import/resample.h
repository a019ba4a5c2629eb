#pragma once
// Putting a frame on the reference frame's grid. Output pixel (X, Y) of a
// frame shifted by (dx, dy) takes the frame's value at (X + dx, Y + dy):
// a separable Lanczos-3 kernel, its weights scaled to sum 1 so a flat field
// stays flat; along an axis whose shift is a whole number the value is
// copied. Frames are w * h doubles, row 0 at the top.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace kadrix::import {

inline constexpr int kLanczosA = 3;
inline constexpr int kLanczosTaps = 2 * kLanczosA;

// What one axis reads for a shift d: the frame's pixels X + offset ..
// X + offset + taps - 1 with their weights. A whole d reads one pixel with
// weight 1; otherwise floor(X + d) - 2 .. floor(X + d) + 3.
struct AxisKernel {
  std::int64_t offset = 0;
  int taps = 1;
  std::array<double, kLanczosTaps> weights{1.0};
};

// The kernel of shift d; d must be finite.
AxisKernel axis_kernel(double d);

// The Lanczos-3 kernel sin(pi x) sin(pi x / 3) / (pi^2 x^2 / 3), 1 at 0
// and 0 from |x| = 3 on.
double lanczos(double x);

// A rectangle of the reference grid.
struct Area {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
};

struct Shift {
  double dx = 0;
  double dy = 0;
};

// The pixels of a width x height reference grid where every frame, after
// its shift, has each pixel its kernel reads. Empty (width or height 0)
// when there is none or a shift is not finite.
Area common_area(std::span<const Shift> shifts, std::int32_t width, std::int32_t height);

// Resampling of a frame of width x height shifted by shift, over area
// (inside common_area of that shift); the scratch rows are kept between
// frames. NaN reaches every output pixel whose kernel reads it.
class Resampler {
 public:
  void resample(std::span<const double> frame, std::int32_t width, std::int32_t height, Shift shift,
                const Area& area, std::span<double> out);

  // out[i] = 1 where the kernel of output pixel i reads a pixel with
  // mask 1 (a saturated sample), else 0.
  void reach(std::span<const std::uint8_t> mask, std::int32_t width, std::int32_t height, Shift shift,
             const Area& area, std::span<std::uint8_t> out);

 private:
  std::vector<double> rows_;
  std::vector<std::uint8_t> mask_rows_;
};

}  // namespace kadrix::import
