#pragma once
// Thresholds, the local background map and the residual sigma.

#include <cstdint>
#include <optional>
#include <span>

#include "stats/kernel_variant.h"

namespace kadrix {

// The background given to a pixel whose window holds no usable pixel.
inline constexpr double kEmptyWindowValue = 255.0;

// The part of the image that may feed a background window: rows from
// kFirstUsableRow to height - 1 - kRowsLeftOutAtBottom, columns from
// kFirstUsableColumn to width - 1 - kColumnsLeftOutAtRight.
inline constexpr int kFirstUsableRow = 2;
inline constexpr int kRowsLeftOutAtBottom = 3;
inline constexpr int kFirstUsableColumn = 3;
inline constexpr int kColumnsLeftOutAtRight = 3;

// bright_mask[i] = mean_image[i] > sigma * k + level (strictly), 1 or 0.
void threshold_above_level(std::span<const double> mean_image, double level, double sigma, double k,
                           std::span<std::uint8_t> bright_mask);

// Image rows first to end - 1.
struct RowRange {
  std::int32_t first = 0;
  std::int32_t end = 0;
};

// Rows `rows` of the background map (the whole map's memory, y * width + x):
// for every pixel the mean of the unflagged pixels of the (2r+1)^2 window
// around it, counting only the usable area, or kEmptyWindowValue when the
// window holds none. Each window's additions run in the plain order (rows
// ascending, columns ascending within a row), many pixels side by side:
// the unusable and flagged pixels add an exact +0.0, which leaves a sum
// that is never negative unchanged. Any split of the rows gives the same map.
void estimate_background(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                         std::int32_t width, std::int32_t height, int r, RowRange rows, std::span<double> background);

// The builds of estimate_background for each instruction set, widest first;
// the last runs on any x86-64.
using BackgroundMapper = void (*)(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                                  std::int32_t width, std::int32_t height, int r, RowRange rows,
                                  std::span<double> background);
std::span<const KernelVariant<BackgroundMapper>> background_kernels();

// Sample standard deviation of mean - background over the unflagged pixels,
// in pixel order; nothing when at most one pixel counts.
std::optional<double> residual_sigma(std::span<const double> mean_image, std::span<const double> background_image,
                                     std::span<const std::uint8_t> bright_mask);

// detections[i] = mean_image[i] > sigma * k + background_image[i] (strictly).
void threshold_above_background(std::span<const double> mean_image, std::span<const double> background_image,
                                double sigma, double k, std::span<std::uint8_t> detections);

}  // namespace kadrix
