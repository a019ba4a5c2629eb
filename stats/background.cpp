#include "stats/background.h"

#include <cmath>

namespace kadrix {

void threshold_above_level(std::span<const double> mean_image, double level, double sigma, double k,
                           std::span<std::uint8_t> bright_mask) {
  const double t = sigma * k + level;
  for (std::size_t i = 0; i < mean_image.size(); ++i) bright_mask[i] = mean_image[i] > t ? 1 : 0;
}

std::optional<double> residual_sigma(std::span<const double> mean_image, std::span<const double> background_image,
                                     std::span<const std::uint8_t> bright_mask) {
  double s = 0.0;
  std::int64_t n = 0;
  for (std::size_t i = 0; i < mean_image.size(); ++i) {
    if (bright_mask[i] != 0) continue;
    const double d = mean_image[i] - background_image[i];
    s = s + d * d;
    n = n + 1;
  }
  if (n <= 1) return std::nullopt;
  return std::sqrt(s / static_cast<double>(n - 1));
}

void threshold_above_background(std::span<const double> mean_image, std::span<const double> background_image,
                                double sigma, double k, std::span<std::uint8_t> detections) {
  for (std::size_t i = 0; i < mean_image.size(); ++i) {
    const double t = sigma * k + background_image[i];
    detections[i] = mean_image[i] > t ? 1 : 0;
  }
}

}  // namespace kadrix
