#include "tools/inspect/sources.h"

#include <algorithm>

#include "bmp/result_pair.h"

namespace kadrix::inspect {

namespace {

// Exact sum of weight * value for weights below 2^15 and values below 2^31
// over up to 2^31 pixels: the two halves of each value are summed apart, so
// neither 64-bit sum can overflow, and the result does not depend on the
// order in which the pixels are visited.
struct ExactSum {
  std::int64_t high = 0;
  std::int64_t low = 0;
  void add(std::int64_t weight, std::int64_t value) {
    high += weight * (value >> 16);
    low += weight * (value & 0xFFFF);
  }
  double value() const { return static_cast<double>(high) * 65536.0 + static_cast<double>(low); }
};

struct Group {
  Source source;
  ExactSum weighted_x;
  ExactSum weighted_y;
  ExactSum plain_x;
  ExactSum plain_y;

  void add(std::int64_t x, std::int64_t y, std::int32_t steps) {
    Source& s = source;
    ++s.pixels;
    s.peak_steps = std::max(s.peak_steps, steps);
    s.sum_steps += steps;
    weighted_x.add(steps, x);
    weighted_y.add(steps, y);
    plain_x.add(1, x);
    plain_y.add(1, y);
  }

  void finish() {
    Source& s = source;
    if (s.sum_steps > 0) {
      const double total = static_cast<double>(s.sum_steps);
      s.x = weighted_x.value() / total;
      s.y = weighted_y.value() / total;
    } else {
      s.x = plain_x.value() / s.pixels;
      s.y = plain_y.value() / s.pixels;
    }
  }
};

bool brighter(const Source& a, const Source& b) {
  if (a.sum_steps != b.sum_steps) return a.sum_steps > b.sum_steps;
  if (a.peak_steps != b.peak_steps) return a.peak_steps > b.peak_steps;
  return a.first_index < b.first_index;
}

}  // namespace

std::int64_t count_flagged(std::span<const std::uint16_t> codes) {
  return std::count_if(codes.begin(), codes.end(), is_flagged);
}

std::vector<Source> find_sources(std::span<const std::uint16_t> codes, std::int32_t width,
                                 std::int32_t height) {
  const std::int64_t w = width;
  const std::int64_t h = height;
  std::vector<Source> sources;
  std::vector<bool> seen(codes.size());
  std::vector<std::int64_t> pending;  // flagged pixels found but not yet expanded

  // Scanning in raster order makes the pixel that starts a group its first.
  for (std::int64_t start = 0; start < w * h; ++start) {
    if (!is_flagged(codes[static_cast<std::size_t>(start)]) || seen[static_cast<std::size_t>(start)])
      continue;
    Group group;
    group.source.first_index = start;
    seen[static_cast<std::size_t>(start)] = true;
    pending.push_back(start);
    while (!pending.empty()) {
      const std::int64_t i = pending.back();
      pending.pop_back();
      const std::int64_t x = i % w;
      const std::int64_t y = i / w;
      group.add(x, y, mean_steps(codes[static_cast<std::size_t>(i)]));
      // Neighbours are bounded by the image's edges: the last pixel of a row
      // does not touch the first of the next.
      for (std::int64_t ny = std::max<std::int64_t>(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny) {
        for (std::int64_t nx = std::max<std::int64_t>(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
          const std::size_t n = static_cast<std::size_t>(ny * w + nx);
          if (seen[n] || !is_flagged(codes[n])) continue;
          seen[n] = true;
          pending.push_back(static_cast<std::int64_t>(n));
        }
      }
    }
    group.finish();
    sources.push_back(group.source);
  }
  std::sort(sources.begin(), sources.end(), brighter);
  return sources;
}

}  // namespace kadrix::inspect
