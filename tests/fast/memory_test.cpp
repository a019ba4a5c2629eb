// Peak memory of a run: at most 32 bytes a pixel of the largest object plus
// 32 MiB, whatever the number of frames.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "test_support.h"

namespace {

using kadrix_test::TempDir;

constexpr std::int64_t kBytesPerPixel = 32;
constexpr std::int64_t kFixedBytes = 32ll << 20;

struct Night {
  int width;
  int height;
  int frames;
};

void PrintTo(const Night& night, std::ostream* out) {
  *out << night.width << "x" << night.height << " x " << night.frames << " frames";
}

// Frames of a mild gradient with a few bright pixels, so every stage has
// something to do; written straight from a template to keep setup quick.
void write_object(const TempDir& dir, const Night& night) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(night.width) * night.height);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(20 + (i % 977) % 13);
  for (std::size_t i = 0; i < pixels.size(); i += 4099) pixels[i] = 250;
  const kadrix_test::Bytes frame = kadrix_test::frame_bmp(night.width, night.height, pixels);
  for (int k = 1; k <= night.frames; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "BIG%02d.BMP", k);
    kadrix_test::write_file(dir.file(name), frame);
  }
  kadrix_test::write_file(dir.file("lista.list"), std::string("BIG\n"));
}

class PeakMemory : public ::testing::TestWithParam<Night> {};

TEST_P(PeakMemory, StaysWithinThirtyTwoBytesAPixel) {
#ifdef KADRIX_SANITIZED
  GTEST_SKIP() << "sanitizers keep shadow memory and quarantine; peak memory is measured in the plain build";
#endif
  const Night night = GetParam();
  TempDir dir;
  write_object(dir, night);
  kadrix_test::RunOptions options;
  options.timeout_seconds = 600;
  const auto run = kadrix_test::run_program(KADRIX_BIN, {dir.prefix(), dir.file("lista.list")}, options);
  ASSERT_EQ(run.exit_status, 0) << run.out;
  EXPECT_NE(run.out.find("Obr: BIG Kl: " + std::to_string(night.frames) + " "), std::string::npos) << run.out;
  EXPECT_TRUE(kadrix_test::exists(dir.file("BIGSR.BMP")));
  EXPECT_TRUE(kadrix_test::exists(dir.file("BIGSS.BMP")));
  const std::int64_t pixels = static_cast<std::int64_t>(night.width) * night.height;
  const std::int64_t peak = run.peak_rss_kib * 1024;
  EXPECT_LE(peak, kBytesPerPixel * pixels + kFixedBytes)
      << "peak " << (peak >> 20) << " MiB for " << night.width << "x" << night.height << " x " << night.frames;
}

// Many frames of a middling size, where a stack of every frame would not
// fit the bound, and one object of 8192 x 8192 pixels.
INSTANTIATE_TEST_SUITE_P(Frames, PeakMemory,
                         ::testing::Values(Night{1280, 960, 100}, Night{1280, 960, 2}, Night{8192, 8192, 3}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) + "x" +
                                  std::to_string(info.param.frames);
                         });

}  // namespace
