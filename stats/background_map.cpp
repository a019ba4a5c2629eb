#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "stats/background.h"

// The straightforward background map sums up to 121 window values per pixel
// in a fixed order. Here the same sequence of additions runs for many pixels
// side by side: the unusable and flagged pixels become exact zeros in padded
// copies of the window rows, and adding +0.0 to a sum that is never negative
// leaves it unchanged, so every sum is bit-identical. The counts are whole
// numbers and are kept as running column totals.

namespace kadrix {

namespace {

typedef double Double2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef double Double8 __attribute__((vector_size(64)));

// Independent sums in flight for each of the two output rows: enough to
// hide the latency of an addition.
constexpr int kAccumulators = 4;

template <class Vector>
inline __attribute__((always_inline)) void add_row(Vector* acc, const double* row, int taps) {
  constexpr int kLanes = sizeof(Vector) / sizeof(double);
  for (int dx = 0; dx < taps; ++dx) {
    for (int a = 0; a < kAccumulators; ++a) {
      Vector v;
      std::memcpy(&v, row + dx + a * kLanes, sizeof v);
      acc[a] = acc[a] + v;
    }
  }
}

template <class Vector>
inline __attribute__((always_inline)) void add_row_to_both(Vector* acc0, Vector* acc1, const double* row, int taps) {
  constexpr int kLanes = sizeof(Vector) / sizeof(double);
  for (int dx = 0; dx < taps; ++dx) {
    for (int a = 0; a < kAccumulators; ++a) {
      Vector v;
      std::memcpy(&v, row + dx + a * kLanes, sizeof v);
#if defined(__GNUC__) && !defined(__clang__)
      // Keeps the value in a register: loaded once for both sums, not
      // folded by GCC into each addition as a load of its own.
      __asm__("" : "+v"(v));
#endif
      acc0[a] = acc0[a] + v;
      acc1[a] = acc1[a] + v;
    }
  }
}

// The window sums of two output rows at once. rows[] holds the union of
// their windows in ascending order; output k sums rows [begin[k], end[k]):
// out[k][x] = sum over those rows, in order, of row[x] + ... + row[x + taps - 1].
// A row shared by both windows is loaded once and added to each sum in its
// own place of that sum's sequence.
template <class Vector>
inline __attribute__((always_inline)) void window_sums(const double* const* rows, const int* begin, const int* end,
                                                      int taps, int width, double* const* out) {
  constexpr int kLanes = sizeof(Vector) / sizeof(double);
  constexpr int kTile = kLanes * kAccumulators;
  const int first = std::min(begin[0], begin[1]);
  const int last = std::max(end[0], end[1]);
  int x = 0;
  for (; x + kTile <= width; x += kTile) {
    Vector acc0[kAccumulators] = {};  // +0.0, as the straightforward sums start
    Vector acc1[kAccumulators] = {};
    for (int i = first; i < last; ++i) {
      const bool to0 = i >= begin[0] && i < end[0];
      const bool to1 = i >= begin[1] && i < end[1];
      if (to0 && to1) add_row_to_both(acc0, acc1, rows[i] + x, taps);
      else if (to0) add_row(acc0, rows[i] + x, taps);
      else if (to1) add_row(acc1, rows[i] + x, taps);
    }
    for (int a = 0; a < kAccumulators; ++a) {
      std::memcpy(out[0] + x + a * kLanes, &acc0[a], sizeof(Vector));
      std::memcpy(out[1] + x + a * kLanes, &acc1[a], sizeof(Vector));
    }
  }
  for (; x < width; ++x) {
    for (int k = 0; k < 2; ++k) {
      double acc = 0.0;
      for (int i = begin[k]; i < end[k]; ++i) {
        for (int dx = 0; dx < taps; ++dx) acc = acc + rows[i][x + dx];
      }
      out[k][x] = acc;
    }
  }
}

template <class Vector>
inline __attribute__((always_inline)) void background_rows(std::span<const double> mean_image,
                                                          std::span<const std::uint8_t> bright_mask,
                                                          std::int32_t width, std::int32_t height, int r,
                                                          RowRange rows, std::span<double> background) {
  if (rows.first >= rows.end) return;
  const std::size_t w = static_cast<std::size_t>(width);
  const int taps = 2 * r + 1;
  const int slots = taps + 1;  // the windows of two neighbouring rows
  const std::size_t padded = w + 2 * static_cast<std::size_t>(r);
  const int first_row = kFirstUsableRow;
  const int last_row = height - 1 - kRowsLeftOutAtBottom;
  const std::size_t first_column = kFirstUsableColumn;
  const std::size_t end_column =
      static_cast<std::size_t>(std::max(width - kColumnsLeftOutAtRight, kFirstUsableColumn));

  // The window rows, masked and padded, in a ring of slots; columns outside
  // the usable area stay zero in every slot.
  std::vector<double> ring(static_cast<std::size_t>(slots) * padded, 0.0);
  auto slot = [&](int ky) { return ring.data() + static_cast<std::size_t>(ky % slots) * padded; };
  auto fill = [&](int ky) {
    double* __restrict row = slot(ky) + r;
    const double* __restrict mean = mean_image.data() + static_cast<std::size_t>(ky) * w;
    const std::uint8_t* __restrict flag = bright_mask.data() + static_cast<std::size_t>(ky) * w;
    for (std::size_t kx = first_column; kx < end_column; ++kx) {
      const double value = mean[kx];
      row[kx] = flag[kx] == 0 ? value : 0.0;
    }
  };

  // The first window row any output row of the range needs.
  const int first_needed = std::max(rows.first - r, first_row);
  // Per padded column, how many pixels of the current window count.
  std::vector<int> column_counts(padded, 0);
  auto count_row = [&](int ky, int step) {
    int* __restrict count = column_counts.data() + r;
    const std::uint8_t* __restrict flag = bright_mask.data() + static_cast<std::size_t>(ky) * w;
    for (std::size_t kx = first_column; kx < end_column; ++kx) count[kx] += step * (flag[kx] == 0);
  };
  int entered = first_needed;  // the column totals hold rows [left, entered)
  int left = first_needed;
  // The window counts of output row y, by a running total over the columns.
  auto window_counts = [&](int y, int* counts) {
    const int lo = std::max(y - r, first_row);
    const int hi = std::min(y + r, last_row);
    for (; entered <= hi; ++entered) count_row(entered, 1);
    for (; left < lo && left < entered; ++left) count_row(left, -1);
    int n = 0;
    for (int j = 0; j < taps - 1; ++j) n += column_counts[static_cast<std::size_t>(j)];
    for (std::size_t x = 0; x < w; ++x) {
      n += column_counts[x + static_cast<std::size_t>(taps - 1)];
      counts[x] = n;
      n -= column_counts[x];
    }
  };
  // The divisions run side by side, each by a nonzero divisor so none can
  // trap; an empty window has a sum of +0.0, and 0 / 1 + 255 is the empty value.
  auto divide = [&](const double* __restrict sum, const int* __restrict count, double* __restrict out) {
    for (std::size_t x = 0; x < w; ++x) {
      const int n = count[x];
      const double divisor = static_cast<double>(n > 0 ? n : 1);
      const double empty = n > 0 ? 0.0 : kEmptyWindowValue;
      out[x] = sum[x] / divisor + empty;
    }
  };

  // Written in full before they are read: taken without being cleared.
  std::vector<const double*> window(static_cast<std::size_t>(slots));
  const auto sums_memory = std::make_unique_for_overwrite<double[]>(2 * w);
  const auto counts_memory = std::make_unique_for_overwrite<int[]>(2 * w);
  double* const sums = sums_memory.get();
  int* const counts = counts_memory.get();
  int filled = first_needed;  // rows [.., filled) are in the ring
  for (int y = rows.first; y < rows.end; y += 2) {
    // The last row of an odd count runs as both rows of its pair.
    const int y1 = std::min(y + 1, rows.end - 1);
    const int lo[2] = {std::max(y - r, first_row), std::max(y1 - r, first_row)};
    const int hi[2] = {std::min(y + r, last_row), std::min(y1 + r, last_row)};
    window_counts(y, counts);
    window_counts(y1, counts + w);
    for (; filled <= hi[1]; ++filled) fill(filled);

    int begin[2] = {0, 0};
    int end[2] = {0, 0};
    int row_count = 0;
    for (int ky = lo[0]; ky <= hi[1]; ++ky) window[static_cast<std::size_t>(row_count++)] = slot(ky);
    for (int k = 0; k < 2; ++k) {
      if (lo[k] > hi[k]) continue;  // no usable row: the sum stays 0
      begin[k] = lo[k] - lo[0];
      end[k] = hi[k] - lo[0] + 1;
    }
    double* const out[2] = {sums, sums + w};
    window_sums<Vector>(window.data(), begin, end, taps, width, out);

    divide(sums, counts, background.data() + static_cast<std::size_t>(y) * w);
    if (y1 != y) divide(sums + w, counts + w, background.data() + static_cast<std::size_t>(y1) * w);
  }
}

void background_generic(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                        std::int32_t width, std::int32_t height, int r, RowRange rows, std::span<double> background) {
  background_rows<Double2>(mean_image, bright_mask, width, height, r, rows, background);
}

#ifdef KADRIX_X86_VARIANTS
__attribute__((target("avx2"))) void background_avx2(std::span<const double> mean_image,
                                                     std::span<const std::uint8_t> bright_mask, std::int32_t width,
                                                     std::int32_t height, int r, RowRange rows,
                                                     std::span<double> background) {
  background_rows<Double4>(mean_image, bright_mask, width, height, r, rows, background);
}

__attribute__((target("avx512f"))) void background_avx512(std::span<const double> mean_image,
                                                          std::span<const std::uint8_t> bright_mask,
                                                          std::int32_t width, std::int32_t height, int r,
                                                          RowRange rows, std::span<double> background) {
  background_rows<Double8>(mean_image, bright_mask, width, height, r, rows, background);
}

constexpr KernelVariant<BackgroundMapper> kKernels[] = {
    {"avx512", cpu_has_avx512f, background_avx512},
    {"avx2", cpu_has_avx2, background_avx2},
    {"sse2", runs_anywhere, background_generic},
};
#else
constexpr KernelVariant<BackgroundMapper> kKernels[] = {
    {"generic", runs_anywhere, background_generic},
};
#endif

}  // namespace

std::span<const KernelVariant<BackgroundMapper>> background_kernels() { return kKernels; }

void estimate_background(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                         std::int32_t width, std::int32_t height, int r, RowRange rows, std::span<double> background) {
  static const KernelVariant<BackgroundMapper>& widest = widest_supported(background_kernels());
  widest.run(mean_image, bright_mask, width, height, r, rows, background);
}

}  // namespace kadrix
