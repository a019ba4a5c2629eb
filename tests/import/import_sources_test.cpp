// Runs of the built kadrix-import on SER, FITS and PNG sources the tests
// write: every frame compared byte for byte with the frame file of pixels
// worked out by hand, and the map printed; damaged and unsupported sources
// refused with their reason, the directory left as it was.

#include <gtest/gtest.h>
#include <fitsio.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::crlf;
using import_test::FitsImage;
using import_test::PngImage;
using import_test::SerVideo;
using kadrix_test::TempDir;

using Pixels = std::vector<std::uint8_t>;
// Writes the sources into the directory; returns their names in order.
using Writer = std::function<std::vector<std::string>(const TempDir&)>;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

const std::string kCopy = "Mapa: 8 bitow, wartosci przepisane bez zmian (dla nastepnego obiektu: --depth 8)";

std::string shift_line(int depth) {
  return "Mapa: glebia " + std::to_string(depth) + " bitow, wartosc = v >> " + std::to_string(depth - 8) +
         " (dla nastepnego obiektu: --depth " + std::to_string(depth) + ")";
}

std::string linear_line(const std::string& lo, const std::string& hi) {
  return "Mapa: liniowa, wartosc = (v - " + lo + ") * 255 / (" + hi + " - " + lo +
         ") (dla nastepnego obiektu: --range " + lo + ":" + hi + ")";
}

Writer one(const std::string& name, const Bytes& bytes) {
  return [=](const TempDir& dir) {
    kadrix_test::write_file(dir.file(name), bytes);
    return std::vector<std::string>{name};
  };
}

Bytes ser(std::int32_t width, std::int32_t height, std::int32_t depth, std::vector<std::vector<std::uint32_t>> frames,
          std::int32_t flag = 1, bool big_endian = false, std::int32_t colour = 0) {
  SerVideo s;
  s.width = width;
  s.height = height;
  s.depth = depth;
  s.frames = std::move(frames);
  s.little_endian = flag;
  s.big_endian_samples = big_endian;
  s.color_id = colour;
  s.trailer = Bytes(8 * s.frames.size(), 0x5A);
  return import_test::ser_bytes(s);
}

Bytes fits(int bitpix, std::vector<std::int64_t> axes, std::vector<double> values, std::vector<std::string> cards = {},
           bool in_extension = false) {
  FitsImage f;
  f.bitpix = bitpix;
  f.axes = std::move(axes);
  f.values = std::move(values);
  f.cards = std::move(cards);
  f.in_extension = in_extension;
  return import_test::fits_bytes(f);
}

Bytes png(std::int32_t width, std::int32_t height, int depth, int colour, std::vector<std::uint32_t> samples,
          std::vector<std::uint8_t> palette = {}, bool interlaced = false) {
  PngImage p;
  p.width = width;
  p.height = height;
  p.bit_depth = depth;
  p.colour_type = colour;
  p.samples = std::move(samples);
  p.palette = std::move(palette);
  p.interlaced = interlaced;
  return import_test::png_bytes(p);
}

// A 9 x 9 picture whose every pixel differs from its neighbours: each
// Adam7 pass lands somewhere else.
std::vector<std::uint32_t> pattern_9x9() {
  std::vector<std::uint32_t> v;
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 9; ++x) v.push_back(static_cast<std::uint32_t>((x * 7 + y * 13 + x * y) % 256));
  return v;
}

struct ImportCase {
  const char* title;
  Writer write;
  std::vector<std::string> options;
  std::int32_t width;
  std::int32_t height;
  std::vector<Pixels> frames;
  std::string map_line;
};

void PrintTo(const ImportCase& c, std::ostream* os) { *os << c.title; }

class ImportSources : public ::testing::TestWithParam<ImportCase> {};

TEST_P(ImportSources, WriteTheFramesWorkedOutByHand) {
  const ImportCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> args = c.options;
  args.push_back(dir.prefix());
  args.push_back("OBJ");
  std::vector<std::string> expected_entries;
  for (const std::string& name : c.write(dir)) {
    args.push_back(dir.file(name));
    expected_entries.push_back(name);
  }
  const kadrix_test::RunResult r = import_test::run_import(args);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find(crlf(c.map_line + "\n")), std::string::npos) << r.out;
  for (std::size_t k = 0; k < c.frames.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "OBJ%02zu.BMP", k + 1);
    expected_entries.push_back(name);
    ASSERT_TRUE(kadrix_test::exists(dir.file(name))) << name;
    EXPECT_TRUE(kadrix_test::same_bytes(kadrix_test::read_file(dir.file(name)),
                                        import_test::frame_file(c.width, c.height, c.frames[k])))
        << name;
  }
  // Nothing else: no frame beyond the series, no temporary left.
  std::sort(expected_entries.begin(), expected_entries.end());
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), expected_entries);
}

INSTANTIATE_TEST_SUITE_P(
    Ser, ImportSources,
    ::testing::Values(
        ImportCase{"mono_8",
                   one("a.ser", ser(4, 3, 8,
                                    {{0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220},
                                     {255, 235, 215, 195, 175, 155, 135, 115, 95, 75, 55, 35}})),
                   {}, 4, 3,
                   {{0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220},
                    {255, 235, 215, 195, 175, 155, 135, 115, 95, 75, 55, 35}},
                   kCopy},
        // 12 bits: v >> 4; 4096 is above 2^12 - 1 and becomes 255.
        ImportCase{"depth_12_little", one("a.ser", ser(4, 2, 12, {{0, 15, 16, 4095, 2048, 4096, 100, 1000}}, 1, false)),
                   {}, 4, 2, {{0, 0, 1, 255, 128, 255, 6, 62}}, shift_line(12)},
        ImportCase{"depth_12_big", one("a.ser", ser(4, 2, 12, {{0, 15, 16, 4095, 2048, 4096, 100, 1000}}, 0, true)),
                   {}, 4, 2, {{0, 0, 1, 255, 128, 255, 6, 62}}, shift_line(12)},
        ImportCase{"depth_12_flag_wrong_big",
                   one("a.ser", ser(4, 2, 12, {{0, 15, 16, 4095, 2048, 4096, 100, 1000}}, 1, true)),
                   {"--byte-order", "big"}, 4, 2, {{0, 0, 1, 255, 128, 255, 6, 62}}, shift_line(12)},
        ImportCase{"depth_12_flag_wrong_little",
                   one("a.ser", ser(4, 2, 12, {{0, 15, 16, 4095, 2048, 4096, 100, 1000}}, 0, false)),
                   {"--byte-order=little"}, 4, 2, {{0, 0, 1, 255, 128, 255, 6, 62}}, shift_line(12)},
        ImportCase{"depth_16_little",
                   one("a.ser", ser(4, 2, 16, {{0, 255, 256, 65535, 32768, 0x1234, 0xABCD, 1}}, 7, false)), {}, 4, 2,
                   {{0, 0, 1, 255, 128, 0x12, 0xAB, 0}}, shift_line(16)},
        ImportCase{"depth_16_big",
                   one("a.ser", ser(4, 2, 16, {{0, 255, 256, 65535, 32768, 0x1234, 0xABCD, 1}}, 0, true)), {}, 4, 2,
                   {{0, 0, 1, 255, 128, 0x12, 0xAB, 0}}, shift_line(16)},
        // Red 76, green 150, blue 29, (10, 20, 30) 18, white 255.
        ImportCase{"rgb_8",
                   one("a.ser", ser(5, 1, 8, {{255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 255, 255, 255}}, 1, false, 100)),
                   {}, 5, 1, {{76, 150, 29, 18, 255}}, kCopy},
        ImportCase{"bgr_8",
                   one("a.ser", ser(5, 1, 8, {{0, 0, 255, 0, 255, 0, 255, 0, 0, 30, 20, 10, 255, 255, 255}}, 1, false, 101)),
                   {}, 5, 1, {{76, 150, 29, 18, 255}}, kCopy},
        // (299 * 65535 + 500) / 1000 = 19595 >> 8 = 76; (1000, 2000, 3000)
        // gives 1815 >> 8 = 7.
        ImportCase{"rgb_16_big", one("a.ser", ser(2, 1, 16, {{65535, 0, 0, 1000, 2000, 3000}}, 0, true, 100)), {}, 2, 1,
                   {{76, 7}}, shift_line(16)},
        ImportCase{"depth_6_over_range", one("a.ser", ser(4, 1, 6, {{0, 63, 64, 200}})), {}, 4, 1, {{0, 63, 255, 255}},
                   kCopy},
        // A header saying 16 bits over 12-bit data, set right by --depth.
        ImportCase{"depth_option", one("a.ser", ser(4, 1, 16, {{4095, 16, 0, 65535}})), {"--depth", "12"}, 4, 1,
                   {{255, 1, 0, 255}}, shift_line(12)}),
    [](const ::testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.title); });

// FITS rows are stored bottom row first: the values below list the stored
// rows in that order, the expected frames top row first.
INSTANTIATE_TEST_SUITE_P(
    Fits, ImportSources,
    ::testing::Values(
        ImportCase{"cube_8", one("a.fits", fits(8, {3, 2, 3}, {1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 16, 21, 22, 23, 24, 25, 26})),
                   {}, 3, 2, {{4, 5, 6, 1, 2, 3}, {14, 15, 16, 11, 12, 13}, {24, 25, 26, 21, 22, 23}}, kCopy},
        // BZERO 32768 makes the stored -32768 ... 32767 the values 0 ... 65535;
        // the largest, 4095, needs 12 bits.
        ImportCase{"int16_bzero",
                   one("a.fits", fits(16, {3, 2}, {0 - 32768., 4095 - 32768., 1000 - 32768., 2048 - 32768., 16 - 32768., 15 - 32768.},
                                      {"BZERO = 32768"})),
                   {}, 3, 2, {{128, 1, 0, 0, 255, 62}}, shift_line(12)},
        // 100000 needs 17 bits: v >> 9.
        ImportCase{"int32_bzero",
                   one("a.fits", fits(32, {2, 2}, {100000 - 2147483648., 512 - 2147483648., 65535 - 2147483648., -2147483648.},
                                      {"BZERO = 2147483648"})),
                   {}, 2, 2, {{127, 0, 195, 1}}, shift_line(17)},
        // From -0.5 to 3.5: 2.0 gives trunc(2.5 * 255 / 4) = 159, 1.0 gives
        // 95, 1.5 gives 127; NaN is left out of the range and written as 0.
        ImportCase{"float32_nan", one("a.fits", fits(-32, {3, 2}, {kNan, 1.5, 3.5, -0.5, 2.0, 1.0})), {}, 3, 2,
                   {{0, 159, 95, 0, 127, 255}}, linear_line("-0.5", "3.5")},
        // Two 2-D files in a row share one range, 0.25 to 1.25.
        ImportCase{"float64_two_files",
                   [](const TempDir& dir) {
                     kadrix_test::write_file(dir.file("a.fits"), fits(-64, {2, 1}, {0.25, 0.75}));
                     kadrix_test::write_file(dir.file("b.fits"), fits(-64, {2, 1}, {0.5, 1.25}));
                     return std::vector<std::string>{"a.fits", "b.fits"};
                   },
                   {}, 2, 1, {{0, 127}, {63, 255}}, linear_line("0.25", "1.25")},
        ImportCase{"int16_negative", one("a.fits", fits(16, {4, 1}, {-100, 0, 100, 155})), {}, 4, 1, {{0, 100, 200, 255}},
                   linear_line("-100", "155")},
        // BLANK pixels (stored 32767, the value 65535) are 0 and outside
        // the range: the largest value is 300, 9 bits, v >> 1.
        ImportCase{"int16_blank",
                   one("a.fits", fits(16, {4, 1}, {32767, 300 - 32768., 20 - 32768., 255 - 32768.},
                                      {"BZERO = 32768", "BLANK = 32767"})),
                   {}, 4, 1, {{0, 150, 10, 127}}, shift_line(9)},
        // BSCALE 2 makes 0, 20, 40, 10: a linear map from 0 to 40.
        ImportCase{"int16_bscale", one("a.fits", fits(16, {4, 1}, {0, 10, 20, 5}, {"BSCALE = 2"})), {}, 4, 1,
                   {{0, 127, 255, 63}}, linear_line("0", "40")},
        ImportCase{"image_extension", one("a.fits", fits(8, {2, 2}, {1, 2, 3, 4}, {}, true)), {}, 2, 2, {{3, 4, 1, 2}},
                   kCopy},
        ImportCase{"compressed_cube",
                   [](const TempDir& dir) {
                     import_test::write_compressed_fits(dir.file("c.fits"), 3, 2, 2,
                                                        {0, 4095, 1000, 2048, 16, 15, 4095, 4095, 4095, 0, 0, 0});
                     return std::vector<std::string>{"c.fits"};
                   },
                   {}, 3, 2, {{128, 1, 0, 0, 255, 62}, {0, 0, 0, 255, 255, 255}}, shift_line(12)},
        // cfitsio's file-name syntax does not apply: brackets and '!' are
        // part of the name.
        ImportCase{"name_with_brackets", one("a[1]!.fits", fits(8, {2, 1}, {7, 9})), {}, 2, 1, {{7, 9}}, kCopy},
        ImportCase{"range_option",
                   one("a.fits", fits(16, {3, 2}, {0 - 32768., 4095 - 32768., 1000 - 32768., 2048 - 32768., 16 - 32768., 15 - 32768.},
                                      {"BZERO = 32768"})),
                   {"--range", "0:4095"}, 3, 2, {{127, 0, 0, 0, 255, 62}}, linear_line("0", "4095")}),
    [](const ::testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.title); });

INSTANTIATE_TEST_SUITE_P(
    Png, ImportSources,
    ::testing::Values(
        ImportCase{"grey_8", one("a.png", png(3, 2, 8, 0, {0, 100, 255, 1, 2, 3})), {}, 3, 2, {{0, 100, 255, 1, 2, 3}},
                   kCopy},
        ImportCase{"grey_16", one("a.png", png(3, 2, 16, 0, {0, 65535, 4096, 256, 255, 32768})), {}, 3, 2,
                   {{0, 255, 16, 1, 0, 128}}, shift_line(16)},
        // 12-bit data in a 16-bit file: the largest value sets the depth.
        ImportCase{"grey_16_holding_12_bits", one("a.png", png(2, 2, 16, 0, {4095, 0, 16, 2048})), {}, 2, 2,
                   {{255, 0, 1, 128}}, shift_line(12)},
        ImportCase{"rgb_8", one("a.png", png(5, 1, 8, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30, 255, 255, 255})), {},
                   5, 1, {{76, 150, 29, 18, 255}}, kCopy},
        // 19595 and 1815; 19595 needs 15 bits: v >> 7 gives 153 and 14.
        ImportCase{"rgba_16", one("a.png", png(2, 1, 16, 6, {65535, 0, 0, 0, 1000, 2000, 3000, 65535})), {}, 2, 1,
                   {{153, 14}}, shift_line(15)},
        ImportCase{"palette_2_bits",
                   one("a.png", png(4, 1, 2, 3, {0, 1, 2, 3}, {0, 0, 0, 255, 0, 0, 0, 255, 0, 10, 20, 30})), {}, 4, 1,
                   {{0, 76, 150, 18}}, kCopy},
        // 4-bit grey is stretched to 8 bits as libpng expands it (x 17).
        ImportCase{"grey_4", one("a.png", png(4, 1, 4, 0, {0, 1, 8, 15})), {}, 4, 1, {{0, 17, 136, 255}}, kCopy},
        ImportCase{"grey_alpha_8", one("a.png", png(2, 1, 8, 4, {10, 0, 200, 255})), {}, 2, 1, {{10, 200}}, kCopy},
        // An interlaced image is kept as stored until its last pass and
        // expanded then: the same grey as the rows libpng expands. Pixels
        // 0, 2 and 1, 3 of a row of 4 come in three passes.
        ImportCase{"palette_2_bits_interlaced",
                   one("a.png", png(4, 1, 2, 3, {0, 1, 2, 3}, {0, 0, 0, 255, 0, 0, 0, 255, 0, 10, 20, 30}, true)), {},
                   4, 1, {{0, 76, 150, 18}}, kCopy},
        ImportCase{"grey_4_interlaced", one("a.png", png(4, 1, 4, 0, {0, 1, 8, 15}, {}, true)), {}, 4, 1,
                   {{0, 17, 136, 255}}, kCopy},
        ImportCase{"grey_1_interlaced", one("a.png", png(4, 1, 1, 0, {1, 0, 0, 1}, {}, true)), {}, 4, 1,
                   {{255, 0, 0, 255}}, kCopy},
        // An index past the palette's end is black, interlaced or not.
        ImportCase{"palette_index_past_the_end",
                   one("a.png", png(4, 1, 2, 3, {0, 1, 2, 3}, {0, 0, 0, 255, 0, 0, 0, 255, 0})), {}, 4, 1,
                   {{0, 76, 150, 0}}, kCopy},
        ImportCase{"palette_index_past_the_end_interlaced",
                   one("a.png", png(4, 1, 2, 3, {0, 1, 2, 3}, {0, 0, 0, 255, 0, 0, 0, 255, 0}, true)), {}, 4, 1,
                   {{0, 76, 150, 0}}, kCopy},
        ImportCase{"interlaced", one("a.png", png(9, 9, 8, 0, pattern_9x9(), {}, true)), {}, 9, 9,
                   {[] {
                     Pixels p;
                     for (const std::uint32_t v : pattern_9x9()) p.push_back(static_cast<std::uint8_t>(v));
                     return p;
                   }()},
                   kCopy}),
    [](const ::testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.title); });

// Frames 2 and 4 of a PNG followed by a SER of three frames.
INSTANTIATE_TEST_SUITE_P(
    Mixed, ImportSources,
    ::testing::Values(ImportCase{"png_then_ser_every_second",
                                 [](const TempDir& dir) {
                                   kadrix_test::write_file(dir.file("a.png"), png(2, 1, 8, 0, {1, 2}));
                                   kadrix_test::write_file(dir.file("b.ser"), ser(2, 1, 8, {{10, 20}, {30, 40}, {50, 60}}));
                                   return std::vector<std::string>{"a.png", "b.ser"};
                                 },
                                 {"--first", "2", "--every=2"}, 2, 1, {{10, 20}, {50, 60}}, kCopy}),
    [](const ::testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.title); });

// kadrix's own frames come through unchanged.
INSTANTIATE_TEST_SUITE_P(
    Bmp, ImportSources,
    ::testing::Values(ImportCase{"kadrix_frames",
                                 [](const TempDir& dir) {
                                   kadrix_test::write_file(dir.file("N01.BMP"),
                                                           kadrix_test::frame_bmp(3, 2, {0, 1, 2, 253, 254, 255}));
                                   kadrix_test::write_file(dir.file("N02.BMP"),
                                                           kadrix_test::frame_bmp(3, 2, {9, 8, 7, 6, 5, 4}));
                                   return std::vector<std::string>{"N01.BMP", "N02.BMP"};
                                 },
                                 {}, 3, 2, {{0, 1, 2, 253, 254, 255}, {9, 8, 7, 6, 5, 4}}, kCopy}),
    [](const ::testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.title); });

// A kadrix frame claiming 24 bits a pixel.
Bytes colour_bmp() {
  Bytes b = kadrix_test::frame_bmp(2, 1, {1, 2});
  b[28] = 24;
  return b;
}

// ---- refused sources ----------------------------------------------------

// The file's bytes with the CRC of its chunk at `at` (the length field)
// made right again.
void fix_crc(Bytes& png_file, std::size_t at) {
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) length = length << 8 | png_file[at + static_cast<std::size_t>(i)];
  const auto crc = static_cast<std::uint32_t>(crc32(0, png_file.data() + at + 4, static_cast<uInt>(length + 4)));
  for (int i = 0; i < 4; ++i)
    png_file[at + 8 + length + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
}

struct RefusedCase {
  const char* title;
  Writer write;  // the last source written is the one refused
  std::string reason;  // after "Zly plik PATH (", or the whole line when it starts with "Brak"
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.title; }

class RefusedSources : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedSources, NameTheReasonAndLeaveTheDirectoryAsItWas) {
  const RefusedCase& c = GetParam();
  TempDir dir;
  const std::vector<std::string> names = c.write(dir);
  const auto before = import_test::snapshot(dir.path().string());
  std::vector<std::string> args = {dir.prefix(), "OBJ"};
  for (const std::string& name : names) args.push_back(dir.file(name));
  const kadrix_test::RunResult r = import_test::run_import(args);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_EQ(r.err, "");
  const std::string path = dir.file(names.back());
  const std::string line = c.reason.starts_with("Brak") ? c.reason + path : "Zly plik " + path + " (" + c.reason + ")";
  EXPECT_TRUE(r.out.ends_with(crlf(line + "\n"))) << r.out;
  EXPECT_EQ(import_test::snapshot(dir.path().string()), before);
}

Bytes good_png() { return png(2, 2, 8, 0, {1, 2, 3, 4}); }

// The FITS file with the header card of the extension whose keyword is key
// replaced by card (padded to 80 characters).
Bytes with_card(Bytes b, const std::string& key, const std::string& card) {
  const std::string name = (key + "        ").substr(0, 8);
  for (std::size_t at = 2880; at + 80 <= b.size(); at += 80) {
    if (std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 8)) != name)
      continue;
    const std::string padded = (card + std::string(80, ' ')).substr(0, 80);
    std::copy(padded.begin(), padded.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
  }
  throw std::runtime_error("no " + key + " card");
}

// A compressed image is read a band of whole tiles at a time. Whatever
// the tiling, its frames are those of the same values stored plainly.
struct TilingCase {
  const char* title;
  std::int64_t width;
  std::int64_t height;
  std::int64_t planes;
  import_test::Tiling tiling;
};

void PrintTo(const TilingCase& c, std::ostream* os) { *os << c.title; }

class CompressedTilings : public ::testing::TestWithParam<TilingCase> {};

TEST_P(CompressedTilings, GiveTheFramesOfTheSameValuesStoredPlainly) {
  const TilingCase& c = GetParam();
  std::vector<std::uint16_t> values;
  std::vector<double> stored;
  for (std::int64_t p = 0; p < c.planes; ++p)
    for (std::int64_t y = 0; y < c.height; ++y)
      for (std::int64_t x = 0; x < c.width; ++x) {
        const auto v = static_cast<std::uint16_t>((x * 37 + y * 101 + p * 1009 + x * y) % 4096);
        values.push_back(v);
        stored.push_back(v - 32768.);
      }
  std::vector<std::int64_t> axes = {c.width, c.height};
  if (c.planes > 1) axes.push_back(c.planes);
  TempDir packed, plain;
  import_test::write_compressed_fits(packed.file("c.fits"), c.width, c.height, c.planes, values, c.tiling);
  kadrix_test::write_file(plain.file("a.fits"), fits(16, axes, stored, {"BZERO = 32768"}));
  const kadrix_test::RunResult from_packed = import_test::run_import({packed.prefix(), "OBJ", packed.file("c.fits")});
  const kadrix_test::RunResult from_plain = import_test::run_import({plain.prefix(), "OBJ", plain.file("a.fits")});
  ASSERT_EQ(from_packed.exit_status, 0) << from_packed.out;
  ASSERT_EQ(from_plain.exit_status, 0) << from_plain.out;
  for (std::int64_t k = 1; k <= c.planes; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "OBJ%02lld.BMP", static_cast<long long>(k));
    ASSERT_TRUE(kadrix_test::exists(packed.file(name))) << name;
    EXPECT_TRUE(kadrix_test::same_bytes(kadrix_test::read_file(packed.file(name)),
                                        kadrix_test::read_file(plain.file(name))))
        << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CompressedTilings,
    ::testing::Values(TilingCase{"rows_rice", 37, 23, 3, {RICE_1, {}}},
                      TilingCase{"whole_plane_gzip", 37, 23, 3, {GZIP_1, {37, 23, 1}}},
                      TilingCase{"columns_gzip", 37, 23, 3, {GZIP_1, {1, 23, 1}}},
                      TilingCase{"tiles_cut_at_the_edges_rice", 37, 23, 3, {RICE_1, {5, 4, 1}}},
                      TilingCase{"tile_through_every_plane_gzip", 37, 23, 3, {GZIP_1, {8, 6, 3}}},
                      // 2100 x 2100 values of 8 bytes are more than one band of 32 MiB.
                      TilingCase{"tile_taller_than_a_band", 2100, 2100, 1, {GZIP_1, {2100, 2100}}}),
    [](const ::testing::TestParamInfo<TilingCase>& info) { return std::string(info.param.title); });

// A small Rice-compressed image, cfitsio's own: 3 x 2 x 2, all 7.
Bytes small_compressed_fits() {
  TempDir dir;
  import_test::write_compressed_fits(dir.file("c.fits"), 3, 2, 2, std::vector<std::uint16_t>(12, 7));
  return kadrix_test::read_file(dir.file("c.fits"));
}

// That image with one card of its table's header replaced: what cfitsio
// 4.2 itself cannot read soundly.
Writer compressed_with_card(const std::string& key, const std::string& card) {
  return [=](const TempDir& dir) {
    kadrix_test::write_file(dir.file("c.fits"), with_card(small_compressed_fits(), key, card));
    return std::vector<std::string>{"c.fits"};
  };
}

// A 5 x 3 float image, GZIP-compressed by cfitsio, of values it does not
// quantize: its tiles are kept losslessly, in a column of their own.
Bytes lossless_float_fits() {
  TempDir dir;
  const std::string path = dir.file("f.fits");
  int status = 0;
  fitsfile* f = nullptr;
  fits_create_diskfile(&f, path.c_str(), &status);
  fits_set_compression_type(f, GZIP_1, &status);
  long axes[2] = {5, 3};
  fits_create_img(f, FLOAT_IMG, 2, axes, &status);
  std::vector<float> values;
  for (int i = 0; i < 15; ++i) values.push_back(static_cast<float>((37 * i + 11) % 200) / 8 - 3);
  fits_write_img(f, TFLOAT, 1, 15, values.data(), &status);
  fits_close_file(f, &status);
  if (status != 0) throw std::runtime_error("cfitsio could not write " + path);
  return kadrix_test::read_file(path);
}

// Where a compressed FITS file's table rows start: in the block after
// the END card of the table's header.
std::size_t table_rows(const Bytes& b) {
  const std::string xtension = "XTENSION=";
  auto card = std::search(b.begin(), b.end(), xtension.begin(), xtension.end());
  while (card != b.end() && std::string(card, card + 8) != "END     ") card += 80;
  if (card == b.end()) throw std::runtime_error("no table header");
  return static_cast<std::size_t>(card - b.begin() + 80 + 2879) / 2880 * 2880;
}

// The length in the first tile's descriptor (of the table's first column):
// a big-endian length, then an offset into the heap.
std::uint32_t first_tile_length(const Bytes& b) {
  const std::size_t rows = table_rows(b);
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) length = (length << 8) | b[rows + i];
  return length;
}

// A compressed FITS file with that length replaced.
Bytes with_first_tile_length(Bytes b, std::uint32_t length) {
  const std::size_t rows = table_rows(b);
  for (std::size_t i = 0; i < 4; ++i) b[rows + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RefusedSources,
    ::testing::Values(
        RefusedCase{"ser_bayer",
                    [](const TempDir& dir) {
                      // A good source first: nothing is written before every source is known good.
                      kadrix_test::write_file(dir.file("a.ser"), ser(2, 2, 8, {{1, 2, 3, 4}, {5, 6, 7, 8}}));
                      kadrix_test::write_file(dir.file("b.ser"), ser(2, 2, 8, {{1, 2, 3, 4}}, 1, false, 8));
                      return std::vector<std::string>{"a.ser", "b.ser"};
                    },
                    "mozaika Bayera RGGB (ColorID 8) nie jest obslugiwana, tylko MONO, RGB i BGR"},
        RefusedCase{"ser_bayer_bggr", one("a.ser", ser(2, 2, 8, {{1, 2, 3, 4}}, 1, false, 11)),
                    "mozaika Bayera BGGR (ColorID 11) nie jest obslugiwana, tylko MONO, RGB i BGR"},
        RefusedCase{"ser_colour_unknown", one("a.ser", ser(2, 2, 8, {{1, 2, 3, 4}}, 1, false, 102)),
                    "nieznany ColorID 102"},
        RefusedCase{"ser_depth_17", one("a.ser", ser(2, 2, 17, {{1, 2, 3, 4}})),
                    "glebia 17 bitow nie jest obslugiwana (tylko 1 do 16)"},
        RefusedCase{"ser_truncated",
                    [](const TempDir& dir) {
                      Bytes b = ser(2, 2, 8, {{1, 2, 3, 4}, {1, 2, 3, 4}, {1, 2}});
                      b.resize(178 + 10);
                      kadrix_test::put_le32(b, 38, 5);
                      kadrix_test::write_file(dir.file("a.ser"), b);
                      return std::vector<std::string>{"a.ser"};
                    },
                    "plik urwany: naglowek podaje klatek 5, plik miesci pelnych 2"},
        RefusedCase{"ser_header_cut",
                    [](const TempDir& dir) {
                      Bytes b = ser(2, 2, 8, {{1, 2, 3, 4}});
                      b.resize(100);
                      kadrix_test::write_file(dir.file("a.ser"), b);
                      return std::vector<std::string>{"a.ser"};
                    },
                    "krotszy niz naglowek SER (178 bajtow)"},
        RefusedCase{"fits_bitpix_64", one("a.fits", fits(64, {2, 1}, {1, 2})),
                    "BITPIX 64 nie jest obslugiwany (tylko 8, 16, 32, -32, -64)"},
        RefusedCase{"fits_one_axis", one("a.fits", fits(8, {6}, {1, 2, 3, 4, 5, 6})),
                    "brak obrazu o co najmniej dwoch osiach"},
        RefusedCase{"fits_four_axes", one("a.fits", fits(8, {1, 1, 1, 2}, {1, 2})),
                    "obraz ma wiecej niz trzy osie (NAXIS4 = 2)"},
        RefusedCase{"fits_data_cut",
                    [](const TempDir& dir) {
                      Bytes b = fits(16, {100, 100}, std::vector<double>(10000, 1));
                      b.resize(2880 * 4);  // the header and part of the data
                      kadrix_test::write_file(dir.file("a.fits"), b);
                      return std::vector<std::string>{"a.fits"};
                    },
                    "plik urwany: dane obrazu siegaja poza koniec pliku"},
        // Sizes of 2^31 - 1 planes in a file of a few blocks: refused before
        // anything is allocated.
        RefusedCase{"fits_forged_planes", one("a.fits", fits(8, {1000, 1000, 2147483647}, {1, 2, 3})),
                    "plik urwany: dane obrazu siegaja poza koniec pliku"},
        // A compressed image claiming rows of 300 million pixels, each row
        // one tile as before: no compression packs that into a few blocks.
        RefusedCase{"fits_compressed_forged_width",
                    [](const TempDir& dir) {
                      Bytes b = small_compressed_fits();
                      for (const std::string key : {"ZNAXIS1 =", "ZTILE1  ="}) {
                        const auto at = std::search(b.begin(), b.end(), key.begin(), key.end());
                        if (at == b.end()) throw std::runtime_error("no " + key + " card");
                        const std::string value = "           300000000";
                        std::copy(value.begin(), value.end(), at + 10);
                      }
                      kadrix_test::write_file(dir.file("c.fits"), b);
                      return std::vector<std::string>{"c.fits"};
                    },
                    "rozmiary obrazu nie do pogodzenia z dlugoscia pliku"},
        // Headers that crash cfitsio or make it read on with values it never
        // set: looked over before cfitsio reads them.
        RefusedCase{"fits_compressed_tile_size_0", compressed_with_card("ZTILE2", "ZTILE2  =                    0"),
                    "zly naglowek FITS (kod cfitsio 209)"},
        RefusedCase{"fits_table_column_name_fills_card",
                    compressed_with_card("TTYPE1", "TTYPE1  = " + std::string(70, 'C')),
                    "zly naglowek FITS (kod cfitsio 207)"},
        RefusedCase{"fits_table_column_name_right_after_equals",
                    compressed_with_card("TTYPE1", "TTYPE1  =" + std::string(71, 'C')),
                    "zly naglowek FITS (kod cfitsio 207)"},
        RefusedCase{"fits_control_character_in_a_value",
                    compressed_with_card("ZTILE2", "ZTILE2  =   \n                1"),
                    "zly naglowek FITS (kod cfitsio 207)"},
        // cfitsio reads a name up to its first space: this is ZTILE1, of size 0.
        RefusedCase{"fits_tile_size_named_with_a_suffix",
                    compressed_with_card("ZTILE1", "ZTILE1 a= 'BLOCKSIZE'"),
                    "zly naglowek FITS (kod cfitsio 209)"},
        // Files cfitsio 4.2 dies on: refused, the import not taken down.
        RefusedCase{"fits_rice_blocks_of_0_pixels", compressed_with_card("ZVAL1", "ZVAL1   =                    0"),
                    "uszkodzony plik FITS: cfitsio nie przetrwal jego odczytu"},
        RefusedCase{"fits_lossless_float_tiles_said_to_hold_doubles",
                    [](const TempDir& dir) {
                      kadrix_test::write_file(dir.file("c.fits"), with_card(lossless_float_fits(), "ZBITPIX",
                                                                            "ZBITPIX =                  -64"));
                      return std::vector<std::string>{"c.fits"};
                    },
                    "uszkodzony plik FITS: cfitsio nie przetrwal jego odczytu"},
        // gzip streams cut short, on which cfitsio's reader would grow its
        // buffer for ever: the first tile said to be quantized, 16 bytes
        // of a lossless tile's stream; and a tile short of its last byte.
        RefusedCase{"fits_gzip_tile_of_a_stream_cut_short",
                    [](const TempDir& dir) {
                      kadrix_test::write_file(dir.file("c.fits"), with_first_tile_length(lossless_float_fits(), 16));
                      return std::vector<std::string>{"c.fits"};
                    },
                    "nie da sie rozpakowac obrazu"},
        RefusedCase{"fits_gzip_tile_short_of_its_last_byte",
                    [](const TempDir& dir) {
                      std::vector<std::uint16_t> values(4 * 3);
                      for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(97 * i);
                      import_test::write_compressed_fits(dir.file("g.fits"), 4, 3, 1, values, {21, {4, 1}});
                      const Bytes b = kadrix_test::read_file(dir.file("g.fits"));
                      kadrix_test::write_file(dir.file("c.fits"), with_first_tile_length(b, first_tile_length(b) - 1));
                      return std::vector<std::string>{"c.fits"};
                    },
                    "nie da sie rozpakowac obrazu"},
        RefusedCase{"fits_table_rows_not_a_number", compressed_with_card("NAXIS2", "NAXIS2  = 'four'"),
                    "zly naglowek FITS (kod cfitsio 209)"},
        RefusedCase{"fits_table_width_missing", compressed_with_card("NAXIS1", "COMMENT no width here"),
                    "zly naglowek FITS (kod cfitsio 208)"},
        RefusedCase{"fits_extension_gcount_0",
                    one("a.fits", with_card(fits(8, {2, 2}, {1, 2, 3, 4}, {}, true), "GCOUNT",
                                            "GCOUNT  =                    0")),
                    "zly naglowek FITS (kod cfitsio 215)"},
        RefusedCase{"png_crc_broken",
                    [](const TempDir& dir) {
                      Bytes b = good_png();
                      b[import_test::png_idat_offset(b)] ^= 0x01;
                      kadrix_test::write_file(dir.file("a.png"), b);
                      return std::vector<std::string>{"a.png"};
                    },
                    "klatka 1: uszkodzony plik PNG"},
        RefusedCase{"png_cut_in_pixels",
                    [](const TempDir& dir) {
                      Bytes b = good_png();
                      b.resize(import_test::png_idat_offset(b) + 4);
                      kadrix_test::write_file(dir.file("a.png"), b);
                      return std::vector<std::string>{"a.png"};
                    },
                    "klatka 1: plik urwany"},
        RefusedCase{"png_forged_size",
                    [](const TempDir& dir) {
                      Bytes b = good_png();
                      // IHDR: width and height of a million each.
                      for (const std::size_t at : {16u, 20u}) {
                        b[at] = 0x00;
                        b[at + 1] = 0x0F;
                        b[at + 2] = 0x42;
                        b[at + 3] = 0x40;
                      }
                      fix_crc(b, 8);
                      kadrix_test::write_file(dir.file("a.png"), b);
                      return std::vector<std::string>{"a.png"};
                    },
                    "rozmiary obrazu nie do pogodzenia z dlugoscia pliku"},
        RefusedCase{"png_signature_only", one("a.png", Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}),
                    "plik urwany"},
        RefusedCase{"unknown_format", one("a.txt", Bytes{'M', '4', '2', '\n'}),
                    "nieznany format (oczekiwano SER, FITS, PNG lub BMP)"},
        RefusedCase{"bmp_of_24_bits", one("a.bmp", colour_bmp()), "glebia bitowa 24, wymagana 8"},
        RefusedCase{"empty_file", one("a.ser", Bytes{}), "nieznany format (oczekiwano SER, FITS, PNG lub BMP)"},
        RefusedCase{"gzip", one("a.fits.gz", Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0}),
                    "plik skompresowany gzip: rozpakuj go najpierw (gunzip)"},
        RefusedCase{"missing", [](const TempDir&) { return std::vector<std::string>{"none.ser"}; }, "Brak pliku "},
        RefusedCase{"directory",
                    [](const TempDir& dir) {
                      std::filesystem::create_directory(dir.file("sub.ser"));
                      return std::vector<std::string>{"sub.ser"};
                    },
                    "Brak pliku "}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.title); });

// Headers that claim far more than the file holds: the refusal comes
// before anything of that size is allocated, even with little memory to
// spare. The PNG's ancillary chunk claims 1.5 GB in a file of 60 bytes:
// libpng would allocate the chunk before reading it.
struct ForgedCase {
  const char* title;
  const char* file;
  Bytes (*bytes)();
  std::string reason;
};

void PrintTo(const ForgedCase& c, std::ostream* os) { *os << c.title; }

class ForgedSizes : public ::testing::TestWithParam<ForgedCase> {};

TEST_P(ForgedSizes, AreRefusedWithoutAllocating) {
  const ForgedCase& c = GetParam();
  TempDir dir;
  kadrix_test::write_file(dir.file(c.file), c.bytes());
  kadrix_test::RunOptions options;
  // The sanitizers reserve terabytes of address space: there the largest
  // single allocation is capped instead.
  if (kadrix_test::kSanitized) options.largest_allocation_mib = 64;
  else options.address_space_limit = std::uint64_t{512} << 20;
  const kadrix_test::RunResult r = import_test::run_import({dir.prefix(), "OBJ", dir.file(c.file)}, options);
  EXPECT_EQ(r.exit_status, 1) << r.err;
  EXPECT_EQ(r.out, crlf("Zly plik " + dir.file(c.file) + " (" + c.reason + ")\n"));
}

Bytes forged_ser() {
  Bytes b = ser(2, 2, 16, {{1, 2, 3, 4}});
  kadrix_test::put_le32(b, 26, 46340);
  kadrix_test::put_le32(b, 30, 46340);
  kadrix_test::put_le32(b, 38, 3);
  return b;
}

// A good PNG with, after its header chunk, a chunk of the given type whose
// length field claims length bytes; the file ends a few bytes later.
Bytes png_claiming_chunk(const char* type, std::uint32_t length) {
  Bytes b = good_png();
  const std::size_t after_header = 8 + 12 + 13;
  Bytes chunk = {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                 static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
  chunk.insert(chunk.end(), type, type + 4);
  chunk.insert(chunk.end(), {'x', 0, 1, 2});
  b.resize(after_header);
  b.insert(b.end(), chunk.begin(), chunk.end());
  return b;
}

// The compressed image with its first tile's descriptor claiming 1.6 GB of
// compressed bytes: cfitsio allocates that much before it reads them.
Bytes fits_tile_claiming_1_6_gb() { return with_first_tile_length(small_compressed_fits(), 0x64730000u); }

INSTANTIATE_TEST_SUITE_P(
    Sources, ForgedSizes,
    ::testing::Values(ForgedCase{"ser_frames_of_2_gib", "a.ser", forged_ser,
                                 "plik urwany: naglowek podaje klatek 3, plik miesci pelnych 0"},
                      ForgedCase{"png_palette_suggestion_of_1_5_gb", "a.png",
                                 [] { return png_claiming_chunk("sPLT", 0x5C7A000Cu); }, "plik urwany"},
                      ForgedCase{"png_text_of_1_5_gb", "a.png", [] { return png_claiming_chunk("zTXt", 0x5C7A000Cu); },
                                 "plik urwany"},
                      ForgedCase{"fits_tile_descriptor_of_1_6_gb", "c.fits", fits_tile_claiming_1_6_gb,
                                 "zly naglowek FITS (kod cfitsio 264)"},
                      // cfitsio allocates a tile of ZTILE1 x ZTILE2 pixels, 8 bytes each.
                      ForgedCase{"fits_tile_of_a_billion_pixels", "c.fits",
                                 [] {
                                   return with_card(small_compressed_fits(), "ZTILE1",
                                                    "ZTILE1  =            999999999");
                                 },
                                 "rozmiary obrazu nie do pogodzenia z dlugoscia pliku"}),
    [](const ::testing::TestParamInfo<ForgedCase>& info) { return std::string(info.param.title); });

}  // namespace
