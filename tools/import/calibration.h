#pragma once
// Dark, bias and flat calibration of the lights. Each calibration series
// becomes a master, pixel by pixel: (sum - max) / (n - 1), the sum taken in
// frame order and the largest sample dropped, so one cosmic ray or hot
// flash in one frame does not reach the master. Masters are held in double
// precision, rows from the top of the picture.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "bmp/image_buffer.h"

namespace kadrix::import {

// A master being made: frames are added one row at a time, each row in
// frame order.
class MasterBuilder {
 public:
  MasterBuilder(std::int32_t width, std::int32_t height);
  // Starts another series, in the same memory: its first frame sets
  // every sum and largest sample afresh.
  void restart() { frames_ = 0; }
  // Counts the next frame of the series; returns its number, from 1.
  std::int64_t next_frame() { return ++frames_; }
  // Adds row y (0 = top) of frame number `frame`. Rows may be added from
  // several threads at once as long as each row is added by one thread,
  // frame after frame in order.
  void add_row(std::int64_t frame, std::int32_t y, std::span<const double> values);
  // Adds row y of frames number `frame` and `frame` + 1, a then b: the
  // sums and largest samples of add_row of one, then of the other, in one
  // pass over them.
  void add_rows(std::int64_t frame, std::int32_t y, std::span<const double> a, std::span<const double> b);
  std::int64_t frames() const { return frames_; }
  // The master: the frame itself for one frame, else (sum - max) / (n - 1).
  std::vector<double> finish() const;

 private:
  std::size_t width_;
  std::int64_t frames_ = 0;
  PageArray<double> sum_;
  PageArray<double> max_;
};

struct Masters {
  std::optional<std::vector<double>> dark, flat, bias, flat_dark;
};

// What the lights are calibrated with, made from the masters.
struct Calibration {
  std::vector<double> dark;  // D; empty when 0
  std::vector<double> flat;  // F; empty without a flat
  double flat_mean = 0;      // m
  std::vector<std::uint8_t> usable;  // 1 where F is finite and F > 0.05 m
  std::int64_t unusable_count = 0;
  bool flat_keeps_offset = false;  // a flat with neither flat-darks nor bias
  bool any() const { return !dark.empty() || !flat.empty(); }
};

// D: the master dark, else the master bias, else none. F: the master flat
// less the master flat-dark, else less the master bias. m: the mean of F
// over its finite values above 0, summed in pixel order.
Calibration make_calibration(const Masters& masters);
// The same, the masters' arrays taken over rather than copied.
Calibration make_calibration(Masters&& masters);

// The lower median of the finite values of D; 0 without any.
double lower_median(std::span<const double> values);

// Whether a light's sample v at pixel `at` (row-major from the top) is
// saturated light: v at or above level, where the dark used on the lights
// is not. A pixel the dark holds saturated too (a hot pixel stuck at the
// top) carries no light, and calling it saturated would make it a bright
// source in every frame.
inline bool saturated_light(const Calibration& calibration, std::size_t at, double v, double level) {
  return v >= level && (calibration.dark.empty() || !(calibration.dark[at] >= level));
}

// Calibrates row y of a light in place: ((v - D) * m) / F at a usable
// pixel of a flat, v - D elsewhere.
void calibrate_row(const Calibration& calibration, std::int32_t y, std::span<double> values);

}  // namespace kadrix::import
