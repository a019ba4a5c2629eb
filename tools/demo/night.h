#pragma once
// A synthetic observing night: for each object a series of 8-bit frames of
// one star field, as a small telescope camera would give them.

#include <cstdint>
#include <string>
#include <vector>

#include "bmp/frame_files.h"
#include "driver/object_list.h"

namespace kadrix::demo {

inline constexpr int kMaxObjects = kMaxNames;
inline constexpr int kMinSide = 8;
inline constexpr int kMaxSide = 4096;  // keeps one frame's working buffer within 128 MiB

struct NightSettings {
  int objects = 3;
  int frames = 0;  // 0: each object gets its own count, 10 to 20
  std::int32_t width = 203;   // not a multiple of 4, so rows carry padding
  std::int32_t height = 157;
  std::uint64_t seed = 1;
  std::string list_name = "lista.list";
  bool raw = false;  // uncalibrated frames, with darks and flats beside them
};

// Calibration series written per object by a raw night.
inline constexpr int kDarkFrames = 10;
inline constexpr int kFlatFrames = 10;

// The camera and optics of a raw night, one for the whole night: the same
// sensor (its dark pattern and hot pixels) and the same dust on every
// object's frames and calibration frames.
struct RawCamera {
  std::uint64_t sensor_key = 0;  // picks each pixel's dark factor and hot pixels
  double dark_level = 0.0;       // mean dark signal in counts at the lights' exposure
  double hot_fraction = 0.0;     // share of pixels that are hot
  double saturated_share = 0.0;  // of the hot ones, stuck at the top
  double warm_min = 15.0;        // the others' extra dark signal: warm_min
  double warm_span = 110.0;      // to warm_min + warm_span counts
  double vignetting = 0.0;       // fall-off of light from the optical centre to the corners
  double centre_x = 0.0;         // optical centre
  double centre_y = 0.0;
  double dust_x = 0.0;           // centre of the dust ring
  double dust_y = 0.0;
  double dust_radius = 0.0;      // radius of the ring's darkest circle, px
  double dust_width = 0.0;       // Gaussian width of the ring, px
  double dust_depth = 0.0;       // fraction of light the darkest circle loses
  double flat_level = 0.0;       // flat frames' counts at the optical centre
};

// One star as placed. Pixel centres lie at whole coordinates; y = 0 is the
// top row. The position is the mean over the object's frames (each frame
// is shifted by a small drift and jitter around it); peak is the height of
// the profile above the sky in counts, before noise and clipping at 255.
struct Star {
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  double sigma = 0.0;  // Gaussian width in pixels
};

// A pixel that is saturated in one frame only.
struct HotPixel {
  std::int32_t x = 0;
  std::int32_t y = 0;
  int frame = 1;
};

struct ObjectPlan {
  int index = 0;
  std::string name;  // at most 6 characters
  std::int32_t width = 0;
  std::int32_t height = 0;
  int frame_count = 0;
  std::uint64_t seed = 0;
  double sky_level = 0.0;    // counts at the image centre
  double sky_slope_x = 0.0;  // change of the sky across the full width
  double sky_slope_y = 0.0;  // and across the full height
  double read_noise = 0.0;   // counts
  double gain = 0.0;         // electrons per count: shot noise = sqrt(signal / gain)
  std::vector<Star> stars;
  std::vector<double> offset_x;  // per frame (index 0 = frame 01), mean zero
  std::vector<double> offset_y;
  std::vector<HotPixel> hot_pixels;
  bool raw = false;  // frames as the camera gives them (see RawCamera)
  RawCamera camera;
};

// What the sensor adds to one pixel at the lights' exposure.
struct SensorPixel {
  double dark = 0.0;       // dark signal in counts (a warm pixel's included)
  bool saturated = false;  // a hot pixel stuck at 255
};
SensorPixel sensor_pixel(const RawCamera& camera, std::int32_t x, std::int32_t y, std::int32_t width);

// Share of the light that reaches pixel (x, y): vignetting times the dust ring.
double light_share(const RawCamera& camera, std::int32_t width, std::int32_t height, double x, double y);

// Name of the index-th object: a short catalogue of well-known targets,
// then FLD001, FLD002, ...
std::string object_name(int index);

ObjectPlan plan_object(const NightSettings& settings, int index);
std::vector<ObjectPlan> plan_night(const NightSettings& settings);

// Frame number (1-based) of the object, rows top-down, one byte a pixel.
ByteImage render_frame(const ObjectPlan& plan, int frame_number);

// Dark frame k (1 to kDarkFrames) and flat frame k (1 to kFlatFrames) of
// a raw object.
ByteImage render_dark(const ObjectPlan& plan, int k);
ByteImage render_flat(const ObjectPlan& plan, int k);

// "frame,dx,dy" header and one line per frame: where the field lies in that
// frame against the star table's positions.
std::string offset_table(const ObjectPlan& plan);

// "x,y,peak" header and one line per star.
std::string star_table(const ObjectPlan& plan);

// The star table's name within the output directory (dir carries its
// trailing '/'); the frames are named by frame_path.
std::string star_file(const std::string& dir, const std::string& name);

// A raw object's calibration frames NAME_DARK01.BMP ... and NAME_FLAT01.BMP
// ..., and its offset table NAME_offsets.csv. With a name of two characters
// or more the part before the number is longer than the 6 characters kadrix
// keeps of a name, so no object's frame or result can take these names.
std::string dark_path(const std::string& dir, const std::string& name, int k);
std::string flat_path(const std::string& dir, const std::string& name, int k);
std::string offset_file(const std::string& dir, const std::string& name);

// Writes the object's frames and star table (and a raw object's darks,
// flats and offset table), and removes higher-numbered frames left by an
// earlier, longer run so the sequence ends where it should; a night that
// is not raw removes the calibration frames and offset table of an earlier
// raw one, which no longer match its frames. On failure returns false with
// the path that failed.
bool write_object(const std::string& dir, const ObjectPlan& plan, std::string& failed_path);

}  // namespace kadrix::demo
