#pragma once
// Combining the frames of an object and measuring the combined image.

#include <cstdint>
#include <span>

#include "bmp/frame_stack.h"
#include "driver/object_record.h"

namespace kadrix {

// Per pixel, the mean of its samples with the single largest dropped:
// (sum - max) / (frame_count - 1), the sum taken in frame order.
// stack holds frame j at j * pixel_count; frame_count >= 2.
MeanImage combine_frames(std::span<const std::int32_t> stack, std::int32_t pixel_count,
                         std::int32_t frame_count);
MeanImage combine_frames(const FrameStack& stack, std::int32_t pixel_count, std::int32_t frame_count);

namespace fast {
// The same means from the per-pixel sums: the samples are whole numbers,
// so (sum - max) is exact in integers and the one division is unchanged.
MeanImage combine_frames(const FrameSums& sums, std::int32_t pixel_count, std::int32_t frame_count);
}  // namespace fast

// Mean and sample standard deviation in pixel order; prints "Sr: %f, Var: %f ".
void image_statistics(std::span<const double> mean_image, std::int32_t pixel_count,
                      double& level, double& sigma);

}  // namespace kadrix
