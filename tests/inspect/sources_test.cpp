// Grouping flagged pixels into sources: connectivity, centroids, ordering.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "bmp/result_pair.h"
#include "tools/inspect/sources.h"

namespace {

using kadrix::inspect::Source;
using kadrix::steps_to_mean;

std::vector<Source> sources_of(const inspect_test::ObjectResult& result) {
  return kadrix::inspect::find_sources(inspect_test::codes_of(result), result.width, result.height);
}

struct Group {
  std::int32_t pixels;
  std::int64_t first_index;
  bool operator==(const Group&) const = default;
};

std::vector<Group> groups_of(const std::vector<Source>& sources) {
  std::vector<Group> groups;
  for (const Source& s : sources) groups.push_back({s.pixels, s.first_index});
  return groups;
}

TEST(InspectSources, PixelsTouchingAtEdgesOrCornersFormOneSource) {
  struct Case {
    const char* what;
    std::vector<std::string> picture;
    std::vector<Group> expected;  // pixel count and first raster index, in output order
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
      {"ring and its centre", {"#####", "#...#", "#.#.#", "#...#", "#####"}, {{16, 0}, {1, 12}}},
      {"whole image", {"##", "##"}, {{4, 0}}},
      {"nothing flagged", {"...", "..."}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(groups_of(sources_of(inspect_test::drawn(c.picture))), c.expected) << c.what;
  }
}

TEST(InspectSources, CentroidWeightedByTheDecodedMean) {
  struct Case {
    const char* what;
    std::vector<std::string> picture;  // one source each
    double x, y;
  };
  const Case cases[] = {
      {"single pixel", {"...", "..7"}, 2.0, 1.0},
      // (1,1) weight 4, (2,1) and (2,2) weight 2: x = 12 / 8, y = 10 / 8.
      {"three pixels", {".....", ".42..", "..2.."}, 1.5, 1.25},
      {"heavy corner pulls", {"9.", ".1"}, 0.1, 0.1},
      {"zero weight does not pull", {"03"}, 1.0, 0.0},
      {"all weights zero: plain centroid", {"0.", ".0"}, 0.5, 0.5},
  };
  for (const Case& c : cases) {
    const std::vector<Source> sources = sources_of(inspect_test::drawn(c.picture));
    ASSERT_EQ(sources.size(), 1u) << c.what;
    EXPECT_DOUBLE_EQ(sources[0].x, c.x) << c.what;
    EXPECT_DOUBLE_EQ(sources[0].y, c.y) << c.what;
  }
}

TEST(InspectSources, PeakAndSumOfDecodedMeans) {
  inspect_test::ObjectResult result;
  result.width = 3;
  result.height = 1;
  result.means = {3.51, 12.6, 200.0};
  result.flags = {1, 1, 0};
  const std::vector<Source> sources = sources_of(result);
  ASSERT_EQ(sources.size(), 1u);
  // 3.51 -> 449/128, 12.6 -> 1612/128: truncated, not rounded; the
  // unflagged 200 counts for nothing.
  EXPECT_EQ(steps_to_mean(sources[0].peak_steps), 12.59375);
  EXPECT_EQ(steps_to_mean(sources[0].sum_steps), 16.1015625);
  EXPECT_EQ(sources[0].pixels, 2);
}

TEST(InspectSources, OrderedBySumThenPeakThenFirstPixel) {
  const std::vector<Source> sources = sources_of(inspect_test::drawn({
      "........#.",  // a chain down to the left, first pixel at index 8
      "####...#..",  // a row starting at index 10, its centroid above the chain's
      "......#...",
      ".....#....",
      "..........",
      "22......3.",  // sum 4 with peak 2; a peak of 3 but a sum of only 3
      "....5.....",  // the largest sum
  }));
  struct Expected {
    double x, y;
    std::int32_t pixels;
    double peak, sum;
  };
  const Expected expected[] = {
      {4.0, 6.0, 1, 5.0, 5.0},
      {0.5, 5.0, 2, 2.0, 4.0},
      {6.5, 1.5, 4, 1.0, 4.0},
      {1.5, 1.0, 4, 1.0, 4.0},
      {8.0, 5.0, 1, 3.0, 3.0},
  };
  ASSERT_EQ(sources.size(), std::size(expected));
  for (std::size_t i = 0; i < sources.size(); ++i) {
    EXPECT_DOUBLE_EQ(sources[i].x, expected[i].x) << i;
    EXPECT_DOUBLE_EQ(sources[i].y, expected[i].y) << i;
    EXPECT_EQ(sources[i].pixels, expected[i].pixels) << i;
    EXPECT_EQ(steps_to_mean(sources[i].peak_steps), expected[i].peak) << i;
    EXPECT_EQ(steps_to_mean(sources[i].sum_steps), expected[i].sum) << i;
  }
}

// Labels by repeated relaxation: each flagged pixel takes the smallest
// label among itself and its 8 neighbours until nothing changes. Slow and
// simple, so it can stand beside the real grouping as a second opinion.
std::vector<Group> relaxed_groups(const std::vector<int>& flags, int width, int height) {
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
  std::vector<Group> groups;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (label[i] != static_cast<int>(i)) continue;  // the smallest index names its group
    const auto pixels = std::count(label.begin(), label.end(), static_cast<int>(i));
    groups.push_back({static_cast<std::int32_t>(pixels), static_cast<std::int64_t>(i)});
  }
  // All means are 1, so sum = pixel count and the peak never decides.
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    return a.pixels != b.pixels ? a.pixels > b.pixels : a.first_index < b.first_index;
  });
  return groups;
}

TEST(InspectSources, RandomMasksAgreeWithASecondGrouping) {
  // Densities around the point where groups start to join into mazes.
  std::mt19937 random(20240611);
  for (const double density : {0.2, 0.4, 0.55, 0.7}) {
    inspect_test::ObjectResult result;
    result.width = 37;
    result.height = 23;
    std::bernoulli_distribution flagged(density);
    for (int i = 0; i < result.width * result.height; ++i) {
      result.flags.push_back(flagged(random) ? 1 : 0);
      result.means.push_back(1.0);
    }
    EXPECT_EQ(groups_of(sources_of(result)), relaxed_groups(result.flags, result.width, result.height))
        << "density " << density;
    EXPECT_EQ(kadrix::inspect::count_flagged(inspect_test::codes_of(result)),
              std::count(result.flags.begin(), result.flags.end(), 1));
  }
}

}  // namespace
