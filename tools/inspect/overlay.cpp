#include "tools/inspect/overlay.h"

#include <algorithm>
#include <vector>

#include "bmp/bmp_writer.h"
#include "bmp/replace_files.h"
#include "tools/inspect/png_writer.h"
#include "tools/inspect/preview.h"

namespace kadrix::inspect {

namespace {

constexpr std::int32_t kSteps = 1 << 15;  // decoded means 0 to 255 127/128

// The value at position k of the sorted steps, from their histogram.
std::int32_t nth_step(const std::vector<std::int64_t>& histogram, std::int64_t k) {
  std::int64_t below = 0;
  for (std::int32_t s = 0; s < kSteps; ++s) {
    below += histogram[static_cast<std::size_t>(s)];
    if (below > k) return s;
  }
  return kSteps - 1;
}

}  // namespace

Stretch stretch_range(std::span<const std::uint16_t> codes) {
  // The means take only 2^15 values: a histogram stands in for sorting.
  std::vector<std::int64_t> histogram(kSteps);
  for (const std::uint16_t code : codes) ++histogram[static_cast<std::size_t>(mean_steps(code))];
  const std::int64_t last = static_cast<std::int64_t>(codes.size()) - 1;
  // Integer arithmetic: 0.999 has no exact binary form.
  return {nth_step(histogram, last / 100), nth_step(histogram, last * 999 / 1000)};
}

std::uint8_t stretch_grey(std::int32_t steps, Stretch stretch) {
  if (stretch.hi <= stretch.lo || steps <= stretch.lo) return 0;
  // All three are multiples of 1/128, so the quotient is exact in integers.
  const std::int64_t grey = std::int64_t{steps - stretch.lo} * 255 / (stretch.hi - stretch.lo);
  return static_cast<std::uint8_t>(std::min<std::int64_t>(grey, 255));
}

std::vector<std::uint8_t> grey_levels(Stretch stretch) {
  std::vector<std::uint8_t> grey(kSteps);
  for (std::int32_t s = 0; s < kSteps; ++s) grey[static_cast<std::size_t>(s)] = stretch_grey(s, stretch);
  return grey;
}

bool names_png(const std::string& path) {
  if (path.size() < 4) return false;
  std::string end = path.substr(path.size() - 4);
  std::transform(end.begin(), end.end(), end.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
  return end == ".png";
}

bool write_overlay(const std::string& path, const ResultPair& pair, std::span<const Source> sources) {
  // One grey value per step, so a row is filled by table look-ups.
  const std::vector<std::uint8_t> grey = grey_levels(stretch_range(pair.codes));
  const std::size_t width = static_cast<std::size_t>(pair.width);
  std::vector<bool> ring(pair.codes.size());
  for (const Source& s : sources) {
    for_ring_pixels(pair.width, pair.height, s.x, s.y, ring_radius(s), [&](std::int64_t x, std::int64_t y) {
      ring[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)] = true;
    });
  }
  const auto rgb_row = [&](std::int32_t y, std::span<std::uint8_t> row) {
    const std::uint16_t* codes = pair.codes.data() + width * static_cast<std::size_t>(y);
    for (std::size_t x = 0; x < width; ++x) {
      std::uint8_t* rgb = row.data() + 3 * x;
      if (ring[width * static_cast<std::size_t>(y) + x]) {
        rgb[0] = 0;
        rgb[1] = 255;
        rgb[2] = 0;
      } else if (is_flagged(codes[x])) {
        rgb[0] = 255;
        rgb[1] = 0;
        rgb[2] = 0;
      } else {
        rgb[0] = rgb[1] = rgb[2] = grey[static_cast<std::size_t>(mean_steps(codes[x]))];
      }
    }
  };

  PendingGroup temp({path});
  bool written = false;
  if (names_png(path)) {
    written = write_png_file(temp[0].temp_path, pair.width, pair.height, rgb_row);
  } else {
    // BMP stores blue, green, red.
    written = write_bmp24(temp[0].temp_path, pair.width, pair.height,
                          [&](std::int32_t y, std::span<std::uint8_t> row) {
      rgb_row(y, row);
      for (std::size_t x = 0; x < width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
    });
  }
  if (!written) return false;
  return temp.commit() < 0;
}

}  // namespace kadrix::inspect
