#pragma once
// A random source whose output is the same on every compiler and platform:
// integer generators and plain IEEE arithmetic (+ - * / and sqrt) only.
// The standard library's distributions and the libm exponential may differ
// in their last bits between implementations, so neither is used.

#include <cstdint>

namespace kadrix::demo {

// splitmix64 finaliser: spreads any 64-bit value over all bits.
inline std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// xoshiro256** state.
struct Random {
  std::uint64_t s[4];
};

// An independent stream for (seed, a, b): objects and frames each get their
// own, so changing the frame count leaves every other frame as it was.
inline Random make_random(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
  std::uint64_t z = mix64(seed ^ mix64(a * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull));
  z = mix64(z ^ mix64(b * 0xD1B54A32D192ED03ull + 0x8CB92BA72F3D8DD7ull));
  Random r{};
  for (auto& word : r.s) {
    z += 0x9E3779B97F4A7C15ull;
    word = mix64(z);
  }
  return r;
}

inline std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

inline std::uint64_t next_u64(Random& r) {
  const std::uint64_t result = rotl(r.s[1] * 5, 7) * 9;
  const std::uint64_t t = r.s[1] << 17;
  r.s[2] ^= r.s[0];
  r.s[3] ^= r.s[1];
  r.s[1] ^= r.s[2];
  r.s[0] ^= r.s[3];
  r.s[2] ^= t;
  r.s[3] = rotl(r.s[3], 45);
  return result;
}

// Uniform in [0, 1), 53 random bits.
inline double uniform(Random& r) {
  return static_cast<double>(next_u64(r) >> 11) * (1.0 / 9007199254740992.0);
}

// Uniform in [lo, hi].
inline double uniform(Random& r, double lo, double hi) { return lo + (hi - lo) * uniform(r); }

// Uniform integer in [lo, hi]; the bias of the 32-bit multiply is far
// below anything a demo could show.
inline int uniform_int(Random& r, int lo, int hi) {
  const std::uint64_t span = static_cast<std::uint64_t>(static_cast<std::int64_t>(hi) - lo + 1);
  return lo + static_cast<int>(((next_u64(r) >> 32) * span) >> 32);
}

// Approximately standard normal: the sum of the eight bytes of one random
// word (Irwin-Hall, n = 8), centred and scaled to unit variance. One draw
// per pixel keeps large frames fast; tails end near 4.9 sigma.
inline double normal(Random& r) {
  std::uint64_t v = next_u64(r);
  v = (v & 0x00FF00FF00FF00FFull) + ((v >> 8) & 0x00FF00FF00FF00FFull);
  v = v + (v >> 16);
  v = v + (v >> 32);
  const int sum = static_cast<int>(v & 0xFFFF);  // 0 .. 2040, mean 1020
  return static_cast<double>(sum - 1020) * 0.004784196154532612;  // 1 / sqrt(8 * 65535 / 12)
}

// e^x for x <= 0 with basic arithmetic only: halve x into [-1/16, 0],
// sum the Taylor series, square back up.
inline double exp_nonpositive(double x) {
  if (x > 0.0) x = 0.0;
  if (x < -700.0) return 0.0;
  int halvings = 0;
  while (x < -0.0625) {
    x *= 0.5;
    ++halvings;
  }
  double term = 1.0;
  double sum = 1.0;
  for (int n = 1; n <= 10; ++n) {
    term = term * x / n;
    sum += term;
  }
  for (int i = 0; i < halvings; ++i) sum *= sum;
  return sum;
}

}  // namespace kadrix::demo
