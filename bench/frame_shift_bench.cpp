// Measuring a light's shift against the reference at 1024 x 1024 pixels: a
// star field with sky noise, the frames moved by a few pixels.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tools/import/frame_shift.h"

namespace {

constexpr int kSide = 1024;

struct Field {
  std::vector<double> reference;
  std::vector<std::vector<double>> frames;

  Field() {
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::normal_distribution<double> noise(0, 10);
    std::vector<double> stars;
    for (int i = 0; i < 600; ++i) {
      stars.push_back(uniform(engine) * kSide);
      stars.push_back(uniform(engine) * kSide);
      stars.push_back(40 * std::pow(100.0, uniform(engine)));
    }
    const auto render = [&](double dx, double dy) {
      std::vector<double> f(static_cast<std::size_t>(kSide) * kSide);
      for (double& v : f) v = noise(engine);
      for (std::size_t i = 0; i < stars.size(); i += 3) {
        const double cx = stars[i] + dx, cy = stars[i + 1] + dy;
        for (int y = std::max(0, static_cast<int>(cy) - 6); y < std::min(kSide, static_cast<int>(cy) + 7); ++y)
          for (int x = std::max(0, static_cast<int>(cx) - 6); x < std::min(kSide, static_cast<int>(cx) + 7); ++x)
            f[static_cast<std::size_t>(y) * kSide + static_cast<std::size_t>(x)] +=
                stars[i + 2] * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 3.4);
      }
      return f;
    };
    reference = render(0, 0);
    for (int i = 0; i < 4; ++i) frames.push_back(render(3.3 * i - 7.1, 11.7 - 2.9 * i));
  }
};

const Field& field() {
  static const Field f;
  return f;
}

void BM_ShiftFinder_Reference(benchmark::State& state) {
  const Field& f = field();
  for (auto _ : state) {
    const kadrix::import::ShiftFinder finder(f.reference, kSide, kSide);
    benchmark::DoNotOptimize(&finder);
  }
}
BENCHMARK(BM_ShiftFinder_Reference)->Unit(benchmark::kMillisecond);

// One finder for every thread, as the import shares it.
void BM_ShiftFinder_Measure(benchmark::State& state) {
  static const kadrix::import::ShiftFinder finder(field().reference, kSide, kSide);
  const Field& f = field();
  std::size_t i = static_cast<std::size_t>(state.thread_index());
  for (auto _ : state) {
    const kadrix::import::FrameShift s = finder.measure(f.frames[i++ % f.frames.size()]);
    benchmark::DoNotOptimize(s.dx);
  }
}
BENCHMARK(BM_ShiftFinder_Measure)->Unit(benchmark::kMillisecond)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
