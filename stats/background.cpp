#include "stats/background.h"

#include <cmath>

#include "driver/console.h"

namespace kadrix {

BrightMask threshold_above_level(std::span<const double> mean_image, std::int32_t pixel_count,
                                 double level, double sigma, double k) {
  const double t = sigma * k + level;
  BrightMask mask(static_cast<std::size_t>(pixel_count));
  for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = mean_image[i] > t ? 1 : 0;
  return mask;
}

BackgroundMap estimate_background(std::span<const double> mean_image,
                                  std::span<const std::uint8_t> bright_mask, std::int32_t width,
                                  std::int32_t height, int r) {
  BackgroundMap background(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  const int last_row = height - 1 - kRowsLeftOutAtBottom;
  const int last_column = width - 1 - kColumnsLeftOutAtRight;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0.0;
      int n = 0;
      for (int ky = y - r; ky <= y + r; ++ky) {
        if (ky < kFirstUsableRow || ky > last_row) continue;
        for (int kx = x - r; kx <= x + r; ++kx) {
          if (kx < kFirstUsableColumn || kx > last_column) continue;
          const std::size_t i = static_cast<std::size_t>(ky) * width + kx;
          if (bright_mask[i] == 0) {
            sum = sum + mean_image[i];
            n = n + 1;
          }
        }
      }
      background[static_cast<std::size_t>(y) * width + x] = n > 0 ? sum / n : kEmptyWindowValue;
    }
  }
  return background;
}

void residual_sigma(std::span<const double> mean_image, std::span<const double> background_image,
                    std::span<const std::uint8_t> bright_mask, std::int32_t pixel_count,
                    double& sigma) {
  double s = 0.0;
  std::int64_t n = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(pixel_count); ++i) {
    if (bright_mask[i] != 0) continue;
    const double d = mean_image[i] - background_image[i];
    s = s + d * d;
    n = n + 1;
  }
  if (n <= 1) return;
  sigma = std::sqrt(s / static_cast<double>(n - 1));
  console_print("new Var: %f\n", sigma);
}

DetectionMask threshold_above_background(std::span<const double> mean_image,
                                         std::span<const double> background_image,
                                         std::int32_t pixel_count, double sigma, double k) {
  DetectionMask mask(static_cast<std::size_t>(pixel_count));
  for (std::size_t i = 0; i < mask.size(); ++i) {
    const double t = sigma * k + background_image[i];
    mask[i] = mean_image[i] > t ? 1 : 0;
  }
  return mask;
}

}  // namespace kadrix
