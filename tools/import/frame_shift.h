#pragma once
// How far a light lies from the reference frame: the translation that best
// lines its features up with the reference's, to a fraction of a pixel, and
// how well the two match at all. Measured on calibrated values by FFT
// cross-correlation of both frames after a 3 x 3 median (hot pixels left by
// a missing dark would pin the shift to zero), the sky level taken off, the
// edges tapered and the slow gradients and the finest noise weighed down.
// The peak is found on the correlation at every second lag; then both
// frames are cut to the part they share at that shift and tapered alike
// (stars at an edge would otherwise pull the peak inwards), and Newton
// steps on their band-limited correlation find the shift.

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace kadrix::import {

// The confidence is how far the measured shift stands out: the normalised
// cross-correlation r of the filtered frames over their overlap at that
// shift (1 for the reference scaled, near 0 for unrelated frames), less r
// at the best other shift more than a peak's width away. A frame of
// another field lines up one bright star at best, a blank or clouded one
// nothing; a frame of the field lines up all of its stars at once. Shifts
// are searched to a little past a quarter of each side; a peak on the edge
// of that search gives confidence 0.
inline constexpr double kMinShiftConfidence = 0.3;

struct FrameShift {
  // A feature at (x, y) of the reference lies at (x + dx, y + dy) in this
  // frame; x from the left, y from the top row.
  double dx = 0, dy = 0;
  double confidence = 0;
  double correlation = 0;  // r at the shift
  bool matched = false;  // confidence >= kMinShiftConfidence
};

// FFTW's planner is not thread-safe: every plan in the program is made and
// destroyed under this one lock.
std::mutex& fftw_planner_mutex();

// Built once from the reference frame's calibrated values (width * height,
// row 0 at the top; NaN and infinities are taken as missing). measure()
// may run on several threads at once and gives the same bits on any.
class ShiftFinder {
 public:
  ShiftFinder(std::span<const double> reference, std::int32_t width, std::int32_t height);
  ~ShiftFinder();
  ShiftFinder(const ShiftFinder&) = delete;
  ShiftFinder& operator=(const ShiftFinder&) = delete;

  // The shift of a frame of the reference's size; a frame of another size,
  // or any frame when the reference has nothing to match, comes out
  // unmatched with confidence 0.
  FrameShift measure(std::span<const double> frame) const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace kadrix::import
