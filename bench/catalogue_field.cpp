// A field of known Gaussian stars for scripts/catalogue_bench.sh: frames
// of 8-bit BMP with sky and noise, isolated stars, close pairs and one
// star saturated in every frame, and the truth as CSV.
//   kadrix_catalogue_field DIR NAME [size] [frames] [sigma]
// writes DIR/NAME01.BMP ..., DIR/NAME.list and DIR/NAME_truth.csv
// (x,y,peak,kind,group: kind isolated, pair or saturated; y = 0 the top
// row; peak before clipping, above the sky).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bmp/bmp_writer.h"

namespace {

struct Random {
  std::uint64_t state;
  double uniform() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  }
  double normal() { return std::sqrt(-2 * std::log(uniform())) * std::cos(2 * M_PI * uniform()); }
};

struct Star {
  double x, y, peak, sigma;
  const char* kind;
  int group;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: kadrix_catalogue_field DIR NAME [size] [frames] [sigma]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string name = argv[2];
  const int size = argc > 3 ? std::atoi(argv[3]) : 1024;
  const int frames = argc > 4 ? std::atoi(argv[4]) : 20;
  const double psf = argc > 5 ? std::atof(argv[5]) : 1.6;
  const double sky = 40, noise = 4;
  Random random{20261211};

  std::vector<Star> stars;
  const auto clear = [&stars](double x, double y, double gap) {
    for (const Star& s : stars)
      if (std::hypot(s.x - x, s.y - y) < gap) return false;
    return true;
  };
  // The saturated star in the middle: sigma 4, peak 8000 before clipping.
  stars.push_back({size / 2.0 + 0.3, size / 2.0 - 0.2, 8000, 4.0, "saturated", 0});
  // Close pairs, 2 to 6 pixels apart, flux ratios 0.5 to 1.
  for (int p = 0; p < 33; ++p) {
    for (;;) {
      const double x = 30 + random.uniform() * (size - 60), y = 30 + random.uniform() * (size - 60);
      if (!clear(x, y, 40)) continue;
      const double gap = 2 + 4 * p / 32.0;
      const double angle = random.uniform() * M_PI;
      const double peak = 60 + random.uniform() * 100;
      stars.push_back({x, y, peak, psf, "pair", p + 1});
      stars.push_back({x + gap * std::cos(angle), y + gap * std::sin(angle), peak * (0.5 + 0.5 * random.uniform()), psf,
                       "pair", p + 1});
      break;
    }
  }
  // Isolated stars, peaks from 15 to 180 (some over 215 clip in places).
  for (int k = 0; k < 400; ++k) {
    for (int tries = 0; tries < 1000; ++tries) {
      const double x = 12 + random.uniform() * (size - 24), y = 12 + random.uniform() * (size - 24);
      if (!clear(x, y, 24)) continue;
      stars.push_back({x, y, 15 * std::pow(12.0, random.uniform()), psf, "isolated", 0});
      break;
    }
  }

  // The noise-free field, then frames of it with their own noise.
  std::vector<double> field(static_cast<std::size_t>(size) * size, sky);
  for (const Star& s : stars) {
    const int reach = static_cast<int>(std::ceil(6 * s.sigma + std::sqrt(2 * std::log(std::max(s.peak, 1.0))) * s.sigma));
    for (int y = std::max(0, static_cast<int>(s.y) - reach); y <= std::min(size - 1, static_cast<int>(s.y) + reach); ++y)
      for (int x = std::max(0, static_cast<int>(s.x) - reach); x <= std::min(size - 1, static_cast<int>(s.x) + reach); ++x)
        field[static_cast<std::size_t>(y) * size + x] +=
            s.peak * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (2 * s.sigma * s.sigma));
  }
  std::vector<std::uint8_t> frame(field.size());
  for (int f = 1; f <= frames; ++f) {
    for (std::size_t i = 0; i < field.size(); ++i)
      frame[i] = static_cast<std::uint8_t>(std::clamp(std::lround(field[i] + noise * random.normal()), 0L, 255L));
    char number[16];
    std::snprintf(number, sizeof number, "%02d", f);
    const bool ok = kadrix::write_bmp(dir + "/" + name + number + ".BMP", size, size, kadrix::grey_palette(),
                                      [&](std::int32_t y, std::span<std::uint8_t> row) {
                                        std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(y) * size, size,
                                                    row.begin());
                                      });
    if (!ok) {
      std::fprintf(stderr, "cannot write frame %d\n", f);
      return 1;
    }
  }
  FILE* list = std::fopen((dir + "/" + name + ".list").c_str(), "w");
  FILE* truth = std::fopen((dir + "/" + name + "_truth.csv").c_str(), "w");
  if (!list || !truth) return 1;
  std::fprintf(list, "%s\n", name.c_str());
  std::fprintf(truth, "x,y,peak,kind,group,sigma\n");
  for (const Star& s : stars) std::fprintf(truth, "%.4f,%.4f,%.3f,%s,%d,%.3f\n", s.x, s.y, s.peak, s.kind, s.group, s.sigma);
  std::fclose(list);
  std::fclose(truth);
  return 0;
}
