#include "tools/import/resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kadrix::import {

double lanczos(double x) {
  if (x == 0) return 1;
  if (!(std::fabs(x) < kLanczosA)) return 0;
  const double px = std::numbers::pi * x;
  return kLanczosA * std::sin(px) * std::sin(px / kLanczosA) / (px * px);
}

AxisKernel axis_kernel(double d) {
  AxisKernel kernel;
  const double whole = std::floor(d);
  kernel.offset = static_cast<std::int64_t>(whole);
  if (whole == d) return kernel;
  const double t = d - whole;
  kernel.offset -= kLanczosA - 1;
  kernel.taps = kLanczosTaps;
  double sum = 0;
  for (int k = 0; k < kLanczosTaps; ++k) {
    // Tap k lies at floor(X + d) + k - 2, at k - 2 - t from the sample.
    kernel.weights[static_cast<std::size_t>(k)] = lanczos(k - (kLanczosA - 1) - t);
    sum += kernel.weights[static_cast<std::size_t>(k)];
  }
  for (double& w : kernel.weights) w /= sum;
  return kernel;
}

namespace {

// Values are summed as differences from the tap at floor(X + d): weights
// that sum to 1 only within rounding still keep a flat field exactly flat,
// so a level of 100 cannot come out as 99.999... and map one step lower.
constexpr std::size_t kBase = kLanczosA - 1;

// Shifts beyond this cannot leave any pixel of a frame in view.
constexpr double kMaxShift = 1e9;

// Output coordinates 0 .. size - 1 whose taps lie within 0 .. size - 1.
void narrow(double d, std::int32_t size, std::int64_t& first, std::int64_t& last) {
  if (!(std::fabs(d) < kMaxShift)) {
    first = 1;
    last = 0;
    return;
  }
  const AxisKernel k = axis_kernel(d);
  first = std::max(first, -k.offset);
  last = std::min(last, std::int64_t{size} - k.taps - k.offset);
}

}  // namespace

Area common_area(std::span<const Shift> shifts, std::int32_t width, std::int32_t height) {
  std::int64_t x0 = 0, x1 = std::int64_t{width} - 1, y0 = 0, y1 = std::int64_t{height} - 1;
  for (const Shift& s : shifts) {
    narrow(s.dx, width, x0, x1);
    narrow(s.dy, height, y0, y1);
  }
  Area area;
  if (x0 > x1 || y0 > y1) return area;
  area.x = static_cast<std::int32_t>(x0);
  area.y = static_cast<std::int32_t>(y0);
  area.width = static_cast<std::int32_t>(x1 - x0 + 1);
  area.height = static_cast<std::int32_t>(y1 - y0 + 1);
  return area;
}

void Resampler::resample(std::span<const double> frame, std::int32_t width, std::int32_t, Shift shift,
                         const Area& area, std::span<double> out) {
  const AxisKernel kx = axis_kernel(shift.dx);
  const AxisKernel ky = axis_kernel(shift.dy);
  const auto w = static_cast<std::size_t>(width);
  const auto aw = static_cast<std::size_t>(area.width);
  const auto rows = static_cast<std::size_t>(area.height) + static_cast<std::size_t>(ky.taps) - 1;
  const std::int64_t top = area.y + ky.offset;  // first frame row read
  rows_.resize(rows * aw);
  // Along x, for every frame row the y kernel reads.
  for (std::size_t r = 0; r < rows; ++r) {
    const double* in = frame.data() + (static_cast<std::size_t>(top) + r) * w + (area.x + kx.offset);
    double* row = rows_.data() + r * aw;
    if (kx.taps == 1) {
      std::copy(in, in + aw, row);
      continue;
    }
    for (std::size_t x = 0; x < aw; ++x) {
      const double base = in[x + kBase];
      double sum = 0;
      for (std::size_t k = 0; k < kLanczosTaps; ++k) sum += kx.weights[k] * (in[x + k] - base);
      row[x] = base + sum;
    }
  }
  // Along y.
  for (std::size_t y = 0; y < static_cast<std::size_t>(area.height); ++y) {
    double* dst = out.data() + y * aw;
    const double* src = rows_.data() + y * aw;
    if (ky.taps == 1) {
      std::copy(src, src + aw, dst);
      continue;
    }
    for (std::size_t x = 0; x < aw; ++x) {
      const double base = src[kBase * aw + x];
      double sum = 0;
      for (std::size_t k = 0; k < kLanczosTaps; ++k) sum += ky.weights[k] * (src[k * aw + x] - base);
      dst[x] = base + sum;
    }
  }
}

namespace {

// out[x] = 1 when any of in[x + k * stride], k < Taps, is 1; the tap
// count fixed at compile time so the loop unrolls.
template <std::size_t Taps>
void any_of_taps(const std::uint8_t* in, std::size_t stride, std::size_t count, std::uint8_t* out) {
  for (std::size_t x = 0; x < count; ++x) {
    std::uint8_t any = 0;
    for (std::size_t k = 0; k < Taps; ++k) any |= in[x + k * stride];
    out[x] = any;
  }
}

void any_of_taps(int taps, const std::uint8_t* in, std::size_t stride, std::size_t count, std::uint8_t* out) {
  if (taps == 1) any_of_taps<1>(in, stride, count, out);
  else any_of_taps<kLanczosTaps>(in, stride, count, out);
}

}  // namespace

void Resampler::reach(std::span<const std::uint8_t> mask, std::int32_t width, std::int32_t, Shift shift,
                      const Area& area, std::span<std::uint8_t> out) {
  const AxisKernel kx = axis_kernel(shift.dx);
  const AxisKernel ky = axis_kernel(shift.dy);
  const auto w = static_cast<std::size_t>(width);
  const auto aw = static_cast<std::size_t>(area.width);
  const auto rows = static_cast<std::size_t>(area.height) + static_cast<std::size_t>(ky.taps) - 1;
  const std::int64_t top = area.y + ky.offset;
  mask_rows_.resize(rows * aw);
  // Along x: neighbouring bytes of a row.
  for (std::size_t r = 0; r < rows; ++r)
    any_of_taps(kx.taps, mask.data() + (static_cast<std::size_t>(top) + r) * w + (area.x + kx.offset), 1, aw,
                mask_rows_.data() + r * aw);
  // Along y: the same column of the next rows.
  for (std::size_t y = 0; y < static_cast<std::size_t>(area.height); ++y)
    any_of_taps(ky.taps, mask_rows_.data() + y * aw, aw, aw, out.data() + y * aw);
}

}  // namespace kadrix::import
