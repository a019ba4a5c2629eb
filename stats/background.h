#pragma once
// Thresholds, the local background map and the residual sigma.

#include <cstdint>
#include <span>

#include "driver/kernel_variant.h"
#include "driver/object_record.h"

namespace kadrix {

// flag = mean > sigma * k + level (strictly).
BrightMask threshold_above_level(std::span<const double> mean_image, std::int32_t pixel_count,
                                 double level, double sigma, double k);

// The part of the image that may feed a background window: rows from
// kFirstUsableRow to height - 1 - kRowsLeftOutAtBottom, columns from
// kFirstUsableColumn to width - 1 - kColumnsLeftOutAtRight.
inline constexpr int kFirstUsableRow = 2;
inline constexpr int kRowsLeftOutAtBottom = 3;
inline constexpr int kFirstUsableColumn = 3;
inline constexpr int kColumnsLeftOutAtRight = 3;

// Mean of the unflagged pixels of the (2r+1)^2 window around each pixel,
// counting only rows 2 .. height-4 and columns 3 .. width-4;
// kEmptyWindowValue when the window holds none.
BackgroundMap estimate_background(std::span<const double> mean_image,
                                  std::span<const std::uint8_t> bright_mask, std::int32_t width,
                                  std::int32_t height, int r);

namespace fast {

// A build of the background map for one instruction set: the same sequence
// of additions per pixel as above, with many pixels run side by side.
using BackgroundMapper = BackgroundMap (*)(std::span<const double> mean_image,
                                           std::span<const std::uint8_t> bright_mask, std::int32_t width,
                                           std::int32_t height, int r);

using BackgroundKernel = KernelVariant<BackgroundMapper>;

// Every variant built in, widest first; the last runs on any x86-64.
std::span<const BackgroundKernel> background_kernels();

// The same map as estimate_background above, to the last bit, using the
// widest variant this CPU supports.
BackgroundMap estimate_background(std::span<const double> mean_image,
                                  std::span<const std::uint8_t> bright_mask, std::int32_t width,
                                  std::int32_t height, int r);

}  // namespace fast

// Sample standard deviation of mean - background over the unflagged
// pixels; replaces sigma and prints "new Var: %f\n" when more than one
// pixel counts, else leaves sigma and prints nothing.
void residual_sigma(std::span<const double> mean_image, std::span<const double> background_image,
                    std::span<const std::uint8_t> bright_mask, std::int32_t pixel_count,
                    double& sigma);

// flag = mean > sigma * k + background (strictly).
DetectionMask threshold_above_background(std::span<const double> mean_image,
                                         std::span<const double> background_image,
                                         std::int32_t pixel_count, double sigma, double k);

}  // namespace kadrix
