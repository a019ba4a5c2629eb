// The pedestal's lower median held to the straightforward one, a copy of
// the finite values and nth_element, bit for bit: values over many
// magnitudes, close together, tied, mixed with NaN and infinities, and
// zeros of both signs at the middle.

#include "tools/import/calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
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

}  // namespace
