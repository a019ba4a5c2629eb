// Damaged and hostile frame files, given to the built kadrix as one frame
// of an object whose other frames are sound. Each damaged file is reported
// once as "Zly plik <path>", the frame sequence ends there, and the run
// ends normally: no crash, no hang, and no allocation beyond what the file
// holds (the child's address space is held to 64 MiB; under the
// sanitizers no single allocation may pass 16 MiB). A few sound files in
// unusual shapes stand beside them and must be read as frames.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "fault_support.h"

namespace {

using kadrix_faults::ChildRun;
using kadrix_test::BmpShape;
using kadrix_test::Bytes;
using kadrix_test::TempDir;

constexpr std::int32_t kWidth = 9;  // stride 12: three padding bytes a row
constexpr std::int32_t kHeight = 5;
constexpr int kFrames = 4;
constexpr std::size_t kPixels = 1078;              // data offset of a plain frame
constexpr std::size_t kFileBytes = 1078 + 12 * 5;  // 1138

BmpShape frame_shape(int number) {
  BmpShape shape;
  shape.width = kWidth;
  shape.height = kHeight;
  for (std::int32_t i = 0; i < kWidth * kHeight; ++i)
    shape.pixels.push_back(static_cast<std::uint8_t>(30 + (i * 7 + number * 13) % 50));
  return shape;
}

Bytes frame(int number) { return kadrix_test::build_bmp(frame_shape(number)); }

// A frame of the same image at another bit depth: every byte of a pixel
// repeats the 8-bit value.
Bytes deep_frame(int number, std::uint16_t bits) {
  BmpShape shape = frame_shape(number);
  shape.bits = bits;
  shape.palette_entries = 0;
  std::vector<std::uint8_t> pixels;
  for (std::uint8_t v : shape.pixels) pixels.insert(pixels.end(), bits / 8, v);
  shape.pixels = pixels;
  return kadrix_test::build_bmp(shape);
}

using Make = std::function<Bytes(int number)>;
using Values = std::initializer_list<std::int64_t>;

Make cut(std::size_t size) {
  return [size](int n) {
    Bytes b = frame(n);
    b.resize(size);
    return b;
  };
}

Make field32(std::size_t at, std::int64_t value) {
  return [at, value](int n) {
    Bytes b = frame(n);
    kadrix_test::put_le32(b, at, static_cast<std::uint32_t>(value));
    return b;
  };
}

Make field16(std::size_t at, std::uint16_t value) {
  return [at, value](int n) {
    Bytes b = frame(n);
    kadrix_test::put_le16(b, at, value);
    return b;
  };
}

Make size(std::int64_t width, std::int64_t height) {
  return [width, height](int n) {
    Bytes b = frame(n);
    kadrix_test::put_le32(b, 18, static_cast<std::uint32_t>(width));
    kadrix_test::put_le32(b, 22, static_cast<std::uint32_t>(height));
    return b;
  };
}

struct Case {
  const char* title;
  Make make;
  int number = 1;        // the frame number it stands as
  bool damaged = true;   // false: a sound frame in an unusual shape
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.title << " as frame " << c.number; }

// Header fields: 0 "BM", 2 file size, 10 data offset, 14 information
// header size, 18 width, 22 height, 26 planes, 28 bit count, 30
// compression, 34 image size, 38/42 resolution, 46/50 colour counts.
std::vector<Case> cases() {
  std::vector<Case> c;
  // Cut at every header field boundary, inside the palette and inside the
  // pixel rows.
  for (std::size_t at : {0, 1, 2, 6, 10, 14, 18, 22, 26, 28, 30, 34, 38, 42, 46, 50, 53})
    c.push_back({"cut_in_header", cut(at)});
  for (std::size_t at : {54, 55, 566, 1077}) c.push_back({"cut_in_palette", cut(at)});
  for (std::size_t at : {kPixels, kPixels + 1, kPixels + 12, kPixels + 40, kFileBytes - 4})
    c.push_back({"cut_in_pixels", cut(at)});
  c.push_back({"cut_in_pixels_of_frame_02", cut(kPixels + 30), 2});
  c.push_back({"last_row_short_in_frame_03", cut(kFileBytes - 4), 3});

  c.push_back({"no_signature", field16(0, 0)});
  c.push_back({"signature_in_lower_case", field16(0, 'b' | 'm' << 8)});

  for (std::int64_t v : Values{0, 12, 39, 0x7FFFFFF2, 0x7FFFFFFF, 0x80000000, 0xFFFFFFC8, 0xFFFFFFFF})
    c.push_back({"information_header_size", field32(14, v)});

  for (std::uint16_t bits : {0, 1, 2, 4, 7, 9, 15, 16, 48, 64, 0xFFFF})
    c.push_back({"bit_count", field16(28, bits)});
  c.push_back({"bits_24", [](int n) { return deep_frame(n, 24); }});
  c.push_back({"bits_32", [](int n) { return deep_frame(n, 32); }});
  c.push_back({"bits_24_as_frame_02", [](int n) { return deep_frame(n, 24); }, 2});

  // RLE8, RLE4, bit fields, JPEG, PNG, alpha bit fields, the CMYK kinds,
  // and values whose low 16 bits are zero, which a reader taking the bit
  // count as a 32-bit field with the compression's low half would miss.
  for (std::int64_t v : Values{1, 2, 3, 4, 5, 6, 11, 12, 13, 0x10000, 0x80000000, 0xFFFFFFFF})
    c.push_back({"compression", field32(30, v)});

  // Offsets inside the headers, past the end, and where 32-bit sums wrap.
  for (std::int64_t v : Values{0, 13, 14, 53, 0x80000000, 0xFFFFFFFF, 0x100000000 - 60, 0x100000000 - 1078})
    c.push_back({"data_offset", field32(10, v)});
  for (std::int64_t v : Values{kPixels + 4, kFileBytes, kFileBytes + 1, 0x7FFFFFFF})
    c.push_back({"data_offset_past_the_pixels", field32(10, v)});

  for (std::int64_t w : {0, -1, -9, INT_MIN, INT_MAX, 65536}) c.push_back({"width", size(w, kHeight)});
  for (std::int64_t h : {0, INT_MIN, -INT_MAX, INT_MAX, 65536, -65536}) c.push_back({"height", size(kWidth, h)});
  // Pixel counts just past the signed 32-bit range, and just inside it.
  c.push_back({"pixel_count_46341_squared", size(46341, 46341)});
  c.push_back({"pixel_count_65535_by_32769", size(65535, -32769)});
  c.push_back({"pixel_count_int_max_wide", size(INT_MAX, 1)});
  c.push_back({"pixel_count_int_max_high", size(1, INT_MAX)});
  c.push_back({"pixel_count_int_max_top_down", size(1, -INT_MAX)});
  // Rows whose byte length wraps 32 bits: 2^30 pixels of 4 bytes.
  c.push_back({"row_of_4_gib", [](int n) {
                 Bytes b = deep_frame(n, 32);
                 kadrix_test::put_le32(b, 18, 0x40000000);
                 kadrix_test::put_le32(b, 22, 1);
                 return b;
               }});
  c.push_back({"huge_frame_02", size(40000, 40000), 2});
  c.push_back({"other_width_frame_02", size(kWidth - 1, kHeight), 2});

  // Sound frames: fields kadrix does not need, a last row without its
  // padding, rows stored top-down.
  c.push_back({"file_size_field_zero", field32(2, 0), 1, false});
  c.push_back({"file_size_field_huge", field32(2, 0xFFFFFFFF), 1, false});
  c.push_back({"image_size_field_huge", field32(34, 0xFFFFFFFF), 1, false});
  c.push_back({"last_row_without_padding", cut(kFileBytes - 3), 1, false});
  c.push_back({"top_down", [](int n) {
                 BmpShape shape = frame_shape(n);
                 shape.top_down = true;
                 return kadrix_test::build_bmp(shape);
               }, 2, false});
  return c;
}

class DamagedFrame : public ::testing::TestWithParam<Case> {};

TEST_P(DamagedFrame, IsReportedOnceAndEndsTheSequence) {
  const Case& c = GetParam();
  TempDir dir;
  for (int k = 1; k <= kFrames; ++k)
    kadrix_test::write_file(kadrix_faults::frame_name(dir.prefix(), "D", k), k == c.number ? c.make(k) : frame(k));
  const std::string list = kadrix_faults::write_list(dir, {"D"});

  kadrix_faults::Limits limits;
  if (kadrix_faults::kSanitized) limits.largest_allocation_mib = 16;
  else limits.address_space = std::uint64_t{64} << 20;
  const ChildRun run = kadrix_faults::run_kadrix(dir.prefix(), list, limits);

  ASSERT_FALSE(run.hung);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0) << run.out;
  const std::string head = dir.prefix() + " sciezka do plikow BMP\r\nD 0\r\n1 obrazkow do analizy\r\n";
  ASSERT_EQ(run.out.substr(0, head.size()), head) << run.out;
  const std::string object = run.out.substr(head.size());

  const int loaded = c.damaged ? c.number - 1 : kFrames;
  std::string expected;
  if (c.damaged) expected = "Zly plik " + kadrix_faults::frame_name(dir.prefix(), "D", c.number) + "\r\n";
  expected += "Obr: D Kl: " + std::to_string(loaded) + " ";
  if (loaded < 2) {
    EXPECT_EQ(object, expected + "za malo klatek, obiekt pominiety\r\n");
    EXPECT_FALSE(kadrix_test::exists(dir.file("DSR.BMP")));
  } else {
    EXPECT_EQ(object.substr(0, expected.size()), expected) << object;
    EXPECT_EQ(object.find("Zly plik", 1), std::string::npos) << object;
    EXPECT_NE(object.find("Sr: "), std::string::npos) << object;
    std::string why;
    const auto ss = kadrix_faults::parse_result(kadrix_test::read_file(dir.file("DSS.BMP")), why);
    ASSERT_TRUE(ss) << why;
    EXPECT_EQ(ss->frame_count, loaded);
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, DamagedFrame, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.title) + "_" + std::to_string(info.index);
                         });

}  // namespace
