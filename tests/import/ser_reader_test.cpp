// The SER reader: every header field guarded, FrameCount held to the file
// size, and the samples turned into grey values.

#include "tools/import/ser_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::SerVideo;
using kadrix::import::SerCheck;
using kadrix::import::SerFault;
using kadrix::import::SerHeader;

SerVideo mono(std::int32_t width, std::int32_t height, std::int32_t depth, int frames) {
  SerVideo s;
  s.width = width;
  s.height = height;
  s.depth = depth;
  s.frames.assign(static_cast<std::size_t>(frames),
                  std::vector<std::uint32_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 1));
  return s;
}

void put32(Bytes& b, std::size_t at, std::int64_t v) { kadrix_test::put_le32(b, at, static_cast<std::uint32_t>(v)); }

struct HeaderCase {
  const char* title;
  std::function<void(Bytes&)> change;  // applied to 3 frames of 4 x 2, 12 bits
  SerFault fault;
  std::int64_t value;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.title; }

class SerHeaderFaults : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(SerHeaderFaults, AreNamedWithTheFieldValue) {
  const HeaderCase& c = GetParam();
  Bytes bytes = import_test::ser_bytes(mono(4, 2, 12, 3));
  c.change(bytes);
  SerHeader header;
  const SerCheck check = kadrix::import::parse_ser_header(bytes, bytes.size(), header);
  EXPECT_EQ(check.fault, c.fault);
  EXPECT_EQ(check.value, c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Ser, SerHeaderFaults,
    ::testing::Values(
        HeaderCase{"whole", [](Bytes&) {}, SerFault::none, 0},
        HeaderCase{"trailer_ignored", [](Bytes& b) { b.resize(b.size() + 24, 0x77); }, SerFault::none, 0},
        HeaderCase{"header_cut", [](Bytes& b) { b.resize(177); }, SerFault::short_header, 0},
        HeaderCase{"signature", [](Bytes& b) { b[0] = 'l'; }, SerFault::no_signature, 0},
        HeaderCase{"bayer_rggb", [](Bytes& b) { put32(b, 18, 8); }, SerFault::bayer, 8},
        HeaderCase{"bayer_myyc", [](Bytes& b) { put32(b, 18, 19); }, SerFault::bayer, 19},
        HeaderCase{"colour_unknown", [](Bytes& b) { put32(b, 18, 12); }, SerFault::colour, 12},
        HeaderCase{"colour_negative", [](Bytes& b) { put32(b, 18, -1); }, SerFault::colour, -1},
        HeaderCase{"depth_zero", [](Bytes& b) { put32(b, 34, 0); }, SerFault::depth, 0},
        HeaderCase{"depth_17", [](Bytes& b) { put32(b, 34, 17); }, SerFault::depth, 17},
        HeaderCase{"width_zero", [](Bytes& b) { put32(b, 26, 0); }, SerFault::width, 0},
        HeaderCase{"width_negative", [](Bytes& b) { put32(b, 26, -4); }, SerFault::width, -4},
        HeaderCase{"height_negative", [](Bytes& b) { put32(b, 30, INT32_MIN); }, SerFault::height, INT32_MIN},
        HeaderCase{"pixels_beyond_int32", [](Bytes& b) { put32(b, 26, 65536); put32(b, 30, 32768); },
                   SerFault::pixel_count, 0},
        HeaderCase{"frame_count_negative", [](Bytes& b) { put32(b, 38, -1); }, SerFault::frame_count, -1},
        // 3 frames of 16 bytes: one byte short of the third, room for two.
        HeaderCase{"last_frame_cut", [](Bytes& b) { b.pop_back(); }, SerFault::truncated, 2},
        HeaderCase{"frame_count_one_more", [](Bytes& b) { put32(b, 38, 4); }, SerFault::truncated, 3},
        // 2^31 - 1 frames of about 4 GiB each: their product would pass
        // 2^64, and no wrap-around may let it through.
        HeaderCase{"forged_sizes",
                   [](Bytes& b) {
                     put32(b, 26, 46340);
                     put32(b, 30, 46340);
                     put32(b, 38, INT32_MAX);
                   },
                   SerFault::truncated, 0}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.title); });

TEST(SerHeader, FieldsAndFrameGeometry) {
  SerVideo s = mono(5, 3, 10, 2);
  s.color_id = 101;
  s.little_endian = 0;
  s.frames.assign(2, std::vector<std::uint32_t>(45, 0));
  const Bytes bytes = import_test::ser_bytes(s);
  SerHeader h;
  ASSERT_TRUE(kadrix::import::parse_ser_header(bytes, bytes.size(), h).ok());
  EXPECT_EQ(h.color_id, 101);
  EXPECT_EQ(h.little_endian, 0);
  EXPECT_EQ(h.width, 5);
  EXPECT_EQ(h.height, 3);
  EXPECT_EQ(h.depth, 10);
  EXPECT_EQ(h.frame_count, 2);
  EXPECT_EQ(h.planes, 3);
  EXPECT_EQ(h.sample_bytes, 2);
  EXPECT_EQ(h.row_bytes, 30u);
  EXPECT_EQ(h.frame_bytes, 90u);
  // A header claiming more than the file holds is caught on the size given,
  // not on the bytes at hand.
  EXPECT_EQ(kadrix::import::parse_ser_header(bytes, bytes.size() - 1, h).fault, SerFault::truncated);
}

struct GreyCase {
  const char* title;
  std::int32_t color_id;
  std::int32_t depth;
  bool big_endian;
  Bytes raw;
  std::vector<std::uint32_t> grey;
};

void PrintTo(const GreyCase& c, std::ostream* os) { *os << c.title; }

class SerGreyRows : public ::testing::TestWithParam<GreyCase> {};

TEST_P(SerGreyRows, MatchTheValuesWorkedOutByHand) {
  const GreyCase& c = GetParam();
  SerHeader h;
  h.color_id = c.color_id;
  h.depth = c.depth;
  h.planes = c.color_id == 0 ? 1 : 3;
  h.sample_bytes = c.depth <= 8 ? 1 : 2;
  h.width = static_cast<std::int32_t>(c.grey.size());
  h.height = 1;
  h.row_bytes = c.raw.size();
  ASSERT_EQ(c.raw.size(), c.grey.size() * static_cast<std::size_t>(h.planes * h.sample_bytes));
  std::vector<std::uint32_t> grey(c.grey.size(), 12345);
  kadrix::import::ser_grey_row(h, c.big_endian, c.raw, grey);
  EXPECT_EQ(grey, c.grey);
}

constexpr std::uint32_t kOver = kadrix::import::kSerOverRange;

INSTANTIATE_TEST_SUITE_P(
    Ser, SerGreyRows,
    ::testing::Values(
        GreyCase{"mono_8", 0, 8, false, {0, 1, 128, 255}, {0, 1, 128, 255}},
        // Depth 6: 63 is the top; anything above is saturated.
        GreyCase{"mono_6_over_range", 0, 6, false, {0, 63, 64, 255}, {0, 63, kOver, kOver}},
        GreyCase{"mono_12_little", 0, 12, false, {0xFF, 0x0F, 0x00, 0x10, 0x34, 0x12, 0x23, 0x01},
                 {4095, kOver, kOver, 0x123}},
        GreyCase{"mono_12_big", 0, 12, true, {0x0F, 0xFF, 0x10, 0x00, 0x01, 0x23}, {4095, kOver, 0x123}},
        GreyCase{"mono_16_little", 0, 16, false, {0xCD, 0xAB, 0xFF, 0xFF}, {0xABCD, 0xFFFF}},
        GreyCase{"mono_16_big", 0, 16, true, {0xAB, 0xCD, 0x00, 0x01}, {0xABCD, 1}},
        // (299 R + 587 G + 114 B + 500) / 1000: red 76, green 150, blue 29,
        // (10, 20, 30) gives 18, white stays 255.
        GreyCase{"rgb_8", 100, 8, false, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 255, 255, 255},
                 {76, 150, 29, 18, 255}},
        GreyCase{"bgr_8", 101, 8, false, {0, 0, 255, 0, 255, 0, 255, 0, 0, 30, 20, 10, 255, 255, 255},
                 {76, 150, 29, 18, 255}},
        // 16 bits: (299 * 65535 + 500) / 1000 = 19595; (1000, 2000, 3000) gives 1815.
        GreyCase{"rgb_16_little", 100, 16, false, {0xFF, 0xFF, 0, 0, 0, 0, 0xE8, 0x03, 0xD0, 0x07, 0xB8, 0x0B},
                 {19595, 1815}},
        // One sample over the depth saturates the whole pixel.
        GreyCase{"rgb_10_over_range", 100, 10, true, {0x03, 0xFF, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                 {kOver, 0}}),
    [](const ::testing::TestParamInfo<GreyCase>& info) { return std::string(info.param.title); });

TEST(SerFrames, ReadOneAtATimeTopRowFirst) {
  kadrix_test::TempDir dir;
  SerVideo s;
  s.width = 3;
  s.height = 2;
  s.depth = 16;
  s.little_endian = 0;
  s.big_endian_samples = true;
  s.frames = {{1, 2, 3, 4, 5, 6}, {600, 500, 400, 300, 200, 100}};
  s.trailer = Bytes(16, 0xEE);
  const std::string path = dir.file("a.ser");
  kadrix_test::write_file(path, import_test::ser_bytes(s));

  kadrix::import::SerFile ser;
  SerCheck check;
  ASSERT_EQ(kadrix::import::open_ser(path, ser, check), kadrix::import::SerOpen::ok);
  for (std::int32_t f = 1; f >= 0; --f) {
    std::vector<std::uint32_t> seen;
    std::vector<std::int32_t> rows;
    ASSERT_TRUE(kadrix::import::read_ser_frame(ser, f, kadrix::import::SerByteOrder::from_header,
                                               [&](std::int32_t y, std::span<const std::uint32_t> grey) {
                                                 rows.push_back(y);
                                                 seen.insert(seen.end(), grey.begin(), grey.end());
                                               }));
    EXPECT_EQ(rows, (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(seen, s.frames[static_cast<std::size_t>(f)]) << "frame " << f;
  }
  // The flag overridden: the same bytes read the other way round.
  std::vector<std::uint32_t> swapped;
  ASSERT_TRUE(kadrix::import::read_ser_frame(ser, 0, kadrix::import::SerByteOrder::little,
                                             [&](std::int32_t, std::span<const std::uint32_t> grey) {
                                               swapped.insert(swapped.end(), grey.begin(), grey.end());
                                             }));
  EXPECT_EQ(swapped, (std::vector<std::uint32_t>{0x100, 0x200, 0x300, 0x400, 0x500, 0x600}));
  EXPECT_FALSE(kadrix::import::read_ser_frame(ser, 2, kadrix::import::SerByteOrder::from_header,
                                              [](std::int32_t, std::span<const std::uint32_t>) {}));
}

TEST(SerFrames, AFileCutAfterItWasCheckedFailsTheRead) {
  kadrix_test::TempDir dir;
  const std::string path = dir.file("a.ser");
  const Bytes bytes = import_test::ser_bytes(mono(300, 400, 8, 2));
  kadrix_test::write_file(path, bytes);
  kadrix::import::SerFile ser;
  SerCheck check;
  ASSERT_EQ(kadrix::import::open_ser(path, ser, check), kadrix::import::SerOpen::ok);
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes.size() - 1000)), 0);
  EXPECT_TRUE(kadrix::import::read_ser_frame(ser, 0, {}, [](std::int32_t, std::span<const std::uint32_t>) {}));
  EXPECT_FALSE(kadrix::import::read_ser_frame(ser, 1, {}, [](std::int32_t, std::span<const std::uint32_t>) {}));
}

TEST(SerOpen, NonRegularFilesAreAbsent) {
  kadrix_test::TempDir dir;
  kadrix::import::SerFile ser;
  SerCheck check;
  EXPECT_EQ(kadrix::import::open_ser(dir.file("none.ser"), ser, check), kadrix::import::SerOpen::absent);
  EXPECT_EQ(kadrix::import::open_ser(dir.path().string(), ser, check), kadrix::import::SerOpen::absent);
  ASSERT_EQ(::mkfifo(dir.file("pipe.ser").c_str(), 0600), 0);
  EXPECT_EQ(kadrix::import::open_ser(dir.file("pipe.ser"), ser, check), kadrix::import::SerOpen::absent);
}

}  // namespace
