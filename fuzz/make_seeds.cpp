// Writes the seed corpora of the fuzz targets:
//   make_fuzz_seeds DIR  ->  DIR/frame_reader/*, DIR/object_list/*, DIR/ser_reader/*
// Frames in every shape the reader accepts (header sizes, palettes, gaps,
// row orders, depths) and a few it refuses; lists in every layout the list
// reader meets; SER videos of every colour layout, depth and byte order.
// Small files, so that the fuzzer's mutations stay cheap.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
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
  return 0;
}
