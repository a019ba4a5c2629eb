#include "import_support.h"

#include <fitsio.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace import_test {

namespace {

void put_le32(Bytes& b, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}

void put_be(Bytes& b, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

// ---- SER -----------------------------------------------------------------

Bytes ser_bytes(const SerVideo& shape) {
  const std::string id = "LUCAM-RECORDER";
  Bytes b(id.begin(), id.end());
  b.reserve(178);
  put_le32(b, 0);  // LuID
  put_le32(b, shape.color_id);
  put_le32(b, shape.little_endian);
  put_le32(b, shape.width);
  put_le32(b, shape.height);
  put_le32(b, shape.depth);
  put_le32(b, shape.frame_count >= 0 ? shape.frame_count : static_cast<std::int32_t>(shape.frames.size()));
  for (const char* text : {"Obserwator", "Kamera", "Teleskop"}) {
    Bytes field(40, 0);
    std::memcpy(field.data(), text, std::strlen(text));
    b.insert(b.end(), field.begin(), field.end());
  }
  for (int i = 0; i < 16; ++i) b.push_back(static_cast<std::uint8_t>(0x11 * i));  // two time stamps
  if (b.size() != 178) throw std::logic_error("SER header is not 178 bytes");
  for (const auto& frame : shape.frames) {
    for (const std::uint32_t v : frame) {
      if (shape.depth <= 8) {
        b.push_back(static_cast<std::uint8_t>(v));
      } else if (shape.big_endian_samples) {
        put_be(b, v, 2);
      } else {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
      }
    }
  }
  b.insert(b.end(), shape.trailer.begin(), shape.trailer.end());
  return b;
}

// ---- FITS ----------------------------------------------------------------

namespace {

std::string card(const std::string& key, const std::string& value) {
  char text[81];
  std::snprintf(text, sizeof text, "%-8s= %20s", key.c_str(), value.c_str());
  std::string c = text;
  c.resize(80, ' ');
  return c;
}

void add_header(Bytes& b, const std::vector<std::string>& cards) {
  std::string text;
  for (const std::string& c : cards) text += c;
  std::string end = "END";
  end.resize(80, ' ');
  text += end;
  while (text.size() % 2880 != 0) text += ' ';
  b.insert(b.end(), text.begin(), text.end());
}

}  // namespace

Bytes fits_bytes(const FitsImage& shape) {
  Bytes b;
  std::vector<std::string> cards;
  if (shape.in_extension) {
    add_header(b, {card("SIMPLE", "T"), card("BITPIX", "8"), card("NAXIS", "0"), card("EXTEND", "T")});
    cards.push_back(card("XTENSION", "'IMAGE   '"));
  } else {
    cards.push_back(card("SIMPLE", "T"));
  }
  cards.push_back(card("BITPIX", std::to_string(shape.bitpix)));
  cards.push_back(card("NAXIS", std::to_string(shape.axes.size())));
  for (std::size_t a = 0; a < shape.axes.size(); ++a)
    cards.push_back(card("NAXIS" + std::to_string(a + 1), std::to_string(shape.axes[a])));
  if (shape.in_extension) {
    cards.push_back(card("PCOUNT", "0"));
    cards.push_back(card("GCOUNT", "1"));
  }
  for (const std::string& c : shape.cards) {
    const std::size_t eq = c.find('=');
    std::string key = c.substr(0, eq);
    std::string value = c.substr(eq + 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!value.empty() && value.front() == ' ') value.erase(value.begin());
    cards.push_back(card(key, value));
  }
  add_header(b, cards);

  const std::size_t start = b.size();
  for (const double v : shape.values) {
    switch (shape.bitpix) {
      case 8: b.push_back(static_cast<std::uint8_t>(v)); break;
      case 16: put_be(b, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)), 2); break;
      case 32: put_be(b, static_cast<std::uint32_t>(static_cast<std::int32_t>(v)), 4); break;
      case 64: put_be(b, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)), 8); break;
      case -32: {
        const float f = static_cast<float>(v);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, 4);
        put_be(b, bits, 4);
        break;
      }
      case -64: {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, 8);
        put_be(b, bits, 8);
        break;
      }
      default: throw std::invalid_argument("fits_bytes: BITPIX");
    }
  }
  while ((b.size() - start) % 2880 != 0) b.push_back(0);
  return b;
}

void write_compressed_fits(const std::string& path, std::int64_t width, std::int64_t height, std::int64_t planes,
                           const std::vector<std::uint16_t>& values, const Tiling& tiling) {
  static_assert(Tiling{}.compression == RICE_1);
  int status = 0;
  fitsfile* f = nullptr;
  ::unlink(path.c_str());
  fits_create_diskfile(&f, path.c_str(), &status);
  fits_set_compression_type(f, tiling.compression, &status);
  if (!tiling.tile.empty()) {
    std::vector<long> tile = tiling.tile;
    fits_set_tile_dim(f, static_cast<int>(tile.size()), tile.data(), &status);
  }
  long axes[3] = {static_cast<long>(width), static_cast<long>(height), static_cast<long>(planes)};
  fits_create_img(f, USHORT_IMG, planes > 1 ? 3 : 2, axes, &status);
  std::vector<std::uint16_t> data = values;
  long first[3] = {1, 1, 1};
  fits_write_pix(f, TUSHORT, first, static_cast<LONGLONG>(data.size()), data.data(), &status);
  fits_close_file(f, &status);
  if (status != 0) throw std::runtime_error("cfitsio could not write " + path + ": " + std::to_string(status));
}

// ---- PNG -----------------------------------------------------------------

namespace {

void chunk(Bytes& b, const char* type, const Bytes& data) {
  put_be(b, data.size(), 4);
  Bytes body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  b.insert(b.end(), body.begin(), body.end());
  put_be(b, crc32(0, body.data(), static_cast<uInt>(body.size())), 4);
}

int channels_of(int colour_type) {
  switch (colour_type) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

// Filter byte 0 and the samples of the pixels (x, y) for x in xs.
void add_row(Bytes& raw, const PngImage& shape, std::int32_t y, const std::vector<std::int32_t>& xs) {
  const int channels = channels_of(shape.colour_type);
  raw.push_back(0);
  int bits_used = 0;
  std::uint8_t partial = 0;
  for (const std::int32_t x : xs) {
    for (int c = 0; c < channels; ++c) {
      const std::uint32_t v =
          shape.samples.at((static_cast<std::size_t>(y) * static_cast<std::size_t>(shape.width) + static_cast<std::size_t>(x)) *
                              static_cast<std::size_t>(channels) +
                          static_cast<std::size_t>(c));
      if (shape.bit_depth == 16) {
        put_be(raw, v, 2);
      } else if (shape.bit_depth == 8) {
        raw.push_back(static_cast<std::uint8_t>(v));
      } else {
        partial = static_cast<std::uint8_t>(partial | (v << (8 - shape.bit_depth - bits_used)));
        bits_used += shape.bit_depth;
        if (bits_used == 8) {
          raw.push_back(partial);
          partial = 0;
          bits_used = 0;
        }
      }
    }
  }
  if (bits_used > 0) raw.push_back(partial);
}

}  // namespace

Bytes png_bytes(const PngImage& shape) {
  Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  put_be(ihdr, static_cast<std::uint32_t>(shape.width), 4);
  put_be(ihdr, static_cast<std::uint32_t>(shape.height), 4);
  ihdr.push_back(static_cast<std::uint8_t>(shape.bit_depth));
  ihdr.push_back(static_cast<std::uint8_t>(shape.colour_type));
  ihdr.push_back(0);
  ihdr.push_back(0);
  ihdr.push_back(shape.interlaced ? 1 : 0);
  chunk(b, "IHDR", ihdr);
  if (!shape.palette.empty()) chunk(b, "PLTE", shape.palette);

  Bytes raw;
  struct Pass {
    int x0, y0, dx, dy;
  };
  const std::vector<Pass> passes = shape.interlaced
                                       ? std::vector<Pass>{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                                           {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}
                                       : std::vector<Pass>{{0, 0, 1, 1}};
  for (const Pass& p : passes) {
    std::vector<std::int32_t> xs;
    for (std::int32_t x = p.x0; x < shape.width; x += p.dx) xs.push_back(x);
    if (xs.empty()) continue;
    for (std::int32_t y = p.y0; y < shape.height; y += p.dy) add_row(raw, shape, y, xs);
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes packed(size);
  if (compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK)
    throw std::runtime_error("zlib compress failed");
  packed.resize(size);
  chunk(b, "IDAT", packed);
  chunk(b, "IEND", {});
  return b;
}

std::size_t png_idat_offset(const Bytes& png) {
  std::size_t at = 8;
  while (at + 8 <= png.size()) {
    const std::size_t length = static_cast<std::size_t>(png[at]) << 24 | static_cast<std::size_t>(png[at + 1]) << 16 |
                               static_cast<std::size_t>(png[at + 2]) << 8 | png[at + 3];
    if (std::memcmp(png.data() + at + 4, "IDAT", 4) == 0) return at + 8;
    at += 12 + length;
  }
  throw std::invalid_argument("no IDAT chunk");
}

// ---- running ------------------------------------------------------------

kadrix_test::RunResult run_import(const std::vector<std::string>& args, const kadrix_test::RunOptions& options) {
  return kadrix_test::run_program(KADRIX_IMPORT_BIN, args, options);
}


std::map<std::string, Bytes> snapshot(const std::string& dir) {
  std::map<std::string, Bytes> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_symlink() || !entry.is_regular_file()) {
      const std::string kind = entry.is_directory() ? "<dir>" : "<other>";
      entries[name] = Bytes(kind.begin(), kind.end());
    } else {
      entries[name] = kadrix_test::read_file(entry.path().string());
    }
  }
  return entries;
}

KilledRun run_import_killed(const std::vector<std::string>& args, const std::string& dir, int n) {
  kadrix_test::RunOptions options;
  options.watched_dir = dir;
  options.count_removals = true;
  if (n > 0) options.kill_on_names = [n](int changes) { return changes >= n; };
  const kadrix_test::RunResult result = run_import(args, options);
  // A program that ended on its own before the signal landed was not killed.
  return {result.killed && result.signal == SIGKILL, result.names, result.exit_status};
}

}  // namespace import_test
