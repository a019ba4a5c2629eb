#include "tools/inspect/catalogue.h"

#include <cstddef>  // sep.h needs size_t declared before it
extern "C" {
#include <sep.h>
}

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <numbers>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace kadrix::inspect {

namespace {

constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();

// SEP's status codes, which its header does not name. Memory it could not
// get is thrown as std::bad_alloc; the two overflows have their fallbacks.
constexpr int kSepMemory = 1;
constexpr int kSepPixelStackFull = 2;
constexpr int kSepDeblendOverflow = 7;
// The most pixels an image given to SEP may have: it numbers them with an int.
constexpr std::int64_t kSepLargestImage = std::numeric_limits<int>::max();

// The positive floor of the values a footprint is deblended on: an eighth
// of the mean's 1/128 step, so that it never decides a split.
constexpr float kFloor = 1.0f / 1024.0f;

// SExtractor's default detection filter.
constexpr float kDefaultFilter[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
// SExtractor's CLEAN_PARAM default: the Moffat index of the wings a
// detection is cleaned against.
constexpr double kCleanParameter = 1.0;

// Runs side on a thread of its own while main runs on this one, or after
// main when the system starts no more threads: nothing either computes
// depends on which.
template <class Side, class Main>
void side_by_side(Side&& side, Main&& main) {
  std::optional<std::jthread> thread;
  try {
    thread.emplace(std::ref(side));
  } catch (const std::system_error&) {
  }
  main();
  if (!thread) side();
}

struct OwnedCatalog {
  sep_catalog* catalog = nullptr;
  OwnedCatalog() = default;
  OwnedCatalog(const OwnedCatalog&) = delete;
  OwnedCatalog& operator=(const OwnedCatalog&) = delete;
  ~OwnedCatalog() {
    if (catalog != nullptr) sep_catalog_free(catalog);
  }
};

struct OwnedBackground {
  sep_bkg* background = nullptr;
  OwnedBackground() = default;
  OwnedBackground(const OwnedBackground&) = delete;
  OwnedBackground& operator=(const OwnedBackground&) = delete;
  ~OwnedBackground() {
    if (background != nullptr) sep_bkg_free(background);
  }
};

sep_image float_image(const float* data, std::int32_t width, std::int32_t height) {
  sep_image image{};
  image.data = data;
  image.dtype = SEP_TFLOAT;
  image.w = width;
  image.h = height;
  image.noise_type = SEP_NOISE_NONE;
  return image;
}

// A source before it is measured: its pixels (raster indices, ascending)
// and the ellipse of its second moments, in SEP's own orientation.
struct Piece {
  std::vector<std::int64_t> pixels;
  double x = 0.0;
  double y = 0.0;
  double a = 0.0;
  double b = 0.0;
  double theta = 0.0;  // radians, counter-clockwise from +x with y growing downwards
  std::int32_t flags = 0;
};

// The angle of the major axis from the second moments. SEP's own answer
// is pi/4 whenever x2 equals y2, whatever the sign of xy: a source along
// either diagonal would read the same.
double moments_angle(double x2, double y2, double xy) { return 0.5 * std::atan2(2 * xy, x2 - y2); }

// The ellipse of a set of weighted pixels, for footprints SEP gave up on:
// the same moments SEP takes, with its 1/12 for a line or a point.
void own_moments(Piece& piece, std::span<const float> values, std::int32_t width) {
  double sw = 0, sx = 0, sy = 0;
  for (const std::int64_t i : piece.pixels) {
    const double v = std::max(values[static_cast<std::size_t>(i)], kFloor);
    sw += v;
    sx += v * static_cast<double>(i % width);
    sy += v * static_cast<double>(i / width);
  }
  piece.x = sx / sw;
  piece.y = sy / sw;
  double x2 = 0, y2 = 0, xy = 0;
  for (const std::int64_t i : piece.pixels) {
    const double v = std::max(values[static_cast<std::size_t>(i)], kFloor);
    const double dx = static_cast<double>(i % width) - piece.x;
    const double dy = static_cast<double>(i / width) - piece.y;
    x2 += v * dx * dx;
    y2 += v * dy * dy;
    xy += v * dx * dy;
  }
  x2 /= sw;
  y2 /= sw;
  xy /= sw;
  if (x2 * y2 - xy * xy < 1.0 / 144.0) {
    x2 += 1.0 / 12.0;
    y2 += 1.0 / 12.0;
  }
  const double half_sum = (x2 + y2) / 2;
  const double t = std::sqrt((x2 - y2) * (x2 - y2) / 4 + xy * xy);
  piece.a = std::sqrt(half_sum + t);
  piece.b = std::sqrt(std::max(half_sum - t, 0.0));
  piece.theta = moments_angle(x2, y2, xy);
}

// Object k of SEP's catalogue as a piece of the image, SEP's image (its
// rows box_width wide) lying at (x0, y0) of the image. Its flags are the
// caller's to set.
Piece piece_of(const sep_catalog& found, int k, std::int64_t x0, std::int64_t y0, std::int64_t box_width,
               std::int32_t width) {
  Piece piece;
  piece.x = found.x[k] + static_cast<double>(x0);
  piece.y = found.y[k] + static_cast<double>(y0);
  piece.a = found.a[k];
  piece.b = found.b[k];
  piece.theta = moments_angle(found.x2[k], found.y2[k], found.xy[k]);
  piece.pixels.reserve(static_cast<std::size_t>(std::max(found.npix[k], 0)));
  for (int p = 0; p < found.npix[k]; ++p) {
    const std::int64_t i = found.pix[k][p];
    piece.pixels.push_back((y0 + i / box_width) * width + x0 + i % box_width);
  }
  std::sort(piece.pixels.begin(), piece.pixels.end());
  return piece;
}

// Pieces from a SEP catalogue of an image whose pixel (0, 0) is (x0, y0)
// of the whole and whose rows are box_width wide.
void take_objects(const sep_catalog& found, std::int32_t x0, std::int32_t y0, std::int32_t box_width,
                  std::int32_t width, std::int32_t blended_when_more, std::vector<Piece>& pieces) {
  for (int k = 0; k < found.nobj; ++k) {
    Piece piece = piece_of(found, k, x0, y0, box_width, width);
    if ((found.flag[k] & SEP_OBJ_MERGED) != 0 || found.nobj > blended_when_more)
      piece.flags |= source_flags::kBlended;
    pieces.push_back(std::move(piece));
  }
}

// The background and RMS maps; SEP's status (0 also when the flat
// fallback is taken).
int measure_background(const ResultPair& pair, std::span<const float> mean, std::span<const std::int32_t> mask,
                       std::int32_t mesh, Catalogue& out) {
  const std::int32_t w = pair.width;
  const std::int32_t h = pair.height;
  const std::size_t n = mean.size();
  out.background = PageArray<float>(n);
  out.rms = PageArray<float>(n);

  // A mesh is usable when at least half of its pixels are not masked.
  const std::int64_t mx = (std::int64_t{w} + mesh - 1) / mesh;
  const std::int64_t my = (std::int64_t{h} + mesh - 1) / mesh;
  std::vector<std::int64_t> open(static_cast<std::size_t>(mx * my)), all(static_cast<std::size_t>(mx * my));
  for (std::int64_t y = 0; y < h; ++y) {
    const std::int32_t* row = mask.data() + y * w;
    for (std::int64_t x0 = 0; x0 < w; x0 += mesh) {
      const std::size_t m = static_cast<std::size_t>(y / mesh * mx + x0 / mesh);
      const std::int64_t x1 = std::min<std::int64_t>(x0 + mesh, w);
      all[m] += x1 - x0;
      open[m] += std::count(row + x0, row + x1, 0);
    }
  }
  bool usable = false;
  for (std::size_t m = 0; m < open.size(); ++m) usable = usable || 2 * open[m] >= all[m];

  if (usable) {
    sep_image image = float_image(mean.data(), w, h);
    image.mask = mask.data();
    image.mdtype = SEP_TINT;
    image.maskthresh = 0.0;
    OwnedBackground sky;
    const int status = sep_background(&image, mesh, mesh, 3, 3, 0.0, &sky.background);
    if (status != 0) return status;
    // The two maps are interpolated at once, on two threads.
    int rms_status = 0;
    int back_status = 0;
    side_by_side([&] { rms_status = sep_bkg_rmsarray(sky.background, out.rms.data(), SEP_TFLOAT); },
                 [&] { back_status = sep_bkg_array(sky.background, out.background.data(), SEP_TFLOAT); });
    if (back_status != 0) return back_status;
    if (rms_status != 0) return rms_status;
    bool finite = true;
    float top = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
      finite = finite && std::isfinite(out.background[i]) && std::isfinite(out.rms[i]);
      top = std::max(top, out.rms[i]);
    }
    usable = finite && top > 0.0f;
  }
  if (!usable) {
    out.flat_background = true;
    std::fill(out.background.data(), out.background.data() + n, pair.stats.level);
    std::fill(out.rms.data(), out.rms.data() + n, pair.stats.sigma);
  }
  return 0;
}

// One footprint through sep_extract on its bounding box.
int deblend_footprint(std::span<const std::int64_t> pixels, bool filled, std::span<const float> sub,
                      std::int32_t width, const CatalogueOptions& options, std::vector<Piece>& pieces) {
  std::int32_t x0 = width, x1 = 0, y0 = std::numeric_limits<std::int32_t>::max(), y1 = 0;
  float lowest = std::numeric_limits<float>::max();
  for (const std::int64_t i : pixels) {
    const auto x = static_cast<std::int32_t>(i % width);
    const auto y = static_cast<std::int32_t>(i / width);
    x0 = std::min(x0, x);
    x1 = std::max(x1, x);
    y0 = std::min(y0, y);
    y1 = std::max(y1, y);
    lowest = std::min(lowest, std::max(sub[static_cast<std::size_t>(i)], kFloor));
  }
  // A margin of a pixel all round: SEP deblends nothing that touches the
  // edge of its image.
  --x0;
  --y0;
  const std::int32_t bw = x1 - x0 + 2;
  const std::int32_t bh = y1 - y0 + 2;
  const std::int32_t own_flags = filled ? source_flags::kHolesFilled : 0;
  // SEP numbers an image's pixels with an int: a box with its margin past
  // that is more than its stack could ever take.
  if (std::int64_t{bw} * bh > kSepLargestImage) {
    Piece piece;
    piece.pixels.assign(pixels.begin(), pixels.end());
    own_moments(piece, sub, width);
    piece.flags = own_flags | source_flags::kExtractOverflow;
    pieces.push_back(std::move(piece));
    return 0;
  }
  std::vector<float> box(static_cast<std::size_t>(bw) * static_cast<std::size_t>(bh), 0.0f);
  for (const std::int64_t i : pixels) {
    const std::int64_t bx = i % width - x0;
    const std::int64_t by = i / width - y0;
    box[static_cast<std::size_t>(by * bw + bx)] = std::max(sub[static_cast<std::size_t>(i)], kFloor);
  }
  const sep_image image = float_image(box.data(), bw, bh);
  OwnedCatalog found;
  // Just below the lowest value, so that every pixel of the footprint is
  // in and the deblending levels start from it.
  const int status = sep_extract(&image, lowest * 0.999f, SEP_THRESH_ABS, 1, nullptr, 0, 0, SEP_FILTER_CONV,
                                 options.deblend ? options.deblend_levels : 1, options.deblend_contrast, 0, 1.0,
                                 &found.catalog);
  if (status == 0 && found.catalog->nobj > 0) {
    const std::size_t first = pieces.size();
    take_objects(*found.catalog, x0, y0, bw, width, 1, pieces);
    for (std::size_t k = first; k < pieces.size(); ++k) pieces[k].flags |= own_flags;
    return 0;
  }
  if (status == kSepMemory) throw std::bad_alloc();
  if (status != 0 && status != kSepDeblendOverflow && status != kSepPixelStackFull) return status;
  // SEP gave up on it (or found nothing): the footprint stays one source.
  Piece piece;
  piece.pixels.assign(pixels.begin(), pixels.end());
  own_moments(piece, sub, width);
  piece.flags = own_flags | (status == kSepDeblendOverflow  ? source_flags::kDeblendOverflow
                             : status == kSepPixelStackFull ? source_flags::kExtractOverflow
                                                            : 0);
  pieces.push_back(std::move(piece));
  return 0;
}

// Every footprint in one sep_extract: its values raised to the floor, 0
// elsewhere, and each pixel's threshold just below its footprint's lowest
// value (as the noise of a relative threshold), so that each footprint is
// deblended from its own lowest level as if alone. The footprints' boxes
// are packed in rows into a mosaic, a pixel apart, so that SEP scans their
// pixels rather than the whole image. SEP's status; the overflows are left
// to the caller.
int deblend_all(const Footprints& fp, std::span<const float> sub, std::int32_t width, std::int32_t height,
                const CatalogueOptions& options, std::vector<Piece>& pieces) {
  const std::size_t n = sub.size();
  const auto count = static_cast<std::size_t>(fp.count) + 1;
  struct Box {
    std::int64_t x0 = std::numeric_limits<std::int64_t>::max(), y0 = std::numeric_limits<std::int64_t>::max();
    std::int64_t x1 = -1, y1 = -1;
    std::int64_t dx = 0, dy = 0;  // mosaic position less image position
    float lowest = std::numeric_limits<float>::max();
  };
  // Each footprint's box and lowest value, and how many of its pixels are
  // at least as bright as all their neighbours, in one pass. A footprint
  // with one such pixel cannot split: each part above any level holds
  // such a pixel, its own brightest. Those go to SEP without deblending,
  // which is cheaper and gives the same source; the others are deblended.
  std::vector<Box> boxes(count);
  std::vector<std::int32_t> peaks(count, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto k = static_cast<std::size_t>(fp.label[i]);
    if (k == 0) continue;
    Box& b = boxes[k];
    const std::int64_t x = static_cast<std::int64_t>(i) % width, y = static_cast<std::int64_t>(i) / width;
    const float v = std::max(sub[i], kFloor);
    b.x0 = std::min(b.x0, x);
    b.x1 = std::max(b.x1, x);
    b.y0 = std::min(b.y0, y);
    b.y1 = std::max(b.y1, y);
    b.lowest = std::min(b.lowest, v);
    if (peaks[k] > 1) continue;
    bool top = true;
    for (std::int64_t ny = std::max<std::int64_t>(y - 1, 0); top && ny <= std::min<std::int64_t>(y + 1, height - 1); ++ny) {
      for (std::int64_t nx = std::max<std::int64_t>(x - 1, 0); nx <= std::min<std::int64_t>(x + 1, width - 1); ++nx) {
        const auto j = static_cast<std::size_t>(ny * width + nx);
        if (fp.label[j] == fp.label[i] && std::max(sub[j], kFloor) > v) top = false;
      }
    }
    if (top) ++peaks[k];
  }
  // The two sets are extracted at once, on two threads: each has its own
  // mosaic and its own boxes' places.
  const auto extract_set = [&](bool multi, std::vector<Piece>& out) -> int {
    const auto in_set = [&](std::size_t k) { return options.deblend ? (peaks[k] > 1) == multi : !multi; };
    bool any = false;
    for (std::size_t k = 1; k < count && !any; ++k) any = in_set(k);
    if (!any) return 0;
    // SEP deblends nothing that touches the edge of its image: every box
    // keeps a margin of one pixel, shared with its neighbours.
    std::int64_t mosaic_width = std::min<std::int64_t>(width, 1024);
    for (std::size_t k = 1; k < count; ++k)
      if (in_set(k)) mosaic_width = std::max(mosaic_width, boxes[k].x1 - boxes[k].x0 + 3);
    std::int64_t cx = 1, cy = 1, shelf = 0;
    for (std::size_t k = 1; k < count; ++k) {
      if (!in_set(k)) continue;
      Box& b = boxes[k];
      const std::int64_t bw = b.x1 - b.x0 + 1, bh = b.y1 - b.y0 + 1;
      if (cx + bw + 1 > mosaic_width) {
        cy += shelf + 1;
        cx = 1;
        shelf = 0;
      }
      b.dx = cx - b.x0;
      b.dy = cy - b.y0;
      cx += bw + 1;
      shelf = std::max(shelf, bh);
    }
    std::int64_t mosaic_height = cy + shelf + 1;
    // Boxes that overlap much (a long trail's box holds many others) can make
    // the mosaic larger than the image: the image itself, with its margin.
    if (mosaic_width * mosaic_height >= (std::int64_t{width} + 2) * (height + 2)) {
      mosaic_width = std::int64_t{width} + 2;
      mosaic_height = std::int64_t{height} + 2;
      for (std::size_t k = 1; k < count; ++k)
        if (in_set(k)) boxes[k].dx = boxes[k].dy = 1;
    }
    // Past what SEP can number, the footprints go one at a time.
    if (mosaic_width * mosaic_height > kSepLargestImage) return kSepPixelStackFull;
    const auto m = static_cast<std::size_t>(mosaic_width * mosaic_height);
    std::vector<float> values(m, 0.0f), level(m, 1.0f);
    std::vector<std::int32_t> owner(m, 0);
    for (std::size_t i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(fp.label[i]);
      if (k == 0 || !in_set(k)) continue;
      const Box& b = boxes[k];
      const auto at = static_cast<std::size_t>((static_cast<std::int64_t>(i) / width + b.dy) * mosaic_width +
                                               static_cast<std::int64_t>(i) % width + b.dx);
      values[at] = std::max(sub[i], kFloor);
      level[at] = b.lowest;
      owner[at] = fp.label[i];
    }
    sep_image image = float_image(values.data(), static_cast<std::int32_t>(mosaic_width),
                                  static_cast<std::int32_t>(mosaic_height));
    image.noise = level.data();
    image.ndtype = SEP_TFLOAT;
    image.noise_type = SEP_NOISE_STDDEV;
    OwnedCatalog found;
    const int status = sep_extract(&image, 0.999f, SEP_THRESH_REL, 1, nullptr, 0, 0, SEP_FILTER_CONV,
                                   multi ? options.deblend_levels : 1, options.deblend_contrast, 0, 1.0,
                                   &found.catalog);
    if (status == kSepMemory) throw std::bad_alloc();
    if (status != 0) return status;
    const sep_catalog& c = *found.catalog;
    // A footprint that gave more than one source was a blend.
    std::vector<std::int32_t> parts(count, 0);
    for (int j = 0; j < c.nobj; ++j)
      if (c.npix[j] > 0) ++parts[static_cast<std::size_t>(owner[static_cast<std::size_t>(c.pix[j][0])])];
    for (int j = 0; j < c.nobj; ++j) {
      if (c.npix[j] <= 0) continue;
      const auto k = static_cast<std::size_t>(owner[static_cast<std::size_t>(c.pix[j][0])]);
      const Box& b = boxes[k];
      Piece piece = piece_of(c, j, -b.dx, -b.dy, mosaic_width, width);
      if ((c.flag[j] & SEP_OBJ_MERGED) != 0 || parts[k] > 1) piece.flags |= source_flags::kBlended;
      if (k > 0 && fp.filled[k - 1]) piece.flags |= source_flags::kHolesFilled;
      out.push_back(std::move(piece));
    }
    return 0;
  };
  std::vector<Piece> single, several;
  int single_status = 0;
  int several_status = 0;
  bool no_memory = false;
  side_by_side(
      [&] {
        try {
          single_status = extract_set(false, single);
        } catch (const std::bad_alloc&) {
          no_memory = true;
        }
      },
      [&] { several_status = extract_set(true, several); });
  if (no_memory) throw std::bad_alloc();
  if (single_status != 0) return single_status;
  if (several_status != 0) return several_status;
  for (std::vector<Piece>* set : {&single, &several})
    for (Piece& piece : *set) pieces.push_back(std::move(piece));
  return 0;
}

// One sep_extract per footprint on its bounding box.
int deblend_one_by_one(const Footprints& fp, std::span<const float> sub, std::int32_t width,
                       const CatalogueOptions& options, std::vector<Piece>& pieces) {
  // The pixels of each footprint, gathered by a counting sort of labels.
  const std::size_t n = sub.size();
  std::vector<std::int64_t> start(static_cast<std::size_t>(fp.count) + 2, 0);
  for (std::size_t i = 0; i < n; ++i) ++start[static_cast<std::size_t>(fp.label[i]) + 1];
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<std::int64_t> order(n);
  std::vector<std::int64_t> next(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < n; ++i)
    order[static_cast<std::size_t>(next[static_cast<std::size_t>(fp.label[i])]++)] = static_cast<std::int64_t>(i);
  for (std::int32_t k = 1; k <= fp.count; ++k) {
    const auto from = static_cast<std::size_t>(start[static_cast<std::size_t>(k)]);
    const auto to = static_cast<std::size_t>(start[static_cast<std::size_t>(k) + 1]);
    const std::span<const std::int64_t> pixels(order.data() + from, to - from);
    if (const int status = deblend_footprint(pixels, fp.filled[static_cast<std::size_t>(k - 1)], sub, width,
                                             options, pieces);
        status != 0)
      return status;
  }
  return 0;
}

// Detection on the image itself above K times the RMS map.
int detect_above(std::span<const float> sub, const Catalogue& maps, std::int32_t width, std::int32_t height,
                 const CatalogueOptions& options, std::int32_t min_pixels, std::vector<Piece>& pieces) {
  sep_image image = float_image(sub.data(), width, height);
  image.noise = maps.rms.data();
  image.ndtype = SEP_TFLOAT;
  image.noise_type = SEP_NOISE_STDDEV;
  OwnedCatalog found;
  const auto extract = [&](int levels) {
    if (found.catalog != nullptr) sep_catalog_free(found.catalog);
    found.catalog = nullptr;
    return sep_extract(&image, static_cast<float>(*options.threshold), SEP_THRESH_REL, min_pixels, kDefaultFilter, 3,
                       3, SEP_FILTER_CONV, levels, options.deblend_contrast, options.clean ? 1 : 0, kCleanParameter,
                       &found.catalog);
  };
  // More pixels above the threshold at once than SEP's stack holds: again
  // with a stack for every pixel of the image, which no extraction fills,
  // so that no catalogue is lost to it. Only one extraction runs at a time
  // in this mode, so the process-wide limit can be lent and given back.
  // Too many sub-objects somewhere: again with every source kept whole.
  const std::size_t stack = sep_get_extract_pixstack();
  struct StackBack {
    std::size_t stack;
    ~StackBack() { sep_set_extract_pixstack(stack); }
  } stack_back{stack};
  int levels = options.deblend ? options.deblend_levels : 1;
  std::int32_t flags = 0;
  bool enlarged = false;
  int status = 0;
  for (;;) {
    status = extract(levels);
    if (status == kSepPixelStackFull && !enlarged && stack <= sub.size()) {
      sep_set_extract_pixstack(sub.size() + 1);
      enlarged = true;
      continue;
    }
    if (status == kSepDeblendOverflow && levels > 1) {
      flags = source_flags::kDeblendOverflow;
      levels = 1;
      continue;
    }
    break;
  }
  if (status == kSepMemory) throw std::bad_alloc();
  if (status != 0) return status;
  const std::size_t first = pieces.size();
  take_objects(*found.catalog, 0, 0, width, width, std::numeric_limits<std::int32_t>::max(), pieces);
  for (std::size_t k = first; k < pieces.size(); ++k) pieces[k].flags |= flags;
  return 0;
}

bool brighter(const Source& a, const Source& b) {
  if (a.flux_iso != b.flux_iso) return a.flux_iso > b.flux_iso;
  if (a.peak_steps != b.peak_steps) return a.peak_steps > b.peak_steps;
  return a.first_index < b.first_index;
}

// What a source's own pixels give: counts, sums, the ellipse, the flags
// that need no aperture.
Source describe(const Piece& piece, const ResultPair& pair, std::span<const float> sub, const Catalogue& maps,
                const CatalogueOptions& options) {
  const std::int64_t w = pair.width;
  const std::int64_t h = pair.height;
  Source s;
  s.flags = piece.flags;
  s.first_index = piece.pixels.front();
  double sky = 0, flux = 0, variance = 0;
  bool border = false;
  for (const std::int64_t i : piece.pixels) {
    const auto u = static_cast<std::size_t>(i);
    const std::int32_t steps = mean_steps(pair.codes[u]);
    ++s.pixels;
    s.peak_steps = std::max(s.peak_steps, steps);
    s.sum_steps += steps;
    sky += maps.background[u];
    flux += sub[u];
    variance += static_cast<double>(maps.rms[u]) * maps.rms[u];
    const std::int64_t x = i % w;
    const std::int64_t y = i / w;
    border = border || x == 0 || y == 0 || x == w - 1 || y == h - 1;
  }
  s.background = sky / s.pixels;
  s.flux_iso = flux;
  if (options.gain && flux > 0) variance += flux / *options.gain;
  s.flux_iso_err = std::sqrt(variance);
  s.snr = s.flux_iso_err > 0 ? s.flux_iso / s.flux_iso_err : kUndefined;
  if (border) s.flags |= source_flags::kBorder;
  if (steps_to_mean(s.peak_steps) >= options.saturate) s.flags |= source_flags::kSaturated;
  s.x = piece.x;
  s.y = piece.y;
  s.a = piece.a;
  s.b = piece.b;
  s.elongation = s.b > 0 ? s.a / s.b : kUndefined;
  // The image's y grows downwards, the FITS image's upwards: the angle
  // changes sign.
  double theta = 0.0 - piece.theta * 180.0 / std::numbers::pi;  // 0 - x: never -0
  if (theta <= -90.0) theta += 180.0;
  if (theta > 90.0) theta -= 180.0;
  s.theta = theta;
  return s;
}

// True when a pixel of another source lies inside the ellipse
// cxx dx^2 + cyy dy^2 + cxy dx dy <= r^2 around (x, y).
bool neighbour_inside(std::span<const std::int32_t> owner, std::int32_t self, std::int32_t width, std::int32_t height,
                      double x, double y, double cxx, double cyy, double cxy, double r, double reach) {
  const auto x0 = static_cast<std::int64_t>(std::max(0.0, std::floor(x - reach)));
  const auto x1 = static_cast<std::int64_t>(std::min(width - 1.0, std::ceil(x + reach)));
  const auto y0 = static_cast<std::int64_t>(std::max(0.0, std::floor(y - reach)));
  const auto y1 = static_cast<std::int64_t>(std::min(height - 1.0, std::ceil(y + reach)));
  for (std::int64_t py = y0; py <= y1; ++py) {
    for (std::int64_t px = x0; px <= x1; ++px) {
      const std::int32_t o = owner[static_cast<std::size_t>(py * width + px)];
      if (o == 0 || o == self) continue;
      const double dx = static_cast<double>(px) - x;
      const double dy = static_cast<double>(py) - y;
      if (cxx * dx * dx + cyy * dy * dy + cxy * dx * dy <= r * r) return true;
    }
  }
  return false;
}

// Kron photometry, flux radius and windowed position; the status of a SEP
// failure. Other sources' pixels are left out of the Kron radius, the sums
// and the flux radius (SEP's segmentation map, without rescaling the sums:
// that overshoots, the neighbours lying in the outskirts), and mirrored
// for the windowed position (below).
int measure_apertures(Source& s, std::int32_t self, std::span<const std::int32_t> owner, std::span<const float> sub,
                      const sep_image& image, std::int32_t width, std::int32_t height) {
  // A source SEP cannot give an ellipse gets a circle of its larger axis.
  double a = s.a, b = s.b;
  if (!(b > 0) || !(a >= b)) a = b = std::max(std::isfinite(s.a) ? s.a : 0.0, 0.5);
  const double theta = -s.theta * std::numbers::pi / 180.0;
  double cxx = 0, cyy = 0, cxy = 0;
  sep_ellipse_coeffs(a, b, theta, &cxx, &cyy, &cxy);

  double kron = 0;
  short flag = 0;
  int status = sep_kron_radius(&image, s.x, s.y, cxx, cyy, cxy, 6.0, self, &kron, &flag);
  if (status != 0) return status;
  // No light inside (SEP flags it and gives 0) takes the smallest aperture.
  if (!std::isfinite(kron)) kron = 0;
  const double scale = std::max(2.5 * kron, 3.5);
  double sum = 0, error = 0, area = 0;
  flag = 0;
  status = sep_sum_ellipse(&image, s.x, s.y, a, b, theta, scale, self, 5, 0, &sum, &error, &area, &flag);
  if (status != 0) return status;
  s.flux_auto = sum;
  s.flux_auto_err = error;
  if ((flag & SEP_APER_TRUNC) != 0) s.flags |= source_flags::kApertureCut;
  if (neighbour_inside(owner, self, width, height, s.x, s.y, cxx, cyy, cxy, scale, scale * a + 1))
    s.flags |= source_flags::kNeighbour;

  const double half = 0.5;
  double radius = 0;
  flag = 0;
  s.fwhm = kUndefined;
  status = sep_flux_radius(&image, s.x, s.y, 6.0 * a, self, 1, 0, &s.flux_auto, &half, 1, &radius, &flag);
  if (status != 0) return status;
  if (!std::isfinite(radius) || radius <= 0) return 0;
  s.fwhm = 2.0 * radius;

  // sep_windowed takes no segmentation map: it runs on a stamp of the
  // window's reach in which other sources' pixels have the value of the
  // pixel opposite (0 when that is another's too).
  const double sig = 2.0 * radius / 2.3548;
  const double reach = 4 * sig + 4;
  const auto x0 = static_cast<std::int64_t>(std::max(0.0, std::floor(s.x - reach)));
  const auto x1 = static_cast<std::int64_t>(std::min(width - 1.0, std::ceil(s.x + reach)));
  const auto y0 = static_cast<std::int64_t>(std::max(0.0, std::floor(s.y - reach)));
  const auto y1 = static_cast<std::int64_t>(std::min(height - 1.0, std::ceil(s.y + reach)));
  const std::int64_t sw = x1 - x0 + 1, sh = y1 - y0 + 1;
  const auto foreign = [&](std::int64_t x, std::int64_t y) {
    const std::int32_t o = owner[static_cast<std::size_t>(y * width + x)];
    return o != 0 && o != self;
  };
  std::vector<float> stamp(static_cast<std::size_t>(sw * sh));
  for (std::int64_t py = y0; py <= y1; ++py) {
    for (std::int64_t px = x0; px <= x1; ++px) {
      float value = sub[static_cast<std::size_t>(py * width + px)];
      if (foreign(px, py)) {
        const auto mx = static_cast<std::int64_t>(std::lround(2 * s.x - static_cast<double>(px)));
        const auto my = static_cast<std::int64_t>(std::lround(2 * s.y - static_cast<double>(py)));
        const bool mirror = mx >= 0 && my >= 0 && mx < width && my < height && !foreign(mx, my);
        value = mirror ? sub[static_cast<std::size_t>(my * width + mx)] : 0.0f;
      }
      stamp[static_cast<std::size_t>((py - y0) * sw + (px - x0))] = value;
    }
  }
  const sep_image window = float_image(stamp.data(), static_cast<std::int32_t>(sw), static_cast<std::int32_t>(sh));
  double xw = 0, yw = 0;
  int iterations = 0;
  flag = 0;
  status = sep_windowed(&window, s.x - static_cast<double>(x0), s.y - static_cast<double>(y0), sig, 1, 0, &xw, &yw,
                        &iterations, &flag);
  if (status != 0) return status;
  xw += static_cast<double>(x0);
  yw += static_cast<double>(y0);
  // A window that wandered off the image keeps the barycentre.
  if (std::isfinite(xw) && std::isfinite(yw) && xw >= -0.5 && yw >= -0.5 && xw <= width - 0.5 && yw <= height - 0.5) {
    s.x = xw;
    s.y = yw;
  }
  return 0;
}

}  // namespace

void set_sep_limits(std::size_t pixel_stack, int sub_objects) {
  sep_set_extract_pixstack(pixel_stack);
  sep_set_sub_object_limit(sub_objects);
}

Footprints find_footprints(std::span<const std::uint16_t> codes, std::int32_t width, std::int32_t height) {
  const std::int64_t w = width;
  const std::int64_t h = height;
  const std::size_t n = codes.size();
  Footprints fp;
  fp.label = PageArray<std::int32_t>(n);
  std::vector<std::int64_t> pending;

  // The 8-connected groups, numbered in the raster order of their first pixels.
  for (std::int64_t start = 0; start < w * h; ++start) {
    if (!is_flagged(codes[static_cast<std::size_t>(start)]) || fp.label[static_cast<std::size_t>(start)] != 0)
      continue;
    const std::int32_t number = ++fp.count;
    fp.label[static_cast<std::size_t>(start)] = number;
    pending.push_back(start);
    while (!pending.empty()) {
      const std::int64_t i = pending.back();
      pending.pop_back();
      const std::int64_t x = i % w;
      const std::int64_t y = i / w;
      for (std::int64_t ny = std::max<std::int64_t>(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny) {
        for (std::int64_t nx = std::max<std::int64_t>(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
          const std::size_t k = static_cast<std::size_t>(ny * w + nx);
          if (fp.label[k] != 0 || !is_flagged(codes[k])) continue;
          fp.label[k] = number;
          pending.push_back(static_cast<std::int64_t>(k));
        }
      }
    }
  }
  fp.filled.assign(static_cast<std::size_t>(fp.count), false);

  // The holes, in one pass over the unflagged 4-connected sets: each is
  // flooded once, noting whether it reaches the border and which groups
  // border it. A set still a hole candidate keeps its pixels in members;
  // the sky, which reaches the border, keeps none, so memory stays linear.
  // Unflagged pixels seen and not filled hold kSeen until the end.
  constexpr std::int32_t kSeen = -1;
  constexpr std::int32_t kNoHole = -1;
  std::vector<std::int64_t> members;
  for (std::int64_t start = 0; start < w * h; ++start) {
    if (is_flagged(codes[static_cast<std::size_t>(start)]) || fp.label[static_cast<std::size_t>(start)] != 0)
      continue;
    std::int32_t owner = 0;  // the one group beside the set so far; kNoHole once it cannot be a hole
    members.clear();
    fp.label[static_cast<std::size_t>(start)] = kSeen;
    pending.push_back(start);
    while (!pending.empty()) {
      const std::int64_t i = pending.back();
      pending.pop_back();
      const std::int64_t x = i % w;
      const std::int64_t y = i / w;
      if (x == 0 || y == 0 || x == w - 1 || y == h - 1) owner = kNoHole;
      const bool inside[4] = {x > 0, x < w - 1, y > 0, y < h - 1};
      const std::int64_t near[4] = {i - 1, i + 1, i - w, i + w};
      for (int d = 0; d < 4; ++d) {
        if (!inside[d]) continue;
        const std::size_t j = static_cast<std::size_t>(near[d]);
        if (is_flagged(codes[j])) {
          if (owner == 0) owner = fp.label[j];
          else if (owner != fp.label[j]) owner = kNoHole;
          continue;
        }
        if (fp.label[j] != 0) continue;
        fp.label[j] = kSeen;
        pending.push_back(near[d]);
      }
      if (owner == kNoHole) members.clear();
      else members.push_back(i);
    }
    if (owner <= 0) continue;
    for (const std::int64_t i : members) fp.label[static_cast<std::size_t>(i)] = owner;
    fp.filled[static_cast<std::size_t>(owner - 1)] = true;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (fp.label[i] == kSeen) fp.label[i] = 0;
  return fp;
}

Catalogue build_catalogue(const ResultPair& pair, const CatalogueOptions& options) {
  const std::int32_t w = pair.width;
  const std::int32_t h = pair.height;
  const std::size_t n = pair.codes.size();
  Catalogue cat;

  // The mean, then (in place) the mean less the background.
  PageArray<float> sub_array(n);
  const std::span<float> sub = sub_array.span();
  for (std::size_t i = 0; i < n; ++i) sub[i] = static_cast<float>(mean_steps(pair.codes[i])) / 128.0f;
  Footprints fp = find_footprints(pair.codes, w, h);

  // The footprints' labels are the mask: every pixel with one is masked.
  if (const int status = measure_background(pair, sub, fp.label.span(), options.back_size, cat); status != 0) {
    if (status == kSepMemory) throw std::bad_alloc();
    cat.sep_status = status;
    return cat;
  }
  for (std::size_t i = 0; i < n; ++i) sub[i] -= cat.background[i];

  const std::int32_t min_pixels = options.min_pixels.value_or(options.threshold ? 5 : 1);
  std::vector<Piece> pieces;
  int status = 0;
  if (options.threshold) {
    status = detect_above(sub, cat, w, h, options, min_pixels, pieces);
  } else {
    status = deblend_all(fp, sub, w, h, options, pieces);
    if (status == kSepDeblendOverflow || status == kSepPixelStackFull) {
      // SEP gave up on the whole image: one footprint at a time, so that
      // only those it cannot take are kept whole.
      pieces.clear();
      status = deblend_one_by_one(fp, sub, w, options, pieces);
    }
  }
  if (status != 0) {
    cat.sep_status = status;
    return cat;
  }

  std::vector<Source> kept;
  std::vector<const Piece*> kept_pieces;
  for (const Piece& piece : pieces) {
    if (piece.pixels.empty()) continue;
    Source s = describe(piece, pair, sub, cat, options);
    if (s.pixels < min_pixels) continue;
    if (options.min_snr > 0 && !(s.snr >= options.min_snr)) continue;
    kept.push_back(s);
    kept_pieces.push_back(&piece);
  }
  // The footprints' labels are done with: their memory says which source
  // owns each pixel.
  const std::span<std::int32_t> owner = fp.label.span();
  std::fill(owner.begin(), owner.end(), 0);
  for (std::size_t k = 0; k < kept_pieces.size(); ++k)
    for (const std::int64_t i : kept_pieces[k]->pixels) owner[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(k + 1);

  sep_image image = float_image(sub.data(), w, h);
  image.noise = cat.rms.data();
  image.ndtype = SEP_TFLOAT;
  image.noise_type = SEP_NOISE_STDDEV;
  image.gain = options.gain.value_or(0.0);
  image.segmap = owner.data();
  image.sdtype = SEP_TINT;
  // Each source is measured on its own, so the sources are shared out
  // among threads (every other one to each); the results do not depend on
  // how many there are. The first failure in source order is the one named.
  const std::size_t threads =
      std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, std::max<std::size_t>(kept.size() / 64, 1));
  std::vector<int> failed(kept.size(), 0);
  std::atomic<bool> no_memory{false};
  const auto measure = [&](std::size_t first) {
    try {
      for (std::size_t k = first; k < kept.size(); k += threads)
        failed[k] = measure_apertures(kept[k], static_cast<std::int32_t>(k + 1), owner, sub, image, w, h);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  };
  {
    // A share whose thread the system does not start is measured here.
    std::vector<std::jthread> workers;
    std::vector<std::size_t> here = {0};
    for (std::size_t t = 1; t < threads; ++t) {
      try {
        workers.emplace_back(measure, t);
      } catch (const std::system_error&) {
        here.push_back(t);
      }
    }
    for (const std::size_t t : here) measure(t);
  }
  if (no_memory) throw std::bad_alloc();
  for (const int f : failed) {
    if (f == kSepMemory) throw std::bad_alloc();
    if (f != 0) {
      cat.sep_status = f;
      return cat;
    }
  }
  std::sort(kept.begin(), kept.end(), brighter);
  cat.sources = std::move(kept);
  return cat;
}

std::string fixed(double value, int decimals) {
  if (!std::isfinite(value)) return "";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::optional<double> seeing_fwhm(std::span<const Source> sources) {
  std::vector<double> fwhm;
  for (const Source& s : sources)
    if (s.flags == 0 && s.snr > 20 && std::isfinite(s.fwhm)) fwhm.push_back(s.fwhm);
  if (fwhm.size() < 5) return std::nullopt;
  std::sort(fwhm.begin(), fwhm.end());
  const std::size_t m = fwhm.size() / 2;
  return fwhm.size() % 2 == 1 ? fwhm[m] : (fwhm[m - 1] + fwhm[m]) / 2;
}

}  // namespace kadrix::inspect
