// Writes the seed corpora of the fuzz targets:
//   make_fuzz_seeds DIR  ->  DIR/frame_reader/*, DIR/object_list/*, DIR/ser_reader/*,
//                            DIR/fits_source/*, DIR/png_source/*
// Frames in every shape the reader accepts (header sizes, palettes, gaps,
// row orders, depths) and a few it refuses; lists in every layout the list
// reader meets; SER videos of every colour layout, depth and byte order;
// FITS images of every BITPIX, scaled, a cube, one in an extension and
// compressed ones; PNG images grey, 16-bit, palette and colour. Small
// files, so that the fuzzer's mutations stay cheap.

#include <fitsio.h>
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

struct Shape {
  std::int32_t width = 5;
  std::int32_t height = 3;
  int bits = 8;
  std::uint32_t info_size = 40;
  int palette_entries = 256;
  std::uint32_t gap = 0;
  bool top_down = false;
  std::uint32_t compression = 0;
};

Bytes bmp(const Shape& s) {
  const std::uint32_t row = static_cast<std::uint32_t>(s.width) * static_cast<std::uint32_t>(s.bits / 8);
  const std::uint32_t stride = (row + 3) / 4 * 4;
  const std::uint32_t offset = 14 + s.info_size + 4 * static_cast<std::uint32_t>(s.palette_entries) + s.gap;
  Bytes b(offset + stride * static_cast<std::uint32_t>(s.height), 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 2, static_cast<std::uint32_t>(b.size()));
  put32(b, 10, offset);
  put32(b, 14, s.info_size);
  put32(b, 18, static_cast<std::uint32_t>(s.width));
  put32(b, 22, static_cast<std::uint32_t>(s.top_down ? -s.height : s.height));
  put16(b, 26, 1);
  put16(b, 28, static_cast<std::uint32_t>(s.bits));
  put32(b, 30, s.compression);
  put32(b, 34, stride * static_cast<std::uint32_t>(s.height));
  for (int i = 0; i < s.palette_entries; ++i)
    for (int c = 0; c < 3; ++c) b[14 + s.info_size + 4 * static_cast<std::size_t>(i) + c] = static_cast<std::uint8_t>(i);
  for (std::int32_t f = 0; f < s.height; ++f)
    for (std::uint32_t x = 0; x < row; ++x)
      b[offset + stride * static_cast<std::uint32_t>(f) + x] = static_cast<std::uint8_t>(17 * f + 5 * x + 1);
  return b;
}

void save(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

void save(const std::filesystem::path& path, const std::string& text) { save(path, Bytes(text.begin(), text.end())); }

void frames(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  auto add = [&](const char* name, const Shape& s) { save(dir / name, bmp(s)); };
  add("plain_5x3", {});
  add("one_pixel", {.width = 1, .height = 1});
  add("width_4_no_padding", {.width = 4, .height = 2});
  add("width_9", {.width = 9, .height = 4});
  add("top_down", {.top_down = true});
  add("no_palette", {.palette_entries = 0});
  add("palette_of_2", {.palette_entries = 2});
  add("info_52", {.info_size = 52});
  add("info_56", {.info_size = 56});
  add("info_108_palette_16", {.info_size = 108, .palette_entries = 16});
  add("info_124_gap", {.info_size = 124, .palette_entries = 16, .gap = 5, .top_down = true});
  add("bits_24", {.width = 3, .height = 2, .bits = 24, .palette_entries = 0});
  add("bits_32", {.width = 2, .height = 2, .bits = 32, .palette_entries = 0});
  add("rle8", {.compression = 1});
  add("bits_4", {.bits = 4});

  Bytes b = bmp({});
  b.resize(b.size() - 3);
  save(dir / "last_row_without_padding", b);
  b = bmp({});
  b.resize(30);
  save(dir / "cut_in_header", b);
  b = bmp({});
  put32(b, 18, 0x7FFFFFFF);
  save(dir / "forged_width", b);
  b = bmp({});
  put32(b, 22, 0x80000000);
  save(dir / "height_int_min", b);
}

void lists(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  save(dir / "two_names", "M31\nM42\n");
  save(dir / "crlf", "STAR01\r\nSTAR02\r\nSTAR03\r\n");
  save(dir / "no_final_line_end", "A\nB");
  save(dir / "mixed_space", " \t A \v B\f\fC  \n\n D\t");
  save(dir / "long_names", "ANDROMEDA TRIANGULUM_GALAXY_M33 X\n");
  save(dir / "cr_inside_a_name", "AB\rCD EF\r\r\n");
  save(dir / "end_of_text", "A B\x1a" "C D\n");
  save(dir / "nul_in_a_name", std::string("AB\0CD EF\n", 9));
  save(dir / "empty", "");
  save(dir / "white_space_only", " \n\t\r\n");
  std::string many;
  for (int i = 0; i < 200; ++i) many += "N" + std::to_string(i) + "\n";
  save(dir / "two_hundred_names", many);
}

struct Ser {
  std::int32_t color_id = 0;
  std::int32_t little_endian = 1;
  std::int32_t width = 5;
  std::int32_t height = 3;
  std::int32_t depth = 8;
  std::int32_t frames = 2;
  std::size_t trailer = 0;  // bytes of time stamps after the frames
  std::size_t cut = 0;      // bytes cut off the end
};

Bytes ser(const Ser& s) {
  const std::uint32_t planes = s.color_id >= 100 ? 3 : 1;
  const std::uint32_t sample = s.depth > 8 ? 2 : 1;
  const std::size_t frame = static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height) * planes * sample;
  Bytes b(178 + frame * static_cast<std::size_t>(s.frames) + s.trailer, 0);
  const char* id = "LUCAM-RECORDER";
  for (int i = 0; i < 14; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id[i]);
  put32(b, 18, static_cast<std::uint32_t>(s.color_id));
  put32(b, 22, static_cast<std::uint32_t>(s.little_endian));
  put32(b, 26, static_cast<std::uint32_t>(s.width));
  put32(b, 30, static_cast<std::uint32_t>(s.height));
  put32(b, 34, static_cast<std::uint32_t>(s.depth));
  put32(b, 38, static_cast<std::uint32_t>(s.frames));
  for (std::size_t i = 178; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(37 * i + 11);
  b.resize(b.size() - s.cut);
  return b;
}

void ser_videos(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  auto add = [&](const char* name, const Ser& s) { save(dir / name, ser(s)); };
  add("mono_8", {});
  add("mono_6", {.depth = 6});
  add("mono_12_little", {.depth = 12});
  add("mono_12_big", {.little_endian = 0, .depth = 12});
  add("mono_16_trailer", {.depth = 16, .trailer = 16});
  add("rgb_8", {.color_id = 100, .width = 3, .height = 2});
  add("bgr_16_big", {.color_id = 101, .little_endian = 0, .width = 2, .height = 2, .depth = 16});
  add("one_pixel", {.width = 1, .height = 1, .frames = 3});
  add("no_frames", {.frames = 0});
  add("bayer_rggb", {.color_id = 8});
  add("last_frame_cut", {.cut = 4});
  add("depth_17", {.depth = 17});
}

void fail(const std::filesystem::path& path) {
  std::fprintf(stderr, "cannot write %s\n", path.c_str());
  std::exit(1);
}

struct Fits {
  int bitpix = 16;
  long width = 4;
  long height = 3;
  long planes = 1;
  int compression = 0;     // 0, or cfitsio's RICE_1, GZIP_1, ...
  bool extension = false;  // the image in an extension after an empty primary HDU
  double bzero = 0;
  double bscale = 1;
  bool blank = false;      // a BLANK keyword and one pixel of it
  std::size_t cut = 0;     // bytes cut off the end (the padding of the last block)
};

void fits(const std::filesystem::path& path, const Fits& s) {
  std::filesystem::remove(path);
  int status = 0;
  fitsfile* f = nullptr;
  fits_create_diskfile(&f, path.c_str(), &status);
  if (s.extension) fits_create_img(f, BYTE_IMG, 0, nullptr, &status);
  if (s.compression != 0) fits_set_compression_type(f, s.compression, &status);
  long axes[3] = {s.width, s.height, s.planes};
  fits_create_img(f, s.bitpix, s.planes > 1 ? 3 : 2, axes, &status);
  double bzero = s.bzero;
  double bscale = s.bscale;
  if (s.bzero != 0) fits_write_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
  if (s.bscale != 1) fits_write_key(f, TDOUBLE, "BSCALE", &bscale, nullptr, &status);
  long blank = s.bitpix == 8 ? 255 : -7;
  if (s.blank) fits_write_key(f, TLONG, "BLANK", &blank, nullptr, &status);
  fits_set_bscale(f, 1, 0, &status);  // the values below are stored as they are
  std::vector<double> values(static_cast<std::size_t>(s.width * s.height * s.planes));
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<double>((37 * i + 11) % 200);
    if (s.bitpix < 0) values[i] = values[i] / 8 - 3;
  }
  if (s.blank) values[1] = static_cast<double>(blank);
  if (s.bitpix < 0 && s.compression == 0) values[2] = std::numeric_limits<double>::quiet_NaN();
  // In the image's own type: cfitsio converts no types into a compressed image.
  const auto write = [&]<typename T>(int type, T) {
    std::vector<T> typed(values.begin(), values.end());
    fits_write_img(f, type, 1, static_cast<LONGLONG>(typed.size()), typed.data(), &status);
  };
  switch (s.bitpix) {
    case 8: write(TBYTE, static_cast<unsigned char>(0)); break;
    case 16: write(TSHORT, static_cast<short>(0)); break;
    case 32: write(TINT, 0); break;
    case -32: write(TFLOAT, 0.0f); break;
    default: write(TDOUBLE, 0.0); break;
  }
  fits_close_file(f, &status);
  if (status != 0) {
    fits_report_error(stderr, status);
    fail(path);
  }
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - s.cut);
}

void fits_images(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  auto add = [&](const char* name, const Fits& s) { fits(dir / name, s); };
  add("bitpix_8", {.bitpix = 8});
  add("bitpix_16", {});
  add("bitpix_16_unsigned", {.bzero = 32768});
  add("bitpix_32_scaled_blank", {.bitpix = 32, .bzero = 10, .bscale = 0.5, .blank = true});
  add("bitpix_16_blank_cut", {.blank = true, .cut = 2880 - 24});
  add("bitpix_-32", {.bitpix = -32});
  add("bitpix_-64_cut", {.bitpix = -64, .width = 3, .height = 2, .cut = 2880 - 48});
  add("cube_of_3", {.width = 3, .height = 2, .planes = 3});
  add("in_extension", {.bitpix = 8, .extension = true});
  add("rice_16", {.width = 6, .height = 4, .compression = RICE_1});
  add("gzip_-32", {.bitpix = -32, .width = 5, .height = 3, .compression = GZIP_1});
  add("rice_cube", {.bitpix = 32, .width = 3, .height = 2, .planes = 2, .compression = RICE_1});
}

struct Png {
  int width = 5;
  int height = 3;
  int depth = 8;
  int colour = PNG_COLOR_TYPE_GRAY;
  bool interlaced = false;
};

// Writes through libpng; a fault jumps back here and ends the program.
void png(const std::filesystem::path& path, const Png& s) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) fail(path);
  png_structp w = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = w != nullptr ? png_create_info_struct(w) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(w))) fail(path);
  png_init_io(w, out);
  png_set_IHDR(w, info, static_cast<png_uint_32>(s.width), static_cast<png_uint_32>(s.height), s.depth, s.colour,
               s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_color palette[256];
  for (int i = 0; i < 256; ++i)
    palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(255 - i), static_cast<png_byte>(7 * i)};
  if (s.colour == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(w, info, palette, 1 << s.depth);
  png_write_info(w, info);
  const int channels = s.colour == PNG_COLOR_TYPE_RGB         ? 3
                       : s.colour == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                       : s.colour == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                               : 1;
  const std::size_t row_bytes = (static_cast<std::size_t>(s.width) * static_cast<std::size_t>(channels * s.depth) + 7) / 8;
  std::vector<png_byte> rows(row_bytes * static_cast<std::size_t>(s.height));
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<png_byte>(29 * i + 3);
  std::vector<png_bytep> pointers;
  for (int y = 0; y < s.height; ++y) pointers.push_back(rows.data() + static_cast<std::size_t>(y) * row_bytes);
  png_write_image(w, pointers.data());
  png_write_end(w, nullptr);
  png_destroy_write_struct(&w, &info);
  if (std::fclose(out) != 0) fail(path);
}

void png_images(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  auto add = [&](const char* name, const Png& s) { png(dir / name, s); };
  add("grey_8", {});
  add("grey_1", {.width = 9, .depth = 1});
  add("grey_4", {.depth = 4});
  add("grey_16", {.depth = 16});
  add("grey_alpha_8", {.colour = PNG_COLOR_TYPE_GRAY_ALPHA});
  add("palette_4", {.depth = 4, .colour = PNG_COLOR_TYPE_PALETTE});
  add("palette_8", {.colour = PNG_COLOR_TYPE_PALETTE});
  add("rgb_8", {.colour = PNG_COLOR_TYPE_RGB});
  add("rgba_16", {.width = 3, .depth = 16, .colour = PNG_COLOR_TYPE_RGB_ALPHA});
  add("grey_8_interlaced", {.width = 9, .height = 9, .interlaced = true});
  add("palette_2_interlaced", {.width = 7, .height = 6, .depth = 2, .colour = PNG_COLOR_TYPE_PALETTE,
                               .interlaced = true});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];
  frames(root / "frame_reader");
  lists(root / "object_list");
  ser_videos(root / "ser_reader");
  fits_images(root / "fits_source");
  png_images(root / "png_source");
  return 0;
}
