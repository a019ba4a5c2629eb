#include "tools/import/frame_shift.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
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
// the taper, the bulk of a disc) are weighed down, and frequencies towards
// kLowPass cycles per pixel (mostly noise once stars are a few pixels wide)
// fade to nothing.
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

std::size_t area(int w, int h) { return static_cast<std::size_t>(w) * static_cast<std::size_t>(h); }

// The smallest n' >= n with no prime factor above 7: FFTW is quick there.
int smooth_size(int n) {
  for (int m = std::max(n, 1);; ++m) {
    int r = m;
    for (const int p : {2, 3, 5, 7})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

// Cosine taper over the outer sixteenth at each end, so the frame's edges
// do not correlate with themselves at zero shift.
std::vector<double> taper(int n) {
  std::vector<double> w(static_cast<std::size_t>(n), 1.0);
  const int t = std::max(1, n / 16);
  for (int i = 0; i < t && i < n; ++i) {
    const double v = 0.5 * (1 - std::cos(std::numbers::pi * (i + 0.5) / t));
    auto& a = w[static_cast<std::size_t>(i)];
    auto& b = w[static_cast<std::size_t>(n - 1 - i)];
    a = std::min(a, v);
    b = std::min(b, v);
  }
  return w;
}

double lower_median(std::vector<double>& v) {
  if (v.empty()) return 0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>((v.size() - 1) / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
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
  if (n == 0) return std::numeric_limits<double>::quiet_NaN();
  std::nth_element(found, found + (n - 1) / 2, found + n);
  return found[(n - 1) / 2];
}

// Value, gradient and Hessian of the band-limited correlation at a shift.
struct Peak {
  double v = 0, gx = 0, gy = 0, hxx = 0, hxy = 0, hyy = 0;
};

// Sum over the rectangle [x0, x1) x [y0, y1) from running sums with a zero
// row and column first.
double rectangle(const std::vector<double>& sums, int w, int x0, int y0, int x1, int y1) {
  const auto at = [&](int x, int y) {
    return sums[static_cast<std::size_t>(y) * (static_cast<std::size_t>(w) + 1) + static_cast<std::size_t>(x)];
  };
  return at(x1, y1) - at(x0, y1) - at(x1, y0) + at(x0, y0);
}

}  // namespace

// What one measurement works in. Kept for the next call on any thread:
// fresh pages for every frame cost more than the transforms. Every call
// overwrites all it reads, so results never depend on which one it gets.
struct Workspace {
  FftwArray<double> padded;      // mw x mh: the prepared frame, then the correlation surface
  FftwArray<Complex> spectrum;   // (mw / 2 + 1) x mh
  std::vector<double> filled;    // the frame with missing samples filled, when it has any
  std::vector<double> squares;   // running sums of the prepared frame's squares
  std::vector<double> sample;
  std::vector<Complex> cross;    // cross-power spectrum on the kept frequencies
};

struct ShiftFinder::State {
  int w = 0, h = 0;    // frame
  int mw = 0, mh = 0;  // padded transform
  int lag_x = 0, lag_y = 0;
  // Lags closer than this to the peak belong to the peak itself: twice the
  // distance at which the reference's own correlation falls to half.
  double peak_radius = 0;
  std::vector<double> taper_x, taper_y;
  // The kept frequencies: for each kept row (index into the transform's
  // rows) the columns 0 .. columns[r] - 1, packed row after row.
  std::vector<int> rows;
  std::vector<int> columns;
  std::vector<std::size_t> offsets;
  std::vector<double> weight;      // filter weight
  std::vector<Complex> reference;  // weight * conj(reference spectrum)
  // Running sums of the prepared reference's squares, and the share of its
  // energy the filter keeps: together, the filtered energy of any part.
  std::vector<double> reference_squares;
  double reference_kept = 0;
  Plan forward, backward;
  bool usable = false;

  std::mutex pool_mutex;
  std::vector<std::unique_ptr<Workspace>> pool;

  // A workspace from the pool, or a new one; back to the pool when done.
  struct Lease {
    State& state;
    std::unique_ptr<Workspace> ws;
    explicit Lease(State& s) : state(s), ws(s.take()) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { state.give_back(std::move(ws)); }
    Workspace& operator*() const { return *ws; }
    Workspace* operator->() const { return ws.get(); }
  };
  std::unique_ptr<Workspace> take();
  void give_back(std::unique_ptr<Workspace> ws);

  // The frame 3 x 3 median filtered into the padded array, the sky level
  // taken off and the edges tapered, the padding zero; ws.squares gets the
  // running sums of its squares. False when no sample is finite.
  bool prepare(std::span<const double> frame, Workspace& ws) const;
  // The frame's spectrum on the kept frequencies times the reference's
  // into ws.cross; returns the frame's filtered energy.
  double cross_power(Workspace& ws) const;
  // The correlation surface from ws.cross into ws.padded, lag (dx, dy) at
  // (dx mod mw, dy mod mh).
  void correlate(Workspace& ws) const;
  Peak evaluate(const std::vector<Complex>& cross, double sx, double sy) const;
  // The correlation at lag (dx, dy) divided by the filtered energies of the
  // parts of the two frames that overlap there.
  double normalised(double value, int dx, int dy, const std::vector<double>& squares, double kept) const;
};

std::unique_ptr<Workspace> ShiftFinder::State::take() {
  {
    const std::lock_guard<std::mutex> lock(pool_mutex);
    if (!pool.empty()) {
      std::unique_ptr<Workspace> ws = std::move(pool.back());
      pool.pop_back();
      return ws;
    }
  }
  auto ws = std::make_unique<Workspace>();
  ws->padded = fftw_array<double>(area(mw, mh));
  ws->spectrum = fftw_array<Complex>(area(mw / 2 + 1, mh));
  ws->squares.resize(area(w + 1, h + 1));
  ws->cross.resize(reference.empty() ? weight.size() : reference.size());
  return ws;
}

void ShiftFinder::State::give_back(std::unique_ptr<Workspace> ws) {
  const std::lock_guard<std::mutex> lock(pool_mutex);
  pool.push_back(std::move(ws));
}

bool ShiftFinder::State::prepare(std::span<const double> frame, Workspace& ws) const {
  const auto uw = static_cast<std::size_t>(w);
  const auto umw = static_cast<std::size_t>(mw);
  bool any_finite = false, any_missing = false;
  for (const double v : frame) {
    const bool finite = std::isfinite(v);
    any_finite = any_finite || finite;
    any_missing = any_missing || !finite;
  }
  if (!any_finite) return false;

  // Missing samples take the median of their neighbours, or the frame's
  // level where a whole patch is missing.
  const double* source = frame.data();
  if (any_missing) {
    ws.filled.assign(frame.begin(), frame.end());
    for (std::size_t i = 0; i < frame.size(); ++i)
      if (!std::isfinite(frame[i]))
        ws.filled[i] = neighbourhood_median(frame.data(), w, h, static_cast<int>(i % uw), static_cast<int>(i / uw));
    ws.sample.clear();
    for (const double v : ws.filled)
      if (std::isfinite(v)) ws.sample.push_back(v);
    const double level = lower_median(ws.sample);
    for (double& v : ws.filled)
      if (!std::isfinite(v)) v = level;
    source = ws.filled.data();
  }

  // The median removes hot pixels, which would otherwise hold the peak at
  // zero shift in frames without a dark.
  double* padded = ws.padded.get();
  for (int y = 0; y < h; ++y) {
    double* out = padded + static_cast<std::size_t>(y) * umw;
    if (y == 0 || y == h - 1 || w < 3) {
      for (int x = 0; x < w; ++x) out[x] = neighbourhood_median(source, w, h, x, y);
    } else {
      const double* a = source + (static_cast<std::size_t>(y) - 1) * uw;
      const double* b = a + uw;
      const double* c = b + uw;
      out[0] = neighbourhood_median(source, w, h, 0, y);
      for (std::size_t x = 1; x + 1 < uw; ++x)
        out[x] = median9(a[x - 1], a[x], a[x + 1], b[x - 1], b[x], b[x + 1], c[x - 1], c[x], c[x + 1]);
      out[uw - 1] = neighbourhood_median(source, w, h, w - 1, y);
    }
    std::fill(out + uw, out + umw, 0.0);
  }
  std::fill(padded + static_cast<std::size_t>(h) * umw, padded + area(mw, mh), 0.0);

  // The sky level: the median of a sample spread over the frame.
  const std::size_t step = std::max<std::size_t>(1, area(w, h) / 65536);
  ws.sample.clear();
  for (std::size_t i = 0; i < area(w, h); i += step) ws.sample.push_back(padded[(i / uw) * umw + i % uw]);
  const double level = lower_median(ws.sample);

  std::vector<double>& sq = ws.squares;
  std::fill(sq.begin(), sq.begin() + static_cast<std::ptrdiff_t>(uw + 1), 0.0);
  for (int y = 0; y < h; ++y) {
    double* row = padded + static_cast<std::size_t>(y) * umw;
    const double ty = taper_y[static_cast<std::size_t>(y)];
    double* sums = sq.data() + static_cast<std::size_t>(y + 1) * (uw + 1);
    const double* above = sums - (uw + 1);
    sums[0] = 0;
    double run = 0;
    for (std::size_t x = 0; x < uw; ++x) {
      const double v = (row[x] - level) * (taper_x[x] * ty);
      row[x] = v;
      run += v * v;
      sums[x + 1] = above[x + 1] + run;
    }
  }
  return true;
}

double ShiftFinder::State::cross_power(Workspace& ws) const {
  fftw_execute_dft_r2c(forward.plan, ws.padded.get(), as_fftw(ws.spectrum.get()));
  const auto half = static_cast<std::size_t>(mw / 2 + 1);
  double energy = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Complex* row = ws.spectrum.get() + static_cast<std::size_t>(rows[r]) * half;
    const std::size_t o = offsets[r];
    for (std::size_t k = 0; k < static_cast<std::size_t>(columns[r]); ++k) {
      ws.cross[o + k] = row[k] * reference[o + k];
      // Columns past 0 stand for their mirror images too.
      energy += (k == 0 ? 1.0 : 2.0) * weight[o + k] * std::norm(row[k]);
    }
  }
  return energy;
}

void ShiftFinder::State::correlate(Workspace& ws) const {
  const auto half = static_cast<std::size_t>(mw / 2 + 1);
  Complex* spectrum = ws.spectrum.get();
  std::fill(spectrum, spectrum + half * static_cast<std::size_t>(mh), Complex());
  for (std::size_t r = 0; r < rows.size(); ++r)
    std::copy_n(ws.cross.data() + offsets[r], columns[r], spectrum + static_cast<std::size_t>(rows[r]) * half);
  fftw_execute_dft_c2r(backward.plan, as_fftw(spectrum), ws.padded.get());
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
    m0[i] = k == 0 ? 1.0 : 2.0;
    m1[i] = m0[i] * a;
    m2[i] = m1[i] * a;
  }
  // The phase factors separate: each row sums its columns' terms, then
  // turns them by the row's own factor.
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

double ShiftFinder::State::normalised(double value, int dx, int dy, const std::vector<double>& squares,
                                      double kept) const {
  const int x0 = std::max(0, -dx), x1 = std::min(w, w - dx);
  const int y0 = std::max(0, -dy), y1 = std::min(h, h - dy);
  if (x0 >= x1 || y0 >= y1) return 0;
  const double er = reference_kept * rectangle(reference_squares, w, x0, y0, x1, y1);
  const double ef = kept * rectangle(squares, w, x0 + dx, y0 + dy, x1 + dx, y1 + dy);
  const double r = value / std::sqrt(er * ef);
  return std::isfinite(r) ? r : 0;
}

ShiftFinder::ShiftFinder(std::span<const double> reference, std::int32_t width, std::int32_t height)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  if (width < 2 || height < 2 || reference.size() != area(width, height)) return;
  s.w = width;
  s.h = height;
  // Lags to a little past a quarter of each side are searched. The padding
  // keeps them clear of the wrapped-around correlation, all but the tapered
  // edge, which weighs next to nothing.
  s.lag_x = std::min(width - 1, width / 4 + 4);
  s.lag_y = std::min(height - 1, height / 4 + 4);
  s.mw = smooth_size(width + s.lag_x - width / 32);
  s.mh = smooth_size(height + s.lag_y - height / 32);
  s.taper_x = taper(width);
  s.taper_y = taper(height);

  // The kept frequencies: inside the low-pass circle, without the Nyquist
  // row and column of even sizes.
  const int half = s.mw / 2 + 1;
  for (int j = 0; j < s.mh; ++j) {
    const int ky = j <= s.mh / 2 ? j : j - s.mh;
    const double fy = static_cast<double>(ky) / s.mh;
    if (std::abs(fy) >= kLowPass || (s.mh % 2 == 0 && j == s.mh / 2)) continue;
    const double rest = std::sqrt(kLowPass * kLowPass - fy * fy);
    int cols = std::min(half, static_cast<int>(std::ceil(rest * s.mw)) + 1);
    if (s.mw % 2 == 0) cols = std::min(cols, s.mw / 2);
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
      const double low = f < kLowPass ? std::cos(0.5 * std::numbers::pi * f / kLowPass) : 0.0;
      s.weight[s.offsets[r] + static_cast<std::size_t>(k)] = high * low * low;
    }
  }

  const State::Lease ws(s);
  {
    const std::lock_guard<std::mutex> lock(fftw_planner_mutex());
    s.forward.plan = fftw_plan_dft_r2c_2d(s.mh, s.mw, ws->padded.get(), as_fftw(ws->spectrum.get()), FFTW_ESTIMATE);
    s.backward.plan = fftw_plan_dft_c2r_2d(s.mh, s.mw, as_fftw(ws->spectrum.get()), ws->padded.get(), FFTW_ESTIMATE);
  }
  if (s.forward.plan == nullptr || s.backward.plan == nullptr || !s.prepare(reference, *ws)) return;

  // The reference against itself gives its energy and its peak's width.
  s.reference.assign(packed, Complex(1, 0));
  const double energy = s.cross_power(*ws);
  const auto half_size = static_cast<std::size_t>(half);
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    const Complex* row = ws->spectrum.get() + static_cast<std::size_t>(s.rows[r]) * half_size;
    for (std::size_t k = 0; k < static_cast<std::size_t>(s.columns[r]); ++k) {
      const std::size_t i = s.offsets[r] + k;
      s.reference[i] = s.weight[i] * std::conj(row[k]);
      ws->cross[i] = row[k] * s.reference[i];
    }
  }
  s.reference_squares = ws->squares;
  s.reference_kept = energy / s.reference_squares.back();
  s.usable = energy > 0 && std::isfinite(energy) && std::isfinite(s.reference_kept);
  if (!s.usable) return;

  s.correlate(*ws);
  const double* surface = ws->padded.get();
  int half_x = 1, half_y = 1;
  while (half_x < s.lag_x && surface[half_x] > 0.5 * surface[0]) ++half_x;
  while (half_y < s.lag_y && surface[static_cast<std::size_t>(half_y) * static_cast<std::size_t>(s.mw)] > 0.5 * surface[0])
    ++half_y;
  s.peak_radius = std::max(3.0, 2.0 * std::max(half_x, half_y));
}

ShiftFinder::~ShiftFinder() = default;

FrameShift ShiftFinder::measure(std::span<const double> frame) const {
  State& s = *state_;
  FrameShift result;
  if (!s.usable || frame.size() != area(s.w, s.h)) return result;

  const State::Lease ws(s);
  if (!s.prepare(frame, *ws)) return result;
  const double energy = s.cross_power(*ws);
  const double kept = energy / ws->squares.back();
  if (!(energy > 0) || !std::isfinite(energy) || !std::isfinite(kept)) return result;

  // The whole-pixel peak, from the correlation surface.
  s.correlate(*ws);
  const double* surface = ws->padded.get();
  const auto at = [&](int dx, int dy) {
    const int x = dx < 0 ? dx + s.mw : dx;
    const int y = dy < 0 ? dy + s.mh : dy;
    return surface[static_cast<std::size_t>(y) * static_cast<std::size_t>(s.mw) + static_cast<std::size_t>(x)];
  };
  int best_x = 0, best_y = 0;
  double best = -std::numeric_limits<double>::infinity();
  for (int dy = -s.lag_y; dy <= s.lag_y; ++dy)
    for (int dx = -s.lag_x; dx <= s.lag_x; ++dx)
      if (at(dx, dy) > best) {
        best = at(dx, dy);
        best_x = dx;
        best_y = dy;
      }

  // The best correlation away from the peak: how far the peak stands out.
  double rival = 0;
  int rival_x = 0, rival_y = 0;
  const double r2 = s.peak_radius * s.peak_radius;
  for (int dy = -s.lag_y; dy <= s.lag_y; ++dy)
    for (int dx = -s.lag_x; dx <= s.lag_x; ++dx) {
      const double ex = dx - best_x, ey = dy - best_y;
      if (ex * ex + ey * ey > r2 && at(dx, dy) > rival) {
        rival = at(dx, dy);
        rival_x = dx;
        rival_y = dy;
      }
    }
  const double second = rival > 0 ? s.normalised(rival, rival_x, rival_y, ws->squares, kept) : 0;

  // Newton steps on the band-limited correlation, from a parabola through
  // the peak's neighbours and within a pixel of the whole-pixel peak.
  const auto vertex = [](double a, double b, double c) {
    const double d = a - 2 * b + c;
    return d < 0 ? std::clamp(0.5 * (a - c) / d, -0.5, 0.5) : 0.0;
  };
  double sx = best_x + vertex(at(best_x - 1, best_y), best, at(best_x + 1, best_y));
  double sy = best_y + vertex(at(best_x, best_y - 1), best, at(best_x, best_y + 1));
  Peak p = s.evaluate(ws->cross, sx, sy);
  for (int step = 0; step < kNewtonSteps; ++step) {
    const double det = p.hxx * p.hyy - p.hxy * p.hxy;
    if (!(p.hxx < 0) || !(det > 0)) break;
    const double ddx = std::clamp(-(p.hyy * p.gx - p.hxy * p.gy) / det, -0.5, 0.5);
    const double ddy = std::clamp(-(p.hxx * p.gy - p.hxy * p.gx) / det, -0.5, 0.5);
    const double nx = std::clamp(sx + ddx, best_x - 1.0, best_x + 1.0);
    const double ny = std::clamp(sy + ddy, best_y - 1.0, best_y + 1.0);
    if (std::abs(nx - sx) < 1e-7 && std::abs(ny - sy) < 1e-7) break;
    const Peak q = s.evaluate(ws->cross, nx, ny);
    if (!(q.v >= p.v)) break;
    sx = nx;
    sy = ny;
    p = q;
  }

  result.dx = sx;
  result.dy = sy;
  result.correlation = s.normalised(p.v, best_x, best_y, ws->squares, kept);
  result.confidence = std::max(0.0, result.correlation - second);
  result.matched = result.confidence >= kMinShiftConfidence;
  return result;
}

}  // namespace kadrix::import
