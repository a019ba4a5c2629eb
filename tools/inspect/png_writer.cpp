#include "tools/inspect/png_writer.h"

#include <png.h>

#include <csetjmp>
#include <new>

#include "bmp/file_io.h"

namespace kadrix::inspect {

namespace {

// Where the encoded bytes go. put() never throws: a failure leaves through
// png_error, which must not cross a C++ frame holding live objects.
struct Sink {
  OutputFile* file = nullptr;
  std::vector<std::uint8_t>* memory = nullptr;

  bool put(const std::uint8_t* data, std::size_t size) noexcept {
    try {
      if (file) {
        file->write(std::span<const std::uint8_t>(data, size));
        return file->ok();
      }
      memory->insert(memory->end(), data, data + size);
      return true;
    } catch (...) {
      return false;
    }
  }
};

void write_data(png_structp png, png_bytep data, std::size_t size) {
  auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
  if (!sink->put(data, size)) png_error(png, "write failed");
}

void flush_data(png_structp) {}

// libpng's default handlers print to standard error; the tool speaks only
// through its console, and a failure is reported by the caller.
[[noreturn]] void on_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void on_warning(png_structp, png_const_charp) {}

struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngWrite() {
    png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
    if (png) info = png_create_info_struct(png);
  }
  ~PngWrite() { png_destroy_write_struct(&png, &info); }
  PngWrite(const PngWrite&) = delete;
  PngWrite& operator=(const PngWrite&) = delete;
};

// Runs libpng over the rows. A libpng error longjmps back into this frame,
// so it holds nothing with a destructor; the caller owns the structures,
// the sink and the row buffer.
bool encode_rows(png_structp png, png_infop info, Sink* sink, std::int32_t width, std::int32_t height,
                 const RgbRowSource* row, std::uint8_t* buffer) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, sink, write_data, flush_data);
  // Any size a result pair can have; libpng's default limit is a million.
  png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
  for (std::int32_t y = 0; y < height; ++y) {
    (*row)(y, std::span<std::uint8_t>(buffer, row_bytes));
    png_write_row(png, buffer);
  }
  png_write_end(png, nullptr);
  return true;
}

bool encode(Sink& sink, std::int32_t width, std::int32_t height, const RgbRowSource& row) {
  if (width <= 0 || height <= 0) return false;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(width) * 3);
  PngWrite write;
  if (!write.png || !write.info) return false;
  return encode_rows(write.png, write.info, &sink, width, height, &row, buffer.data());
}

}  // namespace

bool write_png_file(const std::string& path, std::int32_t width, std::int32_t height, const RgbRowSource& row) {
  OutputFile out(path);
  if (!out.ok()) return false;
  Sink sink;
  sink.file = &out;
  const bool encoded = encode(sink, width, height, row);
  return out.finish() && encoded;
}

std::optional<std::vector<std::uint8_t>> encode_png(std::int32_t width, std::int32_t height,
                                                    const RgbRowSource& row) {
  try {
    std::vector<std::uint8_t> bytes;
    Sink sink;
    sink.memory = &bytes;
    if (!encode(sink, width, height, row)) return std::nullopt;
    return bytes;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace kadrix::inspect
