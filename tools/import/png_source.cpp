#include "tools/import/png_source.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <vector>

#include "bmp/file_io.h"
#include "tools/import/messages.h"

namespace kadrix::import {

using namespace messages;

namespace {

// libpng reports a fault by jumping back to the last setjmp. The functions
// that call into it below therefore hold nothing with a destructor.
struct PngReader {
  png_structp png = nullptr;
  png_infop info = nullptr;
  FileHandle file;                        // the file read, or
  std::span<const std::uint8_t> memory;   // the bytes read when there is no file
  std::uint64_t offset = 0;
  bool truncated = false;
  // The largest block libpng may allocate. It takes the length of a chunk
  // from the chunk's header and allocates that much before reading it, so
  // without a bound a file of 60 bytes makes it ask for 2 GB; chunk data
  // cannot be longer than the file, and rows are bounded once the header
  // is checked.
  std::uint64_t allocation_limit = 0;

  PngReader() = default;
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;
  ~PngReader() {
    if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  }
};

void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// A refused allocation is a fault libpng reports like any other.
png_voidp on_allocate(png_structp png, png_alloc_size_t size) {
  const auto* reader = static_cast<const PngReader*>(png_get_mem_ptr(png));
  if (size > reader->allocation_limit) return nullptr;
  return std::malloc(size);
}

void on_release(png_structp, png_voidp block) { std::free(block); }

void on_warning(png_structp, png_const_charp) {}

void on_read(png_structp png, png_bytep data, std::size_t length) {
  auto* reader = static_cast<PngReader*>(png_get_io_ptr(png));
  const std::span<std::uint8_t> into(data, length);
  bool whole = false;
  if (reader->file.valid()) {
    whole = read_exact_at(reader->file.get(), into, reader->offset);
  } else if (reader->offset <= reader->memory.size() && length <= reader->memory.size() - reader->offset) {
    std::copy_n(reader->memory.begin() + static_cast<std::ptrdiff_t>(reader->offset), length, into.begin());
    whole = true;
  }
  if (!whole) {
    reader->truncated = true;
    png_error(png, "truncated");
  }
  reader->offset += length;
}

constexpr std::uint64_t kLibraryWorkingBytes = 1u << 20;  // inflate's window, the structures

bool start_reader(PngReader& reader, std::uint64_t size, std::string& why) {
  reader.allocation_limit = size + kLibraryWorkingBytes;
  reader.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &reader, on_error, on_warning, &reader, on_allocate,
                                        on_release);
  if (reader.png != nullptr) reader.info = png_create_info_struct(reader.png);
  if (reader.png == nullptr || reader.info == nullptr) {
    why = kNoMemoryInReader;
    return false;
  }
  png_set_read_fn(reader.png, &reader, on_read);
  return true;
}

bool open_reader(const std::string& path, PngReader& reader, std::string& why, std::uint64_t& size) {
  reader.file = open_regular_file(path, size);
  if (!reader.file.valid()) {
    why = kCannotOpen;
    return false;
  }
  return start_reader(reader, size, why);
}

bool open_reader(std::span<const std::uint8_t> bytes, PngReader& reader, std::string& why, std::uint64_t& size) {
  reader.memory = bytes;
  size = bytes.size();
  return start_reader(reader, size, why);
}

std::string damage(const PngReader& reader) {
  return reader.truncated ? kPngTruncated : kPngDamaged;
}

bool read_header(PngReader& reader, PngInfo& out) {
  if (setjmp(png_jmpbuf(reader.png))) return false;
  png_read_info(reader.png, reader.info);
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 0;
  int colour = 0;
  int interlace = 0;
  png_get_IHDR(reader.png, reader.info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
  // The PNG format keeps both below 2^31.
  out.width = static_cast<std::int32_t>(width);
  out.height = static_cast<std::int32_t>(height);
  out.bit_depth = depth;
  out.colour_type = colour;
  out.interlaced = interlace != PNG_INTERLACE_NONE;
  return true;
}

struct RowLayout {
  int passes = 1;
  int channels = 1;
  int depth = 8;
  std::size_t row_bytes = 0;
};

// Rows come expanded (palette to RGB, grey to 8 bits) or, with expand
// false, as stored.
bool start_rows(PngReader& reader, bool expand, RowLayout& layout) {
  if (setjmp(png_jmpbuf(reader.png))) return false;
  const int colour = png_get_color_type(reader.png, reader.info);
  if (expand && colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(reader.png);
  if (expand && colour == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(reader.png, reader.info) < 8)
    png_set_expand_gray_1_2_4_to_8(reader.png);
  layout.passes = png_set_interlace_handling(reader.png);
  png_read_update_info(reader.png, reader.info);
  layout.channels = png_get_channels(reader.png, reader.info);
  layout.depth = png_get_bit_depth(reader.png, reader.info);
  layout.row_bytes = png_get_rowbytes(reader.png, reader.info);
  return true;
}

bool read_row(PngReader& reader, std::uint8_t* row) {
  if (setjmp(png_jmpbuf(reader.png))) return false;
  png_read_row(reader.png, row, nullptr);
  return true;
}

// Grey values of one row as libpng hands it over: 1 to 4 channels of 8 or
// 16 bits (big-endian); an alpha channel (2 or 4 channels) is left out.
void grey_row(const RowLayout& layout, const std::uint8_t* row, std::span<double> grey) {
  const auto channels = static_cast<std::size_t>(layout.channels);
  const auto sample = [&](std::size_t i) -> std::uint32_t {
    if (layout.depth == 16) return static_cast<std::uint32_t>(row[2 * i]) << 8 | row[2 * i + 1];
    return row[i];
  };
  for (std::size_t x = 0; x < grey.size(); ++x) {
    const std::size_t at = x * channels;
    if (channels <= 2) {
      grey[x] = sample(at);
    } else {
      grey[x] = (299 * sample(at) + 587 * sample(at + 1) + 114 * sample(at + 2) + 500) / 1000;
    }
  }
}

// A stored row of palette indexes or grey of 1 to 4 bits expanded as
// libpng expands them: a palette entry's RGB (black past the palette's
// end), grey stretched to 8 bits. Other rows are left as they are: false.
bool expand_row(const PngReader& reader, const RowLayout& stored, const std::uint8_t* row, std::size_t width,
                std::vector<std::uint8_t>& out, RowLayout& expanded) {
  const int colour = png_get_color_type(reader.png, reader.info);
  const bool palette = colour == PNG_COLOR_TYPE_PALETTE;
  if (!palette && !(colour == PNG_COLOR_TYPE_GRAY && stored.depth < 8)) return false;
  png_colorp entries = nullptr;
  int entry_count = 0;
  if (palette) png_get_PLTE(reader.png, reader.info, &entries, &entry_count);
  const auto depth = static_cast<std::size_t>(stored.depth);
  const unsigned top = (1u << depth) - 1;
  expanded = RowLayout{.passes = stored.passes, .channels = palette ? 3 : 1, .depth = 8};
  out.resize(width * static_cast<std::size_t>(expanded.channels));
  for (std::size_t x = 0; x < width; ++x) {
    const std::size_t bit = x * depth;
    const unsigned sample = static_cast<unsigned>(row[bit / 8] >> (8 - depth - bit % 8)) & top;
    if (!palette) {
      out[x] = static_cast<std::uint8_t>(sample * 255 / top);
    } else if (static_cast<int>(sample) < entry_count) {
      out[3 * x] = entries[sample].red;
      out[3 * x + 1] = entries[sample].green;
      out[3 * x + 2] = entries[sample].blue;
    } else {
      std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(3 * x), 3, std::uint8_t{0});
    }
  }
  return true;
}

int stored_channels(int colour_type) {
  switch (colour_type) {
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    default: return 1;
  }
}

// The header checks on the source (a path or bytes) of size bytes.
template <typename Source>
bool read_info(const Source& source, PngInfo& info, std::string& why) {
  PngReader reader;
  std::uint64_t size = 0;
  if (!open_reader(source, reader, why, size)) return false;
  if (!read_header(reader, info)) {
    why = damage(reader);
    return false;
  }
  // Deflate expands a byte into at most kMaxDeflateRatio: pixel data beyond
  // that cannot come from this file, and nothing is allocated for it.
  const std::uint64_t bits = static_cast<std::uint64_t>(info.bit_depth) *
                             static_cast<std::uint64_t>(stored_channels(info.colour_type));
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(info.width) * bits + 7) / 8;
  if (row_bytes * static_cast<std::uint64_t>(info.height) / kMaxDeflateRatio > size) {
    why = kSizeAgainstLength;
    return false;
  }
  if (static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height) >
      static_cast<std::uint64_t>(INT32_MAX)) {
    why = kTooManyPixels;
    return false;
  }
  return true;
}

template <typename Source>
bool read_image(const Source& source, const PngInfo& info,
                const std::function<void(std::int32_t y, std::span<const double> values)>& row, std::string& why) {
  PngReader reader;
  std::uint64_t size = 0;
  if (!open_reader(source, reader, why, size)) return false;
  PngInfo again;
  if (!read_header(reader, again)) {
    why = damage(reader);
    return false;
  }
  if (again.width != info.width || again.height != info.height || again.bit_depth != info.bit_depth ||
      again.colour_type != info.colour_type) {
    why = kChangedWhileRead;
    return false;
  }
  // An interlaced image comes in passes over the whole picture, kept until
  // the last: as stored, so that it takes no more memory than the deflate
  // bound on the file's length allows. Any other comes a row at a time.
  // libpng's row buffers: up to 8 bytes a pixel (16-bit grey and alpha
  // expanded, or RGBA), the width rounded up to a byte of pixels, and its
  // filter byte and alignment.
  reader.allocation_limit += 8 * (static_cast<std::uint64_t>(info.width) + 8) + 64;
  RowLayout layout;
  if (!start_rows(reader, !info.interlaced, layout)) {
    why = damage(reader);
    return false;
  }
  const auto height = static_cast<std::size_t>(info.height);
  const auto width = static_cast<std::size_t>(info.width);
  std::vector<double> grey(width);
  std::vector<std::uint8_t> rows(layout.row_bytes * (layout.passes > 1 ? height : 1));
  for (int pass = 0; pass < layout.passes; ++pass) {
    for (std::size_t y = 0; y < height; ++y) {
      std::uint8_t* at = rows.data() + (layout.passes > 1 ? y * layout.row_bytes : 0);
      if (!read_row(reader, at)) {
        why = damage(reader);
        return false;
      }
      if (layout.passes == 1) {
        grey_row(layout, at, grey);
        row(static_cast<std::int32_t>(y), grey);
      }
    }
  }
  if (layout.passes > 1) {
    std::vector<std::uint8_t> wide;
    RowLayout wide_layout;
    for (std::size_t y = 0; y < height; ++y) {
      const std::uint8_t* at = rows.data() + y * layout.row_bytes;
      if (expand_row(reader, layout, at, width, wide, wide_layout)) grey_row(wide_layout, wide.data(), grey);
      else grey_row(layout, at, grey);
      row(static_cast<std::int32_t>(y), grey);
    }
  }
  return true;
}

}  // namespace

bool read_png_info(const std::string& path, PngInfo& info, std::string& why) { return read_info(path, info, why); }

bool read_png_info(std::span<const std::uint8_t> bytes, PngInfo& info, std::string& why) {
  return read_info(bytes, info, why);
}

bool read_png_image(const std::string& path, const PngInfo& info,
                    const std::function<void(std::int32_t y, std::span<const double> values)>& row,
                    std::string& why) {
  return read_image(path, info, row, why);
}

bool read_png_image(std::span<const std::uint8_t> bytes, const PngInfo& info,
                    const std::function<void(std::int32_t y, std::span<const double> values)>& row,
                    std::string& why) {
  return read_image(bytes, info, row, why);
}

}  // namespace kadrix::import
