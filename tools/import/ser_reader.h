#pragma once
// SER videos, as planetary and lunar capture programs write them: a
// 178-byte header ("LUCAM-RECORDER", then little-endian int32 fields),
// FrameCount frames of raw samples with the top row first, and an optional
// trailer of time stamps that nothing here reads. Every header field is
// checked, and FrameCount against the file size, before any pixel is read.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "bmp/file_io.h"

namespace kadrix::import {

inline constexpr std::uint64_t kSerHeaderBytes = 178;

// Grey value of a pixel with a sample above 2^depth - 1: written as 255.
inline constexpr std::uint32_t kSerOverRange = UINT32_MAX;

enum class SerFault {
  none,
  short_header,     // fewer than 178 bytes
  no_signature,     // does not start with "LUCAM-RECORDER"
  bayer,            // a colour mosaic (ColorID 8-11, 16-19); value: the ColorID
  colour,           // a ColorID this reader does not know; value: the ColorID
  depth,            // PixelDepthPerPlane outside 1 to 16; value: the depth
  width,            // ImageWidth <= 0; value: the width
  height,           // ImageHeight <= 0; value: the height
  pixel_count,      // width * height beyond the signed 32-bit range (no BMP holds it)
  frame_count,      // FrameCount < 0; value: the count
  truncated,        // FrameCount frames do not fit in the file; value: whole frames it holds
  read_failed,      // a read failed part-way
};

struct SerCheck {
  SerFault fault = SerFault::none;
  std::int64_t value = 0;
  bool ok() const { return fault == SerFault::none; }
};

struct SerHeader {
  std::int32_t color_id = 0;       // 0 MONO, 100 RGB, 101 BGR
  std::int32_t little_endian = 0;  // the header's byte-order flag, as written
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t depth = 0;  // PixelDepthPerPlane, 1 to 16
  std::int32_t frame_count = 0;
  int planes = 1;        // samples a pixel: 1, or 3 for RGB and BGR
  int sample_bytes = 1;  // 1 for depths up to 8, 2 above
  std::uint64_t row_bytes = 0;
  std::uint64_t frame_bytes = 0;
};

// How 16-bit samples are stored: as the header's flag says, or forced for
// files whose writer set the flag wrong.
enum class SerByteOrder { from_header, little, big };

// The name of a Bayer pattern's ColorID ("RGGB", ...), or nullptr.
const char* ser_bayer_pattern(std::int32_t color_id);

// Checks the header bytes (fewer than 178 is a fault) of a file of
// file_size bytes and fills header; on a truncated fault the header is
// complete and value holds the whole frames the file has room for.
SerCheck parse_ser_header(std::span<const std::uint8_t> bytes, std::uint64_t file_size, SerHeader& header);

bool ser_big_endian(const SerHeader& header, SerByteOrder order);

// One row of raw samples (header.row_bytes) to grey values: MONO samples
// as they are, RGB and BGR by (299 R + 587 G + 114 B + 500) / 1000; a pixel
// with any sample above 2^depth - 1 gets kSerOverRange.
void ser_grey_row(const SerHeader& header, bool big_endian, std::span<const std::uint8_t> raw,
                  std::span<std::uint32_t> grey);

struct SerFile {
  FileHandle file;
  SerHeader header;
};

enum class SerOpen { ok, absent, unusable };

// Opens and checks path: absent when it is not a regular file that can be
// opened; unusable with the reason in check.
SerOpen open_ser(const std::string& path, SerFile& out, SerCheck& check);

// Reads frame index (0-based, below frame_count) row by row, top row first:
// row(y, grey) receives image row y. False when a read fails.
bool read_ser_frame(const SerFile& ser, std::int32_t index, SerByteOrder order,
                    const std::function<void(std::int32_t y, std::span<const std::uint32_t> grey)>& row);

}  // namespace kadrix::import
