#include <algorithm>
#include <cstring>
#include <vector>

#include "stats/background.h"

// The straightforward background map sums up to 121 window values per pixel
// in a fixed order. Here the same sequence of additions runs for many pixels
// side by side: the unusable and flagged pixels become exact zeros in padded
// copies of the window rows, and adding +0.0 to a sum that is never negative
// leaves it unchanged, so every sum is bit-identical. The counts are whole
// numbers and are kept as running column totals.

namespace kadrix::fast {

namespace {

// Mirrors the usable area of the straightforward map.
constexpr int kFirstUsableRow = 2;
constexpr int kRowsLeftOutAtBottom = 3;
constexpr int kFirstUsableColumn = 3;
constexpr int kColumnsLeftOutAtRight = 3;

typedef double Double2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef double Double8 __attribute__((vector_size(64)));

// Enough independent sums in flight to hide the latency of an addition.
constexpr int kAccumulators = 8;

// out[x] = sum over the rows, in order, of row[x] + ... + row[x + taps - 1].
template <class Vector>
inline __attribute__((always_inline)) void window_sums(const double* const* rows, int row_count, int taps,
                                                      int width, double* out) {
  constexpr int kLanes = sizeof(Vector) / sizeof(double);
  constexpr int kTile = kLanes * kAccumulators;
  int x = 0;
  for (; x + kTile <= width; x += kTile) {
    Vector acc[kAccumulators] = {};  // +0.0, as the straightforward sum starts
    for (int i = 0; i < row_count; ++i) {
      const double* row = rows[i] + x;
      for (int dx = 0; dx < taps; ++dx) {
        for (int a = 0; a < kAccumulators; ++a) {
          Vector v;
          std::memcpy(&v, row + dx + a * kLanes, sizeof v);
          acc[a] = acc[a] + v;
        }
      }
    }
    for (int a = 0; a < kAccumulators; ++a) std::memcpy(out + x + a * kLanes, &acc[a], sizeof(Vector));
  }
  for (; x < width; ++x) {
    double acc = 0.0;
    for (int i = 0; i < row_count; ++i) {
      for (int dx = 0; dx < taps; ++dx) acc = acc + rows[i][x + dx];
    }
    out[x] = acc;
  }
}

template <class Vector>
inline __attribute__((always_inline)) BackgroundMap background_map(std::span<const double> mean_image,
                                                                  std::span<const std::uint8_t> bright_mask,
                                                                  std::int32_t width, std::int32_t height,
                                                                  int r) {
  const std::size_t w = static_cast<std::size_t>(width);
  BackgroundMap background(w * static_cast<std::size_t>(height));
  const int taps = 2 * r + 1;
  const std::size_t padded = w + 2 * static_cast<std::size_t>(r);
  const int first_row = kFirstUsableRow;
  const int last_row = height - 1 - kRowsLeftOutAtBottom;
  const std::size_t first_column = kFirstUsableColumn;
  const std::size_t end_column = static_cast<std::size_t>(std::max(width - kColumnsLeftOutAtRight, kFirstUsableColumn));

  // The rows of the current window, masked and padded, in a ring of taps
  // slots, and per padded column how many window pixels count. Columns
  // outside the usable area stay zero in every slot.
  std::vector<double> ring(static_cast<std::size_t>(taps) * padded, 0.0);
  std::vector<int> column_counts(padded, 0);
  auto slot = [&](int ky) { return ring.data() + static_cast<std::size_t>(ky % taps) * padded; };
  auto count_row = [&](int ky, int step) {
    int* __restrict count = column_counts.data() + r;
    const std::uint8_t* __restrict flag = bright_mask.data() + static_cast<std::size_t>(ky) * w;
    for (std::size_t kx = first_column; kx < end_column; ++kx) count[kx] += step * (flag[kx] == 0);
  };
  auto enter = [&](int ky) {
    double* __restrict row = slot(ky) + r;
    const double* __restrict mean = mean_image.data() + static_cast<std::size_t>(ky) * w;
    const std::uint8_t* __restrict flag = bright_mask.data() + static_cast<std::size_t>(ky) * w;
    for (std::size_t kx = first_column; kx < end_column; ++kx) {
      const double value = mean[kx];
      row[kx] = flag[kx] == 0 ? value : 0.0;
    }
    count_row(ky, 1);
  };

  std::vector<const double*> rows;
  rows.reserve(static_cast<std::size_t>(taps));
  std::vector<double> sums(w);
  std::vector<int> counts(w);
  int entered = first_row;  // the column totals hold rows [left, entered)
  int left = first_row;
  for (int y = 0; y < height; ++y) {
    const int lo = std::max(y - r, first_row);
    const int hi = std::min(y + r, last_row);
    for (; entered <= hi; ++entered) enter(entered);
    for (; left < lo && left < entered; ++left) count_row(left, -1);

    rows.clear();
    for (int ky = lo; ky <= hi; ++ky) rows.push_back(slot(ky));
    window_sums<Vector>(rows.data(), static_cast<int>(rows.size()), taps, width, sums.data());

    // Window counts by a running total over the columns; the divisions then
    // run side by side, each by a nonzero divisor so none can trap.
    int n = 0;
    for (int j = 0; j < taps - 1; ++j) n += column_counts[static_cast<std::size_t>(j)];
    for (std::size_t x = 0; x < w; ++x) {
      n += column_counts[x + static_cast<std::size_t>(taps - 1)];
      counts[x] = n;
      n -= column_counts[x];
    }
    double* __restrict out = background.data() + static_cast<std::size_t>(y) * w;
    const double* __restrict sum = sums.data();
    const int* __restrict count = counts.data();
    for (std::size_t x = 0; x < w; ++x) {
      // An empty window has a sum of +0.0: 0 / 1 + 255 gives the empty value.
      const int n = count[x];
      const double divisor = static_cast<double>(n > 0 ? n : 1);
      const double empty = n > 0 ? 0.0 : kEmptyWindowValue;
      out[x] = sum[x] / divisor + empty;
    }
  }
  return background;
}

BackgroundMap background_generic(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                                 std::int32_t width, std::int32_t height, int r) {
  return background_map<Double2>(mean_image, bright_mask, width, height, r);
}

bool always() { return true; }

#if defined(__x86_64__) || defined(__i386__)
// Wider variants are chosen at run time, never assumed of the build machine.
__attribute__((target("avx2"))) BackgroundMap background_avx2(std::span<const double> mean_image,
                                                              std::span<const std::uint8_t> bright_mask,
                                                              std::int32_t width, std::int32_t height, int r) {
  return background_map<Double4>(mean_image, bright_mask, width, height, r);
}

__attribute__((target("avx512f"))) BackgroundMap background_avx512(std::span<const double> mean_image,
                                                                   std::span<const std::uint8_t> bright_mask,
                                                                   std::int32_t width, std::int32_t height,
                                                                   int r) {
  return background_map<Double8>(mean_image, bright_mask, width, height, r);
}

bool has_avx512() { return __builtin_cpu_supports("avx512f"); }
bool has_avx2() { return __builtin_cpu_supports("avx2"); }

constexpr BackgroundKernel kKernels[] = {
    {"avx512", has_avx512, background_avx512},
    {"avx2", has_avx2, background_avx2},
    {"sse2", always, background_generic},
};
#else
constexpr BackgroundKernel kKernels[] = {
    {"generic", always, background_generic},
};
#endif

}  // namespace

std::span<const BackgroundKernel> background_kernels() { return kKernels; }

BackgroundMap estimate_background(std::span<const double> mean_image,
                                  std::span<const std::uint8_t> bright_mask, std::int32_t width,
                                  std::int32_t height, int r) {
  static const BackgroundKernel& best = *std::find_if(
      std::begin(kKernels), std::end(kKernels), [](const BackgroundKernel& k) { return k.supported(); });
  return best.map(mean_image, bright_mask, width, height, r);
}

}  // namespace kadrix::fast
