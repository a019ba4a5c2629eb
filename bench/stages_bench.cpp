// Each stage of one object at 1024 x 1024 pixels and 20 frames of a demo
// star field, the reference kernels beside the fast ones.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/fast_stages.h"
#include "reference/reference_kernels.h"
#include "stats/frame_sums.h"
#include "tools/demo/night.h"

namespace {

constexpr int kSide = 1024;
constexpr int kFrames = 20;

using kadrix::fast_stages;

// The frames on disk and the products of every stage, made once.
struct Night {
  std::string dir;
  std::string name;
  kadrix::FrameSequence frames;
  kadrix::FrameSumStore store;
  std::vector<double> mean;
  kadrix::ImageStatistics statistics;
  std::vector<std::uint8_t> bright;
  std::vector<double> background;
  double sigma = 0.0;
  std::vector<std::uint8_t> detections;

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
    const kadrix::Stages& s = fast_stages();
    frames = store.load_frame_stack(dir, name);
    const auto n = static_cast<std::size_t>(frames.pixel_count());
    mean.resize(n);
    bright.resize(n);
    background.resize(n);
    detections.resize(n);
    store.combine_frames(frames.frame_count, mean);
    statistics = s.image_statistics(mean);
    s.threshold_above_level(mean, statistics.level, statistics.sigma, kadrix::kSigmaFactor, bright);
    s.estimate_background(mean, bright, kSide, kSide, kadrix::kBackgroundRadius, {0, kSide}, background);
    sigma = s.residual_sigma(mean, background, bright).value_or(statistics.sigma);
    s.threshold_above_background(mean, background, sigma, kadrix::kSigmaFactor, detections);
  }
  ~Night() { std::filesystem::remove_all(dir); }
};

Night& night() {
  static Night n;
  return n;
}

void BM_LoadFrames_Straightforward(benchmark::State& state) {
  Night& n = night();
  for (auto _ : state) {
    kadrix::reference::FrameStack stack;
    benchmark::DoNotOptimize(kadrix::reference::load_frame_stack(n.dir, n.name, stack));
  }
}
BENCHMARK(BM_LoadFrames_Straightforward)->Unit(benchmark::kMillisecond);

void BM_LoadFrames_Fast(benchmark::State& state) {
  Night& n = night();
  kadrix::FrameSumStore store;
  for (auto _ : state) benchmark::DoNotOptimize(store.load_frame_stack(n.dir, n.name));
}
BENCHMARK(BM_LoadFrames_Fast)->Unit(benchmark::kMillisecond);

void BM_Combine_Straightforward(benchmark::State& state) {
  Night& n = night();
  kadrix::reference::FrameStack stack;
  kadrix::reference::load_frame_stack(n.dir, n.name, stack);
  const std::span<const std::int32_t> samples(stack.get(), n.mean.size() * kFrames);
  std::vector<double> mean(n.mean.size());
  for (auto _ : state) {
    kadrix::reference::combine_frames(samples, kSide * kSide, kFrames, mean);
    benchmark::DoNotOptimize(mean.data());
  }
}
BENCHMARK(BM_Combine_Straightforward)->Unit(benchmark::kMillisecond);

void BM_Combine_Fast(benchmark::State& state) {
  Night& n = night();
  std::vector<double> mean(n.mean.size());
  for (auto _ : state) {
    n.store.combine_frames(kFrames, mean);
    benchmark::DoNotOptimize(mean.data());
  }
}
BENCHMARK(BM_Combine_Fast)->Unit(benchmark::kMillisecond);

void BM_ImageStatistics(benchmark::State& state) {
  Night& n = night();
  for (auto _ : state) benchmark::DoNotOptimize(fast_stages().image_statistics(n.mean));
}
BENCHMARK(BM_ImageStatistics)->Unit(benchmark::kMillisecond);

void BM_ThresholdAboveLevel(benchmark::State& state) {
  Night& n = night();
  std::vector<std::uint8_t> bright(n.mean.size());
  for (auto _ : state) {
    fast_stages().threshold_above_level(n.mean, n.statistics.level, n.statistics.sigma, kadrix::kSigmaFactor,
                                        bright);
    benchmark::DoNotOptimize(bright.data());
  }
}
BENCHMARK(BM_ThresholdAboveLevel)->Unit(benchmark::kMillisecond);

void run_background(benchmark::State& state, kadrix::BackgroundMapper map) {
  Night& n = night();
  std::vector<double> background(n.mean.size());
  for (auto _ : state) {
    map(n.mean, n.bright, kSide, kSide, kadrix::kBackgroundRadius, {0, kSide}, background);
    benchmark::DoNotOptimize(background.data());
  }
}

void BM_Background_Straightforward(benchmark::State& state) {
  run_background(state, kadrix::reference::estimate_background);
}
BENCHMARK(BM_Background_Straightforward)->Unit(benchmark::kMillisecond);

void BM_Background_Fast(benchmark::State& state) {
  const auto& kernel = kadrix::background_kernels()[static_cast<std::size_t>(state.range(0))];
  if (!kernel.supported()) {
    state.SkipWithError((std::string(kernel.name) + " not supported by this CPU").c_str());
    return;
  }
  state.SetLabel(kernel.name);
  run_background(state, kernel.run);
}
BENCHMARK(BM_Background_Fast)
    ->DenseRange(0, static_cast<int>(kadrix::background_kernels().size()) - 1)
    ->Unit(benchmark::kMillisecond);

void BM_ResidualSigma(benchmark::State& state) {
  Night& n = night();
  for (auto _ : state) benchmark::DoNotOptimize(fast_stages().residual_sigma(n.mean, n.background, n.bright));
}
BENCHMARK(BM_ResidualSigma)->Unit(benchmark::kMillisecond);

void BM_ThresholdAboveBackground(benchmark::State& state) {
  Night& n = night();
  std::vector<std::uint8_t> detections(n.mean.size());
  for (auto _ : state) {
    fast_stages().threshold_above_background(n.mean, n.background, n.sigma, kadrix::kSigmaFactor, detections);
    benchmark::DoNotOptimize(detections.data());
  }
}
BENCHMARK(BM_ThresholdAboveBackground)->Unit(benchmark::kMillisecond);

// The night's result images, and blocks for the pixels of their pair.
struct PairBlocks {
  kadrix::ResultImages images;
  std::vector<std::uint8_t> sr;
  std::vector<std::uint8_t> ss;
};
PairBlocks pair_blocks(const Night& n) {
  const std::size_t block = kadrix::result_block_bytes(kSide, kSide);
  return {{kSide, kSide, n.mean, n.detections, n.statistics.level, n.sigma, kFrames},
          std::vector<std::uint8_t>(block),
          std::vector<std::uint8_t>(block)};
}

void BM_EncodeResultImages(benchmark::State& state) {
  PairBlocks p = pair_blocks(night());
  for (auto _ : state) {
    fast_stages().encode_result_images(p.images, 0, kSide, p.sr, p.ss);
    benchmark::DoNotOptimize(p.ss.data());
  }
}
BENCHMARK(BM_EncodeResultImages)->Unit(benchmark::kMillisecond);

void BM_WriteResultPair(benchmark::State& state) {
  Night& n = night();
  PairBlocks p = pair_blocks(n);
  fast_stages().encode_result_images(p.images, 0, kSide, p.sr, p.ss);
  const kadrix::EncodedPair pair{kSide, kSide, p.sr, p.ss, n.statistics.level, n.sigma, kFrames};
  for (auto _ : state) benchmark::DoNotOptimize(fast_stages().write_result_pair(n.dir + n.name, pair, nullptr));
}
BENCHMARK(BM_WriteResultPair)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
