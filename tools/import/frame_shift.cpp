#include "tools/import/frame_shift.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

namespace kadrix::import {

std::mutex& fftw_planner_mutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

using Complex = std::complex<double>;

// Scales longer than about 1 / kHighPass pixels (sky gradients, vignetting,
// the taper itself) are weighed down, and frequencies towards kLowPass
// cycles per pixel (mostly noise once stars are a few pixels wide) fade to
// nothing.
constexpr double kHighPass = 0.02;
constexpr double kLowPass = 0.45;
constexpr int kNewtonSteps = 8;

struct FftwFree {
  void operator()(void* p) const { fftw_free(p); }
};
template <class T>
using FftwArray = std::unique_ptr<T[], FftwFree>;

template <class T>
FftwArray<T> fftw_array(std::size_t count) {
  void* p = fftw_malloc(sizeof(T) * count);
  if (p == nullptr) throw std::bad_alloc();
  return FftwArray<T>(static_cast<T*>(p));
}

struct Plan {
  fftw_plan plan = nullptr;
  Plan() = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  ~Plan() {
    if (plan == nullptr) return;
    const std::lock_guard<std::mutex> lock(fftw_planner_mutex());
    fftw_destroy_plan(plan);
  }
};

fftw_complex* as_fftw(Complex* p) { return reinterpret_cast<fftw_complex*>(p); }

// The smallest n' >= n with no prime factor above 7: FFTW is quick there.
int smooth_size(int n) {
  for (int m = std::max(n, 1);; ++m) {
    int r = m;
    for (const int p : {2, 3, 5, 7})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

// Cosine taper over the outer eighth at each end, so the frame's edges do
// not correlate with themselves at zero shift.
std::vector<double> taper(int n) {
  std::vector<double> w(static_cast<std::size_t>(n), 1.0);
  const int t = std::max(1, n / 16);
  for (int i = 0; i < t && i < n; ++i) {
    const double v = 0.5 * (1 - std::cos(std::numbers::pi * (i + 0.5) / t));
    w[static_cast<std::size_t>(i)] = std::min(w[static_cast<std::size_t>(i)], v);
    w[static_cast<std::size_t>(n - 1 - i)] = std::min(w[static_cast<std::size_t>(n - 1 - i)], v);
  }
  return w;
}

double lower_median(std::vector<double>& v) {
  if (v.empty()) return 0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>((v.size() - 1) / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// The median of a sample of the finite values spread over the frame.
double sampled_level(std::span<const double> values) {
  const std::size_t step = std::max<std::size_t>(1, values.size() / 65536);
  std::vector<double> sample;
  sample.reserve(values.size() / step + 1);
  for (std::size_t i = 0; i < values.size(); i += step)
    if (std::isfinite(values[i])) sample.push_back(values[i]);
  return lower_median(sample);
}

inline void order(double& a, double& b) {
  const double lo = std::min(a, b);
  b = std::max(a, b);
  a = lo;
}

// Median of nine by a sorting network.
inline double median9(double p0, double p1, double p2, double p3, double p4, double p5, double p6,
                      double p7, double p8) {
  order(p1, p2); order(p4, p5); order(p7, p8);
  order(p0, p1); order(p3, p4); order(p6, p7);
  order(p1, p2); order(p4, p5); order(p7, p8);
  order(p0, p3); order(p5, p8); order(p4, p7);
  order(p3, p6); order(p1, p4); order(p2, p5);
  order(p4, p7); order(p4, p2); order(p6, p4);
  order(p4, p2);
  return p4;
}

// Lower median of the finite values in the 3 x 3 neighbourhood of (x, y)
// that lie inside the frame; NaN when there are none.
double neighbourhood_median(const double* v, int w, int h, int x, int y) {
  double found[9];
  std::size_t n = 0;
  for (int yy = std::max(0, y - 1); yy <= std::min(h - 1, y + 1); ++yy)
    for (int xx = std::max(0, x - 1); xx <= std::min(w - 1, x + 1); ++xx) {
      const double s = v[static_cast<std::size_t>(yy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(xx)];
      if (std::isfinite(s)) found[n++] = s;
    }
  if (n == 0) return std::nan("");
  std::nth_element(found, found + (n - 1) / 2, found + n);
  return found[(n - 1) / 2];
}

// The frame 3 x 3 median filtered, missing samples first filled from their
// neighbours (or with the sky level where a whole patch is missing).
std::vector<double> median_filtered(std::span<const double> in, int w, int h) {
  const std::size_t n = in.size();
  std::vector<double> filled(in.begin(), in.end());
  bool any_missing = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isfinite(in[i])) continue;
    any_missing = true;
    filled[i] = neighbourhood_median(in.data(), w, h, static_cast<int>(i % static_cast<std::size_t>(w)),
                                     static_cast<int>(i / static_cast<std::size_t>(w)));
  }
  if (any_missing) {
    const double level = sampled_level(filled);
    for (double& v : filled)
      if (!std::isfinite(v)) v = level;
  }

  std::vector<double> out(n);
  const auto uw = static_cast<std::size_t>(w);
  for (int y = 0; y < h; ++y) {
    const auto row = static_cast<std::size_t>(y) * uw;
    if (y == 0 || y == h - 1 || w < 3) {
      for (int x = 0; x < w; ++x) out[row + static_cast<std::size_t>(x)] = neighbourhood_median(filled.data(), w, h, x, y);
      continue;
    }
    const double* a = filled.data() + row - uw;
    const double* b = filled.data() + row;
    const double* c = filled.data() + row + uw;
    out[row] = neighbourhood_median(filled.data(), w, h, 0, y);
    for (std::size_t x = 1; x + 1 < uw; ++x)
      out[row + x] = median9(a[x - 1], a[x], a[x + 1], b[x - 1], b[x], b[x + 1], c[x - 1], c[x], c[x + 1]);
    out[row + uw - 1] = neighbourhood_median(filled.data(), w, h, w - 1, y);
  }
  return out;
}

// Value, gradient and Hessian of the band-limited correlation at a shift.
struct Peak {
  double v = 0, gx = 0, gy = 0, hxx = 0, hxy = 0, hyy = 0;
};

}  // namespace

struct ShiftFinder::State {
  int w = 0, h = 0;    // frame
  int mw = 0, mh = 0;  // padded transform
  int lag_x = 0, lag_y = 0;
  std::vector<double> taper_x, taper_y;
  // The kept frequencies: for each kept row (index into the transform's
  // rows) the columns 0 .. columns[r] - 1.
  std::vector<int> rows;
  std::vector<int> columns;
  std::vector<std::size_t> offsets;  // start of each kept row in the packed arrays
  std::vector<double> weight;        // filter weight, packed
  std::vector<Complex> reference;    // weight * conj(reference spectrum), packed
  double reference_energy = 0;
  Plan forward, backward;
  bool usable = false;

  // Fills the padded real array with the prepared frame; false when the
  // frame holds no finite value.
  bool prepare(std::span<const double> frame, double* padded) const;
  // The kept part of the spectrum of a prepared frame.
  void transform(double* padded, Complex* spectrum) const;
  Peak evaluate(const std::vector<Complex>& cross, double sx, double sy) const;
};

bool ShiftFinder::State::prepare(std::span<const double> frame, double* padded) const {
  bool any = false;
  for (const double v : frame)
    if (std::isfinite(v)) {
      any = true;
      break;
    }
  if (!any) return false;
  const std::vector<double> filtered = median_filtered(frame, w, h);
  const double level = sampled_level(filtered);
  std::fill(padded, padded + static_cast<std::size_t>(mw) * static_cast<std::size_t>(mh), 0.0);
  for (int y = 0; y < h; ++y) {
    const double* src = filtered.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    double* dst = padded + static_cast<std::size_t>(y) * static_cast<std::size_t>(mw);
    const double ty = taper_y[static_cast<std::size_t>(y)];
    for (int x = 0; x < w; ++x) dst[x] = (src[x] - level) * (taper_x[static_cast<std::size_t>(x)] * ty);
  }
  return true;
}

void ShiftFinder::State::transform(double* padded, Complex* spectrum) const {
  fftw_execute_dft_r2c(forward.plan, padded, as_fftw(spectrum));
}

Peak ShiftFinder::State::evaluate(const std::vector<Complex>& cross, double sx, double sy) const {
  const double two_pi = 2 * std::numbers::pi;
  const int max_columns = columns.empty() ? 0 : *std::max_element(columns.begin(), columns.end());
  std::vector<Complex> phase_x(static_cast<std::size_t>(max_columns));
  std::vector<double> m0(phase_x.size()), m1(phase_x.size()), m2(phase_x.size());
  for (int k = 0; k < max_columns; ++k) {
    const double a = two_pi * k / mw;
    const auto i = static_cast<std::size_t>(k);
    phase_x[i] = std::polar(1.0, a * sx);
    // Columns past 0 stand for their mirror images too.
    m0[i] = k == 0 ? 1.0 : 2.0;
    m1[i] = m0[i] * a;
    m2[i] = m1[i] * a;
  }
  Peak p;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const int j = rows[r];
    const int ky = j <= mh / 2 ? j : j - mh;
    const double ay = two_pi * ky / mh;
    const Complex* c = cross.data() + offsets[r];
    Complex q0, q1, q2;
    for (std::size_t k = 0; k < static_cast<std::size_t>(columns[r]); ++k) {
      const Complex q = c[k] * phase_x[k];
      q0 += m0[k] * q;
      q1 += m1[k] * q;
      q2 += m2[k] * q;
    }
    const Complex py = std::polar(1.0, ay * sy);
    const Complex t0 = py * q0, t1 = py * q1, t2 = py * q2;
    p.v += t0.real();
    p.gx -= t1.imag();
    p.gy -= ay * t0.imag();
    p.hxx -= t2.real();
    p.hxy -= ay * t1.real();
    p.hyy -= ay * ay * t0.real();
  }
  return p;
}

ShiftFinder::ShiftFinder(std::span<const double> reference, std::int32_t width, std::int32_t height)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (width < 2 || height < 2 ||
      reference.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
    return;
  s.w = width;
  s.h = height;
  // Lags a little past a quarter of each side are searched; the padding
  // keeps them free of the wrapped-around correlation.
  s.lag_x = std::min(width - 1, (3 * width + 9) / 10);
  s.lag_y = std::min(height - 1, (3 * height + 9) / 10);
  s.mw = smooth_size(width + s.lag_x);
  s.mh = smooth_size(height + s.lag_y);
  s.taper_x = taper(width);
  s.taper_y = taper(height);

  const int half = s.mw / 2 + 1;
  for (int j = 0; j < s.mh; ++j) {
    const int ky = j <= s.mh / 2 ? j : j - s.mh;
    const double fy = static_cast<double>(ky) / s.mh;
    if (std::abs(fy) >= kLowPass) continue;
    if (s.mh % 2 == 0 && j == s.mh / 2) continue;
    const double rest = std::sqrt(kLowPass * kLowPass - fy * fy);
    int cols = std::min(half, static_cast<int>(std::ceil(rest * s.mw)) + 1);
    if (s.mw % 2 == 0) cols = std::min(cols, s.mw / 2);  // no Nyquist column
    if (cols <= 0) continue;
    s.rows.push_back(j);
    s.columns.push_back(cols);
  }
  std::size_t packed = 0;
  for (const int c : s.columns) {
    s.offsets.push_back(packed);
    packed += static_cast<std::size_t>(c);
  }
  s.weight.resize(packed);
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    const int j = s.rows[r];
    const int ky = j <= s.mh / 2 ? j : j - s.mh;
    const double fy = static_cast<double>(ky) / s.mh;
    for (int k = 0; k < s.columns[r]; ++k) {
      const double fx = static_cast<double>(k) / s.mw;
      const double f2 = fx * fx + fy * fy;
      const double f = std::sqrt(f2);
      const double high = 1 - std::exp(-f2 / (2 * kHighPass * kHighPass));
      const double c = f < kLowPass ? std::cos(0.5 * std::numbers::pi * f / kLowPass) : 0.0;
      s.weight[s.offsets[r] + static_cast<std::size_t>(k)] = high * c * c;
    }
  }

  const auto real_size = static_cast<std::size_t>(s.mw) * static_cast<std::size_t>(s.mh);
  const auto complex_size = static_cast<std::size_t>(half) * static_cast<std::size_t>(s.mh);
  FftwArray<double> padded = fftw_array<double>(real_size);
  FftwArray<Complex> spectrum = fftw_array<Complex>(complex_size);
  {
    const std::lock_guard<std::mutex> lock(fftw_planner_mutex());
    s.forward.plan = fftw_plan_dft_r2c_2d(s.mh, s.mw, padded.get(), as_fftw(spectrum.get()), FFTW_ESTIMATE);
    s.backward.plan = fftw_plan_dft_c2r_2d(s.mh, s.mw, as_fftw(spectrum.get()), padded.get(), FFTW_ESTIMATE);
  }
  if (s.forward.plan == nullptr || s.backward.plan == nullptr) return;
  if (!s.prepare(reference, padded.get())) return;
  s.transform(padded.get(), spectrum.get());

  s.reference.resize(packed);
  double energy = 0;
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    const Complex* row = spectrum.get() + static_cast<std::size_t>(s.rows[r]) * static_cast<std::size_t>(half);
    for (int k = 0; k < s.columns[r]; ++k) {
      const std::size_t i = s.offsets[r] + static_cast<std::size_t>(k);
      const Complex a = row[k];
      s.reference[i] = s.weight[i] * std::conj(a);
      energy += (k == 0 ? 1.0 : 2.0) * s.weight[i] * std::norm(a);
    }
  }
  s.reference_energy = energy;
  s.usable = energy > 0 && std::isfinite(energy);
}

ShiftFinder::~ShiftFinder() = default;

FrameShift ShiftFinder::measure(std::span<const double> frame) const {
  const State& s = *state_;
  FrameShift result;
  if (!s.usable || frame.size() != static_cast<std::size_t>(s.w) * static_cast<std::size_t>(s.h)) return result;

  const int half = s.mw / 2 + 1;
  const auto real_size = static_cast<std::size_t>(s.mw) * static_cast<std::size_t>(s.mh);
  const auto complex_size = static_cast<std::size_t>(half) * static_cast<std::size_t>(s.mh);
  FftwArray<double> padded = fftw_array<double>(real_size);
  FftwArray<Complex> spectrum = fftw_array<Complex>(complex_size);
  if (!s.prepare(frame, padded.get())) return result;
  s.transform(padded.get(), spectrum.get());

  // The cross-power spectrum on the kept frequencies, and the frame's energy.
  std::vector<Complex> cross(s.reference.size());
  double energy = 0;
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    const Complex* row = spectrum.get() + static_cast<std::size_t>(s.rows[r]) * static_cast<std::size_t>(half);
    for (int k = 0; k < s.columns[r]; ++k) {
      const std::size_t i = s.offsets[r] + static_cast<std::size_t>(k);
      cross[i] = row[k] * s.reference[i];
      energy += (k == 0 ? 1.0 : 2.0) * s.weight[i] * std::norm(row[k]);
    }
  }
  if (!(energy > 0) || !std::isfinite(energy)) return result;

  // The whole-pixel peak, from the correlation surface.
  std::fill(spectrum.get(), spectrum.get() + complex_size, Complex());
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    Complex* row = spectrum.get() + static_cast<std::size_t>(s.rows[r]) * static_cast<std::size_t>(half);
    std::copy_n(cross.data() + s.offsets[r], s.columns[r], row);
  }
  fftw_execute_dft_c2r(s.backward.plan, as_fftw(spectrum.get()), padded.get());
  const auto at = [&](int dx, int dy) {
    const int x = dx < 0 ? dx + s.mw : dx;
    const int y = dy < 0 ? dy + s.mh : dy;
    return padded[static_cast<std::size_t>(y) * static_cast<std::size_t>(s.mw) + static_cast<std::size_t>(x)];
  };
  int best_x = 0, best_y = 0;
  double best = -std::numeric_limits<double>::infinity();
  for (int dy = -s.lag_y; dy <= s.lag_y; ++dy)
    for (int dx = -s.lag_x; dx <= s.lag_x; ++dx) {
      const double v = at(dx, dy);
      if (v > best) {
        best = v;
        best_x = dx;
        best_y = dy;
      }
    }

  // Newton steps on the band-limited correlation, within a pixel of the
  // whole-pixel peak.
  double sx = best_x, sy = best_y;
  Peak p = s.evaluate(cross, sx, sy);
  for (int step = 0; step < kNewtonSteps; ++step) {
    const double det = p.hxx * p.hyy - p.hxy * p.hxy;
    if (!(p.hxx < 0) || !(det > 0)) break;
    double ddx = -(p.hyy * p.gx - p.hxy * p.gy) / det;
    double ddy = -(p.hxx * p.gy - p.hxy * p.gx) / det;
    ddx = std::clamp(ddx, -0.5, 0.5);
    ddy = std::clamp(ddy, -0.5, 0.5);
    const double nx = std::clamp(sx + ddx, best_x - 1.0, best_x + 1.0);
    const double ny = std::clamp(sy + ddy, best_y - 1.0, best_y + 1.0);
    const Peak q = s.evaluate(cross, nx, ny);
    if (!(q.v >= p.v)) break;
    const bool settled = std::abs(nx - sx) < 1e-6 && std::abs(ny - sy) < 1e-6;
    sx = nx;
    sy = ny;
    p = q;
    if (settled) break;
  }

  result.dx = sx;
  result.dy = sy;
  result.confidence = std::max(0.0, p.v / std::sqrt(s.reference_energy * energy));
  if (!std::isfinite(result.confidence)) result.confidence = 0;
  result.matched = result.confidence >= kMinShiftConfidence;
  return result;
}

}  // namespace kadrix::import
