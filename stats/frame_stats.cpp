#include "stats/frame_stats.h"

#include <cmath>

#include "driver/console.h"

namespace kadrix {

MeanImage combine_frames(std::span<const std::int32_t> stack, std::int32_t pixel_count,
                         std::int32_t frame_count) {
  MeanImage mean(static_cast<std::size_t>(pixel_count));
  const std::size_t stride = static_cast<std::size_t>(pixel_count);
  for (std::size_t p = 0; p < stride; ++p) {
    double sum = 0.0;
    double max = 0.0;
    for (std::int32_t j = 0; j < frame_count; ++j) {
      const double v = stack[static_cast<std::size_t>(j) * stride + p];
      if (v > max) max = v;
      sum = sum + v;
    }
    mean[p] = (sum - max) / (frame_count - 1);
  }
  return mean;
}

MeanImage combine_frames(const FrameStack& stack, std::int32_t pixel_count, std::int32_t frame_count) {
  return combine_frames(std::span<const std::int32_t>(stack.samples.get(), static_cast<std::size_t>(pixel_count) *
                                                                              static_cast<std::size_t>(frame_count)),
                        pixel_count, frame_count);
}

MeanImage fast::combine_frames(const FrameSums& sums, std::int32_t pixel_count, std::int32_t frame_count) {
  MeanImage mean(static_cast<std::size_t>(pixel_count));
  const std::int32_t divisor = frame_count - 1;
  for (std::size_t p = 0; p < mean.size(); ++p) {
    mean[p] = static_cast<double>(sums.sum[p] - sums.max[p]) / divisor;
  }
  return mean;
}

void image_statistics(std::span<const double> mean_image, std::int32_t pixel_count,
                      double& level, double& sigma) {
  const std::size_t n = static_cast<std::size_t>(pixel_count);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum = sum + mean_image[i];
  level = sum / pixel_count;
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = mean_image[i] - level;
    s = s + d * d;
  }
  // One pixel has no spread to measure; 0 rather than 0 / 0.
  sigma = pixel_count > 1 ? std::sqrt(s / (pixel_count - 1)) : 0.0;
  console_print("Sr: %f, Var: %f ", level, sigma);
}

}  // namespace kadrix
