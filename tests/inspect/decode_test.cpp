// Reading a result pair back: the pixel code, the palette statistics and
// the checks that tell a result pair from other files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "inspect_support.h"
#include "bmp/result_pair.h"
#include "test_support.h"
#include "bmp/result_pair.h"

namespace {



using kadrix::PairFault;
using kadrix::PaletteStats;
using kadrix::parse_palette_stats;
using kadrix::ResultPair;
using kadrix_test::Bytes;

TEST(InspectDecode, WorkedExamplesOfThePixelCode) {
  struct Case {
    double mean;
    int flag;
    std::uint8_t sr, ss;
    double decoded;
  };
  // decoded = SR + (SS >> 1) / 128, worked out from q = trunc(mean * 128).
  const Case cases[] = {
      {3.51, 1, 3, 131, 3.0 + 65.0 / 128},  // q 449: fraction 65/128, flag set
      {3.51, 0, 3, 130, 3.0 + 65.0 / 128},
      {2.0, 0, 2, 0, 2.0},
      {255.0, 1, 255, 1, 255.0},
      {0.004, 1, 0, 1, 0.0},                   // below one step: only the flag survives
      {254.9999, 0, 254, 254, 254.0 + 127.0 / 128},  // the largest fraction
  };
  for (const Case& c : cases) {
    const std::int32_t code = kadrix::result_code(c.mean, c.flag);
    const auto sr = static_cast<std::uint8_t>(kadrix::sr_value(code));
    const auto ss = static_cast<std::uint8_t>(kadrix::ss_value(code));
    EXPECT_EQ(sr, c.sr) << c.mean;
    EXPECT_EQ(ss, c.ss) << c.mean;
    EXPECT_EQ(kadrix::steps_to_mean(kadrix::mean_steps(kadrix::pixel_code(sr, ss))), c.decoded) << c.mean;
    EXPECT_EQ(static_cast<int>(kadrix::is_flagged(kadrix::pixel_code(sr, ss))), c.flag) << c.mean;
  }
}

TEST(InspectDecode, EveryMeanComesBackWithinOneStepBelow) {
  // Means across the whole range, off the 1/128 grid, with both flags.
  for (int i = 0; i <= 25500; ++i) {
    const double mean = i * 0.01 + 0.003;
    if (mean > 255.0) break;
    for (const int flag : {0, 1}) {
      const std::int32_t code = kadrix::result_code(mean, flag);
      const auto sr = static_cast<std::uint8_t>(kadrix::sr_value(code));
      const auto ss = static_cast<std::uint8_t>(kadrix::ss_value(code));
      const double back = kadrix::steps_to_mean(kadrix::mean_steps(kadrix::pixel_code(sr, ss)));
      ASSERT_LE(back, mean) << mean;  // truncated, never rounded up
      ASSERT_GT(back, mean - 1.0 / 128) << mean;
      ASSERT_EQ(static_cast<int>(kadrix::is_flagged(kadrix::pixel_code(sr, ss))), flag) << mean;
    }
  }
}

TEST(InspectDecode, PairReadBackFromFilesWithRowPadding) {
  // Width 3 leaves one padding byte a row; rows must not shift.
  kadrix_test::TempDir dir;
  inspect_test::ObjectResult result;
  result.width = 3;
  result.height = 2;
  result.means = {0.0, 100.25, 3.51, 255.0, 17.0078125, 42.9};
  result.flags = {0, 1, 1, 0, 1, 0};
  result.level = 39.25;
  result.sigma = 2.5;
  result.frames = 16;
  inspect_test::write_pair(dir.prefix(), "OBJ", result);

  ResultPair pair;
  ASSERT_EQ(kadrix::read_result_pair(dir.prefix() + "OBJ", pair).fault, PairFault::none);
  EXPECT_EQ(pair.width, 3);
  EXPECT_EQ(pair.height, 2);
  EXPECT_EQ(pair.stats.level, 39.25f);
  EXPECT_EQ(pair.stats.sigma, 2.5f);
  EXPECT_EQ(pair.stats.frame_count, 16);
  const double expected[] = {0.0, 100.25, 3.0 + 65.0 / 128, 255.0, 17.0078125, 42.0 + 115.0 / 128};
  ASSERT_EQ(pair.codes.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    const std::uint16_t code = pair.codes[i];
    EXPECT_EQ(kadrix::steps_to_mean(kadrix::mean_steps(code)), expected[i]) << i;
    EXPECT_EQ(kadrix::is_flagged(code), result.flags[i] == 1) << i;
  }
}

Bytes stats_entries(float level, float sigma, std::int32_t frames) {
  Bytes bytes(12);
  std::uint32_t bits = 0;
  std::memcpy(&bits, &level, 4);
  kadrix_test::put_le32(bytes, 0, bits);
  std::memcpy(&bits, &sigma, 4);
  kadrix_test::put_le32(bytes, 4, bits);
  kadrix_test::put_le32(bytes, 8, static_cast<std::uint32_t>(frames));
  return bytes;
}

TEST(InspectPaletteStats, BytesOfTheStatisticsEntries) {
  // Level 10.5, sigma 2.25, 12 frames as the SS palette stores them.
  const Bytes written = {0x00, 0x00, 0x28, 0x41, 0x00, 0x00, 0x10, 0x40, 0x0C, 0x00, 0x00, 0x00,
                         0x03, 0x03, 0x03, 0x00};
  const std::optional<PaletteStats> stats = parse_palette_stats(written);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->level, 10.5f);
  EXPECT_EQ(stats->sigma, 2.25f);
  EXPECT_EQ(stats->frame_count, 12);
}

TEST(InspectPaletteStats, ValuesNoRunCanGiveAreRefused) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    Bytes bytes;
    bool accepted;
  };
  const Bytes grey_ramp = {0, 0, 0, 0, 1, 1, 1, 0, 2, 2, 2, 0};  // what an SR palette starts with
  Bytes two_entries = stats_entries(10.0f, 1.0f, 10);
  two_entries.resize(8);
  const Case cases[] = {
      {"extremes of a real run", stats_entries(255.0f, 0.0f, 100), true},
      {"smallest run", stats_entries(0.0f, 360.0f, 2), true},
      {"plain grey ramp", grey_ramp, false},
      {"one frame", stats_entries(10.0f, 1.0f, 1), false},
      {"101 frames", stats_entries(10.0f, 1.0f, 101), false},
      {"negative frame count", stats_entries(10.0f, 1.0f, -5), false},
      {"level above 255", stats_entries(255.5f, 1.0f, 10), false},
      {"negative level", stats_entries(-0.5f, 1.0f, 10), false},
      {"negative zero level", stats_entries(-0.0f, 1.0f, 10), false},
      {"NaN level", stats_entries(nan, 1.0f, 10), false},
      {"negative sigma", stats_entries(10.0f, -1.0f, 10), false},
      {"NaN sigma", stats_entries(10.0f, nan, 10), false},
      {"infinite sigma", stats_entries(10.0f, inf, 10), false},
      {"only two entries", two_entries, false},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_palette_stats(c.bytes).has_value(), c.accepted) << c.what;
}

TEST(InspectPaletteStats, FoundAfterALargerInformationHeader) {
  // A 124-byte information header moves the palette to byte 138.
  kadrix_test::TempDir dir;
  kadrix_test::BmpShape bmp;
  bmp.width = 2;
  bmp.height = 2;
  bmp.pixels = {7, 8, 9, 10};
  bmp.info_size = 124;
  kadrix_test::write_file(dir.file("PSR.BMP"), kadrix_test::build_bmp(bmp));
  bmp.pixels = {0, 1, 64, 129};
  bmp.top_down = true;  // the row order of the two files need not agree
  Bytes ss = kadrix_test::build_bmp(bmp);
  const Bytes entries = stats_entries(20.5f, 1.75f, 30);
  std::copy(entries.begin(), entries.end(), ss.begin() + 138);
  kadrix_test::write_file(dir.file("PSS.BMP"), ss);

  ResultPair pair;
  ASSERT_EQ(kadrix::read_result_pair(dir.prefix() + "P", pair).fault, PairFault::none);
  EXPECT_EQ(pair.stats.level, 20.5f);
  EXPECT_EQ(pair.stats.sigma, 1.75f);
  EXPECT_EQ(pair.stats.frame_count, 30);
  const std::vector<std::uint16_t> expected = {7 << 8 | 0, 8 << 8 | 1, 9 << 8 | 64, 10 << 8 | 129};
  EXPECT_EQ(pair.codes, expected);
}

}  // namespace
