#include "tools/fits/fits_file.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>

#include "bmp/file_io.h"
#include "bmp/replace_files.h"

namespace kadrix::fits {

namespace {

constexpr std::size_t kBlock = 2880;

// The buffer is cfitsio's to grow (realloc) while the file is open, and
// ours to free.
struct FitsMemory {
  void* bytes = nullptr;
  std::size_t size = 0;
  FitsMemory() = default;
  FitsMemory(const FitsMemory&) = delete;
  FitsMemory& operator=(const FitsMemory&) = delete;
  ~FitsMemory() { std::free(bytes); }
};

// Closed (its status ignored) unless the writer closed it and checked.
struct OpenFits {
  fitsfile* file = nullptr;
  OpenFits() = default;
  OpenFits(const OpenFits&) = delete;
  OpenFits& operator=(const OpenFits&) = delete;
  ~OpenFits() {
    if (!file) return;
    int status = 0;
    fits_close_file(file, &status);
  }
  bool close() {
    int status = 0;
    fits_close_file(file, &status);
    file = nullptr;
    return status == 0;
  }
};

}  // namespace

bool write_fits_file(const std::string& path, std::size_t expected_bytes,
                     const std::function<bool(fitsfile*)>& build) {
  FitsMemory memory;
  memory.size = expected_bytes < kBlock ? kBlock : expected_bytes;
  memory.bytes = std::malloc(memory.size);
  if (memory.bytes == nullptr) throw std::bad_alloc();
  LONGLONG file_end = 0;
  bool built = false;
  {
    OpenFits fits;
    int status = 0;
    if (fits_create_memfile(&fits.file, &memory.bytes, &memory.size, kBlock, std::realloc, &status) != 0) {
      fits.file = nullptr;
    } else {
      built = build(fits.file);
      // The buffer is larger than the file; the last unit's end, once
      // flushed, is the file's length.
      LONGLONG header_start = 0, data_start = 0;
      built = built && fits_flush_file(fits.file, &status) == 0 &&
              fits_get_hduaddrll(fits.file, &header_start, &data_start, &file_end, &status) == 0;
      built = fits.close() && built;
    }
  }
  // cfitsio keeps its messages on a stack of its own; nothing is printed.
  fits_clear_errmsg();
  if (!built || file_end <= 0 || static_cast<std::uint64_t>(file_end) > memory.size) return false;

  PendingGroup temp({path});
  const auto size = static_cast<std::size_t>(file_end);
  OutputFile out(temp[0].temp_path, size);
  out.write(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(memory.bytes), size));
  if (!out.finish()) return false;
  return temp.commit() < 0;
}

}  // namespace kadrix::fits
