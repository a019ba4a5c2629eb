#include "tools/import/fits_source.h"

#include <fitsio.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "driver/text_format.h"
#include "tools/import/messages.h"

namespace kadrix::import {

using namespace messages;

namespace {

fitsfile* as_fits(void* file) { return static_cast<fitsfile*>(file); }

// cfitsio keeps its own messages on a stack; they are of no use here and
// would only pile up.
std::string fits_reason(int status) {
  fits_clear_errmsg();
  char text[80];
  switch (status) {
    case END_OF_FILE:
    case READ_ERROR:
      return kFitsUnreadable;
    case MEMORY_ALLOCATION:
      return kFitsNoMemory;
    case DATA_DECOMPRESSION_ERR:
      return kFitsDecompression;
    default:
      break;
  }
  if (status >= 200 && status < 300) std::snprintf(text, sizeof text, kFitsBadHeader, status);
  else std::snprintf(text, sizeof text, kFitsError, status);
  return text;
}

constexpr int kMaxAxes = 9;

}  // namespace

bool FitsInfo::integer() const {
  return bitpix > 0 && bscale == 1 && bzero == std::floor(bzero) && std::fabs(bzero) <= std::ldexp(1.0, 40);
}

void FitsCloser::operator()(void* file) const {
  int status = 0;
  fits_close_file(as_fits(file), &status);
  fits_clear_errmsg();
}

namespace {

// Opens path for reading. The disk-file open takes the name as it stands:
// '[', '-' or '!' in it are plain characters, not cfitsio's extended syntax.
bool open_disk_file(const std::string& path, FitsHandle& file, std::string& why) {
  int status = 0;
  fitsfile* raw = nullptr;
  if (fits_open_diskfile(&raw, path.c_str(), READONLY, &status) != 0) {
    if (raw != nullptr) FitsCloser()(raw);
    why = fits_reason(status);
    return false;
  }
  file.reset(raw);
  return true;
}

}  // namespace

bool read_fits_info(const std::string& path, std::uint64_t file_size, FitsInfo& info, std::string& why) {
  info = FitsInfo{};
  int status = 0;
  FitsHandle file;
  if (!open_disk_file(path, file, why)) return false;
  fitsfile* const raw = as_fits(file.get());

  int naxis = 0;
  for (int hdu = 1;; ++hdu) {
    int type = 0;
    if (fits_movabs_hdu(raw, hdu, &type, &status) != 0) {
      if (status == END_OF_FILE) {
        fits_clear_errmsg();
        why = kFitsNoImage;
      } else {
        why = fits_reason(status);
      }
      return false;
    }
    if (type != IMAGE_HDU) continue;
    if (fits_get_img_dim(raw, &naxis, &status) != 0) {
      why = fits_reason(status);
      return false;
    }
    if (naxis >= 2) {
      info.hdu = hdu;
      break;
    }
  }

  LONGLONG axes[kMaxAxes] = {};
  if (naxis > kMaxAxes) {
    why = text_format(kFitsAxes, naxis);
    return false;
  }
  if (fits_get_img_paramll(raw, kMaxAxes, &info.bitpix, &naxis, axes, &status) != 0) {
    why = fits_reason(status);
    return false;
  }
  for (int a = 3; a < naxis; ++a) {
    if (axes[a] != 1) {
      why = text_format(kFitsExtraAxis, a + 1, static_cast<long long>(axes[a]));
      return false;
    }
  }
  if (info.bitpix != 8 && info.bitpix != 16 && info.bitpix != 32 && info.bitpix != -32 && info.bitpix != -64) {
    why = text_format(kFitsBitpix, info.bitpix);
    return false;
  }
  if (axes[0] <= 0 || axes[1] <= 0) {
    why = kFitsEmpty;
    return false;
  }
  if (axes[0] > INT32_MAX || axes[1] > INT32_MAX || axes[0] * axes[1] > INT32_MAX) {
    why = kTooManyPixels;
    return false;
  }
  info.width = static_cast<std::int32_t>(axes[0]);
  info.height = static_cast<std::int32_t>(axes[1]);
  info.planes = naxis >= 3 ? static_cast<std::int64_t>(axes[2]) : 1;
  if (info.planes < 0) {
    why = kFitsPlanes;
    return false;
  }

  for (auto [name, value] : {std::pair{"BZERO", &info.bzero}, std::pair{"BSCALE", &info.bscale}}) {
    if (fits_read_key(raw, TDOUBLE, name, value, nullptr, &status) == 0) continue;
    if (status != KEY_NO_EXIST) {
      why = text_format(kFitsBadKey, name);
      fits_clear_errmsg();
      return false;
    }
    status = 0;
    fits_clear_errmsg();
  }
  if (!std::isfinite(info.bzero) || !std::isfinite(info.bscale) || info.bscale == 0) {
    why = kFitsBadScale;
    return false;
  }

  // Only compared with the lights' values; a missing or odd card is no fault.
  for (auto [name, value] : {std::pair{"EXPTIME", &info.exposure}, std::pair{"CCD-TEMP", &info.temperature}}) {
    double number = 0;
    if (fits_read_key(raw, TDOUBLE, name, &number, nullptr, &status) == 0 && std::isfinite(number)) *value = number;
    status = 0;
    fits_clear_errmsg();
  }

  // Nothing is allocated for pixels the file cannot hold.
  const auto pixels = static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height);
  info.compressed = fits_is_compressed_image(raw, &status) != 0;
  if (status != 0) {
    why = fits_reason(status);
    return false;
  }
  if (info.compressed) {
    const std::uint64_t plausible = file_size <= UINT64_MAX / kMaxPixelsPerCompressedByte
                                        ? file_size * kMaxPixelsPerCompressedByte
                                        : UINT64_MAX;
    if (pixels > plausible || static_cast<std::uint64_t>(info.planes) > plausible / pixels) {
      why = kSizeAgainstLength;
      return false;
    }
  } else {
    LONGLONG head = 0, data = 0, end = 0;
    if (fits_get_hduaddrll(raw, &head, &data, &end, &status) != 0) {
      why = fits_reason(status);
      return false;
    }
    const std::uint64_t plane_bytes = pixels * static_cast<std::uint64_t>(std::abs(info.bitpix) / 8);
    const std::uint64_t start = static_cast<std::uint64_t>(data);
    if (start > file_size || static_cast<std::uint64_t>(info.planes) > (file_size - start) / plane_bytes) {
      why = kFitsTruncated;
      return false;
    }
  }
  return true;
}

bool open_fits(const std::string& path, const FitsInfo& info, FitsHandle& file, std::string& why) {
  int status = 0;
  if (!open_disk_file(path, file, why)) return false;
  int type = 0;
  if (fits_movabs_hdu(as_fits(file.get()), info.hdu, &type, &status) != 0) {
    why = fits_reason(status);
    file.reset();
    return false;
  }
  return true;
}

bool read_fits_plane(const FitsHandle& file, const FitsInfo& info, std::int64_t plane,
                     const std::function<void(std::int32_t y, std::span<const double> values)>& row,
                     std::string& why) {
  std::vector<double> values(static_cast<std::size_t>(info.width));
  double undefined = std::numeric_limits<double>::quiet_NaN();
  for (std::int32_t r = 0; r < info.height; ++r) {
    LONGLONG first[3] = {1, r + 1, plane + 1};
    int status = 0;
    int any_undefined = 0;
    if (fits_read_pixll(as_fits(file.get()), TDOUBLE, first, info.width, &undefined, values.data(), &any_undefined,
                        &status) != 0) {
      why = fits_reason(status);
      return false;
    }
    row(info.height - 1 - r, values);
  }
  return true;
}

}  // namespace kadrix::import
