// The catalogue in-process, on fixtures worked out by hand: the hole rule,
// two Gaussians deblended, fluxes and errors on flat and noisy skies,
// every flag, SEP's overflows with its limits lowered.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bmp/result_pair.h"
#include "inspect_support.h"
#include "tools/inspect/catalogue.h"

namespace {

namespace flags = kadrix::inspect::source_flags;
using kadrix::inspect::Catalogue;
using kadrix::inspect::CatalogueOptions;
using kadrix::inspect::Source;
using inspect_test::ObjectResult;

kadrix::ResultPair pair_of(const ObjectResult& result) {
  kadrix::ResultPair pair;
  pair.width = result.width;
  pair.height = result.height;
  pair.stats.level = static_cast<float>(result.level);
  pair.stats.sigma = static_cast<float>(result.sigma);
  pair.stats.frame_count = result.frames;
  pair.codes = inspect_test::codes_of(result);
  return pair;
}

Catalogue catalogue_of(const ObjectResult& result, const CatalogueOptions& options = {}) {
  return kadrix::inspect::build_catalogue(pair_of(result), options);
}

// A sky of one value everywhere (SEP finds no RMS in it, so the palette's
// level and sigma stand for the background and its RMS, exactly), with
// Gaussian stars added; a pixel is flagged where a star adds more than
// `cut`. Means are stored to 1/128, as kadrix stores them.
struct Star {
  double x, y, sigma, peak;
};
ObjectResult flat_field(std::int32_t width, std::int32_t height, double sky, const std::vector<Star>& stars,
                        double cut) {
  ObjectResult result;
  result.width = width;
  result.height = height;
  result.level = sky;
  result.sigma = 2.5;
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      double light = 0;
      for (const Star& s : stars)
        light += s.peak * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (2 * s.sigma * s.sigma));
      result.means.push_back(std::min(sky + light, 255.0));
      result.flags.push_back(light > cut ? 1 : 0);
    }
  }
  return result;
}

// The stored mean of a pixel: floor(m * 128) / 128.
double stored(double mean) { return std::floor(mean * 128) / 128; }

// SEP's limits lowered for one test, and set back after it.
struct LoweredLimits {
  LoweredLimits(std::size_t pixel_stack, int sub_objects) {
    kadrix::inspect::set_sep_limits(pixel_stack, sub_objects);
  }
  ~LoweredLimits() { kadrix::inspect::set_sep_limits(kadrix::inspect::kPixelStack, kadrix::inspect::kSubObjectLimit); }
};

class Catalogues : public ::testing::Test {
 protected:
  void SetUp() override {
    kadrix::inspect::set_sep_limits(kadrix::inspect::kPixelStack, kadrix::inspect::kSubObjectLimit);
  }
};

// ---- footprints and their holes -------------------------------------------

TEST(CatalogueFootprints, HolesAreEnclosedUnflaggedSetsOfOneFootprint) {
  struct Footprint {
    std::int32_t pixels;
    bool filled;
    bool operator==(const Footprint&) const = default;
  };
  struct Case {
    const char* what;
    std::vector<std::string> picture;
    std::vector<Footprint> expected;  // in raster order of first pixels
  };
  const Case cases[] = {
      {"ring around three by three",
       {".......", ".#####.", ".#...#.", ".#...#.", ".#...#.", ".#####.", "......."},
       {{25, true}}},
      {"ring with an edge gap leaks out",
       {".......", ".#####.", ".#...#.", ".....#.", ".#...#.", ".#####.", "......."},
       {{15, false}}},
      // Corners missing: the ring still joins at its corners, and the
      // inside reaches the outside only diagonally, which does not count.
      {"ring joined at the corners only",
       {".......", "..###..", ".#...#.", ".#...#.", ".#...#.", "..###..", "......."},
       {{21, true}}},
      {"ring cut by the image border", {"#...#", "#...#", "#####"}, {{9, false}}},
      {"single unflagged pixel inside", {"...", ".#.", "..."}, {{1, false}}},
      {"hole of one pixel", {"#####", "#####", "##.##", "#####", "#####"}, {{25, true}}},
      // The space between the outer ring and the blob inside borders both:
      // no hole of either.
      {"blob inside a ring",
       {".......", ".#####.", ".#...#.", ".#.#.#.", ".#...#.", ".#####.", "......."},
       {{16, false}, {1, false}}},
      // The inner ring's inside is its own hole; the moat between borders both.
      {"ring inside a ring",
       {".........", ".#######.", ".#.....#.", ".#.###.#.", ".#.#.#.#.", ".#.###.#.", ".#.....#.", ".#######.",
        "........."},
       {{24, false}, {9, true}}},
      {"two holes in one footprint", {"#######", "#.#.#.#", "#######"}, {{21, true}}},
      {"nothing flagged", {"...", "..."}, {}},
  };
  for (const Case& c : cases) {
    const ObjectResult result = inspect_test::drawn(c.picture);
    const auto codes = inspect_test::codes_of(result);
    const kadrix::inspect::Footprints fp = kadrix::inspect::find_footprints(codes, result.width, result.height);
    std::vector<Footprint> got(static_cast<std::size_t>(fp.count), {0, false});
    for (std::size_t i = 0; i < codes.size(); ++i)
      if (fp.label[i] != 0) ++got[static_cast<std::size_t>(fp.label[i] - 1)].pixels;
    for (std::size_t k = 0; k < got.size(); ++k) got[k].filled = fp.filled[k];
    EXPECT_EQ(got, c.expected) << c.what;
    // Every flagged pixel belongs to a footprint.
    for (std::size_t i = 0; i < codes.size(); ++i)
      if (kadrix::is_flagged(codes[i])) {
        EXPECT_NE(fp.label[i], 0) << c.what << " pixel " << i;
      }
  }
}

// The straightforward kernel the linear one must match on every input: for
// each group, flood its bounding box grown by a pixel from the box's edge;
// what stays unreached is enclosed, and a hole when only the group borders it.
kadrix::inspect::Footprints straightforward_footprints(std::span<const std::uint16_t> codes, std::int32_t width,
                                                       std::int32_t height) {
  const std::int64_t w = width;
  const std::int64_t h = height;
  const std::size_t n = codes.size();
  kadrix::inspect::Footprints fp;
  fp.label = kadrix::PageArray<std::int32_t>(n);
  std::vector<std::int64_t> pending;
  struct Box {
    std::int64_t x0, y0, x1, y1;
  };
  std::vector<Box> boxes;

  // The 8-connected groups, numbered in the raster order of their first pixels.
  for (std::int64_t start = 0; start < w * h; ++start) {
    if (!kadrix::is_flagged(codes[static_cast<std::size_t>(start)]) || fp.label[static_cast<std::size_t>(start)] != 0)
      continue;
    const std::int32_t number = ++fp.count;
    Box box{start % w, start / w, start % w, start / w};
    fp.label[static_cast<std::size_t>(start)] = number;
    pending.push_back(start);
    while (!pending.empty()) {
      const std::int64_t i = pending.back();
      pending.pop_back();
      const std::int64_t x = i % w;
      const std::int64_t y = i / w;
      box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x), std::max(box.y1, y)};
      for (std::int64_t ny = std::max<std::int64_t>(y - 1, 0); ny <= std::min(y + 1, h - 1); ++ny) {
        for (std::int64_t nx = std::max<std::int64_t>(x - 1, 0); nx <= std::min(x + 1, w - 1); ++nx) {
          const std::size_t k = static_cast<std::size_t>(ny * w + nx);
          if (fp.label[k] != 0 || !kadrix::is_flagged(codes[k])) continue;
          fp.label[k] = number;
          pending.push_back(static_cast<std::int64_t>(k));
        }
      }
    }
    boxes.push_back(box);
  }
  fp.filled.assign(static_cast<std::size_t>(fp.count), false);

  // A hole of a group lies inside its bounding box. Within the box grown by
  // a pixel, the unflagged pixels 4-connected to the grown box's edge (or
  // to the image border) are outside; each other 4-connected unflagged set
  // is enclosed, and a hole when every flagged pixel beside it is the
  // group's own. visit[i] == k marks a pixel seen for group k.
  kadrix::PageArray<std::int32_t> visit(n);
  std::vector<std::int64_t> members;
  for (std::int32_t k = 1; k <= fp.count; ++k) {
    const Box& b = boxes[static_cast<std::size_t>(k - 1)];
    if (b.x1 - b.x0 < 2 || b.y1 - b.y0 < 2) continue;  // no room for a hole
    const std::int64_t gx0 = std::max<std::int64_t>(b.x0 - 1, 0), gx1 = std::min(b.x1 + 1, w - 1);
    const std::int64_t gy0 = std::max<std::int64_t>(b.y0 - 1, 0), gy1 = std::min(b.y1 + 1, h - 1);
    const auto open = [&](std::int64_t x, std::int64_t y) {
      const std::size_t i = static_cast<std::size_t>(y * w + x);
      return !kadrix::is_flagged(codes[i]) && visit[i] != k;
    };
    const auto edge = [&](std::int64_t x, std::int64_t y) {
      return x == gx0 || x == gx1 || y == gy0 || y == gy1 || x == 0 || y == 0 || x == w - 1 || y == h - 1;
    };
    // Everything reachable from the grown box's edge is outside.
    for (std::int64_t y = gy0; y <= gy1; ++y) {
      for (std::int64_t x = gx0; x <= gx1; ++x) {
        if (!edge(x, y) || !open(x, y)) continue;
        visit[static_cast<std::size_t>(y * w + x)] = k;
        pending.push_back(y * w + x);
        while (!pending.empty()) {
          const std::int64_t i = pending.back();
          pending.pop_back();
          const std::int64_t px = i % w;
          const std::int64_t py = i / w;
          const std::int64_t near[4][2] = {{px - 1, py}, {px + 1, py}, {px, py - 1}, {px, py + 1}};
          for (const auto& [nx, ny] : near) {
            if (nx < gx0 || ny < gy0 || nx > gx1 || ny > gy1 || !open(nx, ny)) continue;
            visit[static_cast<std::size_t>(ny * w + nx)] = k;
            pending.push_back(ny * w + nx);
          }
        }
      }
    }
    // What is left unvisited inside is enclosed.
    for (std::int64_t y = b.y0; y <= b.y1; ++y) {
      for (std::int64_t x = b.x0; x <= b.x1; ++x) {
        if (!open(x, y)) continue;
        bool own = true;
        members.clear();
        visit[static_cast<std::size_t>(y * w + x)] = k;
        pending.push_back(y * w + x);
        while (!pending.empty()) {
          const std::int64_t i = pending.back();
          pending.pop_back();
          members.push_back(i);
          const std::int64_t px = i % w;
          const std::int64_t py = i / w;
          const std::int64_t near[4][2] = {{px - 1, py}, {px + 1, py}, {px, py - 1}, {px, py + 1}};
          for (const auto& [nx, ny] : near) {
            const std::size_t j = static_cast<std::size_t>(ny * w + nx);
            if (kadrix::is_flagged(codes[j])) {
              own = own && fp.label[j] == k;
              continue;
            }
            if (visit[j] == k) continue;
            visit[j] = k;
            pending.push_back(ny * w + nx);
          }
        }
        if (!own) continue;
        for (const std::int64_t i : members) fp.label[static_cast<std::size_t>(i)] = k;
        fp.filled[static_cast<std::size_t>(k - 1)] = true;
      }
    }
  }
  return fp;
}

// A field of pixel codes, flagged where the bit is set (only the flag bit
// matters to footprints), with a picture of it for failure messages.
struct Field {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint16_t> codes;

  Field(std::int32_t w, std::int32_t h) : width(w), height(h), codes(static_cast<std::size_t>(w) * h, 0) {}
  void flag(std::int64_t x, std::int64_t y) {
    if (x >= 0 && y >= 0 && x < width && y < height) codes[static_cast<std::size_t>(y * width + x)] = 1;
  }
  void clear(std::int64_t x, std::int64_t y) {
    if (x >= 0 && y >= 0 && x < width && y < height) codes[static_cast<std::size_t>(y * width + x)] = 0;
  }
  // A rectangle's outline, clipped by the image; pixels off the image are dropped.
  void ring(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1) {
    for (std::int64_t x = x0; x <= x1; ++x) flag(x, y0), flag(x, y1);
    for (std::int64_t y = y0; y <= y1; ++y) flag(x0, y), flag(x1, y);
  }
  // A diamond's outline of diagonal steps: joined only at corners, yet
  // closed to 4-connected paths.
  void diamond(std::int64_t cx, std::int64_t cy, std::int64_t r) {
    for (std::int64_t d = 0; d <= r; ++d) {
      flag(cx - r + d, cy - d), flag(cx - r + d, cy + d);
      flag(cx + r - d, cy - d), flag(cx + r - d, cy + d);
    }
  }
  std::string picture() const {
    std::string text;
    for (std::int32_t y = 0; y < height; ++y) {
      for (std::int32_t x = 0; x < width; ++x)
        text += kadrix::is_flagged(codes[static_cast<std::size_t>(y * width + x)]) ? '#' : '.';
      text += '\n';
    }
    return text;
  }
};

// Random fields: noise of any density, rectangles' and diamonds' outlines
// nested, clipped by the border, side by side one pixel apart or sharing a
// wall, with gaps punched and noise on top.
Field random_field(std::mt19937& gen) {
  const auto pick = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen);
  };
  const auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(gen) < p; };
  Field f(static_cast<std::int32_t>(pick(1, 60)), static_cast<std::int32_t>(pick(1, 60)));
  const std::int64_t w = f.width, h = f.height;
  if (chance(0.4)) {
    const double density = std::uniform_real_distribution<double>(0.1, 0.9)(gen);
    for (std::int64_t y = 0; y < h; ++y)
      for (std::int64_t x = 0; x < w; ++x)
        if (chance(density)) f.flag(x, y);
    return f;
  }
  const std::int64_t shapes = pick(1, 6);
  for (std::int64_t s = 0; s < shapes; ++s) {
    const std::int64_t x0 = pick(-3, w), y0 = pick(-3, h);
    const std::int64_t x1 = x0 + pick(2, 30), y1 = y0 + pick(2, 30);
    switch (pick(0, 4)) {
      case 0:  // one outline
        f.ring(x0, y0, x1, y1);
        break;
      case 1:  // nested outlines one or two pixels apart
        for (std::int64_t step = pick(2, 3), d = 0; x0 + d <= x1 - d && y0 + d <= y1 - d; d += step)
          f.ring(x0 + d, y0 + d, x1 - d, y1 - d);
        break;
      case 2: {  // two outlines one pixel apart (two groups), or sharing a wall (one)
        const std::int64_t gap = pick(0, 1) == 0 ? 2 : 0;
        f.ring(x0, y0, x1, y1);
        f.ring(x1 + gap, y0 + pick(-2, 2), x1 + gap + pick(2, 20), y1 + pick(-2, 2));
        break;
      }
      case 3:  // diamonds, perhaps one inside another
        f.diamond(x0, y0, pick(1, 15));
        if (chance(0.5)) f.diamond(x0, y0, pick(1, 6));
        break;
      default:  // a blob inside an outline
        f.ring(x0, y0, x1, y1);
        f.flag(pick(x0 + 2, x1), pick(y0 + 2, y1));
        break;
    }
  }
  for (std::int64_t gaps = pick(0, 3); gaps > 0; --gaps) f.clear(pick(0, w - 1), pick(0, h - 1));
  if (chance(0.3)) {
    const double density = std::uniform_real_distribution<double>(0.01, 0.1)(gen);
    for (std::int64_t y = 0; y < h; ++y)
      for (std::int64_t x = 0; x < w; ++x)
        if (chance(density)) f.flag(x, y);
  }
  return f;
}

TEST(CatalogueFootprints, LinearKernelMatchesTheStraightforwardOne) {
  std::mt19937 gen(20261211);
  std::int32_t with_holes = 0;
  for (int round = 0; round < 4000; ++round) {
    const Field f = random_field(gen);
    const auto fast = kadrix::inspect::find_footprints(f.codes, f.width, f.height);
    const auto slow = straightforward_footprints(f.codes, f.width, f.height);
    ASSERT_EQ(fast.count, slow.count) << f.picture();
    ASSERT_EQ(fast.filled, slow.filled) << f.picture();
    const std::span<const std::int32_t> got = fast.label.span(), want = slow.label.span();
    ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end())) << f.picture();
    with_holes += std::count(slow.filled.begin(), slow.filled.end(), true) > 0 ? 1 : 0;
  }
  // The fields exercise the filling, not only its absence.
  EXPECT_GT(with_holes, 400);
}

// Fields on which a pass per group over its bounding box costs the cube of
// the side: they just run. 1,365 diagonal trails three pixels apart, none
// enclosing anything; 512 nested square outlines two pixels apart, of which
// only the innermost (4 x 4) has a hole, its 2 x 2 centre.
TEST(CatalogueFootprints, HostileFieldsOfLongGroups) {
  const std::int32_t side = 2048;
  Field trails(side, side);
  for (std::int64_t y = 0; y < side; ++y)
    for (std::int64_t x = 0; x < side; ++x)
      if ((x - y) % 3 == 0) trails.flag(x, y);
  const auto t = kadrix::inspect::find_footprints(trails.codes, side, side);
  EXPECT_EQ(t.count, 1365);
  EXPECT_EQ(std::count(t.filled.begin(), t.filled.end(), true), 0);
  // Row 0 meets the trails x - y = 0, 3, ..., 2046 first, in that order.
  EXPECT_EQ(t.label[0], 1);
  EXPECT_EQ(t.label[2046], 683);
  EXPECT_EQ(t.label[static_cast<std::size_t>(side) * side - 1], 1);  // the main diagonal's other end

  Field rings(side, side);
  for (std::int64_t d = 0; 2 * d + 3 < side - 2 * d; ++d) rings.ring(2 * d, 2 * d, side - 1 - 2 * d, side - 1 - 2 * d);
  const auto r = kadrix::inspect::find_footprints(rings.codes, side, side);
  ASSERT_EQ(r.count, 512);
  for (std::int32_t k = 1; k <= 512; ++k) EXPECT_EQ(r.filled[static_cast<std::size_t>(k - 1)], k == 512) << k;
  std::int64_t centre = 0;
  for (std::size_t i = 0; i < rings.codes.size(); ++i)
    if (!kadrix::is_flagged(rings.codes[i]) && r.label[i] != 0) {
      EXPECT_EQ(r.label[i], 512);
      ++centre;
    }
  EXPECT_EQ(centre, 4);
}

// A saturated star whose core kadrix left unflagged: one source, the core
// filled, its peak the image's maximum, flags 4 and 32.
TEST_F(Catalogues, SaturatedRingBecomesOneWholeSource) {
  ObjectResult result = flat_field(41, 41, 20, {{20, 20, 4, 8000}}, 3);
  double top = 0;
  std::int32_t core = 0;
  for (std::size_t i = 0; i < result.means.size(); ++i) {
    top = std::max(top, result.means[i]);
    const std::int32_t x = static_cast<std::int32_t>(i % 41), y = static_cast<std::int32_t>(i / 41);
    if ((x - 20) * (x - 20) + (y - 20) * (y - 20) <= 9) {
      result.flags[i] = 0;  // the hole kadrix's empty windows cut
      ++core;
    }
  }
  ASSERT_EQ(core, 29);
  const Catalogue cat = catalogue_of(result);
  ASSERT_EQ(cat.sources.size(), 1u);
  const Source& s = cat.sources[0];
  EXPECT_EQ(kadrix::steps_to_mean(s.peak_steps), stored(top));
  EXPECT_EQ(s.flags & (flags::kSaturated | flags::kHolesFilled), flags::kSaturated | flags::kHolesFilled);
  EXPECT_NEAR(s.x, 20, 0.01);
  EXPECT_NEAR(s.y, 20, 0.01);
  std::int32_t flagged = 0;
  for (const int f : result.flags) flagged += f;
  EXPECT_EQ(s.pixels, flagged + core);
}

// ---- deblending ----------------------------------------------------------------

// Two Gaussians 5.8 pixels apart in one footprint: two sources at their
// centres, brighter first, flagged as blended, sharing out the footprint's
// pixels and its flux; kept whole without deblending.
TEST_F(Catalogues, TwoGaussiansAreDeblendedAtTheirCentres) {
  const Star bright{14.3, 15.2, 1.5, 100}, faint{20.1, 14.7, 1.5, 60};
  const ObjectResult result = flat_field(36, 30, 10, {bright, faint}, 3);
  std::int32_t footprint = 0;
  double excess = 0;
  for (std::size_t i = 0; i < result.means.size(); ++i) {
    if (result.flags[i] == 0) continue;
    ++footprint;
    excess += stored(result.means[i]) - 10;
  }
  ASSERT_EQ(kadrix::inspect::find_footprints(inspect_test::codes_of(result), 36, 30).count, 1);

  const Catalogue split = catalogue_of(result);
  ASSERT_EQ(split.sources.size(), 2u);
  const Star* want[2] = {&bright, &faint};
  for (int k = 0; k < 2; ++k) {
    const Source& s = split.sources[static_cast<std::size_t>(k)];
    EXPECT_NEAR(s.x, want[k]->x, 0.15) << k;
    EXPECT_NEAR(s.y, want[k]->y, 0.15) << k;
    EXPECT_NE(s.flags & flags::kBlended, 0) << k;
    EXPECT_NE(s.flags & flags::kNeighbour, 0) << k;  // each lies in the other's Kron ellipse
    // A Gaussian of sigma 1.5: FWHM 2.3548 x 1.5 = 3.53, sampled in pixels.
    EXPECT_NEAR(s.fwhm, 3.53, 0.35) << k;
  }
  EXPECT_EQ(split.sources[0].pixels + split.sources[1].pixels, footprint);
  EXPECT_NEAR(split.sources[0].flux_iso + split.sources[1].flux_iso, excess, 1e-6 * excess);
  // Each share holds most of its own star's light: 2 pi sigma^2 peak.
  EXPECT_NEAR(split.sources[0].flux_iso, 2 * M_PI * 2.25 * 100, 0.1 * 2 * M_PI * 2.25 * 100);
  EXPECT_NEAR(split.sources[1].flux_iso, 2 * M_PI * 2.25 * 60, 0.1 * 2 * M_PI * 2.25 * 60);

  CatalogueOptions whole;
  whole.deblend = false;
  const Catalogue kept = catalogue_of(result, whole);
  ASSERT_EQ(kept.sources.size(), 1u);
  EXPECT_EQ(kept.sources[0].pixels, footprint);
  EXPECT_EQ(kept.sources[0].flags & flags::kBlended, 0);
  EXPECT_NEAR(kept.sources[0].flux_iso, excess, 1e-6 * excess);

  // A contrast above the faint star's share keeps them together too.
  CatalogueOptions strict;
  strict.deblend_contrast = 0.5;
  EXPECT_EQ(catalogue_of(result, strict).sources.size(), 1u);
}

// theta as the FITS image counts it (y up), counter-clockwise from +X, in
// (-90, 90]: a source drawn running down to the right in the picture
// (y = 0 the top row) lies at -45 degrees.
TEST_F(Catalogues, ThetaIsCountedAsTheFitsImageCountsIt) {
  struct Case {
    double picture_angle;  // of the long axis, counter-clockwise in the FITS sense
    double theta;
  };
  for (const Case c : {Case{0, 0}, Case{90, 90}, Case{-45, -45}, Case{45, 45}, Case{30, 30}}) {
    SCOPED_TRACE(c.picture_angle);
    ObjectResult result;
    result.width = result.height = 41;
    result.level = 10;
    result.sigma = 2.5;
    const double t = c.picture_angle * M_PI / 180;
    for (int y = 0; y < 41; ++y) {
      for (int x = 0; x < 41; ++x) {
        // FITS-sense offsets: y grows upwards.
        const double dx = x - 20, dy = 20 - y;
        const double u = dx * std::cos(t) + dy * std::sin(t), v = -dx * std::sin(t) + dy * std::cos(t);
        const double light = 120 * std::exp(-(u * u / (2 * 9.0) + v * v / (2 * 1.0)));
        result.means.push_back(10 + light);
        result.flags.push_back(light > 3 ? 1 : 0);
      }
    }
    const Catalogue cat = catalogue_of(result);
    ASSERT_EQ(cat.sources.size(), 1u);
    const Source& s = cat.sources[0];
    EXPECT_GT(s.theta, -90);
    EXPECT_LE(s.theta, 90);
    const double off = std::remainder(s.theta - c.theta, 180.0);
    EXPECT_NEAR(off, 0, 1.0) << s.theta;
    EXPECT_GT(s.elongation, 2.0);
    EXPECT_NEAR(s.elongation, s.a / s.b, 1e-12);
  }
}

// ---- fluxes and errors -----------------------------------------------------------

// On a flat sky the palette's level and sigma are the background and RMS:
// flux_iso is the stored excess, its error sigma sqrt(n), with the gain
// sqrt(n sigma^2 + flux / G).
TEST_F(Catalogues, FluxAndErrorOnAFlatSkyAreExact) {
  ObjectResult result = inspect_test::drawn({".........", ".........", "...#.....", "..###....", "...#.....",
                                             ".........", ".......#.", "........."});
  const double values[] = {30.5, 21.25, 60.0, 25.75, 18.0, 40.125};
  std::size_t v = 0;
  for (std::size_t i = 0; i < result.means.size(); ++i) result.means[i] = result.flags[i] ? values[v++] : 12.0;
  result.level = 12.0;
  result.sigma = 2.5;
  const double plus = 30.5 + 21.25 + 60 + 25.75 + 18 - 5 * 12;
  const double single = 40.125 - 12;
  for (const double gain : {0.0, 4.0}) {
    CatalogueOptions options;
    if (gain > 0) options.gain = gain;
    const Catalogue cat = catalogue_of(result, options);
    SCOPED_TRACE("gain " + std::to_string(gain));
    EXPECT_TRUE(cat.flat_background);
    ASSERT_EQ(cat.sources.size(), 2u);
    const Source& a = cat.sources[0];
    const Source& b = cat.sources[1];
    EXPECT_EQ(a.pixels, 5);
    EXPECT_EQ(a.background, 12.0);
    EXPECT_EQ(a.flux_iso, plus);
    const double err_a = std::sqrt(5 * 6.25 + (gain > 0 ? plus / gain : 0));
    EXPECT_NEAR(a.flux_iso_err, err_a, 1e-12 * err_a);
    EXPECT_NEAR(a.snr, plus / err_a, 1e-9);
    EXPECT_EQ(b.pixels, 1);
    EXPECT_EQ(b.flux_iso, single);
    const double err_b = std::sqrt(6.25 + (gain > 0 ? single / gain : 0));
    EXPECT_NEAR(b.flux_iso_err, err_b, 1e-12 * err_b);
    // The sky adds nothing, so the Kron ellipse, which holds the whole
    // source, gives the same flux.
    EXPECT_NEAR(a.flux_auto, plus, 1e-4);
    EXPECT_NEAR(b.flux_auto, single, 1e-4);
    EXPECT_EQ(b.x, 7.0);
    EXPECT_EQ(b.y, 6.0);
    EXPECT_NEAR(a.x, 3.0, 0.35);  // the plus is lopsided towards its bright centre and left arm
    EXPECT_NEAR(a.y, 3.0, 0.35);
  }
}

// A sky of mean 20 and RMS 2 (Gaussian noise from a fixed sequence) under
// a 5 x 5 block 50 above it: background 20, the error of the block's flux
// 2 sqrt(25) = 10, to the precision the noise allows.
TEST_F(Catalogues, FluxAndErrorOnASkyOfKnownNoise) {
  const std::int32_t side = 128;
  ObjectResult result;
  result.width = result.height = side;
  std::uint64_t state = 12345;
  const auto uniform = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  };
  for (std::int32_t y = 0; y < side; ++y) {
    for (std::int32_t x = 0; x < side; ++x) {
      const bool star = std::abs(x - 64) <= 2 && std::abs(y - 50) <= 2;
      const double noise = std::sqrt(-2 * std::log(uniform())) * std::cos(2 * M_PI * uniform());
      result.means.push_back(star ? 70.0 : 20.0 + 2.0 * noise);
      result.flags.push_back(star ? 1 : 0);
    }
  }
  const Catalogue cat = catalogue_of(result);
  EXPECT_FALSE(cat.flat_background);
  ASSERT_EQ(cat.sources.size(), 1u);
  const Source& s = cat.sources[0];
  EXPECT_EQ(s.pixels, 25);
  EXPECT_NEAR(s.background, 20.0, 0.1);
  EXPECT_NEAR(s.flux_iso, 25 * (70 - s.background), 1e-3);
  EXPECT_NEAR(s.flux_iso, 1250, 2.5);
  EXPECT_NEAR(s.flux_iso_err, 10.0, 0.5);
  EXPECT_NEAR(s.snr, s.flux_iso / s.flux_iso_err, 1e-9);
  EXPECT_NEAR(s.x, 64, 0.05);
  EXPECT_NEAR(s.y, 50, 0.05);
  EXPECT_NEAR(s.elongation, 1.0, 1e-3);
  // The Kron ellipse holds the block and some sky: its flux and error
  // are close to the block's, the error larger for the larger area.
  EXPECT_NEAR(s.flux_auto, 1250, 40);
  EXPECT_GT(s.flux_auto_err, s.flux_iso_err);
}

// Everything flagged: no mesh to use, so the palette stands in.
TEST_F(Catalogues, NoUsableMeshFallsBackToThePalette) {
  ObjectResult result = inspect_test::drawn({"###", "###"});
  result.level = 0.5;
  result.sigma = 0.25;
  const Catalogue cat = catalogue_of(result);
  EXPECT_TRUE(cat.flat_background);
  ASSERT_EQ(cat.sources.size(), 1u);
  EXPECT_EQ(cat.sources[0].background, 0.5);
  EXPECT_EQ(cat.sources[0].flux_iso, 6 * (1 - 0.5));
  EXPECT_NEAR(cat.sources[0].flux_iso_err, 0.25 * std::sqrt(6.0), 1e-12);
}

// ---- flags --------------------------------------------------------------------

TEST_F(Catalogues, EveryFlagWhereItBelongs) {
  struct Case {
    const char* what;
    std::vector<Star> stars;
    double saturate;
    std::int32_t must;     // bits the brightest source has
    std::int32_t must_not; // bits it lacks
  };
  const Case cases[] = {
      {"isolated star in the middle", {{30, 30, 1.5, 100}}, 254.5, 0,
       flags::kNeighbour | flags::kBlended | flags::kSaturated | flags::kBorder | flags::kApertureCut |
           flags::kHolesFilled | flags::kDeblendOverflow | flags::kExtractOverflow},
      {"peak at 255", {{30, 30, 1.5, 400}}, 254.5, flags::kSaturated, flags::kBorder},
      {"peak at 255 under a higher level", {{30, 30, 1.5, 400}}, 255.5, 0, flags::kSaturated},
      {"peak of 110 at a level of 100", {{30, 30, 1.5, 100}}, 100, flags::kSaturated, 0},
      {"on the left edge", {{0.3, 30, 1.5, 100}}, 254.5, flags::kBorder | flags::kApertureCut, flags::kSaturated},
      {"near the bottom edge, pixels clear of it", {{30, 56.5, 1.0, 30}}, 254.5, flags::kApertureCut,
       flags::kBorder},
      {"a close pair", {{28, 30, 1.5, 100}, {33.5, 30, 1.5, 70}}, 254.5, flags::kBlended | flags::kNeighbour, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ObjectResult result = flat_field(60, 60, 10, c.stars, 3);
    CatalogueOptions options;
    options.saturate = c.saturate;
    const Catalogue cat = catalogue_of(result, options);
    ASSERT_FALSE(cat.sources.empty());
    const std::int32_t f = cat.sources[0].flags;
    EXPECT_EQ(f & c.must, c.must) << f;
    EXPECT_EQ(f & c.must_not, 0) << f;
  }
}

// A blend whose pixels touch the image border is deblended too, whether
// the footprints are packed apart or (a trail across the image makes the
// packing no smaller) extracted in place.
TEST_F(Catalogues, BlendOnTheBorderIsDeblended) {
  for (const bool trail : {false, true}) {
    SCOPED_TRACE(trail ? "with a trail across the image" : "alone");
    // In the threshold mode the trail is one more source above the threshold.
    for (const bool threshold : {false, true}) {
    SCOPED_TRACE(threshold ? "above a threshold" : "from the flags");
    ObjectResult result = flat_field(60, 60, 10, {{1.0, 30, 1.5, 100}, {6.5, 30, 1.5, 70}}, 3);
    if (trail) {
      for (int x = 14; x < 60; ++x) {
        const auto i = static_cast<std::size_t>((x - 14) * 60 + x);
        result.means[i] = 40;
        result.flags[i] = 1;
      }
    }
    CatalogueOptions options;
    if (threshold) options.threshold = 3;
    const Catalogue cat = catalogue_of(result, options);
    std::vector<Source> pair;
    for (const Source& s : cat.sources)
      if (s.x < 12) pair.push_back(s);
    ASSERT_EQ(pair.size(), 2u);
    // Both deblended; the share of the star on the edge touches it, the
    // other's does not.
    std::sort(pair.begin(), pair.end(), [](const Source& a, const Source& b) { return a.x < b.x; });
    EXPECT_EQ(pair[0].flags & (flags::kBlended | flags::kBorder), flags::kBlended | flags::kBorder);
    EXPECT_EQ(pair[1].flags & (flags::kBlended | flags::kBorder), flags::kBlended);
    EXPECT_EQ(cat.sources.size(), trail ? 3u : 2u);
    }
  }
}

// SEP gives up on a footprint with more sub-objects than its limit, or
// more pixels than its stack: that footprint stays whole, flagged, and the
// others are still deblended.
TEST_F(Catalogues, OverflowsKeepTheFootprintWhole) {
  // A close pair (a footprint of about 70 pixels) and a small star apart.
  const ObjectResult result = flat_field(60, 40, 10, {{14, 20, 1.5, 100}, {19.5, 20, 1.5, 70}, {45, 20, 0.6, 40}}, 3);
  const kadrix::inspect::Footprints fp =
      kadrix::inspect::find_footprints(inspect_test::codes_of(result), result.width, result.height);
  ASSERT_EQ(fp.count, 2);
  std::int32_t pair_pixels = 0, small_pixels = 0;
  for (std::size_t i = 0; i < result.means.size(); ++i) {
    if (fp.label[i] == 1) ++pair_pixels;
    if (fp.label[i] == 2) ++small_pixels;
  }
  ASSERT_GT(pair_pixels, 40);
  ASSERT_LT(small_pixels, 10);

  struct Case {
    const char* what;
    std::size_t pixel_stack;
    int sub_objects;
    std::int32_t flag;
  };
  for (const Case& c : {Case{"two sub-objects allowed", kadrix::inspect::kPixelStack, 2, flags::kDeblendOverflow},
                        Case{"a stack of 20 pixels", 20, kadrix::inspect::kSubObjectLimit, flags::kExtractOverflow}}) {
    SCOPED_TRACE(c.what);
    const LoweredLimits lowered(c.pixel_stack, c.sub_objects);
    const Catalogue cat = catalogue_of(result);
    EXPECT_EQ(cat.sep_status, 0);
    ASSERT_EQ(cat.sources.size(), 2u);
    const Source& pair = cat.sources[0];
    EXPECT_EQ(pair.pixels, pair_pixels);
    EXPECT_EQ(pair.flags & (flags::kDeblendOverflow | flags::kExtractOverflow | flags::kBlended), c.flag);
    EXPECT_NEAR(pair.x, (14 * 100 + 19.5 * 70) / 170.0, 1.5);
    EXPECT_EQ(cat.sources[1].pixels, small_pixels);
    EXPECT_EQ(cat.sources[1].flags & (flags::kDeblendOverflow | flags::kExtractOverflow), 0);
  }
  // Back to the usual limits: the pair is two sources again.
  EXPECT_EQ(catalogue_of(result).sources.size(), 3u);
}

// Above a threshold there are no footprints of kadrix's to fall back on:
// too many sub-objects keep every detection whole, flagged 64; a full
// pixel stack is lent one for the whole image, so no catalogue is lost.
TEST_F(Catalogues, OverflowsAboveAThreshold) {
  const ObjectResult result = flat_field(60, 40, 10, {{14, 20, 1.5, 100}, {19.5, 20, 1.5, 70}, {45, 20, 1.0, 40}}, 3);
  CatalogueOptions options;
  options.threshold = 3;
  ASSERT_EQ(catalogue_of(result, options).sources.size(), 3u);
  {
    const LoweredLimits lowered(kadrix::inspect::kPixelStack, 2);
    const Catalogue cat = catalogue_of(result, options);
    ASSERT_EQ(cat.sources.size(), 2u);
    for (const Source& s : cat.sources) EXPECT_EQ(s.flags & (flags::kDeblendOverflow | flags::kBlended), flags::kDeblendOverflow);
  }
  {
    // A stack too small for the detections: the catalogue is still whole,
    // the same as with SEP's own stack, and the lowered limit is back.
    const Catalogue whole = catalogue_of(result, options);
    const LoweredLimits lowered(20, kadrix::inspect::kSubObjectLimit);
    const Catalogue cat = catalogue_of(result, options);
    EXPECT_EQ(cat.sep_status, 0);
    ASSERT_EQ(cat.sources.size(), whole.sources.size());
    for (std::size_t k = 0; k < cat.sources.size(); ++k) {
      EXPECT_EQ(cat.sources[k].x, whole.sources[k].x);
      EXPECT_EQ(cat.sources[k].flux_iso, whole.sources[k].flux_iso);
      EXPECT_EQ(cat.sources[k].flags, whole.sources[k].flags);
    }
    // The stack of 20 is back: kadrix's footprint of the pair overflows it.
    const Catalogue flagged = catalogue_of(result);
    ASSERT_FALSE(flagged.sources.empty());
    EXPECT_EQ(flagged.sources[0].flags & flags::kExtractOverflow, flags::kExtractOverflow);
  }
}

// ---- filters, order, the night's figure ----------------------------------------------------

TEST_F(Catalogues, FiltersDropSmallAndFaintSources) {
  // Stars of peak 100, 30 and 8 on a flat sky (RMS 2.5 from the palette).
  const ObjectResult result =
      flat_field(80, 30, 10, {{15, 15, 1.5, 100}, {40, 15, 1.5, 30}, {65, 15, 0.5, 8}}, 3);
  const Catalogue all = catalogue_of(result);
  ASSERT_EQ(all.sources.size(), 3u);
  // Ranked by flux_iso.
  EXPECT_GT(all.sources[0].flux_iso, all.sources[1].flux_iso);
  EXPECT_GT(all.sources[1].flux_iso, all.sources[2].flux_iso);
  EXPECT_EQ(all.sources[2].pixels, 1);

  CatalogueOptions small;
  small.min_pixels = 2;
  EXPECT_EQ(catalogue_of(result, small).sources.size(), 2u);
  // S/N: the middle star's lies between 20 and that of the brightest.
  ASSERT_GT(all.sources[1].snr, 20);
  CatalogueOptions faint;
  faint.min_snr = all.sources[1].snr + 0.01;
  const Catalogue bright = catalogue_of(result, faint);
  ASSERT_EQ(bright.sources.size(), 1u);
  EXPECT_EQ(bright.sources[0].pixels, all.sources[0].pixels);
  faint.min_snr = all.sources[1].snr;
  EXPECT_EQ(catalogue_of(result, faint).sources.size(), 2u);
}

TEST(CatalogueSeeing, MedianFwhmOfCleanBrightSources) {
  const auto source = [](double fwhm, double snr, std::int32_t f) {
    Source s;
    s.fwhm = fwhm;
    s.snr = snr;
    s.flags = f;
    return s;
  };
  std::vector<Source> sources = {source(3.0, 50, 0), source(3.4, 30, 0), source(2.8, 25, 0), source(9.0, 50, 2),
                                 source(1.0, 19.9, 0), source(3.2, 21, 0)};
  EXPECT_FALSE(kadrix::inspect::seeing_fwhm(sources).has_value());  // four qualify
  sources.push_back(source(3.6, 100, 0));
  EXPECT_EQ(kadrix::inspect::seeing_fwhm(sources), 3.2);  // 2.8 3.0 3.2 3.4 3.6
  sources.push_back(source(2.0, 100, 0));
  EXPECT_EQ(kadrix::inspect::seeing_fwhm(sources), 3.1);  // 2.0 2.8 3.0 | 3.2 3.4 3.6
}

TEST(CatalogueText, UndefinedValuesAreEmptyFields) {
  EXPECT_EQ(kadrix::inspect::fixed(1.23456, 3), "1.235");
  EXPECT_EQ(kadrix::inspect::fixed(-0.125, 2), "-0.12");
  EXPECT_EQ(kadrix::inspect::fixed(std::nan(""), 2), "");
  EXPECT_EQ(kadrix::inspect::fixed(INFINITY, 6), "");
}

}  // namespace
