#include "tools/import/frame_shift.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <span>
#include <utility>
#include <vector>

#include "bmp/image_buffer.h"

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

// FFTW's arrays: small ones from fftw_malloc, aligned as its SIMD code
// wants; large ones on huge-page boundaries. Either way every array of one
// size is aligned alike, as plans made on one and run on another need.
struct FftwFree {
  std::size_t bytes = 0;
  void operator()(void* p) const {
    if (bytes >= kOwnPagesBytes) give_back_pages(p, bytes);
    else fftw_free(p);
  }
};
template <class T>
using FftwArray = std::unique_ptr<T[], FftwFree>;

template <class T>
FftwArray<T> fftw_array(std::size_t count) {
  if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
  const std::size_t bytes = count * sizeof(T);
  if (bytes >= kOwnPagesBytes) return FftwArray<T>(static_cast<T*>(take_zeroed_pages(bytes)), FftwFree{bytes});
  void* p = fftw_malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  std::memset(p, 0, bytes);
  return FftwArray<T>(static_cast<T*>(p), FftwFree{bytes});
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

// The smallest even n' >= n with no prime factor above 7: FFTW is quick
// there, and half of it is the coarse transform's size.
int smooth_size(int n) {
  for (int m = std::max(n, 2) + std::max(n, 2) % 2;; m += 2) {
    int r = m;
    for (const int p : {2, 3, 5, 7})
      while (r % p == 0) r /= p;
    if (r == 1) return m;
  }
}

// Cosine taper over the outer 1/32 at each end, so the frame's edges
// do not correlate with themselves at zero shift.
std::vector<double> taper(int n) {
  std::vector<double> w(static_cast<std::size_t>(n), 1.0);
  const int t = std::max(1, n / 32);
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

inline double median3(double a, double b, double c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

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
double rectangle(std::span<const double> sums, int w, int x0, int y0, int x1, int y1) {
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
  FftwArray<double> padded;     // mw x h: the prepared frame, zero past column w
  FftwArray<Complex> spectrum;  // (mw / 2 + 1) x mh
  FftwArray<Complex> coarse;    // (cw / 2 + 1) x ch: the kept spectrum below a quarter cycle
  FftwArray<double> surface;    // cw x ch: the correlation at every second lag
  std::vector<double> filled;   // the frame with missing samples filled, when it has any
  std::vector<double> columns;  // a row's columns of three, sorted: lows, middles, highs
  std::vector<double> row_energy;  // the prepared frame's sum of squares, row by row
  PageArray<double> squares;    // running sums of the prepared reference's squares
  double energy = 0;            // the prepared frame's sum of squares
  std::vector<double> sample;
  PageArray<double> plain;      // the prepared frame before the taper
};

struct ShiftFinder::State {
  int w = 0, h = 0;    // frame
  int mw = 0, mh = 0;  // padded transform (even)
  // The peak is first looked for on the correlation of the frequencies
  // below a quarter cycle per pixel, at every second lag: a transform of a
  // quarter of the size.
  int cw = 0, ch = 0;  // mw / 2, mh / 2
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
  int transformed_columns = 0;     // the columns any kept row reaches
  PageArray<double> weight;      // filter weight
  PageArray<Complex> reference;  // weight * conj(reference spectrum)
  // Running sums of the prepared reference's squares, and the share of its
  // energy the coarse band keeps: together, the energy of any part.
  PageArray<double> reference_squares;
  double reference_kept = 0;
  PageArray<double> reference_plain;  // the prepared reference before the taper
  Plan rows_forward, columns_forward, coarse_columns_forward, coarse_backward;
  bool usable = false;

  // The reference's part shared with a frame at one whole-pixel shift, as
  // refine() weighs it. Neighbouring frames mostly lie at the same shift,
  // so it is kept for the next one: a part for each refinement under way.
  struct Part {
    int kx = 0, ky = 0;
    bool filled = false;   // cross holds the part at (kx, ky)
    bool filling = false;  // a refinement is computing it
    int readers = 0;
    std::uint64_t used = 0;  // when last taken, counted in takings
    PageArray<Complex> cross;
  };
  std::mutex parts_mutex;
  std::condition_variable part_done;
  std::vector<std::unique_ptr<Part>> parts;
  std::uint64_t part_takings = 0;
  // The part at (kx, ky), to read (fill false; once one being filled is
  // done), or to fill (fill true): the least recently used one no one
  // reads, else a new one.
  Part& take_part(int kx, int ky, bool& fill);
  // A filled part, now read by its filler.
  void part_filled(Part& part);
  // Done reading the part, or done filling it without success.
  void drop_part(Part& part);

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

  static int frequency(int index, int size) { return index <= size / 2 ? index : index - size; }
  bool coarse_row(int j) const { return std::abs(frequency(j, mh)) < ch / 2; }
  int coarse_columns(int r) const { return std::min(columns[static_cast<std::size_t>(r)], cw / 2); }

  // The frame 3 x 3 median filtered into the padded array, the sky level
  // taken off and the edges tapered; ws.energy gets its sum of squares, and
  // ws.squares their running sums when asked. False when no sample is
  // finite.
  bool prepare(std::span<const double> frame, Workspace& ws, bool running_sums) const;
  // The frame's transform, only where the frame has rows and only the
  // columns kept (or those of the coarse band).
  void transform(Workspace& ws, bool coarse) const;
  // The cross-power spectrum on the kept frequencies, packed row after
  // row in the spectrum's own memory: each kept row moves no later than
  // where it lies, so no row is overwritten before it is read.
  std::span<Complex> packed(Workspace& ws) const { return {ws.spectrum.get(), weight.size()}; }
  // packed(ws) from the transformed frame and the given reference
  // spectrum, over all the kept frequencies or the coarse band only;
  // returns the frame's energy in the coarse band.
  double cross_power(Workspace& ws, std::span<const Complex> with, bool coarse) const;
  // The coarse correlation surface from packed(ws) into ws.surface: lag
  // (2n, 2m) at (n mod cw, m mod ch).
  void correlate(Workspace& ws) const;
  // The band-limited correlation at a shift, over the coarse band or over
  // all the kept frequencies.
  Peak evaluate(std::span<const Complex> cross, double sx, double sy, bool coarse) const;
  // Newton steps on the band-limited correlation from (sx, sy), within two
  // pixels of (cx, cy); returns the value where they stop.
  double climb(std::span<const Complex> cross, double& sx, double& sy, double cx, double cy, bool coarse) const;
  // The shift found again with both frames cut to the part they share at
  // the whole-pixel shift and tapered alike there, so that what lies near
  // an edge of one is weighed as in the other; false when too little is
  // shared.
  bool refine(Workspace& ws, double& sx, double& sy);
  // The correlation at lag (dx, dy) divided by the energies of the parts of
  // the two frames that overlap there.
  double normalised(double value, int dx, int dy, const Workspace& ws, double kept) const;
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
  ws->padded = fftw_array<double>(area(mw, h));
  ws->spectrum = fftw_array<Complex>(area(mw / 2 + 1, mh));
  ws->coarse = fftw_array<Complex>(area(cw / 2 + 1, ch));
  ws->surface = fftw_array<double>(area(cw, ch));
  ws->columns.resize(3 * static_cast<std::size_t>(w));
  ws->row_energy.resize(static_cast<std::size_t>(h));
  ws->plain = PageArray<double>(area(w, h));
  return ws;
}

void ShiftFinder::State::give_back(std::unique_ptr<Workspace> ws) {
  const std::lock_guard<std::mutex> lock(pool_mutex);
  pool.push_back(std::move(ws));
}

ShiftFinder::State::Part& ShiftFinder::State::take_part(int kx, int ky, bool& fill) {
  std::unique_lock<std::mutex> lock(parts_mutex);
  for (;;) {
    Part* found = nullptr;
    Part* spare = nullptr;
    for (const std::unique_ptr<Part>& p : parts) {
      if ((p->filled || p->filling) && p->kx == kx && p->ky == ky) found = p.get();
      else if (!p->filling && p->readers == 0 && (spare == nullptr || p->used < spare->used)) spare = p.get();
    }
    if (found != nullptr && found->filling) {
      part_done.wait(lock);
      continue;
    }
    ++part_takings;
    if (found != nullptr) {
      ++found->readers;
      found->used = part_takings;
      fill = false;
      return *found;
    }
    if (spare == nullptr) {
      auto made = std::make_unique<Part>();
      made->cross = PageArray<Complex>(weight.size());
      parts.push_back(std::move(made));
      spare = parts.back().get();
    }
    spare->kx = kx;
    spare->ky = ky;
    spare->filled = false;
    spare->filling = true;
    spare->used = part_takings;
    fill = true;
    return *spare;
  }
}

void ShiftFinder::State::part_filled(Part& part) {
  {
    const std::lock_guard<std::mutex> lock(parts_mutex);
    part.filling = false;
    part.filled = true;
    part.readers = 1;
  }
  part_done.notify_all();
}

void ShiftFinder::State::drop_part(Part& part) {
  {
    const std::lock_guard<std::mutex> lock(parts_mutex);
    if (part.filling) part.filling = false;
    else --part.readers;
  }
  part_done.notify_all();
}

bool ShiftFinder::State::prepare(std::span<const double> frame, Workspace& ws, bool running_sums) const {
  const auto uw = static_cast<std::size_t>(w);
  const auto umw = static_cast<std::size_t>(mw);
  // v - v is NaN exactly where v is not finite, and NaN stays in a sum.
  double poison = 0;
  for (const double v : frame) poison += v - v;
  const bool any_missing = std::isnan(poison);
  if (any_missing && std::none_of(frame.begin(), frame.end(), [](double v) { return std::isfinite(v); }))
    return false;

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
      // Each column of three sorted once serves three windows; the median
      // of nine is then the median of the largest low, the middle middle
      // and the smallest high.
      double* lo = ws.columns.data();
      double* mid = lo + uw;
      double* hi = mid + uw;
      for (std::size_t x = 0; x < uw; ++x) {
        double p = a[x], q = b[x], r = c[x];
        order(p, q);
        order(q, r);
        order(p, q);
        lo[x] = p;
        mid[x] = q;
        hi[x] = r;
      }
      out[0] = neighbourhood_median(source, w, h, 0, y);
      for (std::size_t x = 1; x + 1 < uw; ++x) {
        const double l = std::max(std::max(lo[x - 1], lo[x]), lo[x + 1]);
        const double m = median3(mid[x - 1], mid[x], mid[x + 1]);
        const double u = std::min(std::min(hi[x - 1], hi[x]), hi[x + 1]);
        out[x] = median3(l, m, u);
      }
      out[uw - 1] = neighbourhood_median(source, w, h, w - 1, y);
    }
    std::fill(out + uw, out + umw, 0.0);
  }

  // The sky level: the median of a sample spread over the frame.
  const std::size_t step = std::max<std::size_t>(1, area(w, h) / 16384);
  ws.sample.clear();
  for (std::size_t i = 0; i < area(w, h); i += step) ws.sample.push_back(padded[(i / uw) * umw + i % uw]);
  const double level = lower_median(ws.sample);

  if (running_sums) ws.squares = PageArray<double>(area(w + 1, h + 1));
  double total = 0;
  for (int y = 0; y < h; ++y) {
    double* row = padded + static_cast<std::size_t>(y) * umw;
    const double ty = taper_y[static_cast<std::size_t>(y)];
    double line = 0;
    double* plain = ws.plain.data() + static_cast<std::size_t>(y) * uw;
    for (std::size_t x = 0; x < uw; ++x) {
      plain[x] = row[x] - level;
      row[x] = plain[x] * (taper_x[x] * ty);
      line += row[x] * row[x];
    }
    total += line;
    ws.row_energy[static_cast<std::size_t>(y)] = line;
    if (!running_sums) continue;
    double* sums = ws.squares.data() + static_cast<std::size_t>(y + 1) * (uw + 1);
    const double* above = sums - (uw + 1);
    double run = 0;
    for (std::size_t x = 0; x < uw; ++x) {
      run += row[x] * row[x];
      sums[x + 1] = above[x + 1] + run;
    }
  }
  ws.energy = total;
  return true;
}

void ShiftFinder::State::transform(Workspace& ws, bool coarse) const {
  const auto half = static_cast<std::size_t>(mw / 2 + 1);
  Complex* spectrum = ws.spectrum.get();
  fftw_execute_dft_r2c(rows_forward.plan, ws.padded.get(), as_fftw(spectrum));
  // The padding rows are zero: so are their transforms.
  std::fill(spectrum + static_cast<std::size_t>(h) * half, spectrum + static_cast<std::size_t>(mh) * half, Complex());
  fftw_execute_dft((coarse ? coarse_columns_forward : columns_forward).plan, as_fftw(spectrum), as_fftw(spectrum));
}

double ShiftFinder::State::cross_power(Workspace& ws, std::span<const Complex> with, bool coarse) const {
  const auto half = static_cast<std::size_t>(mw / 2 + 1);
  const std::span<Complex> cross = packed(ws);
  double energy = 0;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (coarse && !coarse_row(rows[r])) continue;
    const Complex* row = ws.spectrum.get() + static_cast<std::size_t>(rows[r]) * half;
    const std::size_t o = offsets[r];
    // The row's energy before its products take its place.
    if (coarse_row(rows[r]))
      for (std::size_t k = 0; k < static_cast<std::size_t>(coarse_columns(static_cast<int>(r))); ++k)
        // Columns past 0 stand for their mirror images too.
        energy += (k == 0 ? 1.0 : 2.0) * weight[o + k] * std::norm(row[k]);
    const auto n = static_cast<std::size_t>(coarse ? coarse_columns(static_cast<int>(r)) : columns[r]);
    for (std::size_t k = 0; k < n; ++k) cross[o + k] = row[k] * with[o + k];
  }
  return energy;
}

void ShiftFinder::State::correlate(Workspace& ws) const {
  const auto half = static_cast<std::size_t>(cw / 2 + 1);
  Complex* coarse = ws.coarse.get();
  std::fill(coarse, coarse + half * static_cast<std::size_t>(ch), Complex());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (!coarse_row(rows[r])) continue;
    const int ky = frequency(rows[r], mh);
    const auto j = static_cast<std::size_t>(ky < 0 ? ky + ch : ky);
    std::copy_n(packed(ws).data() + offsets[r], coarse_columns(static_cast<int>(r)), coarse + j * half);
  }
  fftw_execute_dft_c2r(coarse_backward.plan, as_fftw(coarse), ws.surface.get());
}

Peak ShiftFinder::State::evaluate(std::span<const Complex> cross, double sx, double sy, bool coarse) const {
  const double two_pi = 2 * std::numbers::pi;
  const auto count = static_cast<std::size_t>(coarse ? std::min(transformed_columns, cw / 2) : transformed_columns);
  std::vector<Complex> phase_x(count);
  std::vector<double> m0(count), m1(count), m2(count);
  for (std::size_t k = 0; k < count; ++k) {
    const double a = two_pi * static_cast<double>(k) / mw;
    phase_x[k] = std::polar(1.0, a * sx);
    m0[k] = k == 0 ? 1.0 : 2.0;
    m1[k] = m0[k] * a;
    m2[k] = m1[k] * a;
  }
  // The phase factors separate: each row sums its columns' terms, then
  // turns them by the row's own factor.
  Peak p;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (coarse && !coarse_row(rows[r])) continue;
    const double ay = two_pi * frequency(rows[r], mh) / mh;
    const Complex* c = cross.data() + offsets[r];
    const auto n = static_cast<std::size_t>(coarse ? coarse_columns(static_cast<int>(r)) : columns[r]);
    Complex q0, q1, q2;
    for (std::size_t k = 0; k < n; ++k) {
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

double ShiftFinder::State::normalised(double value, int dx, int dy, const Workspace& ws, double kept) const {
  const int x0 = std::max(0, -dx), x1 = std::min(w, w - dx);
  const int y0 = std::max(0, -dy), y1 = std::min(h, h - dy);
  if (x0 >= x1 || y0 >= y1) return 0;
  const double er = reference_kept * rectangle(reference_squares.span(), w, x0, y0, x1, y1);
  // The frame's part: its rows less the columns outside the overlap.
  double part = 0;
  for (int y = y0 + dy; y < y1 + dy; ++y) {
    const double* row = ws.padded.get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(mw);
    double outside = 0;
    for (int x = 0; x < x0 + dx; ++x) outside += row[x] * row[x];
    for (int x = x1 + dx; x < w; ++x) outside += row[x] * row[x];
    part += ws.row_energy[static_cast<std::size_t>(y)] - outside;
  }
  const double ef = kept * part;
  const double r = value / std::sqrt(er * ef);
  return std::isfinite(r) ? r : 0;
}

double ShiftFinder::State::climb(std::span<const Complex> cross, double& sx, double& sy, double cx, double cy,
                                 bool coarse) const {
  Peak p = evaluate(cross, sx, sy, coarse);
  for (int step = 0; step < kNewtonSteps; ++step) {
    const double det = p.hxx * p.hyy - p.hxy * p.hxy;
    if (!(p.hxx < 0) || !(det > 0)) break;
    const double ddx = std::clamp(-(p.hyy * p.gx - p.hxy * p.gy) / det, -0.5, 0.5);
    const double ddy = std::clamp(-(p.hxx * p.gy - p.hxy * p.gx) / det, -0.5, 0.5);
    const double nx = std::clamp(sx + ddx, cx - 2, cx + 2);
    const double ny = std::clamp(sy + ddy, cy - 2, cy + 2);
    // The coarse stage only has to come close; the last fine step, once it
    // is this small, lands on the peak without another look.
    const double settled = coarse ? 1e-3 : 1e-2;
    if (std::abs(nx - sx) < settled && std::abs(ny - sy) < settled) {
      if (!coarse) {
        sx = nx;
        sy = ny;
      }
      break;
    }
    const Peak q = evaluate(cross, nx, ny, coarse);
    if (!(q.v >= p.v)) break;
    sx = nx;
    sy = ny;
    p = q;
  }
  return p.v;
}

bool ShiftFinder::State::refine(Workspace& ws, double& sx, double& sy) {
  const auto kx = static_cast<int>(std::lround(sx)), ky = static_cast<int>(std::lround(sy));
  const int x0 = std::max(0, -kx), x1 = std::min(w, w - kx);
  const int y0 = std::max(0, -ky), y1 = std::min(h, h - ky);
  if (x1 - x0 < 8 || y1 - y0 < 8) return false;
  const std::vector<double> tx = taper(x1 - x0), ty = taper(y1 - y0);
  const auto half = static_cast<std::size_t>(mw / 2 + 1);
  const auto umw = static_cast<std::size_t>(mw);
  const auto uw = static_cast<std::size_t>(w);
  // One frame's shared part into the padded array, from (ox, oy) on.
  const auto cut = [&](const PageArray<double>& plain, int ox, int oy) {
    double* padded = ws.padded.get();
    for (int v = 0; v < y1 - y0; ++v) {
      const double* src = plain.data() + static_cast<std::size_t>(oy + v) * uw + static_cast<std::size_t>(ox);
      double* dst = padded + static_cast<std::size_t>(v) * umw;
      const double t = ty[static_cast<std::size_t>(v)];
      for (std::size_t u = 0; u < tx.size(); ++u) dst[u] = src[u] * (tx[u] * t);
      std::fill(dst + tx.size(), dst + umw, 0.0);
    }
    std::fill(padded + static_cast<std::size_t>(y1 - y0) * umw, padded + area(mw, h), 0.0);
    transform(ws, false);
  };
  // The reference's shared part, weighed as State::reference. At no shift
  // it is the whole reference, cut and tapered as State::reference was.
  struct Use {
    State& state;
    Part* part = nullptr;
    ~Use() {
      if (part != nullptr) state.drop_part(*part);
    }
  } use{*this};
  const Complex* shared = reference.data();
  if (kx != 0 || ky != 0) {
    bool fill = false;
    use.part = &take_part(kx, ky, fill);
    if (fill) {
      cut(reference_plain, x0, y0);
      for (std::size_t r = 0; r < rows.size(); ++r) {
        const Complex* row = ws.spectrum.get() + static_cast<std::size_t>(rows[r]) * half;
        for (std::size_t k = 0; k < static_cast<std::size_t>(columns[r]); ++k)
          use.part->cross[offsets[r] + k] = weight[offsets[r] + k] * std::conj(row[k]);
      }
      part_filled(*use.part);
    }
    shared = use.part->cross.data();
  }
  cut(ws.plain, x0 + kx, y0 + ky);
  const std::span<Complex> cross = packed(ws);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Complex* row = ws.spectrum.get() + static_cast<std::size_t>(rows[r]) * half;
    for (std::size_t k = 0; k < static_cast<std::size_t>(columns[r]); ++k)
      cross[offsets[r] + k] = row[k] * shared[offsets[r] + k];
  }
  if (use.part != nullptr) {
    drop_part(*use.part);
    use.part = nullptr;
  }
  double rx = sx - kx, ry = sy - ky;
  climb(cross, rx, ry, 0, 0, false);
  sx = kx + rx;
  sy = ky + ry;
  return true;
}

ShiftFinder::ShiftFinder(std::span<const double> reference, std::int32_t width, std::int32_t height)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  constexpr std::int32_t kLargestSide = 1 << 24;  // keeps the padded sizes in an int
  if (width < 4 || height < 4 || width > kLargestSide || height > kLargestSide ||
      reference.size() != area(width, height))
    return;
  s.w = width;
  s.h = height;
  // Lags to a little past a quarter of each side are searched. The padding
  // keeps them clear of the wrapped-around correlation, all but the tapered
  // edge, which weighs next to nothing.
  s.lag_x = std::min(width - 1, width / 4 + 4);
  s.lag_y = std::min(height - 1, height / 4 + 4);
  s.mw = smooth_size(width + s.lag_x - width / 32);
  s.mh = smooth_size(height + s.lag_y - height / 32);
  s.cw = s.mw / 2;
  s.ch = s.mh / 2;
  s.taper_x = taper(width);
  s.taper_y = taper(height);

  // The kept frequencies: inside the low-pass circle, without the Nyquist
  // row and column.
  const int half = s.mw / 2 + 1;
  for (int j = 0; j < s.mh; ++j) {
    const double fy = static_cast<double>(State::frequency(j, s.mh)) / s.mh;
    if (std::abs(fy) >= kLowPass || j == s.mh / 2) continue;
    const double rest = std::sqrt(kLowPass * kLowPass - fy * fy);
    const int cols = std::min({half - 1, s.mw / 2, static_cast<int>(std::ceil(rest * s.mw)) + 1});
    if (cols <= 0) continue;
    s.rows.push_back(j);
    s.columns.push_back(cols);
    s.transformed_columns = std::max(s.transformed_columns, cols);
  }
  std::size_t packed = 0;
  for (const int c : s.columns) {
    s.offsets.push_back(packed);
    packed += static_cast<std::size_t>(c);
  }
  // The high-pass Gaussian separates into a row and a column factor; the
  // low-pass is (1 - (f / kLowPass)^2)^2, smooth to its edge.
  s.weight = PageArray<double>(packed);
  const auto gauss = [](double f) { return std::exp(-f * f / (2 * kHighPass * kHighPass)); };
  std::vector<double> gauss_x(static_cast<std::size_t>(s.transformed_columns));
  for (std::size_t k = 0; k < gauss_x.size(); ++k) gauss_x[k] = gauss(static_cast<double>(k) / s.mw);
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    const double fy = static_cast<double>(State::frequency(s.rows[r], s.mh)) / s.mh;
    const double gauss_y = gauss(fy);
    for (int k = 0; k < s.columns[r]; ++k) {
      const double fx = static_cast<double>(k) / s.mw;
      const double q = std::max(0.0, 1 - (fx * fx + fy * fy) / (kLowPass * kLowPass));
      s.weight[s.offsets[r] + static_cast<std::size_t>(k)] = (1 - gauss_x[static_cast<std::size_t>(k)] * gauss_y) * q * q;
    }
  }

  const State::Lease ws(s);
  {
    const std::lock_guard<std::mutex> lock(fftw_planner_mutex());
    int n[1] = {s.mw};
    s.rows_forward.plan = fftw_plan_many_dft_r2c(1, n, s.h, ws->padded.get(), nullptr, 1, s.mw,
                                                 as_fftw(ws->spectrum.get()), nullptr, 1, half, FFTW_ESTIMATE);
    n[0] = s.mh;
    s.columns_forward.plan =
        fftw_plan_many_dft(1, n, s.transformed_columns, as_fftw(ws->spectrum.get()), nullptr, half, 1,
                           as_fftw(ws->spectrum.get()), nullptr, half, 1, FFTW_FORWARD, FFTW_ESTIMATE);
    s.coarse_columns_forward.plan =
        fftw_plan_many_dft(1, n, std::min(s.transformed_columns, s.cw / 2), as_fftw(ws->spectrum.get()), nullptr,
                           half, 1, as_fftw(ws->spectrum.get()), nullptr, half, 1, FFTW_FORWARD, FFTW_ESTIMATE);
    s.coarse_backward.plan =
        fftw_plan_dft_c2r_2d(s.ch, s.cw, as_fftw(ws->coarse.get()), ws->surface.get(), FFTW_ESTIMATE);
  }
  if (s.rows_forward.plan == nullptr || s.columns_forward.plan == nullptr ||
      s.coarse_columns_forward.plan == nullptr || s.coarse_backward.plan == nullptr ||
      s.transformed_columns == 0 || !s.prepare(reference, *ws, true))
    return;

  // The reference against itself gives its energy and its peak's width.
  s.transform(*ws, false);
  s.reference = PageArray<Complex>(packed);
  const auto half_size = static_cast<std::size_t>(half);
  for (std::size_t r = 0; r < s.rows.size(); ++r) {
    const Complex* row = ws->spectrum.get() + static_cast<std::size_t>(s.rows[r]) * half_size;
    for (std::size_t k = 0; k < static_cast<std::size_t>(s.columns[r]); ++k)
      s.reference[s.offsets[r] + k] = s.weight[s.offsets[r] + k] * std::conj(row[k]);
  }
  const double energy = s.cross_power(*ws, s.reference.span(), true);
  s.reference_squares = std::move(ws->squares);
  // The workspace goes back to the pool with a plain array of its own.
  s.reference_plain = std::exchange(ws->plain, PageArray<double>(area(s.w, s.h)));
  s.reference_kept = energy / ws->energy;
  s.usable = energy > 0 && std::isfinite(energy) && std::isfinite(s.reference_kept);
  if (!s.usable) return;

  s.correlate(*ws);
  const double* surface = ws->surface.get();
  int half_x = 1, half_y = 1;
  while (2 * half_x < s.lag_x && surface[half_x] > 0.5 * surface[0]) ++half_x;
  while (2 * half_y < s.lag_y && surface[static_cast<std::size_t>(half_y) * static_cast<std::size_t>(s.cw)] > 0.5 * surface[0])
    ++half_y;
  s.peak_radius = std::max(4.0, 4.0 * std::max(half_x, half_y));
}

ShiftFinder::~ShiftFinder() = default;

FrameShift ShiftFinder::measure(std::span<const double> frame) const {
  State& s = *state_;
  FrameShift result;
  if (!s.usable || frame.size() != area(s.w, s.h)) return result;

  const State::Lease ws(s);
  if (!s.prepare(frame, *ws, false)) return result;
  s.transform(*ws, true);
  const double energy = s.cross_power(*ws, s.reference.span(), true);
  const double kept = energy / ws->energy;
  if (!(energy > 0) || !std::isfinite(energy) || !std::isfinite(kept)) return result;

  // The peak on the coarse surface, every second lag.
  s.correlate(*ws);
  const double* surface = ws->surface.get();
  const auto at = [&](int n, int m) {
    const int x = n < 0 ? n + s.cw : n;
    const int y = m < 0 ? m + s.ch : m;
    return surface[static_cast<std::size_t>(y) * static_cast<std::size_t>(s.cw) + static_cast<std::size_t>(x)];
  };
  const int reach_x = s.lag_x / 2, reach_y = s.lag_y / 2;
  int best_n = 0, best_m = 0;
  double best = -std::numeric_limits<double>::infinity();
  for (int m = -reach_y; m <= reach_y; ++m)
    for (int n = -reach_x; n <= reach_x; ++n)
      if (at(n, m) > best) {
        best = at(n, m);
        best_n = n;
        best_m = m;
      }

  // The best correlation away from the peak: how far the peak stands out.
  double rival = 0;
  int rival_n = 0, rival_m = 0;
  const double r2 = s.peak_radius * s.peak_radius;
  for (int m = -reach_y; m <= reach_y; ++m)
    for (int n = -reach_x; n <= reach_x; ++n) {
      const double ex = 2.0 * (n - best_n), ey = 2.0 * (m - best_m);
      if (ex * ex + ey * ey > r2 && at(n, m) > rival) {
        rival = at(n, m);
        rival_n = n;
        rival_m = m;
      }
    }

  // Newton steps on the band-limited correlation, from a parabola through
  // the coarse peak's neighbours, within two pixels of the coarse peak:
  // first over the coarse band (its value is the one the rival is weighed
  // against), then over all the kept frequencies.
  const auto vertex = [](double a, double b, double c) {
    const double d = a - 2 * b + c;
    return d < 0 ? std::clamp(0.5 * (a - c) / d, -0.5, 0.5) : 0.0;
  };
  const double cx = 2.0 * best_n, cy = 2.0 * best_m;
  double sx = cx + 2 * vertex(at(best_n - 1, best_m), best, at(best_n + 1, best_m));
  double sy = cy + 2 * vertex(at(best_n, best_m - 1), best, at(best_n, best_m + 1));
  const double coarse_value = std::max(best, s.climb(s.packed(*ws), sx, sy, cx, cy, true));

  const auto lag = [](double v) { return static_cast<int>(std::lround(v)); };
  result.correlation = s.normalised(coarse_value, lag(sx), lag(sy), *ws, kept);
  const double second = rival > 0 ? s.normalised(rival, 2 * rival_n, 2 * rival_m, *ws, kept) : 0;
  result.confidence = std::max(0.0, result.correlation - second);
  // A peak on the edge of the searched lags most likely lies beyond them.
  if (std::abs(best_n) == reach_x || std::abs(best_m) == reach_y) result.confidence = 0;

  // A frame left out keeps the coarse band's peak, as does one sharing too
  // little with the reference.
  result.matched = result.confidence >= kMinShiftConfidence;
  if (result.matched) s.refine(*ws, sx, sy);
  result.dx = sx;
  result.dy = sy;
  return result;
}

}  // namespace kadrix::import
