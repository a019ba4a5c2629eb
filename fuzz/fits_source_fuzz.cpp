// Fuzzing kadrix-import's FITS source through cfitsio, from memory.
//
// An input that begins as a FITS file does (the importer picks the reader
// by those bytes) goes through the importer's header checks; an image they
// take is then read: its first two planes and its last. Checked beyond "no
// crash, no sanitizer report":
//  - a refusal names its reason;
//  - a header taken has sane geometry and scaling, and an uncompressed
//    one's planes fit in the input;
//  - an uncompressed plane always reads; every plane read hands over each
//    row once, the width of the image;
//  - an image taken as whole numbers gives whole numbers (or NaN, BLANK).
// The source first reads each file in a child process, and takes only one
// the child survives: what cfitsio itself cannot read soundly (a Rice tile
// read past its end, fits_rice_overread.fits here, among others) must be
// refused, never read here.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tools/import/fits_source.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 9 || std::memcmp(data, "SIMPLE  =", 9) != 0) return 0;
  kadrix::import::FitsMemory memory;
  kadrix::import::FitsInfo info;
  std::string why;
  if (!kadrix::import::read_fits_info(std::span<const std::uint8_t>(data, size), memory, info, why)) {
    check(!why.empty(), "refused without a reason");
    check(memory.file == nullptr, "refused, yet left open");
    return 0;
  }
  check(memory.file != nullptr, "taken, yet not open");
  check(info.hdu >= 1, "HDU number");
  check(info.width > 0 && info.height > 0, "empty image taken");
  const auto pixels = static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height);
  check(pixels <= INT32_MAX, "pixel count");
  check(info.planes >= 0, "plane count");
  check(info.bitpix == 8 || info.bitpix == 16 || info.bitpix == 32 || info.bitpix == -32 || info.bitpix == -64,
        "BITPIX taken");
  check(std::isfinite(info.bzero) && std::isfinite(info.bscale) && info.bscale != 0, "scaling taken");
  if (!info.compressed) {
    const std::uint64_t plane_bytes = pixels * static_cast<std::uint64_t>(std::abs(info.bitpix) / 8);
    check(static_cast<std::uint64_t>(info.planes) <= size / plane_bytes, "planes past the end of the input");
  }

  std::vector<std::int64_t> planes;
  for (std::int64_t p : {std::int64_t{0}, std::int64_t{1}, info.planes - 1})
    if (p >= 0 && p < info.planes && std::find(planes.begin(), planes.end(), p) == planes.end()) planes.push_back(p);
  std::vector<char> seen(static_cast<std::size_t>(info.height));
  for (const std::int64_t p : planes) {
    std::fill(seen.begin(), seen.end(), 0);
    std::int32_t rows = 0;
    const bool read = kadrix::import::read_fits_plane(
        memory.file, info, p,
        [&](std::int32_t y, std::span<const double> values) {
          check(y >= 0 && y < info.height, "row outside the image");
          check(seen[static_cast<std::size_t>(y)] == 0, "row handed over twice");
          seen[static_cast<std::size_t>(y)] = 1;
          ++rows;
          check(values.size() == static_cast<std::size_t>(info.width), "row of the wrong width");
          if (info.integer())
            for (const double v : values) check(std::isnan(v) || v == std::floor(v), "whole-number image, fraction");
        },
        why);
    if (!read) {
      check(!why.empty(), "read failed without a reason");
      if (!info.compressed) std::fprintf(stderr, "plane %lld: %s\n", static_cast<long long>(p), why.c_str());
      check(info.compressed, "an uncompressed plane inside the input could not be read");
      break;
    }
    check(rows == info.height, "rows missing");
  }
  return 0;
}
