#include "stats/image_statistics.h"

#include <cmath>
#include <cstdint>

namespace kadrix {

ImageStatistics image_statistics(std::span<const double> mean_image) {
  const std::size_t n = mean_image.size();
  const auto pixel_count = static_cast<std::int32_t>(n);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum = sum + mean_image[i];
  ImageStatistics stats;
  stats.level = sum / pixel_count;
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = mean_image[i] - stats.level;
    s = s + d * d;
  }
  // 0 rather than 0 / 0 for a single pixel.
  stats.sigma = pixel_count > 1 ? std::sqrt(s / (pixel_count - 1)) : 0.0;
  return stats;
}

}  // namespace kadrix
