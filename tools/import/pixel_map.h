#pragma once
// From source values to the 8 bits of a frame. Integer data keeps its top
// 8 significant bits (one shift for the whole series); anything else is
// stretched linearly between two values. Values reach the map as doubles:
// NaN for an undefined pixel (FITS BLANK, NaN), +infinity for a saturated
// one (a SER sample above its depth).

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kadrix::import {

inline constexpr int kMinDepth = 8;
inline constexpr int kMaxDepth = 53;  // whole numbers a double holds exactly

struct PixelMap {
  enum class Kind { shift, linear };
  Kind kind = Kind::shift;
  int depth = 8;    // shift: values 0 to 2^depth - 1 keep their top 8 bits
  double lo = 0;    // linear: lo maps to 0 ...
  double hi = 255;  // ... and hi to 255
};

// shift: v >> (depth - 8); below 0 gives 0, above 2^depth - 1 gives 255.
// linear: trunc((v - lo) * 255 / (hi - lo)), kept within 0 to 255.
// Either way NaN gives 0, +infinity 255 and -infinity 0. Here, so that the
// per-pixel loops that call it have it inline.
inline std::uint8_t map_value(const PixelMap& map, double v) {
  if (std::isnan(v)) return 0;
  if (map.kind == PixelMap::Kind::shift) {
    if (v < 0) return 0;
    // 2^depth, exact for depths to 53; a shift, not ldexp, on this per-pixel path.
    if (v >= static_cast<double>(std::uint64_t{1} << map.depth)) return 255;
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (map.depth - 8));
  }
  // The ends are decided by comparison: (hi - lo) * 255 / (hi - lo) need
  // not come out as exactly 255 in floating point.
  if (v <= map.lo) return 0;
  if (v >= map.hi) return 255;
  const double scaled = std::trunc((v - map.lo) * 255.0 / (map.hi - map.lo));
  if (scaled <= 0) return 0;
  if (scaled >= 255) return 255;
  return static_cast<std::uint8_t>(scaled);
}

// The smallest depth of at least 8 bits whose range 0 to 2^depth - 1 holds
// value (a whole number, at most 2^kMaxDepth - 1).
int depth_holding(double value);

// Smallest and largest finite value seen.
struct ValueRange {
  bool any = false;
  double min = 0;
  double max = 0;
  void add(double v);
  // As add of each value in turn, with one comparison loop for the row.
  void add_all(std::span<const double> values);
};

// The map for a series without --range or --depth: the shift when the
// data are whole numbers none below 0 (the depth: the deepest SER depth
// given, else the smallest that holds the largest value), otherwise a
// linear map from the smallest to the largest value.
PixelMap series_map(bool integer, int ser_depth, const ValueRange& range);

// The shortest decimal text that reads back as exactly value.
std::string shortest_text(double value);

// A finite number, nothing else in the text.
bool parse_number(std::string_view text, double& value);

// "LO:HI", two finite numbers with LO < HI. False on anything else.
bool parse_range(std::string_view text, double& lo, double& hi);

}  // namespace kadrix::import
