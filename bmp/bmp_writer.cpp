#include "bmp/bmp_writer.h"

#include <algorithm>
#include <vector>

#include "bmp/file_io.h"

namespace kadrix {

namespace {

std::uint64_t row_stride(std::int32_t width, int bytes_per_pixel) {
  return (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bytes_per_pixel) + 3) / 4 * 4;
}

// The 54 header bytes of an uncompressed file whose pixels follow the
// headers and a palette of palette_bytes; image_bytes and file_bytes are
// what the size fields say.
std::array<std::uint8_t, 54> header(std::int32_t width, std::int32_t height, int bits, std::uint32_t palette_bytes,
                                    std::uint32_t image_bytes, std::uint32_t file_bytes) {
  std::array<std::uint8_t, 54> h{};
  h[0] = 'B';
  h[1] = 'M';
  put_le32(&h[2], file_bytes);
  put_le32(&h[10], 54 + palette_bytes);
  put_le32(&h[14], 40);
  put_le32(&h[18], static_cast<std::uint32_t>(width));
  put_le32(&h[22], static_cast<std::uint32_t>(height));
  h[26] = 1;  // planes
  h[28] = static_cast<std::uint8_t>(bits);
  put_le32(&h[34], image_bytes);
  put_le32(&h[38], 1);  // 1 pixel per metre: not 0, not a screen value
  put_le32(&h[42], 1);
  return h;
}

// Writes the headers, then the rows bottom-up as the file stores them, each
// made by row(y, bytes) and padded with zeros to the stride.
bool write_rows(const std::string& path, std::span<const std::uint8_t> headers, std::size_t row_bytes,
                std::size_t stride, std::int32_t height, const RowSource& row) {
  OutputFile out(path, headers.size() + stride * static_cast<std::uint64_t>(height));
  out.write(headers);
  std::vector<std::uint8_t> buffer(stride, 0);
  const std::span<std::uint8_t> pixels(buffer.data(), row_bytes);
  for (std::int32_t y = height - 1; y >= 0 && out.ok(); --y) {
    row(y, pixels);
    out.write(buffer);
  }
  return out.finish();
}

}  // namespace

void put_le32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

BmpPalette grey_palette() {
  BmpPalette palette{};
  for (int i = 0; i < 256; ++i) {
    palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<std::uint8_t>(i);
  }
  return palette;
}

std::array<std::uint8_t, 54> bmp_header(std::int32_t width, std::int32_t height) {
  // 32-bit size fields wrap as the format's fields do for images over 4 GiB.
  const auto image_bytes = static_cast<std::uint32_t>(row_stride(width, 1) * static_cast<std::uint64_t>(height));
  return header(width, height, 8, 1024, image_bytes, 54 + 1024 + image_bytes);
}

bool write_bmp(const std::string& path, std::int32_t width, std::int32_t height,
               const BmpPalette& palette, const RowSource& row) {
  std::vector<std::uint8_t> headers(54 + palette.size());
  const auto head = bmp_header(width, height);
  std::copy(head.begin(), head.end(), headers.begin());
  std::copy(palette.begin(), palette.end(), headers.begin() + 54);
  return write_rows(path, headers, static_cast<std::size_t>(width), row_stride(width, 1), height, row);
}

std::size_t bmp_row_stride(std::int32_t width) { return static_cast<std::size_t>(row_stride(width, 1)); }

bool write_bmp_stored(const std::string& path, std::int32_t width, std::int32_t height, const BmpPalette& palette,
                      std::span<const std::uint8_t> block) {
  const auto head = bmp_header(width, height);
  // Only the headers pass through the buffer; the block is written as it is.
  OutputFile out(path, head.size() + palette.size());
  out.write(head);
  out.write(palette);
  out.write(block);
  return out.finish();
}

std::array<std::uint8_t, 54> bmp24_header(std::int32_t width, std::int32_t height) {
  const std::uint64_t image_bytes = row_stride(width, 3) * static_cast<std::uint64_t>(height);
  const bool fits = 54 + image_bytes <= 0xFFFFFFFFu;
  return header(width, height, 24, 0, fits ? static_cast<std::uint32_t>(image_bytes) : 0,
                fits ? static_cast<std::uint32_t>(54 + image_bytes) : 0);
}

bool write_bmp24(const std::string& path, std::int32_t width, std::int32_t height, const RowSource& fill_row) {
  return write_rows(path, bmp24_header(width, height), static_cast<std::size_t>(width) * 3, row_stride(width, 3),
                    height, fill_row);
}

}  // namespace kadrix
