#pragma once
// Helpers of the kadrix-import tests: sources written byte by byte (SER,
// FITS and PNG, so that damaged and unusual files are easy to make), runs
// of the built tool, and snapshots of a directory.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace import_test {

using kadrix_test::Bytes;

// ---- SER -----------------------------------------------------------------

struct SerVideo {
  std::int32_t color_id = 0;
  std::int32_t little_endian = 1;  // the header's flag
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t depth = 8;
  std::int32_t frame_count = -1;  // -1: the number of frames given
  // Samples of each frame, planes interleaved, top row first.
  std::vector<std::vector<std::uint32_t>> frames;
  bool big_endian_samples = false;  // how 16-bit samples are stored, whatever the flag says
  Bytes trailer;                    // time stamps after the frames
};

Bytes ser_bytes(const SerVideo& shape);

// ---- FITS ----------------------------------------------------------------

struct FitsImage {
  int bitpix = 8;
  std::vector<std::int64_t> axes;  // NAXIS1, NAXIS2, ...
  // Stored values (before BZERO and BSCALE), the first axis fastest, the
  // first row stored first (the bottom row of the picture).
  std::vector<double> values;
  // Further header cards as "KEYWORD = value", e.g. "BZERO = 32768".
  std::vector<std::string> cards;
  bool in_extension = false;  // an empty primary HDU, the image in an IMAGE extension
};

Bytes fits_bytes(const FitsImage& shape);

// How cfitsio compresses: its compression type (RICE_1, GZIP_1, ...) and
// the tile's size along each axis (empty: cfitsio's default, row by row).
struct Tiling {
  int compression = 11;  // RICE_1
  std::vector<long> tile;
};

// A tile-compressed image of 16-bit unsigned values written by cfitsio
// itself: primary HDU empty, the image in the first extension. values as
// in FitsImage (first row stored = bottom row), planes one after another.
// Throws on failure.
void write_compressed_fits(const std::string& path, std::int64_t width, std::int64_t height, std::int64_t planes,
                           const std::vector<std::uint16_t>& values, const Tiling& tiling = {});

// ---- PNG -----------------------------------------------------------------

struct PngImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  int bit_depth = 8;
  int colour_type = 0;  // 0 grey, 2 RGB, 3 palette, 4 grey + alpha, 6 RGB + alpha
  std::vector<std::uint32_t> samples;  // channels interleaved, top row first
  std::vector<std::uint8_t> palette;   // R, G, B of each entry (colour type 3)
  bool interlaced = false;             // Adam7
};

Bytes png_bytes(const PngImage& shape);

// Offset of the first IDAT chunk's data in a file png_bytes wrote.
std::size_t png_idat_offset(const Bytes& png);

// ---- running ------------------------------------------------------------

kadrix_test::RunResult run_import(const std::vector<std::string>& args, const kadrix_test::RunOptions& options = {});

using kadrix_test::crlf;

// The file a frame of these pixels (rows top-down) must be, byte for byte.
inline Bytes frame_file(std::int32_t width, std::int32_t height, const std::vector<std::uint8_t>& pixels) {
  return kadrix_test::frame_bmp(width, height, pixels);
}

// Every entry of a directory with its bytes; a subdirectory as "<dir>".
std::map<std::string, Bytes> snapshot(const std::string& dir);

// Runs kadrix-import and sends it SIGKILL as soon as the n-th change
// (a name created, moved in or out, or removed) has happened in dir. events
// receives the number of changes seen; killed whether the kill was sent
// before the program ended.
struct KilledRun {
  bool killed = false;
  int events = 0;
  int exit_status = -1;
};
KilledRun run_import_killed(const std::vector<std::string>& args, const std::string& dir, int n);

}  // namespace import_test
