#pragma once
// Writing 8-bit greyscale BMP files: 54-byte header, 256-entry palette,
// rows bottom-up padded to 4 bytes.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "bmp/bmp_reader.h"
#include "driver/object_record.h"

namespace kadrix {

using BmpPalette = std::array<std::uint8_t, 1024>;

// Low 8 bits of every value, repeated for each byte of a pixel.
ByteImage to_byte_image(std::span<const std::int32_t> values, std::int32_t width,
                        std::int32_t height, int bits);

// Entry i = (i, i, i, 0).
BmpPalette grey_palette();
// The grey palette with the record's level and sigma (single precision)
// and frame count in its first three entries.
BmpPalette stats_palette(const ObjectRecord& record);

// The 54 header bytes of an 8-bit file of that size.
std::array<std::uint8_t, 54> bmp_header(std::int32_t width, std::int32_t height);

// Fills image row y (0 = top): its pixel bytes, without the padding.
using RowSource = std::function<void(std::int32_t y, std::span<std::uint8_t> row)>;

// Writes an 8-bit image row by row, bottom row first, as the file stores
// it; true when the file was created, written and closed without a fault.
bool write_bmp(const std::string& path, std::int32_t width, std::int32_t height,
               const BmpPalette& palette, const RowSource& row);

// Write an 8-bit image (rows top-down in memory, bottom-up in the file);
// true when the file was created, written and closed without a fault.
bool write_bmp(const std::string& path, const ByteImage& pixels, const BmpPalette& palette);
bool write_grey_bmp(const std::string& path, const ByteImage& pixels);
bool write_stats_bmp(const std::string& path, const ByteImage& pixels, const ObjectRecord& record);

// The 54 header bytes of a 24-bit file of that size (no palette). Size
// fields that a file over 4 GiB cannot hold are written as 0, which the
// format allows for uncompressed images.
std::array<std::uint8_t, 54> bmp24_header(std::int32_t width, std::int32_t height);

// Writes a 24-bit colour image. fill_row(y, row) fills image row y (0 =
// top) with width pixels of blue, green, red bytes; rows are asked for in
// file order, bottom-up, so the image never has to be held whole. True when
// the file was created, written and closed without a fault.
bool write_bmp24(const std::string& path, std::int32_t width, std::int32_t height, const RowSource& fill_row);

}  // namespace kadrix
