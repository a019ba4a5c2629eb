// Putting a 1024 x 1024 light on the reference's grid: Lanczos-3 with a
// sub-pixel shift, the copy of a whole-pixel shift, and the saturation
// reach.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "tools/import/resample.h"

namespace {

using kadrix::import::Area;
using kadrix::import::Resampler;
using kadrix::import::Shift;

constexpr int kSide = 1024;

std::vector<double> noisy_frame() {
  std::mt19937_64 engine(3);
  std::normal_distribution<double> noise(1000, 30);
  std::vector<double> f(static_cast<std::size_t>(kSide) * kSide);
  for (double& v : f) v = noise(engine);
  return f;
}

void resample(benchmark::State& state, Shift shift) {
  static const std::vector<double> frame = noisy_frame();
  const Shift shifts[] = {{0, 0}, shift};
  const Area area = kadrix::import::common_area(shifts, kSide, kSide);
  std::vector<double> out(static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height));
  Resampler r;
  for (auto _ : state) {
    r.resample(frame, kSide, kSide, shift, area, out);
    benchmark::DoNotOptimize(out.data());
  }
}

void BM_Resample_Lanczos(benchmark::State& state) { resample(state, {3.417, -5.203}); }
BENCHMARK(BM_Resample_Lanczos)->Unit(benchmark::kMillisecond);

void BM_Resample_WholePixels(benchmark::State& state) { resample(state, {3, -5}); }
BENCHMARK(BM_Resample_WholePixels)->Unit(benchmark::kMillisecond);

void BM_Resample_SaturationReach(benchmark::State& state) {
  std::vector<std::uint8_t> mask(static_cast<std::size_t>(kSide) * kSide, 0);
  for (std::size_t i = 0; i < mask.size(); i += 997) mask[i] = 1;
  const Shift shift{3.417, -5.203};
  const Shift shifts[] = {{0, 0}, shift};
  const Area area = kadrix::import::common_area(shifts, kSide, kSide);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height));
  Resampler r;
  for (auto _ : state) {
    r.reach(mask, kSide, kSide, shift, area, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Resample_SaturationReach)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
