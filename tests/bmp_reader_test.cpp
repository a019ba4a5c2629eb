// The frame reader: its verdict on every file of the damaged-frame
// catalogue, row order and padding.

#include "bmp/bmp_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bmp/frame_files.h"
#include "damaged_frames.h"
#include "test_support.h"

namespace {

using kadrix::BmpFault;
using kadrix::BmpLayout;
using kadrix::BmpOpen;
using kadrix_test::BmpShape;
using kadrix_test::build_bmp;
using kadrix_test::Bytes;
using kadrix_test::TempDir;
using kadrix_test::write_file;

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

// ---- the catalogue of damaged and unusual frames ---------------------------

using kadrix_test::FrameCase;
using kadrix_test::FrameKind;

const char* fault_name(BmpFault fault) {
  switch (fault) {
    case BmpFault::none: return "none";
    case BmpFault::short_header: return "short_header";
    case BmpFault::no_signature: return "no_signature";
    case BmpFault::small_info_header: return "small_info_header";
    case BmpFault::bit_count: return "bit_count";
    case BmpFault::compression: return "compression";
    case BmpFault::data_offset: return "data_offset";
    case BmpFault::width: return "width";
    case BmpFault::height: return "height";
    case BmpFault::pixel_count: return "pixel_count";
    case BmpFault::short_pixels: return "short_pixels";
    case BmpFault::read_failed: return "read_failed";
  }
  return "?";
}

::testing::AssertionResult same_check(const kadrix::BmpCheck& actual, const kadrix::BmpCheck& expected) {
  if (actual.fault == expected.fault && actual.value == expected.value) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << fault_name(actual.fault) << " " << actual.value << " where "
                                       << fault_name(expected.fault) << " " << expected.value << " was due";
}

class FrameCatalogue : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameCatalogue, TheReadersVerdict) {
  const FrameCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("F01.BMP");
  write_file(path, c.bytes);
  // No header, however forged, may make the reader reach for memory the
  // file does not hold: the address space is held to 256 MiB above what
  // the test uses (not under the sanitizers, which reserve terabytes).
  std::optional<kadrix_test::AddressSpaceCap> cap;
  if (!kadrix_test::kSanitized) cap.emplace(std::uint64_t{256} << 20);

  // The header check on the bytes a reader takes from the start, the file
  // opened as a frame, and opened by a reader that takes colour files too.
  BmpLayout layout;
  const std::size_t head = std::min<std::size_t>(c.bytes.size(), kadrix::kBmpHeaderBytes);
  const kadrix::BmpCheck parsed =
      kadrix::parse_bmp_header(std::span<const std::uint8_t>(c.bytes.data(), head), c.bytes.size(), layout);
  kadrix::BmpFile frame;
  kadrix::BmpCheck frame_check;
  const BmpOpen opened = kadrix::open_bmp(path, frame, frame_check);
  kadrix::BmpFile colour;
  kadrix::BmpCheck colour_check;
  const BmpOpen colour_opened = kadrix::open_bmp(path, colour, colour_check, kadrix::BitCounts::eight_or_colour);

  if (c.kind == FrameKind::damaged) {
    EXPECT_TRUE(same_check(parsed, c.check));
    EXPECT_EQ(opened, BmpOpen::unusable);
    EXPECT_TRUE(same_check(frame_check, c.check));
  } else {
    EXPECT_TRUE(same_check(parsed, {}));
    ASSERT_EQ(opened, BmpOpen::ok) << fault_name(frame_check.fault);
    EXPECT_EQ(frame.layout.width, c.width);
    EXPECT_EQ(frame.layout.height, c.height);
    std::vector<std::uint8_t> pixels;
    BmpFault fault = BmpFault::none;
    ASSERT_EQ(read_pixels(path, pixels, fault), BmpOpen::ok) << fault_name(fault);
    const std::vector<std::uint8_t> image =
        c.kind == FrameKind::sound ? kadrix_test::base_pixels() : kadrix_test::flat(c.width, c.height, 10);
    EXPECT_EQ(pixels, image);
  }

  const kadrix::BmpCheck colour_expected =
      c.colour_check.value_or(c.kind == FrameKind::damaged ? c.check : kadrix::BmpCheck{});
  EXPECT_TRUE(same_check(colour_check, colour_expected)) << "read as a colour file";
  if (colour_opened == BmpOpen::ok) {
    EXPECT_EQ(colour.layout.width, c.width);
    EXPECT_EQ(colour.layout.height, c.height);
    if (colour.layout.bits != 8) {
      // 9 pixels of 3 bytes take 28 bytes a row with their padding, of 4 bytes 36.
      EXPECT_EQ(colour.layout.stride, colour.layout.bits == 24 ? 28u : 36u) << colour.layout.bits << " bits";
    }
  }
}

std::vector<FrameCase> cases_of(FrameKind kind) {
  std::vector<FrameCase> cases;
  for (const FrameCase& c : kadrix_test::frame_catalogue())
    if (c.kind == kind) cases.push_back(c);
  return cases;
}

auto case_title = [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.title; };

INSTANTIATE_TEST_SUITE_P(Frames, FrameCatalogue, ::testing::ValuesIn(kadrix_test::frame_catalogue()), case_title);

// A sound frame of another size than frame 01's ends the sequence before it.
class OtherSizeFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(OtherSizeFrame, EndsTheSequenceAsAnUnusableFrame) {
  const FrameCase& c = GetParam();
  // Frames 01, 02 and 04 are base frames; 03 is the case.
  TempDir dir;
  for (const int k : {1, 2, 4}) write_file(kadrix_test::frame_file(dir.prefix(), "M", k), kadrix_test::base_frame());
  write_file(kadrix_test::frame_file(dir.prefix(), "M", 3), c.bytes);
  int taken = 0;
  const kadrix::FrameSequence sequence = kadrix::read_frame_sequence(
      dir.prefix(), "M", [](const BmpLayout&) {},
      [&taken](const kadrix::BmpFile&) {
        ++taken;
        return true;
      });
  const kadrix::FrameSize base{kadrix_test::kBaseWidth, kadrix_test::kBaseHeight};
  EXPECT_EQ(taken, 2);
  EXPECT_EQ(sequence.frame_count, 2);
  EXPECT_EQ(sequence.size, base);
  ASSERT_TRUE(sequence.unusable);
  EXPECT_EQ(sequence.unusable->path, kadrix_test::frame_file(dir.prefix(), "M", 3));
  EXPECT_TRUE(same_check(sequence.unusable->check, {}));
  EXPECT_EQ(sequence.unusable->size, (kadrix::FrameSize{c.width, c.height}));
  EXPECT_EQ(sequence.unusable->first_size, base);
}

INSTANTIATE_TEST_SUITE_P(Frames, OtherSizeFrame, ::testing::ValuesIn(cases_of(FrameKind::other_size)), case_title);

// ---- pixels ----------------------------------------------------------------

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

}  // namespace
