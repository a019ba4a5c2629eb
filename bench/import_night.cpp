// kadrix_import_night DIR/ : the raw night kadrix-import is timed on. 30
// lights, 12 darks, 12 flats and 12 biases of 1024 x 1024, 16-bit FITS
// (BITPIX 16, BZERO 32768), as a cooled deep-sky camera writes them: a star
// field drifting a few pixels, a bias level, dark current with hot pixels,
// vignetting and a dust ring. The same bytes on every run (the demo's
// random source). Also writes lights.txt, darks.txt, flats.txt and
// biases.txt, one path a line, for kadrix-import's @ lists.

#include <fitsio.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bmp/file_io.h"
#include "tools/demo/night.h"
#include "tools/demo/random.h"
#include "tools/fits/fits_file.h"

namespace {

using kadrix::demo::exp_nonpositive;
using kadrix::demo::make_random;
using kadrix::demo::normal;
using kadrix::demo::Random;
using kadrix::demo::uniform;

constexpr int kSide = 1024;
constexpr int kLights = 30;
constexpr int kDarks = 12;
constexpr int kFlats = 12;
constexpr int kBiases = 12;
constexpr std::uint64_t kSeed = 20261210;
constexpr double kBias = 1000.0;
constexpr double kDarkLevel = 300.0;
constexpr double kSky = 2500.0;
constexpr double kFlatLevel = 28000.0;
constexpr double kReadNoise = 9.0;
constexpr double kGain = 1.0;  // electrons per count

enum class Kind { light, dark, flat, bias };

// The camera: the demo's raw camera model at 16 bits, the optics centred,
// a dust ring above and right of the centre.
kadrix::demo::RawCamera camera() {
  kadrix::demo::RawCamera c;
  c.sensor_key = kSeed;
  c.dark_level = kDarkLevel;
  c.hot_fraction = 0.003;
  c.saturated_share = 0.15;
  c.warm_min = 2000.0;
  c.warm_span = 20000.0;
  c.vignetting = 0.3;
  c.centre_x = 0.5 * (kSide - 1);
  c.centre_y = 0.5 * (kSide - 1);
  c.dust_x = 700.0;
  c.dust_y = 300.0;
  c.dust_radius = 40.0;
  c.dust_width = 10.0;
  c.dust_depth = 0.05;
  c.flat_level = kFlatLevel;
  return c;
}

struct Star {
  double x, y, peak, sigma;
};

std::vector<Star> stars() {
  Random r = make_random(kSeed, 0, 0);
  std::vector<Star> list(1500);
  for (Star& s : list) {
    s.x = uniform(r, 5.0, kSide - 6.0);
    s.y = uniform(r, 5.0, kSide - 6.0);
    const double u = uniform(r);
    s.peak = 200.0 + 40000.0 * u * u * u * u;
    s.sigma = uniform(r, 1.4, 2.2);
  }
  return list;
}

void add_star(std::vector<double>& image, const Star& s, double ox, double oy) {
  const double cx = s.x + ox;
  const double cy = s.y + oy;
  const int radius = static_cast<int>(4.0 * s.sigma) + 1;
  const double inv = 1.0 / (2.0 * s.sigma * s.sigma);
  for (int y = static_cast<int>(cy) - radius; y <= static_cast<int>(cy) + radius + 1; ++y) {
    if (y < 0 || y >= kSide) continue;
    const double wy = exp_nonpositive(-(y - cy) * (y - cy) * inv);
    for (int x = static_cast<int>(cx) - radius; x <= static_cast<int>(cx) + radius + 1; ++x) {
      if (x < 0 || x >= kSide) continue;
      image[static_cast<std::size_t>(y) * kSide + static_cast<std::size_t>(x)] +=
          s.peak * wy * exp_nonpositive(-(x - cx) * (x - cx) * inv);
    }
  }
}

std::vector<double> render(const kadrix::demo::RawCamera& lens, Kind kind, int k, const std::vector<Star>& field) {
  Random r = make_random(kSeed, static_cast<std::uint64_t>(kind) + 1, static_cast<std::uint64_t>(k));
  std::vector<double> image(static_cast<std::size_t>(kSide) * kSide, 0.0);
  if (kind == Kind::light) {
    // About 4 px across and 2 down over the series, plus jitter.
    const double ox = 4.0 * (k - 1) / (kLights - 1) + 0.25 * normal(r);
    const double oy = -2.0 * (k - 1) / (kLights - 1) + 0.25 * normal(r);
    for (double& v : image) v = kSky;
    for (const Star& s : field) add_star(image, s, ox, oy);
  }
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) {
      double& v = image[static_cast<std::size_t>(y) * kSide + static_cast<std::size_t>(x)];
      if (kind == Kind::light) v *= kadrix::demo::light_share(lens, kSide, kSide, x, y);
      if (kind == Kind::flat) v = lens.flat_level * kadrix::demo::light_share(lens, kSide, kSide, x, y);
      if (kind == Kind::light || kind == Kind::dark) {
        const kadrix::demo::SensorPixel p = kadrix::demo::sensor_pixel(lens, x, y, kSide);
        if (p.saturated) {
          v = 65535.0;
          continue;
        }
        v += p.dark;
      }
      v += std::sqrt(kReadNoise * kReadNoise + v / kGain) * normal(r) + kBias;
    }
  }
  return image;
}

bool write_fits_frame(const std::string& path, const std::vector<double>& image) {
  constexpr std::size_t kBlock = 2880;
  const std::size_t expected = kBlock + (2 * image.size() + kBlock - 1) / kBlock * kBlock;
  return kadrix::fits::write_fits_file(path, expected, [&](fitsfile* f) {
    int status = 0;
    long axes[2] = {kSide, kSide};
    if (fits_create_img(f, USHORT_IMG, 2, axes, &status) != 0) return false;
    if (fits_write_key_dbl(f, "EXPTIME", 120.0, 3, "s", &status) != 0) return false;
    std::vector<unsigned short> row(kSide);
    for (int j = 0; j < kSide; ++j) {
      // FITS stores the bottom row first.
      const double* from = image.data() + static_cast<std::size_t>(kSide - 1 - j) * kSide;
      for (int i = 0; i < kSide; ++i) {
        const double v = from[i] < 0.0 ? 0.0 : (from[i] > 65535.0 ? 65535.0 : from[i]);
        row[static_cast<std::size_t>(i)] = static_cast<unsigned short>(v + 0.5);
      }
      long first[2] = {1, j + 1};
      if (fits_write_pix(f, TUSHORT, first, kSide, row.data(), &status) != 0) return false;
    }
    return true;
  });
}

bool write_text(const std::string& path, const std::string& text) {
  kadrix::OutputFile out(path, text.size());
  out.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return out.finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Wywolanie: kadrix_import_night KATALOG/\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::vector<Star> field = stars();
  const kadrix::demo::RawCamera lens = camera();
  const struct {
    Kind kind;
    const char* name;
    int count;
  } series[] = {{Kind::light, "light", kLights},
                {Kind::dark, "dark", kDarks},
                {Kind::flat, "flat", kFlats},
                {Kind::bias, "bias", kBiases}};
  for (const auto& s : series) {
    std::string list;
    for (int k = 1; k <= s.count; ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "%s%02d.fits", s.name, k);
      const std::string path = dir + name;
      if (!write_fits_frame(path, render(lens, s.kind, k, field))) {
        std::fprintf(stderr, "Blad zapisu pliku %s\n", path.c_str());
        return 1;
      }
      list += path + "\n";
    }
    const std::string list_path = dir + s.name + (s.kind == Kind::bias ? "es.txt" : "s.txt");
    if (!write_text(list_path, list)) {
      std::fprintf(stderr, "Blad zapisu pliku %s\n", list_path.c_str());
      return 1;
    }
  }
  return 0;
}
