#pragma once
// The per-object record and the fixed parameters of a run.

#include <cstdint>
#include <string>
#include <vector>

namespace kadrix {

inline constexpr int kNameCapacity = 200;
inline constexpr int kNameSlotBytes = 10;
inline constexpr int kNameMaxChars = 6;
inline constexpr int kMaxFrames = 100;
inline constexpr double kSigmaFactor = 3.0;
inline constexpr int kBackgroundRadius = 5;
inline constexpr double kEmptyWindowValue = 255.0;

// Per-pixel arrays, indexed y * width + x with y = 0 the top row.
using MeanImage = std::vector<double>;
using BackgroundMap = std::vector<double>;
using BrightMask = std::vector<std::uint8_t>;
using DetectionMask = std::vector<std::uint8_t>;

// Names of the list in order, each cut to kNameMaxChars characters.
using NameTable = std::vector<std::string>;

struct ObjectRecord {
  std::int32_t index = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t frame_count = 0;
  std::int32_t pixel_count = 0;
  MeanImage mean_image;
  BackgroundMap background_image;
  double level = 0.0;
  double sigma = 0.0;
  DetectionMask detection_mask;
};

}  // namespace kadrix
