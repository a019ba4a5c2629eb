#include "damaged_frames.h"

#include <climits>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

namespace kadrix_test {

namespace {

using kadrix::BmpCheck;
using kadrix::BmpFault;

// Header fields: 0 "BM", 2 file size, 6 reserved, 10 data offset, 14
// information header size, 18 width, 22 height, 26 planes, 28 bit count, 30
// compression, 34 image size, 38/42 resolution, 46/50 colour counts. The
// base frame's pixels start at 1078, after 256 palette entries; its file
// ends at 1078 + 12 * 7 = 1162, the pixels of its last stored row at 1159.
constexpr std::size_t kPixelsAt = 1078;
constexpr std::size_t kFileBytes = 1162;

using Values = std::initializer_list<std::int64_t>;

// The reasons the transcript gives for a file that cannot serve as a frame.
const std::string kShort = "plik krotszy niz naglowek";
const std::string kNoSignature = "brak sygnatury BM";
const std::string kSmallInfo = "naglowek informacyjny za krotki";
const std::string kDataOffset = "bledne przesuniecie danych";
const std::string kPixelCount = "za duzo pikseli";
const std::string kCut = "plik urwany";
std::string bits_reason(std::int64_t bits) { return "glebia bitowa " + std::to_string(bits) + ", wymagana 8"; }
std::string compression_reason(std::int32_t c) { return "kompresja " + std::to_string(c) + ", wymagany brak"; }
std::string width_reason(std::int32_t w) { return "bledna szerokosc " + std::to_string(w); }
std::string height_reason(std::int32_t h) { return "bledna wysokosc " + std::to_string(h); }

// "bit_count_7", "width_minus_9": a value in a test name.
std::string titled(const std::string& what, std::int64_t value) {
  return what + "_" + (value < 0 ? "minus_" + std::to_string(-value) : std::to_string(value));
}

BmpShape base_shape() {
  BmpShape shape;
  shape.width = kBaseWidth;
  shape.height = kBaseHeight;
  shape.pixels = base_pixels();
  return shape;
}

Bytes shaped(const std::function<void(BmpShape&)>& change) {
  BmpShape shape = base_shape();
  change(shape);
  return build_bmp(shape);
}

Bytes cut(std::size_t size) {
  Bytes bytes = base_frame();
  bytes.resize(size);
  return bytes;
}

Bytes field16(std::size_t at, std::uint16_t value) {
  Bytes bytes = base_frame();
  put_le16(bytes, at, value);
  return bytes;
}

Bytes field32(std::size_t at, std::int64_t value) {
  Bytes bytes = base_frame();
  put_le32(bytes, at, static_cast<std::uint32_t>(value));
  return bytes;
}

Bytes sized(Bytes bytes, std::int64_t width, std::int64_t height) {
  put_le32(bytes, 18, static_cast<std::uint32_t>(width));
  put_le32(bytes, 22, static_cast<std::uint32_t>(height));
  return bytes;
}

// The base image at 24 or 32 bits a pixel, each byte of a pixel its value.
Bytes deep(std::uint16_t bits) {
  return shaped([bits](BmpShape& s) {
    std::vector<std::uint8_t> pixels;
    for (const std::uint8_t v : s.pixels) pixels.insert(pixels.end(), bits / 8u, v);
    s.pixels = pixels;
    s.bits = bits;
    s.palette_entries = 0;
  });
}

// A sound 8-bit frame of flat 10s in another size; rows < 0: top-down.
Bytes flat_frame_of_size(std::int32_t width, std::int32_t rows) {
  BmpShape shape;
  shape.width = width;
  shape.height = rows < 0 ? -rows : rows;
  shape.top_down = rows < 0;
  shape.pixels = flat(shape.width, shape.height, 10);
  return build_bmp(shape);
}

struct Catalogue {
  void damaged(const std::string& title, Bytes bytes, BmpFault fault, std::int32_t value,
               const std::string& reason, std::optional<BmpCheck> colour = std::nullopt) {
    FrameCase c;
    c.title = title;
    c.bytes = std::move(bytes);
    c.check = {fault, value};
    c.reason = reason;
    c.colour_check = colour;
    cases.push_back(std::move(c));
  }
  void damaged(const std::string& title, Bytes bytes, BmpFault fault, const std::string& reason) {
    damaged(title, std::move(bytes), fault, 0, reason);
  }
  void other_size(const std::string& title, std::int32_t width, std::int32_t rows) {
    FrameCase c;
    c.title = title;
    c.kind = FrameKind::other_size;
    c.bytes = flat_frame_of_size(width, rows);
    c.width = width;
    c.height = rows < 0 ? -rows : rows;
    cases.push_back(std::move(c));
  }
  void sound(const std::string& title, Bytes bytes) {
    FrameCase c;
    c.title = title;
    c.kind = FrameKind::sound;
    c.bytes = std::move(bytes);
    cases.push_back(std::move(c));
  }

  std::vector<FrameCase> cases;
};

std::vector<FrameCase> make_catalogue() {
  Catalogue c;

  // Cut at every header field boundary, inside the palette and inside the
  // pixel rows. The last row needs its pixels, not its padding: one byte
  // short of them is cut.
  for (const std::size_t at : {0, 1, 2, 6, 10, 14, 18, 22, 26, 28, 30, 34, 38, 42, 46, 50, 53})
    c.damaged(titled("cut_in_header_at", static_cast<std::int64_t>(at)), cut(at), BmpFault::short_header, kShort);
  c.damaged("text_file", Bytes{'h', 'e', 'l', 'l', 'o'}, BmpFault::short_header, kShort);
  for (const std::size_t at : {54, 55, 566, 1077})
    c.damaged(titled("cut_in_palette_at", static_cast<std::int64_t>(at)), cut(at), BmpFault::short_pixels, kCut);
  for (const std::size_t at : {kPixelsAt, kPixelsAt + 1, kPixelsAt + 12, kPixelsAt + 40, kFileBytes - 4})
    c.damaged(titled("cut_in_pixels_at", static_cast<std::int64_t>(at)), cut(at), BmpFault::short_pixels, kCut);

  // Both bytes of the signature count, and their case.
  c.damaged("signature_zero", field16(0, 0), BmpFault::no_signature, kNoSignature);
  c.damaged("signature_first_byte", field16(0, 'X' | 'M' << 8), BmpFault::no_signature, kNoSignature);
  c.damaged("signature_second_byte", field16(0, 'B' | 'X' << 8), BmpFault::no_signature, kNoSignature);
  c.damaged("signature_swapped", field16(0, 'M' | 'B' << 8), BmpFault::no_signature, kNoSignature);
  c.damaged("signature_lower_case", field16(0, 'b' | 'm' << 8), BmpFault::no_signature, kNoSignature);

  // Information headers under 40 bytes (12: an OS/2 core header); sizes so
  // large that the pixels would start inside them, including those where
  // 14 + size wraps 32 bits to a small number.
  for (const std::int64_t size : {0, 12, 39})
    c.damaged(titled("info_header", size), field32(14, size), BmpFault::small_info_header, kSmallInfo);
  for (const std::int64_t size : Values{0x7FFFFFF2, 0x7FFFFFFF, 0x80000000, 0xFFFFFFC8, 0xFFFFFFF2, 0xFFFFFFFF})
    c.damaged(titled("info_header", size), field32(14, size), BmpFault::data_offset, kDataOffset);
  {
    Bytes v5 = shaped([](BmpShape& s) {
      s.info_size = 124;
      s.palette_entries = 0;
    });
    put_le32(v5, 10, 14 + 124 - 1);
    c.damaged("data_offset_inside_v5_header", v5, BmpFault::data_offset, kDataOffset);
  }

  // Every other bit count, the 16-bit field read whole.
  for (const std::uint16_t bits : {0, 1, 2, 4, 7, 9, 15, 16, 48, 64, 0xFFFF})
    c.damaged(titled("bit_count", bits), field16(28, bits), BmpFault::bit_count, bits, bits_reason(bits));
  // Sound colour files: not frames, though a reader that takes colour
  // files reads them.
  c.damaged("colour_24_bits", deep(24), BmpFault::bit_count, 24, bits_reason(24), BmpCheck{});
  c.damaged("colour_32_bits", deep(32), BmpFault::bit_count, 32, bits_reason(32), BmpCheck{});
  {
    Bytes bit_fields = deep(32);
    put_le32(bit_fields, 30, 3);
    c.damaged("colour_32_bits_with_bit_fields", bit_fields, BmpFault::bit_count, 32, bits_reason(32),
              BmpCheck{BmpFault::compression, 3});
  }
  // Colour files whose rows, counted in bytes, pass 2^31 or wrap 32 bits
  // (2^29 or 2^30 pixels of 4 bytes), and forged colour squares: the bit
  // count is refused before any size is worked out, and a colour reader
  // works the sizes out in 64 bits.
  c.damaged("colour_row_of_2_gib", sized(deep(32), 0x20000000, 1), BmpFault::bit_count, 32, bits_reason(32),
            BmpCheck{BmpFault::short_pixels});
  c.damaged("colour_row_of_4_gib", sized(deep(32), 0x40000000, 1), BmpFault::bit_count, 32, bits_reason(32),
            BmpCheck{BmpFault::short_pixels});
  c.damaged("colour_32_bits_23000_square", sized(deep(32), 23000, 23000), BmpFault::bit_count, 32,
            bits_reason(32), BmpCheck{BmpFault::short_pixels});
  c.damaged("colour_24_bits_30000_square", sized(deep(24), 30000, -30000), BmpFault::bit_count, 24,
            bits_reason(24), BmpCheck{BmpFault::short_pixels});

  // RLE8, RLE4, bit fields, JPEG, PNG, alpha bit fields, the CMYK kinds,
  // and values whose low 16 bits are zero, which a reader taking the bit
  // count as a 32-bit field with the compression's low half would miss.
  for (const std::int64_t kind : Values{1, 2, 3, 4, 5, 6, 11, 12, 13, 0x10000, 0x80000000, 0xFFFFFFFF}) {
    const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(kind));
    c.damaged(titled("compression", kind), field32(30, kind), BmpFault::compression, value,
              compression_reason(value));
  }

  // Data offsets inside the headers; past the end of the file; and those
  // where offset + pixel bytes wraps 32 bits back into the file.
  for (const std::int64_t at : {0, 13, 14, 53})
    c.damaged(titled("data_offset", at), field32(10, at), BmpFault::data_offset, kDataOffset);
  for (const std::int64_t at : Values{kPixelsAt + 4, kFileBytes, kFileBytes + 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                      0x100000000 - 60, 0x100000000 - 1078})
    c.damaged(titled("data_offset", at), field32(10, at), BmpFault::short_pixels, kCut);

  // Widths and heights of no image, and sizes whose pixel count passes the
  // signed 32-bit range, just past and just inside it, either row order.
  for (const std::int32_t w : {0, -1, -9, INT_MIN})
    c.damaged(titled("width", w), sized(base_frame(), w, kBaseHeight), BmpFault::width, w, width_reason(w));
  for (const std::int32_t h : {0, INT_MIN})
    c.damaged(titled("height", h), sized(base_frame(), kBaseWidth, h), BmpFault::height, h, height_reason(h));
  struct Size {
    const char* title;
    std::int64_t width, height;
    BmpFault fault;
  };
  for (const Size& s : {Size{"width_int_max", INT_MAX, kBaseHeight, BmpFault::pixel_count},
                        Size{"height_int_max", kBaseWidth, INT_MAX, BmpFault::pixel_count},
                        Size{"height_minus_int_max", kBaseWidth, -INT_MAX, BmpFault::pixel_count},
                        Size{"pixels_46341_squared", 46341, 46341, BmpFault::pixel_count},
                        Size{"pixels_65535_by_minus_32769", 65535, -32769, BmpFault::pixel_count},
                        Size{"pixels_2_pow_31", 65536, 32768, BmpFault::pixel_count},
                        Size{"pixels_2_pow_31_top_down", 65536, -32768, BmpFault::pixel_count},
                        Size{"pixels_int_max_by_2", INT_MAX, 2, BmpFault::pixel_count},
                        Size{"pixels_46340_squared", 46340, 46340, BmpFault::short_pixels},
                        Size{"pixels_int_max_wide", INT_MAX, 1, BmpFault::short_pixels},
                        Size{"pixels_int_max_high", 1, INT_MAX, BmpFault::short_pixels},
                        Size{"pixels_int_max_top_down", 1, -INT_MAX, BmpFault::short_pixels},
                        Size{"width_65536", 65536, kBaseHeight, BmpFault::short_pixels},
                        Size{"height_65536", kBaseWidth, 65536, BmpFault::short_pixels},
                        Size{"height_minus_65536", kBaseWidth, -65536, BmpFault::short_pixels},
                        Size{"forged_40000_square", 40000, 40000, BmpFault::short_pixels},
                        Size{"forged_40000_square_top_down", 40000, -40000, BmpFault::short_pixels},
                        Size{"forged_46000_square_top_down", 46000, -46000, BmpFault::short_pixels}}) {
    c.damaged(s.title, sized(base_frame(), s.width, s.height), s.fault,
              s.fault == BmpFault::pixel_count ? kPixelCount : kCut);
  }

  // Sound frames whose size differs from the base frame's: in width, in
  // height (either row order), and with the same pixel count.
  c.other_size("wider_10x7", 10, 7);
  c.other_size("narrower_8x7", 8, 7);
  c.other_size("taller_9x8", 9, 8);
  c.other_size("shorter_9x6", 9, 6);
  c.other_size("taller_top_down_9x8", 9, -8);
  c.other_size("same_count_7x9", 7, 9);
  c.other_size("same_count_63x1", 63, 1);
  c.other_size("same_count_1x63", 1, -63);

  // Sound frames in unusual shapes, all holding the base image.
  c.sound("base", base_frame());
  for (const std::uint32_t size : {52u, 56u, 108u, 124u})
    c.sound(titled("info_header", size), shaped([size](BmpShape& s) { s.info_size = size; }));
  c.sound("no_palette", shaped([](BmpShape& s) { s.palette_entries = 0; }));
  c.sound("palette_of_2", shaped([](BmpShape& s) { s.palette_entries = 2; }));
  c.sound("v4_palette_of_16", shaped([](BmpShape& s) {
            s.info_size = 108;
            s.palette_entries = 16;
          }));
  c.sound("v5_palette_of_16_and_gap", shaped([](BmpShape& s) {
            s.info_size = 124;
            s.palette_entries = 16;
            s.gap = 3;
          }));
  c.sound("no_palette_and_gap", shaped([](BmpShape& s) {
            s.palette_entries = 0;
            s.gap = 7;
          }));
  c.sound("inverted_palette", shaped([](BmpShape& s) { s.inverted_palette = true; }));
  c.sound("gap_before_pixels", shaped([](BmpShape& s) { s.gap = 7; }));
  c.sound("padding_not_zero", shaped([](BmpShape& s) { s.pad_byte = 0xEE; }));
  c.sound("top_down", shaped([](BmpShape& s) { s.top_down = true; }));
  c.sound("top_down_v5_palette_of_16_and_gap", shaped([](BmpShape& s) {
            s.top_down = true;
            s.info_size = 124;
            s.palette_entries = 16;
            s.gap = 5;
          }));
  c.sound("last_row_without_padding", cut(kFileBytes - 3));
  {
    Bytes top_down = shaped([](BmpShape& s) { s.top_down = true; });
    top_down.resize(top_down.size() - 3);
    c.sound("top_down_last_row_without_padding", top_down);
  }
  // Fields a reader of frames has no use for, forged.
  c.sound("file_size_field_zero", field32(2, 0));
  c.sound("file_size_field_huge", field32(2, 0xFFFFFFFF));
  c.sound("image_size_field_huge", field32(34, 0xFFFFFFFF));
  c.sound("colours_used_field_huge", field32(46, 0xFFFFFFFF));
  return c.cases;
}

}  // namespace

std::vector<std::uint8_t> base_pixels() {
  std::vector<std::uint8_t> pixels;
  for (std::int32_t y = 0; y < kBaseHeight; ++y)
    for (std::int32_t x = 0; x < kBaseWidth; ++x) pixels.push_back(static_cast<std::uint8_t>(10 * y + x));
  pixels[5 * kBaseWidth + 4] = 200;
  return pixels;
}

Bytes base_frame() { return build_bmp(base_shape()); }

const std::vector<FrameCase>& frame_catalogue() {
  static const std::vector<FrameCase> cases = make_catalogue();
  return cases;
}

}  // namespace kadrix_test
