#pragma once
// Reading uncompressed BMP frames. Every header field is checked against
// the file before anything is allocated for its pixels.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "bmp/file_io.h"

namespace kadrix {

inline constexpr int kBmpFileHeaderBytes = 14;
inline constexpr int kBmpHeaderBytes = 54;  // file header + 40-byte information header

// Pixel bytes, rows top-down, width * bytes_per_pixel bytes a row, no padding.
struct ByteImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bytes_per_pixel = 1;
  std::vector<std::uint8_t> pixels;
};

// Why a file cannot be read as a frame; one reason per check.
enum class BmpFault {
  none,
  short_header,        // fewer than 54 bytes
  no_signature,        // does not start with "BM"
  small_info_header,   // information header under 40 bytes
  unsupported_bits,    // bit count not 8, 24 or 32
  compressed,          // compression field not 0
  bad_data_offset,     // pixel data would start inside the headers
  bad_width,           // width <= 0
  bad_height,          // height 0 or -2^31
  too_many_pixels,     // width * height beyond the signed 32-bit range
  short_pixels,        // pixel rows reach past the end of the file
  read_failed,         // the file could not be read to its end
};

const char* describe(BmpFault fault);

// The 4 bytes at `at`, least significant first.
std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at);

// The geometry of a checked file.
struct BmpLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // number of rows, always positive
  std::int32_t bits = 0;    // 8, 24 or 32
  bool top_down = false;    // negative height in the file
  std::uint64_t data_offset = 0;
  std::uint64_t stride = 0;  // bytes a row takes in the file, padding included
  std::int32_t bytes_per_pixel() const { return bits / 8; }
  std::uint64_t row_bytes() const { return static_cast<std::uint64_t>(width) * (bits / 8); }
  // Bytes from the first pixel row to the end of the last one stored.
  std::uint64_t block_bytes() const { return stride * static_cast<std::uint64_t>(height - 1) + row_bytes(); }
  // Image row (0 = top) of the row stored at file_row.
  std::int32_t image_row(std::int32_t file_row) const { return top_down ? file_row : height - 1 - file_row; }
};

// Checks the header (the bytes read from the start of a file of file_size
// bytes; fewer than 54 is a fault) and fills layout. 64-bit arithmetic.
BmpFault parse_bmp_header(std::span<const std::uint8_t> header, std::uint64_t file_size,
                          BmpLayout& layout);

enum class FrameRead { ok, absent, unusable };

// An opened, checked BMP file whose rows have not been read yet.
struct BmpFile {
  FileHandle file;
  BmpLayout layout;
};

// Opens and checks path. absent: not a regular file or not openable;
// unusable: fault says why.
FrameRead open_bmp(const std::string& path, BmpFile& out, BmpFault& fault);

// Streams the pixel rows in file order: row(y, bytes) receives image row y
// (0 = top) with its width * bytes_per_pixel bytes. False when a read fails.
bool read_bmp_rows(const BmpFile& bmp,
                   const std::function<void(std::int32_t y, std::span<const std::uint8_t> row)>& row);

// Reads the pixel rows as stored (file order, padding included) into
// block, resized to layout.block_bytes(). False when the read fails.
bool read_bmp_block(const BmpFile& bmp, std::vector<std::uint8_t>& block);

// Reads a whole frame (8, 24 or 32 bits) into out, rows top-down.
// Throws std::bad_alloc when its pixels do not fit in memory.
FrameRead read_frame_bmp(const std::string& path, ByteImage& out, BmpFault& fault);

// Reads the palette of an opened file: the bytes from the end of its
// information header up to the pixel data, at most 256 entries of 4 bytes.
// A file without palette gives an empty one; false when a read fails.
bool read_bmp_palette(const BmpFile& bmp, std::vector<std::uint8_t>& palette);

}  // namespace kadrix
