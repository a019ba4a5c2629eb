#pragma once
// Combining the frames of an object: per pixel the mean of its samples with
// the single largest dropped. The frames are gathered one by one into what
// that needs, the sum and the largest sample of every pixel (3 bytes a pixel
// whatever the number of frames); both are whole numbers, so exact in any
// order, and the one division per pixel is that of the plain definition.

#include <cstdint>
#include <span>

#include "stats/kernel_variant.h"

namespace kadrix {

// The 16-bit sums hold up to this many frames of samples 0 to 255.
inline constexpr int kMaxSummedFrames = 65535 / 255;

// One frame's 8-bit pixel rows as a BMP file stores them.
struct StoredRows {
  std::span<const std::uint8_t> bytes;  // from the first row stored to the end of the last
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t stride = 0;  // bytes from one stored row to the next
  bool top_down = false;   // the first row stored is the top row
};

// Per pixel (y * width + x, y = 0 the top row), the sum of its samples and
// the largest one. Views of memory the caller owns.
struct FrameSums {
  std::span<std::uint16_t> sum;
  std::span<std::uint8_t> max;
};

// Starts the sums with the first frame: sum = max = its samples.
void start_frame_sums(const StoredRows& frame, const FrameSums& sums);

// Adds one more frame to the sums.
void add_frame(const StoredRows& frame, const FrameSums& sums);

// The builds of add_frame for each instruction set, widest first.
using FrameAdder = void (*)(const StoredRows& frame, const FrameSums& sums);
std::span<const KernelVariant<FrameAdder>> frame_adders();

// mean = (sum - max) / (frame_count - 1) for every pixel; frame_count >= 2.
void combine_frames(std::span<const std::uint16_t> sum, std::span<const std::uint8_t> max,
                    std::int32_t frame_count, std::span<double> mean);

}  // namespace kadrix
