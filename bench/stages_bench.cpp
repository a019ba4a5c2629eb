// Each stage of one object at 1024 x 1024 pixels and 20 frames of a demo
// star field, the straightforward kernels beside the fast ones.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bmp/frame_stack.h"
#include "stats/background.h"
#include "stats/frame_stats.h"
#include "stats/result_images.h"
#include "tools/demo/night.h"

namespace {

constexpr int kSide = 1024;
constexpr int kFrames = 20;

// The frames on disk and the products of every stage, made once.
struct Night {
  std::string dir;
  std::string name;
  kadrix::ObjectRecord record;
  kadrix::BrightMask bright_mask;

  Night() {
    dir = (std::filesystem::temp_directory_path() / ("kadrix-bench-" + std::to_string(::getpid()))).string() + "/";
    std::filesystem::create_directories(dir);
    kadrix::demo::NightSettings settings;
    settings.objects = 1;
    settings.frames = kFrames;
    settings.width = kSide;
    settings.height = kSide;
    const kadrix::demo::ObjectPlan plan = kadrix::demo::plan_object(settings, 0);
    std::string failed;
    if (!kadrix::demo::write_object(dir, plan, failed)) {
      std::fprintf(stderr, "cannot write %s\n", failed.c_str());
      std::exit(1);
    }
    name = plan.name;
    const auto sums = kadrix::fast::load_frame_stack(dir, name, record);
    record.mean_image = kadrix::fast::combine_frames(sums, record.pixel_count, record.frame_count);
    kadrix::image_statistics(record.mean_image, record.pixel_count, record.level, record.sigma);
    bright_mask = kadrix::threshold_above_level(record.mean_image, record.pixel_count, record.level, record.sigma,
                                                kadrix::kSigmaFactor);
    record.background_image = kadrix::fast::estimate_background(record.mean_image, bright_mask, record.width,
                                                                record.height, kadrix::kBackgroundRadius);
    kadrix::residual_sigma(record.mean_image, record.background_image, bright_mask, record.pixel_count,
                           record.sigma);
    record.detection_mask = kadrix::threshold_above_background(
        record.mean_image, record.background_image, record.pixel_count, record.sigma, kadrix::kSigmaFactor);
  }
  ~Night() { std::filesystem::remove_all(dir); }
};

Night& night() {
  static Night n;
  return n;
}

void BM_LoadFrames_Straightforward(benchmark::State& state) {
  Night& n = night();
  kadrix::ObjectRecord record;
  for (auto _ : state) benchmark::DoNotOptimize(kadrix::load_frame_stack(n.dir, n.name, record));
}
BENCHMARK(BM_LoadFrames_Straightforward)->Unit(benchmark::kMillisecond);

void BM_LoadFrames_Fast(benchmark::State& state) {
  Night& n = night();
  kadrix::ObjectRecord record;
  for (auto _ : state) benchmark::DoNotOptimize(kadrix::fast::load_frame_stack(n.dir, n.name, record));
}
BENCHMARK(BM_LoadFrames_Fast)->Unit(benchmark::kMillisecond);

void BM_Combine_Straightforward(benchmark::State& state) {
  Night& n = night();
  kadrix::ObjectRecord record;
  const auto stack = kadrix::load_frame_stack(n.dir, n.name, record);
  for (auto _ : state) benchmark::DoNotOptimize(kadrix::combine_frames(stack, record.pixel_count, record.frame_count));
}
BENCHMARK(BM_Combine_Straightforward)->Unit(benchmark::kMillisecond);

void BM_Combine_Fast(benchmark::State& state) {
  Night& n = night();
  kadrix::ObjectRecord record;
  const auto sums = kadrix::fast::load_frame_stack(n.dir, n.name, record);
  for (auto _ : state)
    benchmark::DoNotOptimize(kadrix::fast::combine_frames(sums, record.pixel_count, record.frame_count));
}
BENCHMARK(BM_Combine_Fast)->Unit(benchmark::kMillisecond);

void BM_ImageStatistics(benchmark::State& state) {
  const kadrix::ObjectRecord& r = night().record;
  double level = 0.0;
  double sigma = 0.0;
  for (auto _ : state) {
    kadrix::image_statistics(r.mean_image, r.pixel_count, level, sigma);
    benchmark::DoNotOptimize(sigma);
  }
}
BENCHMARK(BM_ImageStatistics)->Unit(benchmark::kMillisecond);

void BM_ThresholdAboveLevel(benchmark::State& state) {
  const kadrix::ObjectRecord& r = night().record;
  for (auto _ : state)
    benchmark::DoNotOptimize(
        kadrix::threshold_above_level(r.mean_image, r.pixel_count, r.level, r.sigma, kadrix::kSigmaFactor));
}
BENCHMARK(BM_ThresholdAboveLevel)->Unit(benchmark::kMillisecond);

void BM_Background_Straightforward(benchmark::State& state) {
  Night& n = night();
  const kadrix::ObjectRecord& r = n.record;
  for (auto _ : state)
    benchmark::DoNotOptimize(kadrix::estimate_background(r.mean_image, n.bright_mask, r.width, r.height,
                                                         kadrix::kBackgroundRadius));
}
BENCHMARK(BM_Background_Straightforward)->Unit(benchmark::kMillisecond);

void BM_Background_Fast(benchmark::State& state) {
  Night& n = night();
  const kadrix::ObjectRecord& r = n.record;
  const auto& kernel = kadrix::fast::background_kernels()[static_cast<std::size_t>(state.range(0))];
  if (!kernel.supported()) {
    state.SkipWithError((std::string(kernel.name) + " not supported by this CPU").c_str());
    return;
  }
  state.SetLabel(kernel.name);
  for (auto _ : state)
    benchmark::DoNotOptimize(kernel.run(r.mean_image, n.bright_mask, r.width, r.height, kadrix::kBackgroundRadius));
}
BENCHMARK(BM_Background_Fast)->DenseRange(0, static_cast<int>(kadrix::fast::background_kernels().size()) - 1)
    ->Unit(benchmark::kMillisecond);

void BM_ResidualSigma(benchmark::State& state) {
  Night& n = night();
  const kadrix::ObjectRecord& r = n.record;
  for (auto _ : state) {
    double sigma = r.sigma;
    kadrix::residual_sigma(r.mean_image, r.background_image, n.bright_mask, r.pixel_count, sigma);
    benchmark::DoNotOptimize(sigma);
  }
}
BENCHMARK(BM_ResidualSigma)->Unit(benchmark::kMillisecond);

void BM_ThresholdAboveBackground(benchmark::State& state) {
  const kadrix::ObjectRecord& r = night().record;
  for (auto _ : state)
    benchmark::DoNotOptimize(kadrix::threshold_above_background(r.mean_image, r.background_image, r.pixel_count,
                                                                r.sigma, kadrix::kSigmaFactor));
}
BENCHMARK(BM_ThresholdAboveBackground)->Unit(benchmark::kMillisecond);

void BM_WriteResultImages(benchmark::State& state) {
  Night& n = night();
  for (auto _ : state) benchmark::DoNotOptimize(kadrix::write_result_images(n.record, n.name, n.dir));
}
BENCHMARK(BM_WriteResultImages)->Unit(benchmark::kMillisecond);

}  // namespace

// The stages print their part of the transcript; that goes to /dev/null so
// that only the benchmark table reaches the terminal.
int main(int argc, char** argv) {
  const int table = ::dup(1);
  const int null = ::open("/dev/null", O_WRONLY);
  if (table < 0 || null < 0) return 1;
  ::dup2(null, 1);
  ::close(null);
  std::ofstream out("/dev/fd/" + std::to_string(table));

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&out);
  reporter.SetErrorStream(&out);
  night();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
