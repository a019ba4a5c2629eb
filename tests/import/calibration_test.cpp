// The pedestal's lower median held to the straightforward one, a copy of
// the finite values and nth_element, bit for bit: values over many
// magnitudes, close together, tied, mixed with NaN and infinities, and
// zeros of both signs at the middle. A master built two frames at a time
// held to one built a frame at a time.

#include "tools/import/calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace {

double straightforward(std::vector<double> values) {
  std::vector<double> finite;
  for (const double v : values)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty()) return 0;
  const auto middle = finite.begin() + static_cast<std::ptrdiff_t>((finite.size() - 1) / 2);
  std::nth_element(finite.begin(), middle, finite.end());
  return *middle;
}

struct MedianCase {
  std::string name;
  std::function<double(std::mt19937_64&, std::size_t)> value;
};

TEST(LowerMedian, SameBitsAsNthElementOverACopy) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<MedianCase> cases = {
      {"dark current", [](std::mt19937_64& r, std::size_t) { return std::normal_distribution<double>(1300, 40)(r); }},
      {"magnitudes and signs",
       [](std::mt19937_64& r, std::size_t) {
         const double m = std::ldexp(1.0, std::uniform_int_distribution<int>(-60, 60)(r));
         return (r() % 2 == 0 ? -m : m) * std::uniform_real_distribution<double>(1, 2)(r);
       }},
      {"within a few units in the last place",
       [](std::mt19937_64& r, std::size_t) { return std::nextafter(1300.0, 1300.0 + static_cast<double>(r() % 9)); }},
      {"ties", [](std::mt19937_64& r, std::size_t) { return static_cast<double>(r() % 5) - 2; }},
      {"missing samples",
       [](std::mt19937_64& r, std::size_t) {
         const std::uint64_t pick = r() % 10;
         return pick == 0 ? nan : pick == 1 ? inf : pick == 2 ? -inf : std::normal_distribution<double>(-5, 3)(r);
       }},
      {"zeros of both signs",
       [](std::mt19937_64& r, std::size_t) {
         const std::uint64_t pick = r() % 8;
         return pick < 3 ? -0.0 : pick < 6 ? 0.0 : pick == 6 ? -1.0 : 1.0;
       }},
      {"nothing finite", [](std::mt19937_64& r, std::size_t) { return r() % 2 == 0 ? nan : -inf; }},
      {"one value", [](std::mt19937_64&, std::size_t i) { return i == 7 ? 42.5 : nan; }},
  };
  for (const MedianCase& c : cases) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t{9}, std::size_t{1000}, std::size_t{70001}}) {
      for (const std::uint64_t seed : {1u, 2u}) {
        SCOPED_TRACE(c.name + ", " + std::to_string(size) + " values, seed " + std::to_string(seed));
        std::mt19937_64 random(seed);
        std::vector<double> values(size);
        for (std::size_t i = 0; i < size; ++i) values[i] = c.value(random, i);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(kadrix::import::lower_median(values)),
                  std::bit_cast<std::uint64_t>(straightforward(values)));
      }
    }
  }
}

TEST(MasterBuilder, TwoFramesAtOnceGiveTheBitsOfOneAfterAnother) {
  constexpr std::int32_t width = 13, height = 3;
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double samples[] = {-0.0, 0.0, 1.0, 1.0, -2.5, 65535, inf, -inf, std::numeric_limits<double>::quiet_NaN(), 7.25};
  std::mt19937_64 random(5);
  constexpr int frames = 5;
  std::vector<std::vector<double>> frame(frames, std::vector<double>(width * height));
  for (std::vector<double>& f : frame)
    for (double& v : f) v = samples[random() % std::size(samples)];
  const auto row = [&](int f, std::int32_t y) {
    return std::span<const double>(frame[static_cast<std::size_t>(f)]).subspan(static_cast<std::size_t>(y) * width, width);
  };
  const auto bits = [](const std::vector<double>& master) {
    std::vector<std::uint64_t> b;
    for (const double v : master) b.push_back(std::bit_cast<std::uint64_t>(v));
    return b;
  };
  kadrix::import::MasterBuilder one(width, height);
  for (int f = 0; f < frames; ++f) {
    const std::int64_t number = one.next_frame();
    for (std::int32_t y = 0; y < height; ++y) one.add_row(number, y, row(f, y));
  }
  // Pairs from the first frame on, and from the second.
  for (const int single : {frames - 1, 0}) {
    SCOPED_TRACE("frame alone: " + std::to_string(single + 1));
    kadrix::import::MasterBuilder two(width, height);
    for (int f = 0; f < frames;) {
      const std::int64_t number = two.next_frame();
      if (f == single) {
        for (std::int32_t y = 0; y < height; ++y) two.add_row(number, y, row(f, y));
        ++f;
        continue;
      }
      two.next_frame();
      for (std::int32_t y = 0; y < height; ++y) two.add_rows(number, y, row(f, y), row(f + 1, y));
      f += 2;
    }
    EXPECT_EQ(bits(two.finish()), bits(one.finish()));
  }
}

}  // namespace
