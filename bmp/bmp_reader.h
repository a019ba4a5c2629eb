#pragma once
// Reading uncompressed BMP files. Every header field is checked against the
// file before anything is allocated for its pixels, and a file is refused
// for the first rule it breaks, in the order the header is read.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "bmp/file_io.h"

namespace kadrix {

inline constexpr int kBmpFileHeaderBytes = 14;
inline constexpr int kBmpHeaderBytes = 54;  // file header + 40-byte information header

enum class BmpFault {
  none,
  short_header,       // fewer than 54 bytes
  no_signature,       // does not start with "BM"
  small_info_header,  // information header under 40 bytes
  bit_count,          // a bit count the caller does not take; value: the bit count
  compression,        // compression field not 0; value: the field
  data_offset,        // pixel data would start inside the headers
  width,              // width <= 0; value: the width
  height,             // height 0 or -2^31; value: the height
  pixel_count,        // width * height beyond the signed 32-bit range
  short_pixels,       // pixel rows reach past the end of the file
  read_failed,        // a read failed part-way
};

// A verdict on a file: its fault, and the field value the fault names.
struct BmpCheck {
  BmpFault fault = BmpFault::none;
  std::int32_t value = 0;
  bool ok() const { return fault == BmpFault::none; }
};

// Which bit counts pass the header check. Frames and result files are 8-bit;
// a reader of result files that wants to name a colour file's other faults
// first lets 24 and 32 bits through and refuses them itself.
enum class BitCounts { eight, eight_or_colour };

// The 4 bytes at `at`, least significant first.
std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at);

// The geometry of a checked file.
struct BmpLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // number of rows, always positive
  std::int32_t bits = 8;
  bool top_down = false;    // negative height in the file
  std::uint64_t data_offset = 0;
  std::uint64_t stride = 0;  // bytes a row takes in the file, padding included
  std::uint64_t row_bytes() const { return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bits / 8); }
  // Bytes from the first pixel row to the end of the last one stored.
  std::uint64_t block_bytes() const { return stride * static_cast<std::uint64_t>(height - 1) + row_bytes(); }
  // Image row (0 = top) of the row stored at file_row.
  std::int32_t image_row(std::int32_t file_row) const { return top_down ? file_row : height - 1 - file_row; }
};

// Checks the header (the bytes read from the start of a file of file_size
// bytes; fewer than 54 is a fault) and fills layout. 64-bit arithmetic.
BmpCheck parse_bmp_header(std::span<const std::uint8_t> header, std::uint64_t file_size, BmpLayout& layout,
                          BitCounts bits = BitCounts::eight);

enum class BmpOpen { ok, absent, unusable };

// An opened, checked BMP file whose rows have not been read yet.
struct BmpFile {
  FileHandle file;
  BmpLayout layout;
};

// Opens and checks path. absent: not a regular file or not openable;
// unusable: check says why.
BmpOpen open_bmp(const std::string& path, BmpFile& out, BmpCheck& check, BitCounts bits = BitCounts::eight);

// Streams the pixel rows in file order: row(y, bytes) receives image row y
// (0 = top) with its row_bytes() bytes. False when a read fails.
bool read_bmp_rows(const BmpFile& bmp,
                   const std::function<void(std::int32_t y, std::span<const std::uint8_t> row)>& row);

// Reads the pixel rows as stored (file order, padding included) into block,
// which must hold layout.block_bytes(). False when the read fails.
bool read_bmp_block(const BmpFile& bmp, std::span<std::uint8_t> block);

// Reads the palette of an opened file: the bytes from the end of its
// information header up to the pixel data, at most 256 entries of 4 bytes.
// A file without palette gives an empty one; false when a read fails.
bool read_bmp_palette(const BmpFile& bmp, std::vector<std::uint8_t>& palette);

}  // namespace kadrix
