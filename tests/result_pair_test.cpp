// The pixel code of the result images and the SR/SS pair on disk.

#include "bmp/result_pair.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kadrix_test::Bytes;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::TempDir;

TEST(ResultCode, WholePartFractionAndFlag) {
  struct Case {
    double mean;
    std::int32_t flag, code, sr, ss;
  };
  const Case cases[] = {
      {3.51, 1, 899, 3, 131},  // q = trunc(449.28) = 449; 2q + 1; 899 - 768 = 131 = 1000 0011b
      {3.51, 0, 898, 3, 130},
      {2.0, 0, 512, 2, 0},  // q = 256
      {255.0, 0, 65280, 255, 0},
      {255.0, 1, 65281, 255, 1},
      {0.004, 0, 0, 0, 0},  // below 1/128: q = 0
      {0.004, 1, 1, 0, 1},
      {0.0, 0, 0, 0, 0},
      {1.0 / 128, 0, 2, 0, 2},                       // exactly one step
      {std::nextafter(1.0 / 128, 0.0), 0, 0, 0, 0},  // just below it truncates
      {11.5, 1, 2945, 11, 129},                      // q = 1472
      {254.9999, 1, 65279, 254, 255},                // q = trunc(32639.987) = 32639
  };
  for (const Case& c : cases) {
    const std::int32_t code = kadrix::result_code(c.mean, c.flag);
    EXPECT_EQ(code, c.code) << c.mean << " flag " << c.flag;
    EXPECT_EQ(kadrix::sr_value(code), c.sr) << c.mean;
    EXPECT_EQ(kadrix::ss_value(code), c.ss) << c.mean;
  }
}

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

TEST(WriteResultImages, AFailedFileLeavesTheOldPairAlone) {
  struct Case {
    const char* blocked;  // a directory stands at this name
    const char* kept;     // an older result here must survive
  };
  for (const Case& c : {Case{"OBJSS.BMP", "OBJSR.BMP"}, Case{"OBJSR.BMP", "OBJSS.BMP"}}) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file(c.blocked).c_str(), 0755), 0);
    kadrix_test::write_file(dir.file(c.kept), "older result");
    EXPECT_EQ(kadrix::write_result_images(dir.prefix() + "OBJ", kImages3x2), dir.file(c.blocked));
    const std::string older = "older result";
    EXPECT_TRUE(same_bytes(read_file(dir.file(c.kept)), Bytes(older.begin(), older.end())));
    EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
              (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP"}))
        << "temporary files left behind";
  }
}

}  // namespace
