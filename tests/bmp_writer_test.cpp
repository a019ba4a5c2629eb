// The greyscale writer: header fields, the grey palette, padded bottom-up
// rows. (The palette of an SS file is tested in result_pair_test.cpp.)

#include "bmp/bmp_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kadrix_test::Bytes;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::TempDir;

using Header = std::array<std::uint8_t, 54>;

TEST(BmpHeader, Width640Height480) {
  // stride 640; image size 640 * 480 = 307200 = 0x0004B000;
  // file size 1078 + 307200 = 308278 = 0x0004B436.
  const Header expected = {'B',  'M',                // signature
                           0x36, 0xB4, 0x04, 0x00,   // file size
                           0x00, 0x00, 0x00, 0x00,   // reserved
                           0x36, 0x04, 0x00, 0x00,   // pixel data at 1078
                           0x28, 0x00, 0x00, 0x00,   // information header 40
                           0x80, 0x02, 0x00, 0x00,   // width 640
                           0xE0, 0x01, 0x00, 0x00,   // height 480
                           0x01, 0x00,               // planes
                           0x08, 0x00,               // bits per pixel
                           0x00, 0x00, 0x00, 0x00,   // no compression
                           0x00, 0xB0, 0x04, 0x00,   // image size
                           0x01, 0x00, 0x00, 0x00,   // 1 pixel per metre
                           0x01, 0x00, 0x00, 0x00,   //
                           0x00, 0x00, 0x00, 0x00,   // colours used
                           0x00, 0x00, 0x00, 0x00};  // important colours
  EXPECT_EQ(kadrix::bmp_header(640, 480), expected);
}

TEST(BmpHeader, Width641CountsThePaddedStride) {
  // stride (641 + 3) / 4 * 4 = 644; image size 644 * 480 = 309120 =
  // 0x0004B780; file size 1078 + 309120 = 310198 = 0x0004BBB6.
  const Header expected = {'B',  'M',  0xB6, 0xBB, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x04, 0x00, 0x00,
                           0x28, 0x00, 0x00, 0x00, 0x81, 0x02, 0x00, 0x00, 0xE0, 0x01, 0x00, 0x00, 0x01, 0x00,
                           0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0xB7, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,
                           0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(kadrix::bmp_header(641, 480), expected);
}

TEST(BmpPalette, GreyRamp) {
  const kadrix::BmpPalette grey = kadrix::grey_palette();
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    ASSERT_EQ(grey[4 * i], v);
    ASSERT_EQ(grey[4 * i + 1], v);
    ASSERT_EQ(grey[4 * i + 2], v);
    ASSERT_EQ(grey[4 * i + 3], 0);
  }
}

// Writes an 8-bit image (rows top-down) through the row-by-row writer.
bool write_image(const std::string& path, std::int32_t width, std::int32_t height,
                 const std::vector<std::uint8_t>& pixels, const kadrix::BmpPalette& palette) {
  return kadrix::write_bmp(path, width, height, palette, [&](std::int32_t y, std::span<std::uint8_t> row) {
    std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(y) * width, width, row.begin());
  });
}

Bytes grey_file_3x2(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint8_t e,
                    std::uint8_t f) {
  // stride 4, image size 8, file size 1078 + 8 = 1086 = 0x043E.
  Bytes bytes = {'B',  'M',  0x3E, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x04, 0x00, 0x00,
                 0x28, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00,
                 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    bytes.insert(bytes.end(), {v, v, v, 0});
  }
  // Bottom row first, each padded with one zero byte.
  bytes.insert(bytes.end(), {d, e, f, 0, a, b, c, 0});
  return bytes;
}

TEST(GreyBmp, FileIsHeaderPaletteAndPaddedRowsBottomUp) {
  TempDir dir;
  const std::string path = dir.file("g.BMP");
  // A stale, longer file of that name is replaced, not overwritten in part.
  kadrix_test::write_file(path, Bytes(5000, 0x77));
  ASSERT_TRUE(write_image(path, 3, 2, {1, 2, 3, 4, 5, 6}, kadrix::grey_palette()));
  EXPECT_TRUE(same_bytes(read_file(path), grey_file_3x2(1, 2, 3, 4, 5, 6)));
}

TEST(GreyBmp, EveryWidthIsPaddedToFourBytes) {
  TempDir dir;
  for (std::int32_t width = 1; width <= 8; ++width) {
    const std::int32_t height = 3;
    std::vector<std::uint8_t> values;
    for (std::int32_t i = 0; i < width * height; ++i) values.push_back(static_cast<std::uint8_t>(100 + i));
    const std::string path = dir.file(std::string("w") + std::to_string(width) + ".BMP");
    ASSERT_TRUE(write_image(path, width, height, values, kadrix::grey_palette()));
    const Bytes file = read_file(path);
    const std::size_t stride = static_cast<std::size_t>((width + 3) / 4 * 4);
    ASSERT_EQ(file.size(), 1078 + stride * height) << width;
    EXPECT_EQ(kadrix_test::get_le32(file, 2), file.size()) << width;
    EXPECT_EQ(kadrix_test::get_le32(file, 34), stride * height) << width;
    for (std::int32_t f = 0; f < height; ++f) {
      const std::int32_t y = height - 1 - f;
      for (std::size_t k = 0; k < stride; ++k) {
        const std::uint8_t want =
            k < static_cast<std::size_t>(width)
                ? static_cast<std::uint8_t>(100 + y * width + static_cast<std::int32_t>(k))
                : 0;
        ASSERT_EQ(file[1078 + f * stride + k], want)
            << "width " << width << " file row " << f << " byte " << k;
      }
    }
  }
}

TEST(GreyBmp, AFileThatCannotBeCreatedIsReported) {
  TempDir dir;
  EXPECT_FALSE(write_image(dir.file("no/such/dir/x.BMP"), 1, 1, {1}, kadrix::grey_palette()));
}

}  // namespace
