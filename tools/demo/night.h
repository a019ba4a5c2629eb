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
};

// Name of the index-th object: a short catalogue of well-known targets,
// then FLD001, FLD002, ...
std::string object_name(int index);

ObjectPlan plan_object(const NightSettings& settings, int index);
std::vector<ObjectPlan> plan_night(const NightSettings& settings);

// Frame number (1-based) of the object, rows top-down, one byte a pixel.
ByteImage render_frame(const ObjectPlan& plan, int frame_number);

// "x,y,peak" header and one line per star.
std::string star_table(const ObjectPlan& plan);

// The star table's name within the output directory (dir carries its
// trailing '/'); the frames are named by frame_path.
std::string star_file(const std::string& dir, const std::string& name);

// Writes the object's frames and star table, and removes higher-numbered
// frames left by an earlier, longer run so the sequence ends where it
// should. On failure returns false with the path that failed.
bool write_object(const std::string& dir, const ObjectPlan& plan, std::string& failed_path);

}  // namespace kadrix::demo
