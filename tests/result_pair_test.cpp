// The result pair: the pixel code both ways, the pair written beside the
// frames, and read back with the statistics of its SS palette.

#include "bmp/result_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kadrix::PairFault;
using kadrix::PaletteStats;
using kadrix::parse_palette_stats;
using kadrix::ResultPair;
using kadrix_test::Bytes;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::TempDir;

// ---- the pixel code ----------------------------------------------------------

TEST(ResultCode, WholePartFractionAndFlagAndBack) {
  struct Case {
    double mean;
    std::int32_t flag, code, sr, ss;
    double decoded;  // SR + (SS >> 1) / 128
  };
  const Case cases[] = {
      // q = trunc(449.28) = 449; 2q + 1; 899 - 768 = 131 = 1000 0011b
      {3.51, 1, 899, 3, 131, 3.0 + 65.0 / 128},
      {3.51, 0, 898, 3, 130, 3.0 + 65.0 / 128},
      {2.0, 0, 512, 2, 0, 2.0},  // q = 256
      {255.0, 0, 65280, 255, 0, 255.0},
      {255.0, 1, 65281, 255, 1, 255.0},
      {0.004, 0, 0, 0, 0, 0.0},  // below 1/128: q = 0, only the flag survives
      {0.004, 1, 1, 0, 1, 0.0},
      {0.0, 0, 0, 0, 0, 0.0},
      {1.0 / 128, 0, 2, 0, 2, 1.0 / 128},                 // exactly one step
      {std::nextafter(1.0 / 128, 0.0), 0, 0, 0, 0, 0.0},  // just below it truncates
      {11.5, 1, 2945, 11, 129, 11.5},                     // q = 1472
      // q = trunc(32639.987) = 32639: the largest fraction, 127/128
      {254.9999, 1, 65279, 254, 255, 254.0 + 127.0 / 128},
      {254.9999, 0, 65278, 254, 254, 254.0 + 127.0 / 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.mean << " flag " << c.flag);
    const std::int32_t code = kadrix::result_code(c.mean, c.flag);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(kadrix::sr_value(code), c.sr);
    EXPECT_EQ(kadrix::ss_value(code), c.ss);
    const std::uint16_t back =
        kadrix::pixel_code(static_cast<std::uint8_t>(kadrix::sr_value(code)), static_cast<std::uint8_t>(kadrix::ss_value(code)));
    EXPECT_EQ(kadrix::steps_to_mean(kadrix::mean_steps(back)), c.decoded);
    EXPECT_EQ(kadrix::is_flagged(back), c.flag == 1);
  }
}

TEST(ResultCode, EveryMeanComesBackWithinOneStepBelow) {
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

// ---- the SS palette ------------------------------------------------------------

TEST(StatsPalette, NumbersInTheFirstThreeEntriesThenGreyAndBack) {
  struct Case {
    double level, sigma;
    std::int32_t frames;
    Bytes head;  // entries 0 to 2
  };
  const Case cases[] = {
      // 10.5 is 0x41280000 as a float, 2.25 0x40100000; 12 frames.
      {10.5, 2.25, 12, {0x00, 0x00, 0x28, 0x41, 0x00, 0x00, 0x10, 0x40, 0x0C, 0x00, 0x00, 0x00}},
      // Rounded to nearest single precision: 0.1 is 0x3DCCCCCD, 1/3 0x3EAAAAAB.
      {0.1, 1.0 / 3.0, 100, {0xCD, 0xCC, 0xCC, 0x3D, 0xAB, 0xAA, 0xAA, 0x3E, 100, 0, 0, 0}},
  };
  const kadrix::BmpPalette grey = kadrix::grey_palette();
  for (const Case& c : cases) {
    const kadrix::BmpPalette stats = kadrix::stats_palette(c.level, c.sigma, c.frames);
    EXPECT_EQ(Bytes(stats.begin(), stats.begin() + 12), c.head) << c.level;
    EXPECT_TRUE(std::equal(stats.begin() + 12, stats.end(), grey.begin() + 12)) << c.level;
    // Read back from the bytes worked out here, not from the writer's.
    const std::optional<PaletteStats> back = parse_palette_stats(c.head);
    ASSERT_TRUE(back) << c.level;
    EXPECT_EQ(back->level, static_cast<float>(c.level));
    EXPECT_EQ(back->sigma, static_cast<float>(c.sigma));
    EXPECT_EQ(back->frame_count, c.frames);
  }
}

// ---- writing the pair -----------------------------------------------------------

const std::vector<double> kMean3x2 = {3.51, 2.0, 255.0, 0.004, 11.5, 100.0};
const std::vector<std::uint8_t> kFlags3x2 = {1, 0, 1, 1, 0, 0};
const kadrix::ResultImages kImages3x2{3, 2, kMean3x2, kFlags3x2, 10.5, 2.25, 12};

Bytes expected_file(std::vector<std::uint8_t> pixels, bool stats) {
  Bytes bytes = kadrix_test::frame_bmp(3, 2, pixels);
  if (stats) {
    // level 10.5, sigma 2.25 as floats, 12 frames
    const std::uint8_t numbers[] = {0x00, 0x00, 0x28, 0x41, 0x00, 0x00, 0x10, 0x40, 0x0C, 0x00, 0x00, 0x00};
    std::copy(std::begin(numbers), std::end(numbers), bytes.begin() + 54);
  }
  return bytes;
}

TEST(WriteResultImages, WritesThePairBesideTheFrames) {
  TempDir dir;
  EXPECT_EQ(kadrix::write_result_images(dir.prefix() + "OBJ", kImages3x2), std::nullopt);
  // SR: 3 2 255 / 0 11 100; SS: 131 0 1 / 1 128 0.
  EXPECT_TRUE(same_bytes(read_file(dir.file("OBJSR.BMP")), expected_file({3, 2, 255, 0, 11, 100}, false)));
  EXPECT_TRUE(same_bytes(read_file(dir.file("OBJSS.BMP")), expected_file({131, 0, 1, 1, 128, 0}, true)));
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP"}));
}

TEST(EncodeResultImages, AnySplitIntoRowsGivesTheSameBlocks) {
  // Width 7: a padding byte a row, which must come out 0 however the rows
  // are shared out.
  constexpr std::int32_t kWidth = 7;
  constexpr std::int32_t kHeight = 5;
  std::vector<double> means;
  std::vector<std::uint8_t> flags;
  for (int i = 0; i < kWidth * kHeight; ++i) {
    means.push_back(i * 7.3 + i % 3 * 0.0078125);
    flags.push_back(static_cast<std::uint8_t>(i % 4 == 1));
  }
  const kadrix::ResultImages images{kWidth, kHeight, means, flags, 1.0, 1.0, 2};
  const std::size_t block = kadrix::result_block_bytes(kWidth, kHeight);
  ASSERT_EQ(block, 8u * kHeight);
  Bytes whole_sr(block, 0xEE), whole_ss(block, 0xEE);
  kadrix::encode_result_images(images, 0, kHeight, whole_sr, whole_ss);
  // File row 0 is image row 4 (pixels 28 to 34); e.g. pixel 29: mean
  // 211.715625, flagged, code 2 * 27099 + 1 = 54199 = 211 * 256 + 183.
  const Bytes sr_row0 = {204, 211, 219, 226, 233, 240, 248};
  const Bytes ss_row0 = {104, 183, 0, 78, 156, 231, 52};
  EXPECT_EQ(Bytes(whole_sr.begin(), whole_sr.begin() + kWidth), sr_row0);
  EXPECT_EQ(Bytes(whole_ss.begin(), whole_ss.begin() + kWidth), ss_row0);
  // Each row ends in a 0 byte.
  for (std::int32_t y = 0; y < kHeight; ++y) EXPECT_EQ(whole_sr[8 * y + 7] | whole_ss[8 * y + 7], 0) << y;

  for (const std::vector<std::int32_t>& cuts : {std::vector<std::int32_t>{0, 2, 3, 5}, {0, 1, 2, 3, 4, 5}, {0, 4, 5}}) {
    Bytes sr(block, 0xEE), ss(block, 0xEE);
    // Bands in reverse order, as workers may finish them.
    for (std::size_t i = cuts.size() - 1; i > 0; --i) kadrix::encode_result_images(images, cuts[i - 1], cuts[i], sr, ss);
    EXPECT_EQ(sr, whole_sr) << cuts.size();
    EXPECT_EQ(ss, whole_ss) << cuts.size();
  }
}

// A directory standing where a result file goes is tested on whole runs
// (e2e_results_test.cpp), with the transcript it gives.

// ---- reading the pair back ---------------------------------------------------

TEST(ReadResultPair, PixelsComeBackFromFilesWithRowPadding) {
  // Width 3 leaves one padding byte a row; rows must not shift.
  TempDir dir;
  const std::vector<double> means = {0.0, 100.25, 3.51, 255.0, 17.0078125, 42.9};
  const std::vector<std::uint8_t> flags = {0, 1, 1, 0, 1, 0};
  ASSERT_EQ(kadrix::write_result_images(dir.prefix() + "OBJ", {3, 2, means, flags, 39.25, 2.5, 16}), std::nullopt);

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
    EXPECT_EQ(kadrix::is_flagged(code), flags[i] == 1) << i;
  }
}

Bytes stats_entries(float level, float sigma, std::int32_t frames) {
  Bytes bytes(12);
  const Bytes l = kadrix_test::float_bytes(level);
  const Bytes s = kadrix_test::float_bytes(sigma);
  std::copy(l.begin(), l.end(), bytes.begin());
  std::copy(s.begin(), s.end(), bytes.begin() + 4);
  kadrix_test::put_le32(bytes, 8, static_cast<std::uint32_t>(frames));
  return bytes;
}

TEST(PaletteStats, ValuesNoRunCanGiveAreRefused) {
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

TEST(PaletteStats, FoundAfterALargerInformationHeader) {
  // A 124-byte information header moves the palette to byte 138.
  TempDir dir;
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
