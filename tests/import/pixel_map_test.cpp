// The depth rules: which map a series gets, and what each map makes of a
// value, ends and undefined values included.

#include "tools/import/pixel_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using kadrix::import::PixelMap;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

PixelMap shift(int depth) {
  PixelMap m;
  m.depth = depth;
  return m;
}

PixelMap linear(double lo, double hi) {
  PixelMap m;
  m.kind = PixelMap::Kind::linear;
  m.lo = lo;
  m.hi = hi;
  return m;
}

struct MapCase {
  const char* title;
  PixelMap map;
  std::vector<double> values;
  std::vector<int> bytes;
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.title; }

class MapValues : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapValues, GiveTheBytesWorkedOutByHand) {
  const MapCase& c = GetParam();
  ASSERT_EQ(c.values.size(), c.bytes.size());
  for (std::size_t i = 0; i < c.values.size(); ++i)
    EXPECT_EQ(kadrix::import::map_value(c.map, c.values[i]), c.bytes[i]) << "value " << c.values[i];
}

INSTANTIATE_TEST_SUITE_P(
    Maps, MapValues,
    ::testing::Values(
        MapCase{"copy_8", shift(8), {0, 1, 254, 255, 256, 1e9, kNan, kInf, -1}, {0, 1, 254, 255, 255, 255, 0, 255, 0}},
        // 12 bits: v >> 4; 4095 is the top, 4096 and above saturate.
        MapCase{"shift_12", shift(12), {0, 15, 16, 2048, 4095, 4096}, {0, 0, 1, 128, 255, 255}},
        MapCase{"shift_16", shift(16), {255, 256, 0x1234, 0xABCD, 65535, 65536}, {0, 1, 0x12, 0xAB, 255, 255}},
        // Deep integers stay exact: 2^32 - 1 >> 25 is 127, 2^33 - 1 the top.
        MapCase{"shift_33", shift(33), {4294967295.0, 8589934591.0, 8589934592.0}, {127, 255, 255}},
        // trunc((v + 100) * 255 / 355): 0 at -100, 71 at 0 (71.83), 127 at
        // 77.5 (127.5), 254 at 254 (254.28) and 255 at 255.
        MapCase{"linear", linear(-100, 255), {-100, -1000, 0, 77.5, 254, 255, 1e300, kNan, kInf, -kInf},
                {0, 0, 71, 127, 254, 255, 255, 0, 255, 0}},
        // Exactly at hi, whatever rounding (hi - lo) * 255 / (hi - lo) meets.
        MapCase{"linear_ends", linear(0.1, 0.7), {0.1, 0.7, 0.4}, {0, 255, 127}},
        MapCase{"linear_flat", linear(5, 5), {4, 5, 6, kNan}, {0, 0, 255, 0}}),
    [](const ::testing::TestParamInfo<MapCase>& info) { return std::string(info.param.title); });

TEST(Depth, SmallestOfAtLeastEightBitsHoldingTheValue) {
  const std::vector<std::pair<double, int>> cases = {
      {0, 8}, {255, 8}, {256, 9}, {4095, 12}, {4096, 13}, {65535, 16}, {65536, 17}, {4294967295.0, 32}};
  for (const auto& [value, depth] : cases) EXPECT_EQ(kadrix::import::depth_holding(value), depth) << value;
}

TEST(SeriesMap, ShiftForWholeNumbersNoneNegative) {
  kadrix::import::ValueRange range;
  for (const double v : {12.0, 3000.0, kNan, kInf, 7.0}) range.add(v);
  ASSERT_TRUE(range.any);
  EXPECT_EQ(range.min, 7);
  EXPECT_EQ(range.max, 3000);

  PixelMap m = kadrix::import::series_map(true, 0, range);
  EXPECT_EQ(m.kind, PixelMap::Kind::shift);
  EXPECT_EQ(m.depth, 12);
  // A SER depth deeper than the values wins: one shift for the series.
  m = kadrix::import::series_map(true, 14, range);
  EXPECT_EQ(m.depth, 14);
  // ... and a shallower one does not.
  m = kadrix::import::series_map(true, 8, range);
  EXPECT_EQ(m.depth, 12);
}

TEST(SeriesMap, ARowAddedAtOnceGivesTheRangeOfItsValuesAddedInTurn) {
  const std::vector<std::vector<double>> rows = {
      {kNan, kNan}, {0.0, -0.0, 5.0}, {-0.0, 0.0}, {kInf, -kInf, 3.5, kNan, -2.0}, {}, {7.0, 7.0, -2.0}};
  kadrix::import::ValueRange one_by_one, by_rows;
  for (const std::vector<double>& row : rows) {
    for (const double v : row) one_by_one.add(v);
    by_rows.add_all(row);
    ASSERT_EQ(by_rows.any, one_by_one.any);
    ASSERT_EQ(by_rows.min, one_by_one.min);
    ASSERT_EQ(std::signbit(by_rows.min), std::signbit(one_by_one.min));
    ASSERT_EQ(by_rows.max, one_by_one.max);
    ASSERT_EQ(std::signbit(by_rows.max), std::signbit(one_by_one.max));
  }
  EXPECT_EQ(by_rows.min, -2.0);
  EXPECT_EQ(by_rows.max, 7.0);
}

TEST(SeriesMap, LinearForFloatOrNegativeData) {
  kadrix::import::ValueRange range;
  for (const double v : {12.0, 3000.0}) range.add(v);
  PixelMap m = kadrix::import::series_map(false, 0, range);
  EXPECT_EQ(m.kind, PixelMap::Kind::linear);
  EXPECT_EQ(m.lo, 12);
  EXPECT_EQ(m.hi, 3000);

  range.add(-0.5);
  m = kadrix::import::series_map(true, 0, range);
  EXPECT_EQ(m.kind, PixelMap::Kind::linear);
  EXPECT_EQ(m.lo, -0.5);
  EXPECT_EQ(m.hi, 3000);

  // Nothing but undefined pixels: every byte 0.
  m = kadrix::import::series_map(false, 0, kadrix::import::ValueRange{});
  EXPECT_EQ(m.kind, PixelMap::Kind::linear);
  EXPECT_EQ(kadrix::import::map_value(m, kNan), 0);
}

TEST(RangeOption, ParsesTwoFiniteNumbersInOrder) {
  struct Case {
    const char* text;
    bool ok;
    double lo;
    double hi;
  };
  const std::vector<Case> cases = {
      {"0:255", true, 0, 255},        {"-100:4095", true, -100, 4095}, {"-1e3:-5", true, -1000, -5},
      {"1.5:2.25", true, 1.5, 2.25},  {"5:5", false, 0, 0},            {"6:5", false, 0, 0},
      {"5", false, 0, 0},             {":5", false, 0, 0},             {"5:", false, 0, 0},
      {"a:5", false, 0, 0},           {"0:5x", false, 0, 0},           {"0:inf", false, 0, 0},
      {"nan:5", false, 0, 0},         {"1:2:3", false, 0, 0},          {" 1:2", false, 0, 0},
      {"0:1e999", false, 0, 0},
  };
  for (const Case& c : cases) {
    double lo = 0;
    double hi = 0;
    EXPECT_EQ(kadrix::import::parse_range(c.text, lo, hi), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(lo, c.lo) << c.text;
    EXPECT_EQ(hi, c.hi) << c.text;
  }
}

TEST(RangeOption, PrintedBoundsReadBackExactly) {
  for (const double v : {0.0, -0.5, 4095.0, 0.1, 1.0 / 3.0, -123456.789, 1e-7, 6.02214076e23}) {
    const std::string text = kadrix::import::shortest_text(v);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
  }
  EXPECT_EQ(kadrix::import::shortest_text(0.1), "0.1");
  EXPECT_EQ(kadrix::import::shortest_text(-0.5), "-0.5");
  EXPECT_EQ(kadrix::import::shortest_text(4095), "4095");
  EXPECT_EQ(kadrix::import::shortest_text(-100), "-100");
  EXPECT_EQ(kadrix::import::shortest_text(40), "40");
}

}  // namespace
