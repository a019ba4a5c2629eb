// The overlay: percentile stretch, grey values, red detections, file bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"
#include "tools/inspect/overlay.h"

namespace {

using kadrix::inspect::Stretch;
using kadrix::inspect::stretch_grey;
using kadrix::inspect::stretch_range;
using kadrix_test::Bytes;

std::vector<std::uint16_t> unflagged_codes(const std::vector<double>& means) {
  inspect_test::ObjectResult result;
  result.width = static_cast<std::int32_t>(means.size());
  result.height = 1;
  result.means = means;
  result.flags.assign(means.size(), 0);
  return inspect_test::codes_of(result);
}

TEST(InspectOverlay, StretchTakesThePercentilesOfTheSortedMeans) {
  struct Case {
    const char* what;
    std::vector<double> means;  // in any order
    double lo, hi;
  };
  std::vector<double> whole(201);  // 0 ... 200, shuffled
  for (int i = 0; i <= 200; ++i) whole[static_cast<std::size_t>(i)] = i;
  std::shuffle(whole.begin(), whole.end(), std::mt19937(5));
  std::vector<double> steps(1001);  // 0, 1/128, ... 1000/128, descending
  for (int i = 0; i <= 1000; ++i) steps[static_cast<std::size_t>(i)] = (1000 - i) / 128.0;
  std::vector<double> hundred(100);
  for (int i = 0; i < 100; ++i) hundred[static_cast<std::size_t>(i)] = 99 - i;

  const Case cases[] = {
      // N - 1 = 200: indices floor(2) and floor(199.8).
      {"201 values", whole, 2.0, 199.0},
      // N - 1 = 1000: indices 10 and exactly 999.
      {"1001 values", steps, 10 / 128.0, 999 / 128.0},
      // N - 1 = 99: indices floor(0.99) and floor(98.901).
      {"100 values", hundred, 0.0, 98.0},
      {"one pixel", {42.5}, 42.5, 42.5},
      {"repeated values", {7, 9, 7, 7, 7}, 7.0, 7.0},  // indices 0 and 3
  };
  for (const Case& c : cases) {
    const Stretch s = stretch_range(unflagged_codes(c.means));
    EXPECT_EQ(s.lo / 128.0, c.lo) << c.what;
    EXPECT_EQ(s.hi / 128.0, c.hi) << c.what;
  }
}

TEST(InspectOverlay, GreyIsTheClampedLinearStretch) {
  // lo 10, hi 30.25: 2592 steps between them.
  const Stretch s{10 * 128, 30 * 128 + 32};
  struct Case {
    std::int32_t steps;
    int grey;
  };
  const Case cases[] = {
      {9 * 128, 0},         // below lo
      {10 * 128, 0},        // lo itself
      {10 * 128 + 1, 0},    // 255 / 2592 rounds down to 0
      {11 * 128, 12},       // 255 / 20.25 = 12.59
      {15 * 128, 62},       // 1275 / 20.25 = 62.96
      {25 * 128, 188},      // 3825 / 20.25 = 188.89
      {30 * 128 + 31, 254}, // 2591 * 255 / 2592 = 254.90
      {30 * 128 + 32, 255}, // hi itself
      {40 * 128, 255},      // above hi, clamped
  };
  for (const Case& c : cases) EXPECT_EQ(stretch_grey(c.steps, s), c.grey) << c.steps;
  // Without a range every pixel is black.
  for (const std::int32_t steps : {0, 1280, 32767}) {
    EXPECT_EQ(stretch_grey(steps, Stretch{1280, 1280}), 0);
    EXPECT_EQ(stretch_grey(steps, Stretch{1290, 1280}), 0);
  }
}

TEST(InspectOverlay, FileHoldsGreyMeansAndRedDetections) {
  kadrix_test::TempDir dir;
  inspect_test::ObjectResult result;
  result.width = 3;  // 9 bytes a row, padded to 12
  result.height = 2;
  result.means = {0, 50, 100, 25, 75, 100};
  result.flags = {0, 1, 0, 0, 0, 1};
  kadrix::ResultPair pair;
  pair.width = result.width;
  pair.height = result.height;
  pair.codes = inspect_test::codes_of(result);
  const std::string out = dir.file("over.bmp");
  ASSERT_TRUE(kadrix::inspect::write_overlay(out, pair));

  // Sorted means 0 25 50 75 100 100: lo at index 0 is 0, hi at index
  // floor(4.995) = 4 is 100; 25 -> 63.75, 75 -> 191.25.
  Bytes expected(54, 0);
  expected[0] = 'B';
  expected[1] = 'M';
  kadrix_test::put_le32(expected, 2, 54 + 24);
  kadrix_test::put_le32(expected, 10, 54);
  kadrix_test::put_le32(expected, 14, 40);
  kadrix_test::put_le32(expected, 18, 3);
  kadrix_test::put_le32(expected, 22, 2);
  kadrix_test::put_le16(expected, 26, 1);
  kadrix_test::put_le16(expected, 28, 24);
  kadrix_test::put_le32(expected, 34, 24);
  kadrix_test::put_le32(expected, 38, 1);
  kadrix_test::put_le32(expected, 42, 1);
  const Bytes rows = {
      63, 63, 63, 191, 191, 191, 0, 0, 255, 0, 0, 0,  // bottom row first, blue green red
      0, 0, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0,
  };
  expected.insert(expected.end(), rows.begin(), rows.end());
  EXPECT_EQ(kadrix_test::read_file(out), expected);
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), std::vector<std::string>{"over.bmp"});
}

TEST(InspectOverlay, FailedWriteLeavesNothingBehind) {
  kadrix_test::TempDir dir;
  std::filesystem::create_directory(dir.file("taken"));
  kadrix::ResultPair pair;
  pair.width = 1;
  pair.height = 1;
  pair.codes = {0};
  EXPECT_FALSE(kadrix::inspect::write_overlay(dir.file("taken"), pair));
  EXPECT_FALSE(kadrix::inspect::write_overlay(dir.file("missing/over.bmp"), pair));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken")));
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), std::vector<std::string>{"taken"});
}

}  // namespace
