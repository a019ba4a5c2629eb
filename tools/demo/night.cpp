#include "tools/demo/night.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "bmp/file_io.h"
#include "bmp/replace_files.h"
#include "tools/demo/random.h"

namespace kadrix::demo {

namespace {

// Stream numbers under one object: the plan, then one per frame; a raw
// object's drift and calibration frames come after the most frames there
// can be, so a raw night draws its stars and frame noise as a clean one.
constexpr std::uint64_t kPlanStream = 0;
constexpr std::uint64_t kRawPlanStream = 1000;
constexpr std::uint64_t kDarkStream = 2000;  // + dark number
constexpr std::uint64_t kFlatStream = 3000;  // + flat number
// The night's camera is drawn under an "object" no list can reach.
constexpr std::uint64_t kCameraObject = 1u << 20;

constexpr std::array<const char*, 16> kCatalogue = {
    "M42", "M51", "NGC253", "M31", "M13", "M101", "NGC891", "M33",
    "M81", "IC434", "M57", "NGC300", "M27", "IC1396", "M82", "NGC247"};

int star_count(std::int32_t width, std::int32_t height) {
  // About one star per 700 pixels: crowded enough to be interesting,
  // sparse enough that most windows still see plenty of sky.
  const std::int64_t area = static_cast<std::int64_t>(width) * height;
  const std::int64_t n = area / 700;
  return static_cast<int>(n < 6 ? 6 : n);
}

Star make_star(Random& r, std::int32_t width, std::int32_t height, double seeing) {
  Star s;
  s.x = uniform(r, 2.0, width - 3.0);
  s.y = uniform(r, 2.0, height - 3.0);
  // Many faint stars, fewer bright ones, and a few that saturate.
  const double u = uniform(r);
  if (uniform(r) < 0.08) {
    s.peak = uniform(r, 200.0, 900.0);
  } else {
    s.peak = 6.0 + 180.0 * u * u * u * u;
  }
  s.sigma = seeing * uniform(r, 0.8, 1.5);
  // Rounded as the star table prints them, so the table is exact.
  s.x = std::round(s.x * 100.0) / 100.0;
  s.y = std::round(s.y * 100.0) / 100.0;
  s.peak = std::round(s.peak * 10.0) / 10.0;
  s.sigma = std::round(s.sigma * 100.0) / 100.0;
  return s;
}

// Adds peak * exp(-r^2 / 2 sigma^2) around (cx, cy); the profile is
// separable, so one row and one column of weights serve the whole stamp.
void add_star(std::vector<double>& image, std::int32_t width, std::int32_t height, double cx,
              double cy, double peak, double sigma) {
  const int radius = static_cast<int>(4.0 * sigma) + 1;
  const int x0 = static_cast<int>(std::floor(cx)) - radius;
  const int y0 = static_cast<int>(std::floor(cy)) - radius;
  const int side = 2 * radius + 2;
  const double inv = 1.0 / (2.0 * sigma * sigma);
  std::vector<double> wx(static_cast<std::size_t>(side));
  std::vector<double> wy(static_cast<std::size_t>(side));
  for (int i = 0; i < side; ++i) {
    const double dx = (x0 + i) - cx;
    const double dy = (y0 + i) - cy;
    wx[static_cast<std::size_t>(i)] = exp_nonpositive(-(dx * dx) * inv);
    wy[static_cast<std::size_t>(i)] = peak * exp_nonpositive(-(dy * dy) * inv);
  }
  for (int j = 0; j < side; ++j) {
    const int y = y0 + j;
    if (y < 0 || y >= height) continue;
    double* row = image.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int i = 0; i < side; ++i) {
      const int x = x0 + i;
      if (x < 0 || x >= width) continue;
      row[x] += wy[static_cast<std::size_t>(j)] * wx[static_cast<std::size_t>(i)];
    }
  }
}

void add_at(std::vector<double>& image, std::int32_t width, std::int32_t height, int x, int y,
            double value) {
  if (x < 0 || y < 0 || x >= width || y >= height) return;
  image[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] +=
      value;
}

// Cosmic-ray hits of one frame: single pixels, or short streaks of a
// particle crossing the sensor at a shallow angle.
void add_cosmic_rays(std::vector<double>& image, std::int32_t width, std::int32_t height,
                     Random& r) {
  const std::int64_t area = static_cast<std::int64_t>(width) * height;
  const int hits = static_cast<int>(area / 25000) + uniform_int(r, 0, 2);
  for (int h = 0; h < hits; ++h) {
    int x = uniform_int(r, 0, width - 1);
    int y = uniform_int(r, 0, height - 1);
    const double energy = uniform(r, 80.0, 255.0);
    if (uniform(r) < 0.6) {
      add_at(image, width, height, x, y, energy);
      continue;
    }
    int dx = 0;
    int dy = 0;
    while (dx == 0 && dy == 0) {
      dx = uniform_int(r, -1, 1);
      dy = uniform_int(r, -1, 1);
    }
    const int length = uniform_int(r, 2, 7);
    for (int i = 0; i < length; ++i, x += dx, y += dy) {
      add_at(image, width, height, x, y, energy * uniform(r, 0.6, 1.0));
    }
  }
}

RawCamera plan_camera(const NightSettings& settings) {
  Random r = make_random(settings.seed, kCameraObject, kPlanStream);
  const double w = settings.width;
  const double h = settings.height;
  RawCamera c;
  c.sensor_key = next_u64(r);
  c.dark_level = uniform(r, 8.0, 12.0);
  c.hot_fraction = uniform(r, 0.002, 0.004);
  c.saturated_share = 0.15;
  c.vignetting = uniform(r, 0.28, 0.34);
  c.centre_x = (w - 1.0) * uniform(r, 0.45, 0.55);
  c.centre_y = (h - 1.0) * uniform(r, 0.45, 0.55);
  c.dust_radius = uniform(r, 10.0, 15.0);
  c.dust_width = c.dust_radius * uniform(r, 0.2, 0.3);
  c.dust_depth = uniform(r, 0.035, 0.06);
  // The whole ring on the frame where it fits, anywhere on it where not.
  const double margin = c.dust_radius + 2.0 * c.dust_width;
  const double ux = uniform(r);
  const double uy = uniform(r);
  c.dust_x = w > 2.0 * margin ? margin + (w - 1.0 - 2.0 * margin) * ux : (w - 1.0) * ux;
  c.dust_y = h > 2.0 * margin ? margin + (h - 1.0 - 2.0 * margin) * uy : (h - 1.0) * uy;
  c.flat_level = uniform(r, 150.0, 170.0);
  return c;
}

// A uniform number in [0, 1) that only (key, value) decide.
double hashed_uniform(std::uint64_t key, std::uint64_t value) {
  return static_cast<double>(mix64(key ^ mix64(value * 0x9E3779B97F4A7C15ull + 0x7F4A7C15ull)) >> 11) *
         (1.0 / 9007199254740992.0);
}

ByteImage to_bytes(const std::vector<double>& image, std::int32_t w, std::int32_t h) {
  ByteImage frame;
  frame.width = w;
  frame.height = h;
  frame.pixels.resize(image.size());
  for (std::size_t i = 0; i < image.size(); ++i) {
    double v = image[i];
    if (v < 0.0) v = 0.0;
    if (v > 255.0) v = 255.0;
    frame.pixels[i] = static_cast<std::uint8_t>(v + 0.5);
  }
  return frame;
}

// Read noise plus shot noise of the signal, both as Gaussian deviates.
void add_noise(std::vector<double>& image, const ObjectPlan& plan, Random& r) {
  const double read_variance = plan.read_noise * plan.read_noise;
  const double inv_gain = 1.0 / plan.gain;
  for (double& v : image) {
    const double signal = v > 0.0 ? v : 0.0;
    v += std::sqrt(read_variance + signal * inv_gain) * normal(r);
  }
}

// Stuck hot pixels read 255 whatever else the exposure holds.
void saturate_hot_pixels(std::vector<double>& image, const ObjectPlan& plan) {
  const std::int32_t w = plan.width;
  for (std::int32_t y = 0; y < plan.height; ++y) {
    for (std::int32_t x = 0; x < w; ++x) {
      if (sensor_pixel(plan.camera, x, y, w).saturated) {
        image[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(x)] = 255.0;
      }
    }
  }
}

}  // namespace

SensorPixel sensor_pixel(const RawCamera& camera, std::int32_t x, std::int32_t y, std::int32_t width) {
  const auto at = static_cast<std::uint64_t>(y) * static_cast<std::uint64_t>(width) + static_cast<std::uint64_t>(x);
  SensorPixel p;
  // Each pixel's own dark current, 0.6 to 1.4 times the mean.
  p.dark = camera.dark_level * (0.6 + 0.8 * hashed_uniform(camera.sensor_key, 4 * at));
  if (hashed_uniform(camera.sensor_key, 4 * at + 1) < camera.hot_fraction) {
    const double kind = hashed_uniform(camera.sensor_key, 4 * at + 2);
    if (kind < camera.saturated_share) p.saturated = true;
    else p.dark += camera.warm_min + camera.warm_span * hashed_uniform(camera.sensor_key, 4 * at + 3);
  }
  return p;
}

double light_share(const RawCamera& camera, std::int32_t width, std::int32_t height, double x, double y) {
  // Vignetting falls as the square of the distance from the optical centre,
  // by the full amount at the farthest corner.
  const double far_x = camera.centre_x > 0.5 * (width - 1) ? camera.centre_x : (width - 1) - camera.centre_x;
  const double far_y = camera.centre_y > 0.5 * (height - 1) ? camera.centre_y : (height - 1) - camera.centre_y;
  const double ex = x - camera.centre_x;
  const double ey = y - camera.centre_y;
  const double q = (ex * ex + ey * ey) / (far_x * far_x + far_y * far_y);
  const double vignetting = 1.0 - camera.vignetting * q;
  // Out-of-focus dust casts a ring: darkest on a circle, lighter inside.
  const double dx = x - camera.dust_x;
  const double dy = y - camera.dust_y;
  const double t = (std::sqrt(dx * dx + dy * dy) - camera.dust_radius) / camera.dust_width;
  const double dust = 1.0 - camera.dust_depth * exp_nonpositive(-0.5 * t * t);
  return vignetting * dust;
}

std::string object_name(int index) {
  if (index >= 0 && index < static_cast<int>(kCatalogue.size())) {
    return kCatalogue[static_cast<std::size_t>(index)];
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "FLD%03d", (index + 1) % 1000);
  return buffer;
}

ObjectPlan plan_object(const NightSettings& settings, int index) {
  ObjectPlan plan;
  plan.index = index;
  plan.name = object_name(index);
  plan.width = settings.width;
  plan.height = settings.height;
  plan.seed = settings.seed;

  Random r = make_random(settings.seed, static_cast<std::uint64_t>(index), kPlanStream);
  // Drawn first so that it does not depend on anything else.
  const int own_frames = uniform_int(r, 10, 20);
  plan.frame_count = settings.frames > 0 ? settings.frames : own_frames;

  plan.sky_level = uniform(r, 25.0, 55.0);
  plan.sky_slope_x = uniform(r, -12.0, 12.0);
  plan.sky_slope_y = uniform(r, -12.0, 12.0);
  plan.read_noise = uniform(r, 2.0, 3.5);
  plan.gain = uniform(r, 1.5, 3.0);

  const double seeing = uniform(r, 0.9, 1.5);
  const int stars = star_count(plan.width, plan.height);
  plan.stars.reserve(static_cast<std::size_t>(stars));
  for (int i = 0; i < stars; ++i) plan.stars.push_back(make_star(r, plan.width, plan.height, seeing));

  // Tracking: a slow drift plus jitter, centred so the star table gives
  // each star's mean position over the frames.
  const double drift_x = uniform(r, -0.06, 0.06);
  const double drift_y = uniform(r, -0.06, 0.06);
  const auto n = static_cast<std::size_t>(plan.frame_count);
  plan.raw = settings.raw;
  double step_x = drift_x;
  double step_y = drift_y;
  if (plan.raw) {
    // An unguided mount: the field walks several pixels over the series.
    plan.camera = plan_camera(settings);
    Random q = make_random(settings.seed, static_cast<std::uint64_t>(index), kRawPlanStream);
    const double total_x = uniform(q, 3.0, 5.0) * (uniform(q) < 0.5 ? -1.0 : 1.0);
    const double total_y = uniform(q, 1.5, 3.5) * (uniform(q) < 0.5 ? -1.0 : 1.0);
    step_x = n > 1 ? total_x / static_cast<double>(n - 1) : 0.0;
    step_y = n > 1 ? total_y / static_cast<double>(n - 1) : 0.0;
  }
  plan.offset_x.resize(n);
  plan.offset_y.resize(n);
  double sum_x = 0.0;
  double sum_y = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    plan.offset_x[k] = step_x * static_cast<double>(k) + 0.2 * normal(r);
    plan.offset_y[k] = step_y * static_cast<double>(k) + 0.2 * normal(r);
    sum_x += plan.offset_x[k];
    sum_y += plan.offset_y[k];
  }
  for (std::size_t k = 0; k < n; ++k) {
    plan.offset_x[k] -= sum_x / static_cast<double>(n);
    plan.offset_y[k] -= sum_y / static_cast<double>(n);
  }
  if (plan.raw) {
    // Rounded as the offset table prints them, so the table is exact.
    for (std::size_t k = 0; k < n; ++k) {
      plan.offset_x[k] = std::round(plan.offset_x[k] * 10000.0) / 10000.0;
      plan.offset_y[k] = std::round(plan.offset_y[k] * 10000.0) / 10000.0;
    }
  }

  const int hot = uniform_int(r, 1, 2);
  for (int i = 0; i < hot; ++i) {
    HotPixel p;
    p.x = uniform_int(r, 0, plan.width - 1);
    p.y = uniform_int(r, 0, plan.height - 1);
    p.frame = uniform_int(r, 1, plan.frame_count);
    plan.hot_pixels.push_back(p);
  }
  return plan;
}

std::vector<ObjectPlan> plan_night(const NightSettings& settings) {
  std::vector<ObjectPlan> night;
  night.reserve(static_cast<std::size_t>(settings.objects));
  for (int i = 0; i < settings.objects; ++i) night.push_back(plan_object(settings, i));
  return night;
}

ByteImage render_frame(const ObjectPlan& plan, int frame_number) {
  const std::int32_t w = plan.width;
  const std::int32_t h = plan.height;
  const std::size_t count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  Random r = make_random(plan.seed, static_cast<std::uint64_t>(plan.index),
                         static_cast<std::uint64_t>(frame_number));

  // Sky: a linear gradient whose level wanders a little from frame to frame.
  const double level = plan.sky_level + 0.8 * normal(r);
  const double step_x = plan.sky_slope_x / w;
  const double step_y = plan.sky_slope_y / h;
  std::vector<double> image(count);
  for (std::int32_t y = 0; y < h; ++y) {
    const double row_level = level + step_y * (y - 0.5 * h);
    double* row = image.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    for (std::int32_t x = 0; x < w; ++x) row[x] = row_level + step_x * (x - 0.5 * w);
  }

  const auto k = static_cast<std::size_t>(frame_number - 1);
  for (const Star& s : plan.stars) {
    add_star(image, w, h, s.x + plan.offset_x[k], s.y + plan.offset_y[k], s.peak, s.sigma);
  }

  if (plan.raw) {
    // The optics dim the light before the sensor adds its dark signal.
    for (std::int32_t y = 0; y < h; ++y) {
      double* row = image.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
      for (std::int32_t x = 0; x < w; ++x) {
        row[x] = row[x] * light_share(plan.camera, w, h, x, y) + sensor_pixel(plan.camera, x, y, w).dark;
      }
    }
  }

  add_noise(image, plan, r);

  add_cosmic_rays(image, w, h, r);
  for (const HotPixel& p : plan.hot_pixels) {
    if (p.frame == frame_number) {
      image[static_cast<std::size_t>(p.y) * static_cast<std::size_t>(w) + static_cast<std::size_t>(p.x)] = 255.0;
    }
  }
  if (plan.raw) saturate_hot_pixels(image, plan);
  return to_bytes(image, w, h);
}

ByteImage render_dark(const ObjectPlan& plan, int k) {
  // Same exposure as the lights with the shutter closed: the sensor's dark
  // signal, its noise and the odd cosmic ray.
  const std::int32_t w = plan.width;
  const std::int32_t h = plan.height;
  Random r = make_random(plan.seed, static_cast<std::uint64_t>(plan.index),
                         kDarkStream + static_cast<std::uint64_t>(k));
  std::vector<double> image(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  for (std::int32_t y = 0; y < h; ++y) {
    double* row = image.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    for (std::int32_t x = 0; x < w; ++x) row[x] = sensor_pixel(plan.camera, x, y, w).dark;
  }
  add_noise(image, plan, r);
  add_cosmic_rays(image, w, h, r);
  saturate_hot_pixels(image, plan);
  return to_bytes(image, w, h);
}

ByteImage render_flat(const ObjectPlan& plan, int k) {
  // A short exposure of an evenly lit screen: no dark signal to speak of,
  // only the optics' light share and the stuck pixels.
  const std::int32_t w = plan.width;
  const std::int32_t h = plan.height;
  Random r = make_random(plan.seed, static_cast<std::uint64_t>(plan.index),
                         kFlatStream + static_cast<std::uint64_t>(k));
  const double level = plan.camera.flat_level * (1.0 + 0.01 * normal(r));
  std::vector<double> image(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
  for (std::int32_t y = 0; y < h; ++y) {
    double* row = image.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    for (std::int32_t x = 0; x < w; ++x) row[x] = level * light_share(plan.camera, w, h, x, y);
  }
  add_noise(image, plan, r);
  saturate_hot_pixels(image, plan);
  return to_bytes(image, w, h);
}

std::string offset_table(const ObjectPlan& plan) {
  std::string text = "frame,dx,dy\n";
  char line[96];
  for (std::size_t k = 0; k < plan.offset_x.size(); ++k) {
    std::snprintf(line, sizeof line, "%d,%.4f,%.4f\n", static_cast<int>(k + 1), plan.offset_x[k], plan.offset_y[k]);
    text += line;
  }
  return text;
}

std::string star_table(const ObjectPlan& plan) {
  std::string text = "x,y,peak\n";
  char line[96];
  for (const Star& s : plan.stars) {
    std::snprintf(line, sizeof line, "%.2f,%.2f,%.1f\n", s.x, s.y, s.peak);
    text += line;
  }
  return text;
}

std::string star_file(const std::string& dir, const std::string& name) {
  return dir + name + "_stars.csv";
}

namespace {

std::string numbered(const std::string& dir, const std::string& name, const char* kind, int k) {
  char number[16];
  std::snprintf(number, sizeof number, "%02d", k);
  return dir + name + kind + number + ".BMP";
}

bool write_text(const std::string& path, const std::string& text) {
  OutputFile out(path, text.size());
  out.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return out.finish();
}

}  // namespace

std::string dark_path(const std::string& dir, const std::string& name, int k) {
  return numbered(dir, name, "_DARK", k);
}

std::string flat_path(const std::string& dir, const std::string& name, int k) {
  return numbered(dir, name, "_FLAT", k);
}

std::string offset_file(const std::string& dir, const std::string& name) {
  return dir + name + "_offsets.csv";
}

bool write_object(const std::string& dir, const ObjectPlan& plan, std::string& failed_path) {
  // Every file goes to a temporary first; the object's files take their
  // names together, once all are complete.
  std::vector<std::string> paths;
  for (int k = 1; k <= plan.frame_count; ++k) paths.push_back(frame_path(dir, plan.name, k));
  paths.push_back(star_file(dir, plan.name));
  const int darks = plan.raw ? kDarkFrames : 0;
  const int flats = plan.raw ? kFlatFrames : 0;
  for (int k = 1; k <= darks; ++k) paths.push_back(dark_path(dir, plan.name, k));
  for (int k = 1; k <= flats; ++k) paths.push_back(flat_path(dir, plan.name, k));
  if (plan.raw) paths.push_back(offset_file(dir, plan.name));
  PendingGroup group(paths);

  std::size_t at = 0;
  const auto image = [&](const ByteImage& frame) {
    const bool ok = write_frame(group[at].temp_path, frame);
    if (!ok) failed_path = paths[at];
    ++at;
    return ok;
  };
  const auto text = [&](const std::string& content) {
    const bool ok = write_text(group[at].temp_path, content);
    if (!ok) failed_path = paths[at];
    ++at;
    return ok;
  };
  for (int k = 1; k <= plan.frame_count; ++k) {
    if (!image(render_frame(plan, k))) return false;
  }
  if (!text(star_table(plan))) return false;
  for (int k = 1; k <= darks; ++k) {
    if (!image(render_dark(plan, k))) return false;
  }
  for (int k = 1; k <= flats; ++k) {
    if (!image(render_flat(plan, k))) return false;
  }
  if (plan.raw && !text(offset_table(plan))) return false;
  if (const int failed = group.commit(); failed >= 0) {
    failed_path = paths[static_cast<std::size_t>(failed)];
    return false;
  }

  std::error_code ignored;
  for (int k = plan.frame_count + 1; k <= kMaxFrames; ++k) {
    std::filesystem::remove(frame_path(dir, plan.name, k), ignored);
  }
  for (int k = darks + 1; k <= 99; ++k) std::filesystem::remove(dark_path(dir, plan.name, k), ignored);
  for (int k = flats + 1; k <= 99; ++k) std::filesystem::remove(flat_path(dir, plan.name, k), ignored);
  if (!plan.raw) std::filesystem::remove(offset_file(dir, plan.name), ignored);
  return true;
}

}  // namespace kadrix::demo
