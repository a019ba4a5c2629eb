#pragma once
// The preview of an object in the night report: the overlay's grey
// stretch, shrunk to fit 800 x 800 pixels, every source ringed in red.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "bmp/result_pair.h"
#include "tools/inspect/sources.h"

namespace kadrix::inspect {

inline constexpr std::int32_t kPreviewMaxSide = 800;

struct RgbImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> rgb;  // rows top-down, red, green, blue
};

// The smallest whole f for which both sides, divided by f and rounded up,
// are at most kPreviewMaxSide.
std::int32_t preview_factor(std::int32_t width, std::int32_t height);

// Each preview pixel is the mean grey (rounded to nearest) of an f x f
// block of the overlay's grey values (flagged pixels stay grey); blocks at
// the right and bottom edges average the pixels they hold. Then every
// source gets a one-pixel ring of pure red, radius max(2, ring_radius / f),
// around its centroid in the shrunk picture.
RgbImage make_preview(const ResultPair& pair, std::span<const Source> sources);

// Calls visit(x, y) for each pixel of a width x height picture at distance
// r (within half a pixel) from (cx, cy).
void for_ring_pixels(std::int32_t width, std::int32_t height, double cx, double cy, double r,
                     const std::function<void(std::int64_t, std::int64_t)>& visit);

// Paints the pixels at distance r (within half a pixel) from (cx, cy) red;
// pixels outside the image are left out.
void draw_ring(RgbImage& image, double cx, double cy, double r);

}  // namespace kadrix::inspect
