#include "tools/import/master_files.h"

#include <fitsio.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "bmp/file_io.h"
#include "bmp/replace_files.h"

namespace kadrix::import {

namespace {

// A FITS file cfitsio builds in memory: the buffer is cfitsio's to grow
// (realloc) while the file is open, and ours to free.
struct FitsMemory {
  void* bytes = nullptr;
  std::size_t size = 0;
  FitsMemory() = default;
  FitsMemory(const FitsMemory&) = delete;
  FitsMemory& operator=(const FitsMemory&) = delete;
  ~FitsMemory() { std::free(bytes); }
};

// Closed (its status ignored) unless the writer closed it and checked.
struct FitsFile {
  fitsfile* file = nullptr;
  FitsFile() = default;
  FitsFile(const FitsFile&) = delete;
  FitsFile& operator=(const FitsFile&) = delete;
  ~FitsFile() {
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

bool write_image(fitsfile* f, std::span<const double> master, std::int32_t width, std::int32_t height,
                 std::int64_t frames) {
  int status = 0;
  long axes[2] = {width, height};
  if (fits_create_img(f, DOUBLE_IMG, 2, axes, &status) != 0) return false;
  if (fits_write_key_lng(f, "NCOMBINE", frames, "klatki polaczone w mistrza", &status) != 0) return false;
  const auto w = static_cast<std::size_t>(width);
  std::vector<double> row(w);
  for (std::int32_t j = 0; j < height; ++j) {
    const double* from = master.data() + w * static_cast<std::size_t>(height - 1 - j);
    row.assign(from, from + w);
    long first[2] = {1, j + 1};
    if (fits_write_pix(f, TDOUBLE, first, static_cast<LONGLONG>(w), row.data(), &status) != 0) return false;
  }
  return true;
}

}  // namespace

bool write_master(const std::string& path, std::span<const double> master, std::int32_t width, std::int32_t height,
                  std::int64_t frames) {
  constexpr std::size_t kBlock = 2880;
  FitsMemory memory;
  memory.size = kBlock + (8 * master.size() + kBlock - 1) / kBlock * kBlock;
  memory.bytes = std::malloc(memory.size);
  if (memory.bytes == nullptr) throw std::bad_alloc();
  LONGLONG file_end = 0;
  bool built = false;
  {
    FitsFile fits;
    int status = 0;
    if (fits_create_memfile(&fits.file, &memory.bytes, &memory.size, kBlock, std::realloc, &status) != 0) {
      fits.file = nullptr;
    } else {
      built = write_image(fits.file, master, width, height, frames);
      LONGLONG header_start = 0, data_start = 0;
      built = built && fits_flush_file(fits.file, &status) == 0 &&
              fits_get_hduaddrll(fits.file, &header_start, &data_start, &file_end, &status) == 0;
      built = fits.close() && built;
    }
  }
  fits_clear_errmsg();
  if (!built || file_end <= 0 || static_cast<std::uint64_t>(file_end) > memory.size) return false;

  PendingGroup temp({path});
  const auto size = static_cast<std::size_t>(file_end);
  OutputFile out(temp[0].temp_path, size);
  out.write(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(memory.bytes), size));
  if (!out.finish()) return false;
  return temp.commit() < 0;
}

}  // namespace kadrix::import
