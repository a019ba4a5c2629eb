#include "tools/import/pixel_map.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kadrix::import {

int depth_holding(double value) {
  int depth = kMinDepth;
  while (depth < kMaxDepth && value >= std::ldexp(1.0, depth)) ++depth;
  return depth;
}

void ValueRange::add(double v) {
  if (!std::isfinite(v)) return;
  if (!any) {
    min = max = v;
    any = true;
    return;
  }
  if (v < min) min = v;
  if (v > max) max = v;
}

void ValueRange::add_all(std::span<const double> values) {
  bool seen = false;
  double lo = 0, hi = 0;
  for (const double v : values) {
    if (!std::isfinite(v)) continue;
    if (!seen) {
      lo = hi = v;
      seen = true;
      continue;
    }
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  if (!seen) return;
  add(lo);
  add(hi);
}

PixelMap series_map(bool integer, int ser_depth, const ValueRange& range) {
  PixelMap map;
  if (!integer || (range.any && range.min < 0)) {
    map.kind = PixelMap::Kind::linear;
    map.lo = range.any ? range.min : 0;
    map.hi = range.any ? range.max : 0;
    return map;
  }
  map.depth = std::max(ser_depth, range.any ? depth_holding(range.max) : kMinDepth);
  map.depth = std::clamp(map.depth, kMinDepth, kMaxDepth);
  return map;
}

std::string shortest_text(double value) {
  char text[40];
  // Whole numbers in full ("100", not "1e+02"), the others as short as
  // they can be and still read back exactly.
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

bool parse_number(std::string_view text, double& value) {
  if (text.empty() || text.size() > 64 || text[0] == ' ' || text[0] == '\t') return false;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  value = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size() && errno == 0 && std::isfinite(value);
}

bool parse_range(std::string_view text, double& lo, double& hi) {
  // The separator is the first ':' after the first character, so that
  // neither number's sign nor exponent can be taken for it.
  const std::size_t colon = text.find(':', 1);
  if (colon == std::string_view::npos) return false;
  return parse_number(text.substr(0, colon), lo) && parse_number(text.substr(colon + 1), hi) && lo < hi;
}

}  // namespace kadrix::import
