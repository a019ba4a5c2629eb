// The frame reader: header checks, row order, padding, header variants.

#include "bmp/bmp_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using kadrix::BmpFault;
using kadrix::BmpLayout;
using kadrix::BmpOpen;
using kadrix_test::BmpShape;
using kadrix_test::build_bmp;
using kadrix_test::Bytes;
using kadrix_test::put_le16;
using kadrix_test::put_le32;
using kadrix_test::TempDir;
using kadrix_test::write_file;

// A 5 x 3 image whose pixels are all different, so any shift of a row or
// any row read in the wrong order shows.
std::vector<std::uint8_t> numbered_5x3() {
  std::vector<std::uint8_t> pixels;
  for (int i = 1; i <= 15; ++i) pixels.push_back(static_cast<std::uint8_t>(i * 16 + i % 7));
  return pixels;
}

BmpShape shape_5x3() {
  BmpShape shape;
  shape.width = 5;
  shape.height = 3;
  shape.pixels = numbered_5x3();
  shape.pad_byte = 0xEE;  // padding that must never turn up as a pixel
  return shape;
}

BmpFault parse(const Bytes& bytes, std::uint64_t file_size, BmpLayout& layout) {
  return kadrix::parse_bmp_header(std::span<const std::uint8_t>(bytes.data(), bytes.size()), file_size, layout)
      .fault;
}

// Opens a file as a frame is opened and reads its rows, top row first.
BmpOpen read_pixels(const std::string& path, std::vector<std::uint8_t>& pixels, BmpFault& fault) {
  kadrix::BmpFile bmp;
  kadrix::BmpCheck check;
  const BmpOpen opened = kadrix::open_bmp(path, bmp, check);
  fault = check.fault;
  if (opened != BmpOpen::ok) return opened;
  const auto width = static_cast<std::size_t>(bmp.layout.width);
  pixels.assign(width * static_cast<std::size_t>(bmp.layout.height), 0);
  const bool whole = kadrix::read_bmp_rows(bmp, [&](std::int32_t y, std::span<const std::uint8_t> row) {
    std::copy(row.begin(), row.end(), pixels.begin() + static_cast<std::ptrdiff_t>(width * static_cast<std::size_t>(y)));
  });
  if (!whole) fault = BmpFault::read_failed;
  return whole ? BmpOpen::ok : BmpOpen::unusable;
}

// ---- damaged headers ----------------------------------------------------

struct FaultCase {
  const char* title;
  std::function<void(BmpShape&)> shape;  // changes to the file described
  std::function<void(Bytes&)> damage;    // changes to the bytes built
  BmpFault expected;
  std::uint64_t claimed_size = 0;  // file size passed in; 0: the bytes' size
};

class DamagedHeader : public ::testing::TestWithParam<FaultCase> {};

TEST_P(DamagedHeader, IsRejectedForItsOneFault) {
  const FaultCase& c = GetParam();
  BmpShape shape = shape_5x3();
  if (c.shape) c.shape(shape);
  Bytes bytes = build_bmp(shape);
  if (c.damage) c.damage(bytes);
  BmpLayout layout;
  const std::uint64_t size = c.claimed_size != 0 ? c.claimed_size : bytes.size();
  EXPECT_EQ(parse(bytes, size, layout), c.expected);

  // The whole reader turns the same file down, without throwing.
  TempDir dir;
  write_file(dir.file("f.BMP"), bytes);
  if (c.claimed_size == 0) {
    std::vector<std::uint8_t> pixels;
    BmpFault fault = BmpFault::none;
    EXPECT_EQ(read_pixels(dir.file("f.BMP"), pixels, fault), BmpOpen::unusable);
    EXPECT_EQ(fault, c.expected);
  }
}

void set32(Bytes& b, std::size_t at, std::int64_t v) { put_le32(b, at, static_cast<std::uint32_t>(v)); }

INSTANTIATE_TEST_SUITE_P(
    Faults, DamagedHeader,
    ::testing::Values(
        FaultCase{"empty_file", nullptr, [](Bytes& b) { b.clear(); }, BmpFault::short_header},
        FaultCase{"fifty_three_bytes", nullptr, [](Bytes& b) { b.resize(53); }, BmpFault::short_header},
        FaultCase{"no_signature", nullptr, [](Bytes& b) { b[0] = 'X'; }, BmpFault::no_signature},
        FaultCase{"signature_swapped", nullptr, [](Bytes& b) { b[0] = 'M'; b[1] = 'B'; },
                  BmpFault::no_signature},
        // An OS/2 core header is 12 bytes.
        FaultCase{"info_header_12", nullptr, [](Bytes& b) { set32(b, 14, 12); }, BmpFault::small_info_header},
        FaultCase{"info_header_39", nullptr, [](Bytes& b) { set32(b, 14, 39); }, BmpFault::small_info_header},
        FaultCase{"bits_16", nullptr, [](Bytes& b) { put_le16(b, 28, 16); }, BmpFault::bit_count},
        FaultCase{"bits_4", nullptr, [](Bytes& b) { put_le16(b, 28, 4); }, BmpFault::bit_count},
        FaultCase{"bits_0", nullptr, [](Bytes& b) { put_le16(b, 28, 0); }, BmpFault::bit_count},
        FaultCase{"rle8", [](BmpShape& s) { s.compression = 1; }, nullptr, BmpFault::compression},
        FaultCase{"bitfields_32", [](BmpShape& s) { s.bits = 32; s.palette_entries = 0; s.compression = 3;
                                                   s.pixels.resize(15 * 4, 7); },
                  nullptr, BmpFault::bit_count},
        // 14 + 40 = 54 is the lowest possible start of the pixels.
        FaultCase{"offset_53", [](BmpShape& s) { s.palette_entries = 0; }, [](Bytes& b) { set32(b, 10, 53); },
                  BmpFault::data_offset},
        FaultCase{"offset_0", nullptr, [](Bytes& b) { set32(b, 10, 0); }, BmpFault::data_offset},
        FaultCase{"offset_inside_v5_header", [](BmpShape& s) { s.info_size = 124; s.palette_entries = 0; },
                  [](Bytes& b) { set32(b, 10, 14 + 124 - 1); }, BmpFault::data_offset},
        FaultCase{"width_0", nullptr, [](Bytes& b) { set32(b, 18, 0); }, BmpFault::width},
        FaultCase{"width_negative", nullptr, [](Bytes& b) { set32(b, 18, -5); }, BmpFault::width},
        FaultCase{"height_0", nullptr, [](Bytes& b) { set32(b, 22, 0); }, BmpFault::height},
        FaultCase{"height_int_min", nullptr, [](Bytes& b) { set32(b, 22, INT_MIN); }, BmpFault::height},
        // 65536 * 32768 = 2^31, one past the largest signed 32-bit count;
        // the claimed file size is big enough to hold it.
        FaultCase{"pixel_count_2_pow_31", nullptr,
                  [](Bytes& b) { set32(b, 18, 65536); set32(b, 22, 32768); },
                  BmpFault::pixel_count, std::uint64_t{1} << 40},
        FaultCase{"pixel_count_2_pow_31_top_down", nullptr,
                  [](Bytes& b) { set32(b, 18, 65536); set32(b, 22, -32768); },
                  BmpFault::pixel_count, std::uint64_t{1} << 40},
        FaultCase{"pixel_count_max_width", nullptr,
                  [](Bytes& b) { set32(b, 18, INT_MAX); set32(b, 22, 2); },
                  BmpFault::pixel_count, std::uint64_t{1} << 40},
        // Stride 8, 3 rows: the last row needs its 5 pixel bytes, not its padding.
        FaultCase{"last_row_one_byte_short", nullptr, [](Bytes& b) { b.resize(b.size() - 4); },
                  BmpFault::short_pixels},
        FaultCase{"pixels_cut_half_way", nullptr, [](Bytes& b) { b.resize(1078 + 6); },
                  BmpFault::short_pixels},
        FaultCase{"no_pixels_at_all", nullptr, [](Bytes& b) { b.resize(1078); }, BmpFault::short_pixels},
        FaultCase{"offset_pushed_past_data", nullptr, [](Bytes& b) { set32(b, 10, 1078 + 4); },
                  BmpFault::short_pixels},
        FaultCase{"offset_beyond_file", nullptr, [](Bytes& b) { set32(b, 10, 0x7FFFFFF0); },
                  BmpFault::short_pixels},
        // Counts that fit 32 bits but whose byte sizes do not.
        FaultCase{"huge_width_one_row", nullptr,
                  [](Bytes& b) { set32(b, 18, INT_MAX); set32(b, 22, 1); }, BmpFault::short_pixels},
        FaultCase{"huge_32_bit_rows",
                  [](BmpShape& s) { s.bits = 32; s.palette_entries = 0; s.pixels.resize(60, 1); },
                  [](Bytes& b) { set32(b, 18, 0x20000000); set32(b, 22, 1); }, BmpFault::short_pixels},
        FaultCase{"forged_40000_square", nullptr, [](Bytes& b) { set32(b, 18, 40000); set32(b, 22, -40000); },
                  BmpFault::short_pixels}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.title); });

// ---- sound headers --------------------------------------------------------

struct LayoutCase {
  const char* title;
  std::function<void(BmpShape&)> shape;
  std::int32_t width, height, bits;
  bool top_down;
  std::uint64_t data_offset, stride;
  std::size_t cut = 0;  // bytes removed from the end of the file
};

class SoundHeader : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(SoundHeader, GivesTheLayout) {
  const LayoutCase& c = GetParam();
  BmpShape shape = shape_5x3();
  if (c.shape) c.shape(shape);
  Bytes bytes = build_bmp(shape);
  bytes.resize(bytes.size() - c.cut);
  BmpLayout layout;
  // Colour files pass where the caller lets them (a reader of result files).
  ASSERT_TRUE(kadrix::parse_bmp_header(bytes, bytes.size(), layout, kadrix::BitCounts::eight_or_colour).ok());
  EXPECT_EQ(layout.width, c.width);
  EXPECT_EQ(layout.height, c.height);
  EXPECT_EQ(layout.bits, c.bits);
  EXPECT_EQ(layout.top_down, c.top_down);
  EXPECT_EQ(layout.data_offset, c.data_offset);
  EXPECT_EQ(layout.stride, c.stride);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SoundHeader,
    ::testing::Values(LayoutCase{"plain", nullptr, 5, 3, 8, false, 1078, 8},
                      LayoutCase{"top_down", [](BmpShape& s) { s.top_down = true; }, 5, 3, 8, true, 1078, 8},
                      LayoutCase{"no_palette", [](BmpShape& s) { s.palette_entries = 0; }, 5, 3, 8, false, 54,
                                 8},
                      LayoutCase{"v5_short_palette_gap",
                                 [](BmpShape& s) {
                                   s.info_size = 124;
                                   s.palette_entries = 16;
                                   s.gap = 3;
                                 },
                                 5, 3, 8, false, 14 + 124 + 64 + 3, 8},
                      LayoutCase{"rgb_24",
                                 [](BmpShape& s) {
                                   s.bits = 24;
                                   s.palette_entries = 0;
                                   s.pixels.resize(45, 9);
                                 },
                                 5, 3, 24, false, 54, 16},
                      LayoutCase{"rgb_32",
                                 [](BmpShape& s) {
                                   s.bits = 32;
                                   s.palette_entries = 0;
                                   s.pixels.resize(60, 9);
                                 },
                                 5, 3, 32, false, 54, 20},
                      LayoutCase{"last_row_without_padding", nullptr, 5, 3, 8, false, 1078, 8, 3},
                      LayoutCase{"top_down_last_row_without_padding", [](BmpShape& s) { s.top_down = true; },
                                 5, 3, 8, true, 1078, 8, 3}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.title); });

// ---- pixels ----------------------------------------------------------------

struct PixelCase {
  const char* title;
  std::function<void(BmpShape&)> shape;
  std::size_t cut = 0;
};

class FramePixels : public ::testing::TestWithParam<PixelCase> {};

TEST_P(FramePixels, ComeBackTopRowFirstAsStored) {
  const PixelCase& c = GetParam();
  BmpShape shape = shape_5x3();
  if (c.shape) c.shape(shape);
  Bytes bytes = build_bmp(shape);
  bytes.resize(bytes.size() - c.cut);
  TempDir dir;
  write_file(dir.file("f.BMP"), bytes);

  std::vector<std::uint8_t> pixels;
  BmpFault fault = BmpFault::none;
  ASSERT_EQ(read_pixels(dir.file("f.BMP"), pixels, fault), BmpOpen::ok) << static_cast<int>(fault);
  EXPECT_EQ(pixels, numbered_5x3());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, FramePixels,
    ::testing::Values(PixelCase{"plain", nullptr},
                      PixelCase{"info_52", [](BmpShape& s) { s.info_size = 52; }},
                      PixelCase{"info_56", [](BmpShape& s) { s.info_size = 56; }},
                      PixelCase{"info_108", [](BmpShape& s) { s.info_size = 108; }},
                      PixelCase{"info_124", [](BmpShape& s) { s.info_size = 124; }},
                      PixelCase{"no_palette", [](BmpShape& s) { s.palette_entries = 0; }},
                      PixelCase{"palette_of_2", [](BmpShape& s) { s.palette_entries = 2; }},
                      PixelCase{"palette_of_16_v4",
                                [](BmpShape& s) {
                                  s.palette_entries = 16;
                                  s.info_size = 108;
                                }},
                      PixelCase{"inverted_palette", [](BmpShape& s) { s.inverted_palette = true; }},
                      PixelCase{"gap_before_pixels", [](BmpShape& s) { s.gap = 7; }},
                      PixelCase{"top_down", [](BmpShape& s) { s.top_down = true; }},
                      PixelCase{"top_down_v5_palette_16_gap",
                                [](BmpShape& s) {
                                  s.top_down = true;
                                  s.info_size = 124;
                                  s.palette_entries = 16;
                                  s.gap = 5;
                                }},
                      PixelCase{"last_row_without_padding", nullptr, 3},
                      PixelCase{"top_down_last_row_without_padding", [](BmpShape& s) { s.top_down = true; },
                                3}),
    [](const ::testing::TestParamInfo<PixelCase>& info) { return std::string(info.param.title); });

TEST(FramePixels, PaddingOfEveryWidthIsSkipped) {
  // Widths 1 to 9 need 3, 2, 1, 0, 3, ... padding bytes a row.
  for (std::int32_t width = 1; width <= 9; ++width) {
    for (std::int32_t height : {1, 2, 4}) {
      BmpShape shape;
      shape.width = width;
      shape.height = height;
      shape.pad_byte = 0xEE;
      for (std::int32_t i = 0; i < width * height; ++i)
        shape.pixels.push_back(static_cast<std::uint8_t>(i + 1));
      TempDir dir;
      write_file(dir.file("f.BMP"), build_bmp(shape));
      std::vector<std::uint8_t> pixels;
      BmpFault fault = BmpFault::none;
      ASSERT_EQ(read_pixels(dir.file("f.BMP"), pixels, fault), BmpOpen::ok) << width << "x" << height;
      EXPECT_EQ(pixels, shape.pixels) << width << "x" << height;
    }
  }
}

TEST(FramePixels, FirstByteIsTheFirstPixelOfTheLastStoredRow) {
  // Bytes written straight into the file, bottom row first: 2 x 2 image
  // with rows (top) 1 2 / (bottom) 3 4 stored as 3 4 pad pad, 1 2 pad pad.
  BmpShape shape;
  shape.width = 2;
  shape.height = 2;
  shape.pixels = {0, 0, 0, 0};
  Bytes bytes = build_bmp(shape);
  const std::uint8_t stored[] = {3, 4, 0, 0, 1, 2, 0, 0};
  std::copy(std::begin(stored), std::end(stored), bytes.begin() + 1078);
  TempDir dir;
  write_file(dir.file("f.BMP"), bytes);
  std::vector<std::uint8_t> pixels;
  BmpFault fault = BmpFault::none;
  ASSERT_EQ(read_pixels(dir.file("f.BMP"), pixels, fault), BmpOpen::ok);
  EXPECT_EQ(pixels, (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(FramePixels, ForgedDimensionsOnATinyFileAllocateNothing) {
#ifdef KADRIX_SANITIZED
  GTEST_SKIP() << "the sanitizers reserve terabytes of address space, so no address-space cap can bite here";
#endif
  // Headers that claim gigabytes of pixels on a file of about a kilobyte.
  // With the address space held to 256 MiB above what the test already
  // uses, reading such a file must fail on the header check, not in an
  // allocation.
  struct Forged {
    std::uint16_t bits;
    std::int32_t width, height;
  };
  for (const Forged& f : {Forged{8, 40000, 40000}, Forged{8, 46000, -46000}, Forged{32, 23000, 23000},
                          Forged{24, 30000, 30000}}) {
    BmpShape shape;
    shape.width = 1;
    shape.height = 1;
    shape.bits = f.bits;
    shape.palette_entries = f.bits == 8 ? 256 : 0;
    shape.pixels.assign(f.bits / 8, 1);
    Bytes bytes = build_bmp(shape);
    put_le32(bytes, 18, static_cast<std::uint32_t>(f.width));
    put_le32(bytes, 22, static_cast<std::uint32_t>(f.height));
    TempDir dir;
    write_file(dir.file("f.BMP"), bytes);

    std::vector<std::uint8_t> pixels;
    BmpFault fault = BmpFault::none;
    BmpOpen result = BmpOpen::ok;
    {
      kadrix_test::AddressSpaceCap cap(std::uint64_t{256} << 20);
      EXPECT_NO_THROW(result = read_pixels(dir.file("f.BMP"), pixels, fault))
          << f.bits << " bits " << f.width << " x " << f.height;
    }
    EXPECT_EQ(result, BmpOpen::unusable);
    EXPECT_EQ(fault, f.bits == 8 ? BmpFault::short_pixels : BmpFault::bit_count);
    EXPECT_TRUE(pixels.empty());
  }
}

// ---- what is not a frame file ----------------------------------------------

TEST(FrameFile, MissingDirectoryAndPipeAreAbsent) {
  TempDir dir;
  const std::string fifo = dir.file("fifo01.BMP");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  mkdir(dir.file("dir01.BMP").c_str(), 0755);
  for (const std::string& path : {dir.file("none01.BMP"), dir.file("dir01.BMP"), fifo}) {
    // Run the read aside so that a reader stuck opening the pipe can be
    // released (by opening its other end) instead of hanging the suite.
    auto pending = std::async(std::launch::async, [path] {
      std::vector<std::uint8_t> pixels;
      BmpFault fault = BmpFault::none;
      return read_pixels(path, pixels, fault);
    });
    if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "reading " << path << " blocked";
      const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
    }
    EXPECT_EQ(pending.get(), BmpOpen::absent) << path;
  }
}

}  // namespace
