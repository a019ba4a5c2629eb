// Grouping flagged pixels into footprints: connectivity, checked by hand
// and against a second grouping. (Filling holes has tests of its own.)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "bmp/result_pair.h"
#include "tools/inspect/catalogue.h"
#include "tools/inspect/sources.h"

namespace {

struct Group {
  std::int32_t pixels;
  std::int64_t first_index;
  bool operator==(const Group&) const = default;
};

// The footprints' pixel counts and first raster indices, in label order.
std::vector<Group> groups_of(const inspect_test::ObjectResult& result) {
  const kadrix::inspect::Footprints fp =
      kadrix::inspect::find_footprints(inspect_test::codes_of(result), result.width, result.height);
  std::vector<Group> groups(static_cast<std::size_t>(fp.count), Group{0, -1});
  for (std::size_t i = 0; i < result.flags.size(); ++i) {
    if (fp.label[i] == 0) continue;
    Group& g = groups[static_cast<std::size_t>(fp.label[i] - 1)];
    ++g.pixels;
    if (g.first_index < 0) g.first_index = static_cast<std::int64_t>(i);
  }
  return groups;
}

TEST(InspectSources, PixelsTouchingAtEdgesOrCornersFormOneSource) {
  struct Case {
    const char* what;
    std::vector<std::string> picture;
    std::vector<Group> expected;  // pixel count and first raster index, in raster order
  };
  const Case cases[] = {
      {"corner touch", {"#.", ".#"}, {{2, 0}}},
      {"corner touch the other way", {".#", "#."}, {{2, 1}}},
      {"gap of one in a row", {"#.#"}, {{1, 0}, {1, 2}}},
      {"gap of one in a column", {"#", ".", "#"}, {{1, 0}, {1, 2}}},
      {"gap of one on a diagonal", {"#..", "..#"}, {{1, 0}, {1, 5}}},
      // Raster neighbours 2 and 3, but on opposite edges of the image.
      {"row end and next row start", {"..#", "#.."}, {{1, 2}, {1, 3}}},
      {"U closed at the bottom", {"#.#", "#.#", "###"}, {{7, 0}}},
      {"V closed at the bottom", {"#...#", ".#.#.", "..#.."}, {{5, 0}}},
      {"staircase", {"#...", ".#..", "..#.", "...#"}, {{4, 0}}},
      // The ring's hole holds another footprint: it is not filled.
      {"ring and its centre", {"#####", "#...#", "#.#.#", "#...#", "#####"}, {{16, 0}, {1, 12}}},
      {"whole image", {"##", "##"}, {{4, 0}}},
      {"nothing flagged", {"...", "..."}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(groups_of(inspect_test::drawn(c.picture)), c.expected) << c.what;
  }
}

// Labels by repeated relaxation: each flagged pixel takes the smallest
// raster index among itself and its 8 neighbours until nothing changes, so
// a group is named by its first pixel. Slow and simple, so it can stand
// beside the real grouping as a second opinion; -1 for unflagged pixels.
std::vector<int> relaxed_labels(const std::vector<int>& flags, int width, int height) {
  std::vector<int> label(flags.size(), -1);
  for (std::size_t i = 0; i < flags.size(); ++i)
    if (flags[i]) label[i] = static_cast<int>(i);
  for (bool changed = true; changed;) {
    changed = false;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        int& own = label[static_cast<std::size_t>(y * width + x)];
        if (own < 0) continue;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int nx = x + dx, ny = y + dy;
            if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
            const int other = label[static_cast<std::size_t>(ny * width + nx)];
            if (other >= 0 && other < own) {
              own = other;
              changed = true;
            }
          }
        }
      }
    }
  }
  return label;
}

// On every flagged pixel the footprints' labels and the relaxed ones make
// the same groups, numbered 1, 2, ... in the order of their first pixels.
TEST(InspectSources, RandomMasksAgreeWithASecondGrouping) {
  // Densities around the point where groups start to join into mazes.
  std::mt19937 random(20240611);
  for (const double density : {0.2, 0.4, 0.55, 0.7}) {
    SCOPED_TRACE(density);
    inspect_test::ObjectResult result;
    result.width = 37;
    result.height = 23;
    std::bernoulli_distribution flagged(density);
    for (int i = 0; i < result.width * result.height; ++i) {
      result.flags.push_back(flagged(random) ? 1 : 0);
      result.means.push_back(1.0);
    }
    const kadrix::inspect::Footprints fp =
        kadrix::inspect::find_footprints(inspect_test::codes_of(result), result.width, result.height);
    const std::vector<int> relaxed = relaxed_labels(result.flags, result.width, result.height);
    std::vector<int> first_pixels;  // of the relaxed groups, in raster order
    for (std::size_t i = 0; i < relaxed.size(); ++i)
      if (relaxed[i] == static_cast<int>(i)) first_pixels.push_back(static_cast<int>(i));
    EXPECT_EQ(fp.count, static_cast<std::int32_t>(first_pixels.size()));
    for (std::size_t i = 0; i < relaxed.size(); ++i) {
      if (relaxed[i] < 0) continue;
      const auto rank = std::lower_bound(first_pixels.begin(), first_pixels.end(), relaxed[i]) - first_pixels.begin();
      ASSERT_EQ(fp.label[i], rank + 1) << "pixel " << i;
    }
    EXPECT_EQ(kadrix::inspect::count_flagged(inspect_test::codes_of(result)),
              std::count(result.flags.begin(), result.flags.end(), 1));
  }
}

}  // namespace
