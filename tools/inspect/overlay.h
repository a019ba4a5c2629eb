#pragma once
// The overlay picture: the decoded mean stretched to grey between two
// percentiles, detected pixels in pure red, each catalogued source ringed
// in pure green, as a 24-bit BMP or a PNG.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bmp/result_pair.h"
#include "tools/inspect/sources.h"

namespace kadrix::inspect {

// lo and hi in 1/128 steps: the sorted decoded means at indices
// floor(0.01 (N - 1)) and floor(0.999 (N - 1)). N must be at least 1.
struct Stretch {
  std::int32_t lo = 0;
  std::int32_t hi = 0;
};

Stretch stretch_range(std::span<const std::uint16_t> codes);

// clamp(floor((m - lo) * 255 / (hi - lo)), 0, 255); 0 when hi <= lo.
std::uint8_t stretch_grey(std::int32_t steps, Stretch stretch);

// stretch_grey of every decoded mean, indexed by its steps (2^15 entries).
std::vector<std::uint8_t> grey_levels(Stretch stretch);

// True for a name ending in ".png", in any case: the overlay is then a PNG.
bool names_png(const std::string& path);

// Writes the overlay to a temporary file beside path and renames it over
// path only once it is complete; false (and nothing left behind) on any
// failure. A PNG when names_png(path), else a 24-bit BMP. Rings as in the
// preview, at full size: radius ring_radius around the centroid. The
// caller checks that path is not an input file.
bool write_overlay(const std::string& path, const ResultPair& pair, std::span<const Source> sources = {});

}  // namespace kadrix::inspect
