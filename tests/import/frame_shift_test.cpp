// Shift measurement against scenes rendered analytically at known
// sub-pixel positions (never by resampling another frame): star fields
// calibrated and raw (hot pixels, sky and vignetting left in), and a
// cratered disc like the Moon. Also
// which frames match the reference at all, missing samples, and the same
// bits on any number of threads.

#include "tools/import/frame_shift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using kadrix::import::FrameShift;
using kadrix::import::ShiftFinder;

// Normal deviates from a fully specified engine, so every library draws
// the same noise.
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : engine_(seed) {}
  double uniform() { return (static_cast<double>(engine_() >> 11) + 0.5) * 0x1.0p-53; }
  double normal() {
    const double u = uniform(), v = uniform();
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * std::numbers::pi * v);
  }

 private:
  std::mt19937_64 engine_;
};

struct Star {
  double x, y, flux;
};

// A field of stars scattered over a region larger than the frame, so that
// shifted frames gain and lose stars at their edges; fluxes log-uniform.
std::vector<Star> star_field(int w, int h, std::uint64_t seed, int count) {
  Noise r(seed);
  std::vector<Star> stars;
  for (int i = 0; i < count; ++i) {
    const double x = (r.uniform() * 1.6 - 0.3) * w;
    const double y = (r.uniform() * 1.6 - 0.3) * h;
    const double flux = 400 * std::pow(100.0, r.uniform());
    stars.push_back({x, y, flux});
  }
  return stars;
}

// Fraction of a Gaussian of width sigma centred at c that falls on [a, b).
double gauss_share(double a, double b, double c, double sigma) {
  const double k = 1 / (sigma * std::numbers::sqrt2);
  return 0.5 * (std::erf((b - c) * k) - std::erf((a - c) * k));
}

// Gaussian stars integrated over each pixel (pixel x covers [x, x + 1)).
void add_stars(std::vector<double>& f, int w, int h, const std::vector<Star>& stars, double dx, double dy,
               double scale) {
  constexpr double sigma = 1.3;
  for (const Star& s : stars) {
    const double cx = s.x + dx, cy = s.y + dy;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - 6 * sigma)));
    const int x1 = std::min(w - 1, static_cast<int>(std::ceil(cx + 6 * sigma)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - 6 * sigma)));
    const int y1 = std::min(h - 1, static_cast<int>(std::ceil(cy + 6 * sigma)));
    for (int y = y0; y <= y1; ++y) {
      const double gy = gauss_share(y, y + 1, cy, sigma);
      for (int x = x0; x <= x1; ++x)
        f[static_cast<std::size_t>(y * w + x)] += scale * s.flux * gy * gauss_share(x, x + 1, cx, sigma);
    }
  }
}

// Moffat stars (beta 2.5, FWHM 3 pixels: wide wings), sampled 4 x 4 times
// in each pixel.
void add_moffat_stars(std::vector<double>& f, int w, int h, const std::vector<Star>& stars, double dx, double dy) {
  constexpr double beta = 2.5, alpha = 2.66, reach = 14;
  const double norm = (beta - 1) / (std::numbers::pi * alpha * alpha) / 16;
  for (const Star& s : stars) {
    const double cx = s.x + dx, cy = s.y + dy;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - reach)));
    const int x1 = std::min(w - 1, static_cast<int>(std::ceil(cx + reach)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - reach)));
    const int y1 = std::min(h - 1, static_cast<int>(std::ceil(cy + reach)));
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        double sum = 0;
        for (int j = 0; j < 4; ++j)
          for (int i = 0; i < 4; ++i) {
            const double ex = x + (i + 0.5) / 4 - cx, ey = y + (j + 0.5) / 4 - cy;
            sum += std::pow(1 + (ex * ex + ey * ey) / (alpha * alpha), -beta);
          }
        f[static_cast<std::size_t>(y * w + x)] += s.flux * norm * sum;
      }
  }
}

// Noise of a camera: Poisson-like on the signal plus read noise.
void add_noise(std::vector<double>& f, std::uint64_t seed) {
  Noise r(seed);
  for (double& v : f) v += std::sqrt(std::max(v, 0.0) + 25) * r.normal();
}

// A disc like the Moon: darker towards the limb, a soft edge, craters with
// bright rims and a rolling texture, all functions of the position.
struct Moon {
  double cx, cy, radius;
  struct Crater {
    double x, y, r, depth;
  };
  std::vector<Crater> craters;

  Moon(int w, int h, std::uint64_t seed) {
    cx = 0.5 * w;
    cy = 0.5 * h;
    radius = 0.23 * std::min(w, h);
    Noise r(seed);
    for (int i = 0; i < 40; ++i) {
      const double a = 2 * std::numbers::pi * r.uniform();
      const double d = radius * std::sqrt(r.uniform()) * 0.9;
      craters.push_back({cx + d * std::cos(a), cy + d * std::sin(a), 1.5 + 6 * r.uniform(), 0.1 + 0.3 * r.uniform()});
    }
  }

  double at(double x, double y) const {
    const double ex = x - cx, ey = y - cy;
    const double d = std::sqrt(ex * ex + ey * ey);
    const double edge = 0.5 * (1 + std::tanh((radius - d) / 0.8));
    if (edge < 1e-12) return 0;
    const double mu = std::sqrt(std::max(0.0, 1 - (d * d) / (radius * radius)));
    double v = 0.6 + 0.4 * mu;
    v *= 1 + 0.08 * std::sin(0.21 * x + 0.13 * y) * std::sin(0.05 * x - 0.17 * y);
    for (const Crater& c : craters) {
      const double qx = x - c.x, qy = y - c.y;
      const double q = std::sqrt(qx * qx + qy * qy);
      const double t = q / c.r;
      v *= 1 - c.depth * std::exp(-t * t) + 0.5 * c.depth * std::exp(-(t - 1.1) * (t - 1.1) / 0.05);
    }
    return 3000 * edge * v;
  }
};

// Calibrated Gaussian or Moffat stars; raw frames of the Gaussian field
// (hot pixels, sky and vignetting left in); the Moon.
enum class Scene { stars, moffat_stars, hot_pixels, moon };

struct Frames {
  int w, h;
  Scene scene;
  std::vector<Star> stars;
  std::vector<std::pair<std::size_t, double>> hot;  // fixed pattern: pixel, value
  Moon moon;

  Frames(int width, int height, Scene s, std::uint64_t seed)
      : w(width), h(height), scene(s), stars(star_field(width, height, seed, width * height / 600)),
        moon(width, height, seed) {
    if (scene != Scene::hot_pixels) return;
    Noise r(seed ^ 0x5eedULL);
    const auto n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    for (std::size_t i = 0; i < n / 300; ++i)
      hot.push_back({static_cast<std::size_t>(r.uniform() * static_cast<double>(n)), 200 * std::pow(50.0, r.uniform())});
  }

  // The optics' fall-off towards the corners, left in without a flat.
  void vignette(std::vector<double>& f) const {
    const double r2max = 0.25 * (w * w + h * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const double ex = x + 0.5 - 0.5 * w, ey = y + 0.5 - 0.5 * h;
        f[static_cast<std::size_t>(y * w + x)] *= 1 - 0.25 * (ex * ex + ey * ey) / r2max;
      }
  }

  // The scene with its features moved by (dx, dy), noise from seed.
  std::vector<double> render(double dx, double dy, std::uint64_t seed, double star_scale = 1, double sky = 100) const {
    std::vector<double> f(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), sky);
    if (scene == Scene::moon) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f[static_cast<std::size_t>(y * w + x)] += moon.at(x + 0.5 - dx, y + 0.5 - dy);
    } else if (scene == Scene::moffat_stars) {
      add_moffat_stars(f, w, h, stars, dx, dy);
    } else {
      add_stars(f, w, h, stars, dx, dy, star_scale);
    }
    if (scene == Scene::hot_pixels) vignette(f);
    for (const auto& [i, v] : hot) f[i] += v;
    add_noise(f, seed);
    // Calibrated frames have the sky level taken off.
    if (scene != Scene::hot_pixels)
      for (double& v : f) v -= sky;
    return f;
  }
};

struct AccuracyCase {
  const char* title;
  int w, h;
  Scene scene;
  double rms_limit;  // RMS of the distance to the true shift
  double worst;      // loose bound on a single frame
};

std::ostream& operator<<(std::ostream& os, const AccuracyCase& c) { return os << c.title; }

// Shifts in both directions, sub-pixel, from small to near a quarter of the
// smaller side.
std::vector<std::pair<double, double>> shifts_for(int w, int h, std::uint64_t seed) {
  const double q = 0.24 * std::min(w, h);
  std::vector<std::pair<double, double>> s = {{0.37, -0.21}, {-q, 0.5}, {q * 0.97, -q * 0.93}, {-3.71, 12.29}};
  Noise r(seed);
  for (int i = 0; i < 8; ++i) s.push_back({(2 * r.uniform() - 1) * q, (2 * r.uniform() - 1) * q});
  return s;
}

class ShiftAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(ShiftAccuracy, RenderedFramesComeOutAtTheirTrueShift) {
  const AccuracyCase& c = GetParam();
  const Frames scene(c.w, c.h, c.scene, 1000 + static_cast<std::uint64_t>(c.w));
  const std::vector<double> reference = scene.render(0, 0, 1);
  const ShiftFinder finder(reference, c.w, c.h);
  double sum = 0;
  int n = 0;
  std::uint64_t seed = 2;
  for (const auto& [dx, dy] : shifts_for(c.w, c.h, 77 + static_cast<std::uint64_t>(c.h))) {
    const FrameShift s = finder.measure(scene.render(dx, dy, seed++));
    const double e = std::hypot(s.dx - dx, s.dy - dy);
    EXPECT_TRUE(s.matched) << "true shift " << dx << ", " << dy << " confidence " << s.confidence;
    EXPECT_LT(e, c.worst) << "true shift " << dx << ", " << dy << " measured " << s.dx << ", " << s.dy;
    sum += e * e;
    ++n;
  }
  const double rms = std::sqrt(sum / n);
  EXPECT_LT(rms, c.rms_limit);
  RecordProperty("rms", std::to_string(rms));
  std::printf("[ rms      ] %s %.4f px\n", c.title, rms);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, ShiftAccuracy,
    ::testing::Values(AccuracyCase{"stars_calibrated_257x190", 257, 190, Scene::stars, 0.05, 0.15},
                      AccuracyCase{"stars_calibrated_prime_523x384", 523, 384, Scene::stars, 0.05, 0.15},
                      AccuracyCase{"stars_calibrated_512x512", 512, 512, Scene::stars, 0.05, 0.15},
                      AccuracyCase{"moffat_stars_calibrated_300x211", 300, 211, Scene::moffat_stars, 0.05, 0.15},
                      AccuracyCase{"stars_hot_pixels_257x190", 257, 190, Scene::hot_pixels, 0.1, 0.3},
                      AccuracyCase{"stars_hot_pixels_prime_401x300", 401, 300, Scene::hot_pixels, 0.1, 0.3},
                      AccuracyCase{"moon_257x190", 257, 190, Scene::moon, 0.1, 0.3},
                      AccuracyCase{"moon_prime_331x256", 331, 256, Scene::moon, 0.1, 0.3}),
    [](const ::testing::TestParamInfo<AccuracyCase>& info) { return std::string(info.param.title); });

}  // namespace

namespace {

// Frames of the night that must or must not be taken for the reference's
// field. The field is rendered at one shift; each case makes its frame.
struct MatchCase {
  const char* title;
  std::function<std::vector<double>(const Frames& field, double dx, double dy, std::uint64_t seed)> frame;
  bool matched;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c) { return os << c.title; }

class ShiftMatching : public ::testing::TestWithParam<MatchCase> {};

// A bright sky with slow structure in place of the stars.
void add_cloud(std::vector<double>& f, int w, int h) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      f[static_cast<std::size_t>(y * w + x)] += 300 + 200 * std::sin(x * 0.011 + y * 0.013) * std::cos(y * 0.021);
}

TEST_P(ShiftMatching, OnlyFramesOfTheFieldMatch) {
  const MatchCase& c = GetParam();
  constexpr int w = 401, h = 300;
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    const Frames field(w, h, Scene::stars, 40 + seed);
    const ShiftFinder finder(field.render(0, 0, 1), w, h);
    for (const auto& [dx, dy] : std::vector<std::pair<double, double>>{{5.3, -2.8}, {-61.4, 47.7}}) {
      const FrameShift s = finder.measure(c.frame(field, dx, dy, seed * 10));
      EXPECT_EQ(s.matched, c.matched) << "field " << seed << " shift " << dx << ", " << dy << " confidence "
                                      << s.confidence;
      EXPECT_EQ(s.matched, s.confidence >= kadrix::import::kMinShiftConfidence);
      if (c.matched) {
        EXPECT_LT(std::hypot(s.dx - dx, s.dy - dy), 0.1) << "field " << seed;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Night, ShiftMatching,
    ::testing::Values(
        MatchCase{"same_field", [](const Frames& f, double dx, double dy, std::uint64_t seed) { return f.render(dx, dy, seed); },
                  true},
        MatchCase{"thin_cloud_half_brightness",
                  [](const Frames& f, double dx, double dy, std::uint64_t seed) {
                    std::vector<double> v = f.render(dx, dy, seed, 0.5, 140);
                    for (int y = 0; y < f.h; ++y)
                      for (int x = 0; x < f.w; ++x) v[static_cast<std::size_t>(y * f.w + x)] += 30.0 * (x + y) / (f.w + f.h);
                    return v;
                  },
                  true},
        MatchCase{"cloud_over_the_field",
                  [](const Frames& f, double dx, double dy, std::uint64_t seed) {
                    std::vector<double> v = f.render(dx, dy, seed, 0.02, 100);
                    add_cloud(v, f.w, f.h);
                    return v;
                  },
                  false},
        MatchCase{"another_field",
                  [](const Frames& f, double dx, double dy, std::uint64_t seed) {
                    const Frames other(f.w, f.h, Scene::stars, 900 + seed);
                    return other.render(dx, dy, seed);
                  },
                  false},
        MatchCase{"blank_sky", [](const Frames& f, double dx, double dy, std::uint64_t seed) { return f.render(dx, dy, seed, 0); },
                  false}),
    [](const ::testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.title); });

TEST(FrameShift, TheReferenceAgainstItselfIsAtZero) {
  for (const Scene scene : {Scene::stars, Scene::hot_pixels, Scene::moon}) {
    const Frames field(211, 170, scene, 3);
    const std::vector<double> reference = field.render(0, 0, 1);
    const FrameShift s = ShiftFinder(reference, 211, 170).measure(reference);
    EXPECT_NEAR(s.dx, 0, 1e-6);
    EXPECT_NEAR(s.dy, 0, 1e-6);
    EXPECT_NEAR(s.correlation, 1, 1e-9);
    EXPECT_TRUE(s.matched);
  }
}

TEST(FrameShift, AFrameMovedPastTheSearchedLagsIsNotGivenAShift) {
  constexpr int w = 257, h = 190;
  for (const Scene scene : {Scene::stars, Scene::moon}) {
    const Frames field(w, h, scene, 21);
    const ShiftFinder finder(field.render(0, 0, 1), w, h);
    for (const auto& [dx, dy] : std::vector<std::pair<double, double>>{{0.4 * w, 3.2}, {-2.5, -0.45 * h}, {-0.38 * w, 0.36 * h}}) {
      const FrameShift s = finder.measure(field.render(dx, dy, 7));
      EXPECT_FALSE(s.matched) << "true shift " << dx << ", " << dy << " measured " << s.dx << ", " << s.dy;
    }
    // A quarter of the side is still found.
    const FrameShift s = finder.measure(field.render(0.25 * w, -0.25 * h, 8));
    EXPECT_TRUE(s.matched);
    EXPECT_LT(std::hypot(s.dx - 0.25 * w, s.dy + 0.25 * h), 0.15);
  }
}

TEST(FrameShift, MissingAndInfiniteSamplesAreLeftOut) {
  constexpr int w = 257, h = 190;
  const Frames field(w, h, Scene::stars, 8);
  std::vector<double> reference = field.render(0, 0, 1);
  std::vector<double> frame = field.render(-7.4, 3.6, 2);
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  Noise r(5);
  for (std::size_t i = 0; i < frame.size() / 100; ++i) {
    frame[static_cast<std::size_t>(r.uniform() * static_cast<double>(frame.size()))] = i % 2 ? nan : inf;
    reference[static_cast<std::size_t>(r.uniform() * static_cast<double>(frame.size()))] = i % 2 ? inf : nan;
  }
  for (int y = 100; y < 130; ++y)
    for (int x = 20; x < 60; ++x) frame[static_cast<std::size_t>(y * w + x)] = nan;  // a whole patch
  for (int x = 0; x < w; ++x) frame[static_cast<std::size_t>(x)] = -inf;              // a dead top row
  const FrameShift s = ShiftFinder(reference, w, h).measure(frame);
  EXPECT_TRUE(std::isfinite(s.dx) && std::isfinite(s.dy) && std::isfinite(s.confidence));
  EXPECT_TRUE(s.matched);
  EXPECT_LT(std::hypot(s.dx + 7.4, s.dy - 3.6), 0.15);
}

TEST(FrameShift, FramesWithNothingToMatchComeOutUnmatched) {
  constexpr int w = 64, h = 48;
  const Frames field(w, h, Scene::stars, 2);
  const std::vector<double> reference = field.render(0, 0, 1);
  const ShiftFinder finder(reference, w, h);
  const std::vector<double> undefined(reference.size(), std::numeric_limits<double>::quiet_NaN());
  const std::vector<double> flat(reference.size(), 12.5);
  const std::vector<double> wrong_size(reference.begin(), reference.end() - w);
  for (const std::vector<double>* frame : {&undefined, &flat, &wrong_size}) {
    const FrameShift s = finder.measure(*frame);
    EXPECT_FALSE(s.matched);
    EXPECT_EQ(s.confidence, 0);
    EXPECT_TRUE(std::isfinite(s.dx) && std::isfinite(s.dy));
  }
  // A reference with nothing in it matches nothing, itself included.
  const ShiftFinder blank(flat, w, h);
  EXPECT_FALSE(blank.measure(flat).matched);
  EXPECT_FALSE(blank.measure(reference).matched);
  EXPECT_FALSE(ShiftFinder(undefined, w, h).measure(reference).matched);
  EXPECT_FALSE(ShiftFinder(wrong_size, w, h).measure(reference).matched);
  const std::vector<double> tiny = {1, 2, 3, 4, 9, 4, 3, 2, 1};
  EXPECT_FALSE(ShiftFinder(tiny, 3, 3).measure(tiny).matched);
}

std::array<std::uint64_t, 4> bits(const FrameShift& s) {
  return {std::bit_cast<std::uint64_t>(s.dx), std::bit_cast<std::uint64_t>(s.dy),
          std::bit_cast<std::uint64_t>(s.confidence), std::bit_cast<std::uint64_t>(s.correlation)};
}

TEST(FrameShift, ThreadsGiveTheSameBitsAsOneAfterAnother) {
  constexpr int w = 199, h = 150;
  const Frames field(w, h, Scene::hot_pixels, 12);
  const std::vector<double> reference = field.render(0, 0, 1);
  const ShiftFinder finder(reference, w, h);
  std::vector<std::vector<double>> frames;
  for (int i = 0; i < 8; ++i) frames.push_back(field.render(0.37 * i - 1.2, 5.1 - 1.3 * i, 20 + static_cast<std::uint64_t>(i)));
  // Frames near one whole-pixel shift, in turn with others: the finder
  // keeps what it worked out for a shift for the next frame there.
  for (int i = 0; i < 6; ++i) {
    const double dx = i % 2 == 0 ? 2.1 + 0.07 * i : -3.3 + 0.05 * i;
    frames.push_back(field.render(dx, -1.2 + 0.04 * i, 40 + static_cast<std::uint64_t>(i)));
  }
  // Each frame measured by a finder of its own, fresh from the reference.
  std::vector<std::array<std::uint64_t, 4>> alone;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const FrameShift s = ShiftFinder(reference, w, h).measure(frames[i]);
    if (i >= 8) {
      EXPECT_TRUE(s.matched) << "frame " << i;
    }
    alone.push_back(bits(s));
  }
  std::vector<std::array<std::uint64_t, 4>> serial;
  for (const auto& f : frames) serial.push_back(bits(finder.measure(f)));
  EXPECT_EQ(serial, alone);

  constexpr int threads = 4;
  std::vector<std::vector<std::array<std::uint64_t, 4>>> seen(threads, std::vector<std::array<std::uint64_t, 4>>(frames.size()));
  {
    std::vector<std::jthread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        // Each thread goes through the frames from a different start.
        for (std::size_t k = 0; k < frames.size(); ++k) {
          const std::size_t i = (k + static_cast<std::size_t>(t) * 3) % frames.size();
          seen[static_cast<std::size_t>(t)][i] = bits(finder.measure(frames[i]));
        }
      });
  }
  for (int t = 0; t < threads; ++t) EXPECT_EQ(seen[static_cast<std::size_t>(t)], serial) << "thread " << t;
}

}  // namespace
