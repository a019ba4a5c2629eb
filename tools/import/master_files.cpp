#include "tools/import/master_files.h"

#include <fitsio.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "tools/fits/fits_file.h"

namespace kadrix::import {

namespace {

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
  const std::size_t expected = kBlock + (8 * master.size() + kBlock - 1) / kBlock * kBlock;
  return fits::write_fits_file(path, expected,
                               [&](fitsfile* f) { return write_image(f, master, width, height, frames); });
}

}  // namespace kadrix::import
