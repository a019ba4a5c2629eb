#pragma once
// FITS images through cfitsio: the first HDU with NAXIS >= 2 (a compressed
// image sits in an extension), a 2-D image or a cube whose planes are
// frames, BITPIX 8, 16, 32, -32 or -64 with BZERO and BSCALE applied. The
// first row stored is the bottom row of the picture.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kadrix::import {

// Where a compressed image claims more pixels per byte of its file than
// any compression of real sky data gives, the sizes are taken as forged.
inline constexpr std::uint64_t kMaxPixelsPerCompressedByte = 4096;
inline constexpr std::size_t kMaxBandBytes = std::size_t{32} << 20;
// An uncompressed image is read in bands of at most this many bytes of
// values: streamed, yet not a call into cfitsio per row.
inline constexpr std::size_t kPlainBandBytes = std::size_t{256} << 10;

struct FitsInfo {
  int hdu = 1;  // 1 = the primary HDU
  int bitpix = 0;
  double bzero = 0;
  double bscale = 1;
  bool compressed = false;
  std::int64_t tile_rows = 1;  // ZTILE2 of a compressed image
  std::int32_t width = 0;   // NAXIS1
  std::int32_t height = 0;  // NAXIS2
  std::int64_t planes = 1;  // NAXIS3, 1 for a 2-D image
  // EXPTIME and CCD-TEMP when the header gives them as numbers.
  std::optional<double> exposure;
  std::optional<double> temperature;
  // Whole numbers: BITPIX > 0, BSCALE 1 and a whole BZERO.
  bool integer() const;
};

// Reads the header of the file (file_size bytes long). False with the
// reason in why (Polish, for the user) when it is not an image this
// reader takes. The file is first read (and a compressed one unpacked) by
// a child process that the first call forks and later calls reuse, so
// that a file cfitsio crashes on is refused rather than ending the
// program: call it before starting threads of your own.
bool read_fits_info(const std::string& path, std::uint64_t file_size, FitsInfo& info, std::string& why);

struct FitsCloser {
  void operator()(void* file) const;
};
using FitsHandle = std::unique_ptr<void, FitsCloser>;

// A FITS file held in memory, open at its image. cfitsio reads whole
// 2880-byte blocks, and its memory driver reads one block at the end of
// the buffer without looking; so it is given a copy padded to whole blocks
// with zeros, and one block more that it is not told of. It keeps the
// addresses of address and size, so the record stays where it is.
struct FitsMemory {
  std::vector<std::uint8_t> blocks;
  void* address = nullptr;
  std::size_t size = 0;
  FitsHandle file;  // last, so it is closed before the fields it points at go

  FitsMemory() = default;
  FitsMemory(const FitsMemory&) = delete;
  FitsMemory& operator=(const FitsMemory&) = delete;
};

// The header checks of read_fits_info on bytes in memory (the length of
// the file is bytes.size()); on success
// memory.file is open at the image, ready for read_fits_plane.
bool read_fits_info(std::span<const std::uint8_t> bytes, FitsMemory& memory, FitsInfo& info, std::string& why);

// Opens path at the HDU info names.
bool open_fits(const std::string& path, const FitsInfo& info, FitsHandle& file, std::string& why);

// Reads plane (0-based) row by row in file order: row(y, values) gets
// image row y (0 = top) with BZERO and BSCALE applied; a BLANK or NaN
// pixel is NaN. A compressed image is read a band of whole tiles at a
// time (at most kMaxBandBytes of values), so each tile is unpacked once
// rather than once for every row it holds.
bool read_fits_plane(const FitsHandle& file, const FitsInfo& info, std::int64_t plane,
                     const std::function<void(std::int32_t y, std::span<const double> values)>& row,
                     std::string& why);

}  // namespace kadrix::import
