// Peak memory of a run: one object alone at most 24 bytes a pixel plus
// 32 MiB, whatever the number of frames; several objects on several
// workers at most (workers + 1) times that much of the largest object.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "test_support.h"

namespace {

using kadrix_test::TempDir;

constexpr std::int64_t kBytesPerPixel = 24;
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
void write_object(const TempDir& dir, const Night& night, const std::string& name_prefix) {
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(night.width) * night.height);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(20 + (i % 977) % 13);
  for (std::size_t i = 0; i < pixels.size(); i += 4099) pixels[i] = 250;
  const kadrix_test::Bytes frame = kadrix_test::frame_bmp(night.width, night.height, pixels);
  for (int k = 1; k <= night.frames; ++k) kadrix_test::write_file(kadrix_test::frame_file(dir.prefix(), name_prefix, k), frame);
}

class PeakMemory : public ::testing::TestWithParam<Night> {};

TEST_P(PeakMemory, OneObjectStaysWithinTwentyFourBytesAPixel) {
#ifdef KADRIX_SANITIZED
  GTEST_SKIP() << "sanitizers keep shadow memory and quarantine; peak memory is measured in the plain build";
#endif
  const Night night = GetParam();
  TempDir dir;
  write_object(dir, night, "BIG");
  kadrix_test::write_file(dir.file("lista.list"), std::string("BIG\n"));
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
// fit the bound; and, in the build of the large nights (which only the
// final normal suite runs), one object of 8192 x 8192 pixels.
#ifdef KADRIX_LARGE_NIGHTS
#define NIGHTS Night{8192, 8192, 3}
#else
#define NIGHTS Night{1280, 960, 100}, Night{1280, 960, 2}
#endif
INSTANTIATE_TEST_SUITE_P(Frames, PeakMemory, ::testing::Values(NIGHTS),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) + "x" +
                                  std::to_string(info.param.frames);
                         });

#ifndef KADRIX_LARGE_NIGHTS
TEST(PeakMemory, ObjectsOnEveryWorkerStayWithinWorkersPlusOneObjects) {
#ifdef KADRIX_SANITIZED
  GTEST_SKIP() << "sanitizers keep shadow memory and quarantine; peak memory is measured in the plain build";
#endif
  // Eight objects of two sizes on 1, 2 and 3 workers: each worker keeps
  // the memory of the largest object it has had, no more.
  TempDir dir;
  const Night large{1500, 1100, 3};
  const Night small{700, 500, 4};
  std::string list;
  for (int i = 0; i < 8; ++i) {
    std::string name = "O";
    name += std::to_string(i);
    write_object(dir, i % 3 == 1 ? large : small, name);
    list += name + "\n";
  }
  kadrix_test::write_file(dir.file("lista.list"), list);
  const std::int64_t pixels = std::int64_t{large.width} * large.height;
  for (const int workers : {1, 2, 3}) {
    const auto run =
        kadrix_test::run_program(KADRIX_WORKERS_BIN, {std::to_string(workers), dir.prefix(), dir.file("lista.list")});
    ASSERT_EQ(run.exit_status, 0) << run.out;
    EXPECT_EQ(run.out.find("brak pamieci"), std::string::npos) << run.out;
    const std::int64_t peak = run.peak_rss_kib * 1024;
    EXPECT_LE(peak, (workers + 1) * kBytesPerPixel * pixels + kFixedBytes)
        << workers << " workers: peak " << (peak >> 20) << " MiB";
  }
}
#endif

}  // namespace
