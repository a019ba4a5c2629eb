#include "tools/inspect/preview.h"

#include <algorithm>
#include <cmath>

#include "tools/inspect/overlay.h"

namespace kadrix::inspect {

std::int32_t preview_factor(std::int32_t width, std::int32_t height) {
  // 64-bit: a side near 2^31 must not overflow on the way.
  const std::int64_t side = std::max(width, height);
  return static_cast<std::int32_t>(std::max<std::int64_t>(1, (side + kPreviewMaxSide - 1) / kPreviewMaxSide));
}

void for_ring_pixels(std::int32_t width, std::int32_t height, double cx, double cy, double r,
                     const std::function<void(std::int64_t, std::int64_t)>& visit) {
  // Only the box around the ring, cut to the image, is visited.
  const double left = std::max(0.0, std::floor(cx - r - 1));
  const double right = std::min(static_cast<double>(width - 1), std::ceil(cx + r + 1));
  const double top = std::max(0.0, std::floor(cy - r - 1));
  const double bottom = std::min(static_cast<double>(height - 1), std::ceil(cy + r + 1));
  if (left > right || top > bottom) return;
  const auto x0 = static_cast<std::int64_t>(left);
  const auto x1 = static_cast<std::int64_t>(right);
  const auto y0 = static_cast<std::int64_t>(top);
  const auto y1 = static_cast<std::int64_t>(bottom);
  for (std::int64_t y = y0; y <= y1; ++y) {
    for (std::int64_t x = x0; x <= x1; ++x) {
      const double d = std::hypot(static_cast<double>(x) - cx, static_cast<double>(y) - cy);
      if (std::fabs(d - r) >= 0.5) continue;
      visit(x, y);
    }
  }
}

void draw_ring(RgbImage& image, double cx, double cy, double r) {
  for_ring_pixels(image.width, image.height, cx, cy, r, [&image](std::int64_t x, std::int64_t y) {
    std::uint8_t* rgb = image.rgb.data() + 3 * static_cast<std::size_t>(y * image.width + x);
    rgb[0] = 255;
    rgb[1] = 0;
    rgb[2] = 0;
  });
}

RgbImage make_preview(const ResultPair& pair, std::span<const Source> sources) {
  const std::vector<std::uint8_t> grey = grey_levels(stretch_range(pair.codes));
  const std::int32_t f = preview_factor(pair.width, pair.height);
  RgbImage image;
  image.width = static_cast<std::int32_t>((std::int64_t{pair.width} + f - 1) / f);
  image.height = static_cast<std::int32_t>((std::int64_t{pair.height} + f - 1) / f);
  image.rgb.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 3);

  // Block sums of one row of blocks at a time.
  std::vector<std::uint64_t> sums(static_cast<std::size_t>(image.width));
  std::vector<std::uint64_t> counts(static_cast<std::size_t>(image.width));
  const std::size_t width = static_cast<std::size_t>(pair.width);
  for (std::int32_t by = 0; by < image.height; ++by) {
    std::fill(sums.begin(), sums.end(), 0);
    std::fill(counts.begin(), counts.end(), 0);
    const std::int64_t y_end = std::min<std::int64_t>(pair.height, (std::int64_t{by} + 1) * f);
    for (std::int64_t y = std::int64_t{by} * f; y < y_end; ++y) {
      const std::uint16_t* codes = pair.codes.data() + width * static_cast<std::size_t>(y);
      for (std::size_t x = 0; x < width; ++x) {
        const std::size_t bx = x / static_cast<std::size_t>(f);
        sums[bx] += grey[static_cast<std::size_t>(mean_steps(codes[x]))];
        ++counts[bx];
      }
    }
    std::uint8_t* out = image.rgb.data() + 3 * static_cast<std::size_t>(by) * static_cast<std::size_t>(image.width);
    for (std::size_t bx = 0; bx < sums.size(); ++bx) {
      const auto value = static_cast<std::uint8_t>((sums[bx] + counts[bx] / 2) / counts[bx]);
      out[3 * bx] = out[3 * bx + 1] = out[3 * bx + 2] = value;
    }
  }

  // Pixel centres of block b lie at b f ... b f + f - 1, so its centre is
  // at b f + (f - 1) / 2 in the full picture.
  const double shift = (f - 1) / 2.0;
  for (const Source& s : sources) {
    const double r = std::max(2.0, ring_radius(s) / f);
    draw_ring(image, (s.x - shift) / f, (s.y - shift) / f, r);
  }
  return image;
}

}  // namespace kadrix::inspect
