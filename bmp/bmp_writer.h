#pragma once
// Writing uncompressed BMP files: 54-byte header, rows bottom-up padded to
// 4 bytes, made row by row so that an image never has to be held whole.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace kadrix {

// Writes value at `at` as 4 bytes, least significant first (read_le32's inverse).
void put_le32(std::uint8_t* at, std::uint32_t value);

using BmpPalette = std::array<std::uint8_t, 1024>;

// Entry i = (i, i, i, 0).
BmpPalette grey_palette();

// The 54 header bytes of an 8-bit file of that size with a 256-entry palette.
std::array<std::uint8_t, 54> bmp_header(std::int32_t width, std::int32_t height);

// Bytes a row of an 8-bit image takes in the file: the width padded to 4.
std::size_t bmp_row_stride(std::int32_t width);

// Writes an 8-bit image whose pixels are already laid out as the file
// stores them: rows bottom-up, each padded with zeros to bmp_row_stride
// (block holds height such rows). True as for write_bmp.
bool write_bmp_stored(const std::string& path, std::int32_t width, std::int32_t height, const BmpPalette& palette,
                      std::span<const std::uint8_t> block);

// Fills image row y (0 = top): its pixel bytes, without the padding.
using RowSource = std::function<void(std::int32_t y, std::span<std::uint8_t> row)>;

// Writes an 8-bit image, asking for its rows bottom-up as the file stores
// them; true when the file was created, written and closed without a fault.
bool write_bmp(const std::string& path, std::int32_t width, std::int32_t height, const BmpPalette& palette,
               const RowSource& row);

// The 54 header bytes of a 24-bit file of that size (no palette). Size
// fields that a file over 4 GiB cannot hold are written as 0, which the
// format allows for uncompressed images.
std::array<std::uint8_t, 54> bmp24_header(std::int32_t width, std::int32_t height);

// Writes a 24-bit colour image: fill_row(y, row) fills image row y with
// width pixels of blue, green, red bytes. True when the file was created,
// written and closed without a fault.
bool write_bmp24(const std::string& path, std::int32_t width, std::int32_t height, const RowSource& fill_row);

}  // namespace kadrix
