#pragma once
// A catalogue's source, and what every output reads of it.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

namespace kadrix::inspect {

// A source of the catalogue (catalogue.h) with everything measured on it.
struct Source {
  double x = 0.0;  // windowed centroid; pixel centres on whole coordinates,
  double y = 0.0;  // y = 0 the top row
  std::int32_t pixels = 0;
  std::int32_t peak_steps = 0;  // largest decoded mean, in 1/128 steps
  std::int64_t sum_steps = 0;   // summed decoded mean, in 1/128 steps
  std::int64_t first_index = 0;  // raster index y * width + x of its first pixel
  // Measured by the catalogue; NaN where a value cannot be defined.
  double background = 0.0;  // mean sky under the source's pixels
  double flux_iso = 0.0;    // background-subtracted sum over its pixels
  double flux_iso_err = 0.0;
  double snr = 0.0;
  double flux_auto = 0.0;  // Kron ellipse
  double flux_auto_err = 0.0;
  double fwhm = 0.0;   // twice the half-flux radius
  double a = 0.0;      // ellipse from second moments, pixels
  double b = 0.0;
  double theta = 0.0;  // degrees counter-clockwise from +X of the FITS image (y up), (-90, 90]
  double elongation = 0.0;
  std::int32_t flags = 0;  // sum of the catalogue's flag bits
};

// The flagged pixels (codes as in ResultPair).
std::int64_t count_flagged(std::span<const std::uint16_t> codes);

// FITS pixel coordinates of the centroid, as DS9 and astropy count them:
// pixel centres from 1, and the first row stored (the bottom row of the
// picture) is row 1.
inline double fits_x(const Source& s) { return s.x + 1.0; }
inline double fits_y(const Source& s, std::int32_t height) { return static_cast<double>(height) - s.y; }

// The radius of the ring drawn around a source: that of a disc of its
// pixel count, one pixel wider so the ring lies outside the source.
inline double ring_radius(const Source& s) { return std::sqrt(s.pixels / std::numbers::pi) + 1.0; }

}  // namespace kadrix::inspect
