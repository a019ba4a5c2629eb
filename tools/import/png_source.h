#pragma once
// PNG images through libpng: greyscale of 1 to 16 bits (below 8 bits
// stretched to 8, as libpng expands them), colour made grey by the integer
// luminance (299 R + 587 G + 114 B + 500) / 1000, palette images through
// their palette. An alpha channel is left out; no gamma is applied, the
// stored values are the data.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace kadrix::import {

// What deflate can expand one byte into, at most; a PNG claiming more
// pixel data than that has forged sizes.
inline constexpr std::uint64_t kMaxDeflateRatio = 1032;

struct PngInfo {
  std::int32_t width = 0;
  std::int32_t height = 0;
  int bit_depth = 8;   // as stored
  int colour_type = 0; // as stored (PNG_COLOR_TYPE_*)
  bool interlaced = false;
};

// Reads the header of the file; false with the reason in why.
bool read_png_info(const std::string& path, PngInfo& info, std::string& why);

// Reads the image row by row, top row first: row(y, values) gets the grey
// value of every pixel of row y (0 to 255, or 0 to 65535 for 16 bits).
bool read_png_image(const std::string& path, const PngInfo& info,
                    const std::function<void(std::int32_t y, std::span<const double> values)>& row,
                    std::string& why);

// The same two on a PNG held in memory.
bool read_png_info(std::span<const std::uint8_t> bytes, PngInfo& info, std::string& why);
bool read_png_image(std::span<const std::uint8_t> bytes, const PngInfo& info,
                    const std::function<void(std::int32_t y, std::span<const double> values)>& row,
                    std::string& why);

}  // namespace kadrix::import
