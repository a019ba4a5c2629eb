#pragma once
// Measuring the combined image: its level and sigma.

#include <span>

namespace kadrix {

struct ImageStatistics {
  double level = 0.0;  // mean value, summed in pixel order
  double sigma = 0.0;  // sample standard deviation (n - 1 in the divisor)
};

// Both sums in pixel order. One pixel has no spread to measure: sigma 0.
ImageStatistics image_statistics(std::span<const double> mean_image);

}  // namespace kadrix
