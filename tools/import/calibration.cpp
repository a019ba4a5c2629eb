#include "tools/import/calibration.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace kadrix::import {

MasterBuilder::MasterBuilder(std::int32_t width, std::int32_t height)
    : width_(static_cast<std::size_t>(width)),
      sum_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)),
      max_(sum_.size()) {}

void MasterBuilder::add_row(std::int64_t frame, std::int32_t y, std::span<const double> values) {
  const std::size_t start = static_cast<std::size_t>(y) * width_;
  double* sum = sum_.data() + start;
  double* max = max_.data() + start;
  if (frame == 1) {
    // The largest sample starts from the first one, not from 0.
    for (std::size_t x = 0; x < width_; ++x) sum[x] = max[x] = values[x];
    return;
  }
  for (std::size_t x = 0; x < width_; ++x) {
    sum[x] += values[x];
    if (values[x] > max[x]) max[x] = values[x];
  }
}

void MasterBuilder::add_rows(std::int64_t frame, std::int32_t y, std::span<const double> a,
                             std::span<const double> b) {
  if (frame == 1) {
    add_row(frame, y, a);
    add_row(frame + 1, y, b);
    return;
  }
  const std::size_t start = static_cast<std::size_t>(y) * width_;
  double* sum = sum_.data() + start;
  double* max = max_.data() + start;
  for (std::size_t x = 0; x < width_; ++x) {
    double s = sum[x] + a[x];
    double m = a[x] > max[x] ? a[x] : max[x];
    s = s + b[x];
    m = b[x] > m ? b[x] : m;
    sum[x] = s;
    max[x] = m;
  }
}

std::vector<double> MasterBuilder::finish() const {
  if (frames_ <= 1) return std::vector<double>(sum_.data(), sum_.data() + sum_.size());
  std::vector<double> master(sum_.size());
  const auto others = static_cast<double>(frames_ - 1);
  for (std::size_t i = 0; i < master.size(); ++i) master[i] = (sum_[i] - max_[i]) / others;
  return master;
}

namespace {

// Masters given as const are copied, others taken over: std::move of a
// const vector copies it.
template <class M>
Calibration calibration_of(M& masters) {
  Calibration c;
  // The flat first: the bias may serve as its offset before it becomes
  // the dark.
  if (masters.flat) {
    c.flat = std::move(*masters.flat);
    const std::vector<double>* offset =
        masters.flat_dark ? &*masters.flat_dark : masters.bias ? &*masters.bias : nullptr;
    if (offset != nullptr) {
      for (std::size_t i = 0; i < c.flat.size(); ++i) c.flat[i] = c.flat[i] - (*offset)[i];
    } else {
      c.flat_keeps_offset = true;
    }
    double sum = 0;
    std::int64_t count = 0;
    for (const double f : c.flat) {
      if (std::isfinite(f) && f > 0) {
        sum += f;
        ++count;
      }
    }
    c.flat_mean = count > 0 ? sum / static_cast<double>(count) : 0;
    // Dividing by a flat near 0 would multiply the noise of the pixel.
    const double floor = 0.05 * c.flat_mean;
    c.usable.resize(c.flat.size());
    for (std::size_t i = 0; i < c.flat.size(); ++i) {
      const double f = c.flat[i];
      c.usable[i] = count > 0 && std::isfinite(f) && f > floor ? 1 : 0;
      if (c.usable[i] == 0) ++c.unusable_count;
    }
  }
  if (masters.dark) c.dark = std::move(*masters.dark);
  else if (masters.bias) c.dark = std::move(*masters.bias);
  return c;
}

}  // namespace

Calibration make_calibration(const Masters& masters) { return calibration_of(masters); }

Calibration make_calibration(Masters&& masters) { return calibration_of(masters); }

namespace {

// The lower median of the finite values by nth_element over a copy of them.
double lower_median_by_copy(std::span<const double> values) {
  std::vector<double> finite;
  finite.reserve(values.size());
  for (const double v : values)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty()) return 0;
  const auto middle = finite.begin() + static_cast<std::ptrdiff_t>((finite.size() - 1) / 2);
  std::nth_element(finite.begin(), middle, finite.end());
  return *middle;
}

// A key in the order of the values (-0 before +0), for finite values.
std::uint64_t order_key(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

}  // namespace

double lower_median(std::span<const double> values) {
  // The value of rank (n - 1) / 2 by its key, 16 bits at a time: a count
  // of each digit among the values still in the running, which keeps only
  // those of the digit holding the rank. After two digits few values are
  // left, and nth_element picks among them; nothing of the size of the
  // values is copied.
  constexpr int kDigitBits = 16;
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  std::vector<std::size_t> count(kDigits);
  std::size_t n = 0;
  for (const double v : values) {
    if (!std::isfinite(v)) continue;
    ++count[order_key(v) >> 48];
    ++n;
  }
  if (n == 0) return 0;
  std::size_t rank = (n - 1) / 2;
  const auto pick = [&]() {
    std::size_t digit = 0;
    while (rank >= count[digit]) rank -= count[digit++];
    return std::uint64_t{digit};
  };
  const std::uint64_t high = pick();
  std::fill(count.begin(), count.end(), 0);
  for (const double v : values) {
    if (!std::isfinite(v)) continue;
    const std::uint64_t key = order_key(v);
    if (key >> 48 == high) ++count[(key >> 32) & (kDigits - 1)];
  }
  const std::uint64_t prefix = (high << kDigitBits) | pick();
  std::vector<double> left;
  left.reserve(count[prefix & (kDigits - 1)]);
  for (const double v : values)
    if (std::isfinite(v) && order_key(v) >> 32 == prefix) left.push_back(v);
  const auto middle = left.begin() + static_cast<std::ptrdiff_t>(rank);
  std::nth_element(left.begin(), middle, left.end());
  // Which zero nth_element gives among -0 and +0 depends on where they
  // lie: a zero is picked as the copy's nth_element picks it.
  if (*middle == 0) return lower_median_by_copy(values);
  return *middle;
}

void calibrate_row(const Calibration& calibration, std::int32_t y, std::span<double> values) {
  const std::size_t start = static_cast<std::size_t>(y) * values.size();
  if (!calibration.dark.empty()) {
    const double* d = calibration.dark.data() + start;
    for (std::size_t x = 0; x < values.size(); ++x) values[x] = values[x] - d[x];
  }
  if (calibration.flat.empty()) return;
  const double* f = calibration.flat.data() + start;
  const std::uint8_t* usable = calibration.usable.data() + start;
  const double m = calibration.flat_mean;
  // Divided everywhere and chosen after, so the loop runs on vectors; what
  // an unusable pixel's flat gives is dropped.
  double* v = values.data();
  for (std::size_t x = 0; x < values.size(); ++x) {
    const double c = v[x];
    const auto flattened = std::bit_cast<std::uint64_t>((c * m) / f[x]);
    const std::uint64_t keep = std::uint64_t{0} - static_cast<std::uint64_t>(usable[x] != 0);
    v[x] = std::bit_cast<double>((flattened & keep) | (std::bit_cast<std::uint64_t>(c) & ~keep));
  }
}

}  // namespace kadrix::import
