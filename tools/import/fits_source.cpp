#include "tools/import/fits_source.h"

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <limits>
#include <string_view>
#include <vector>

#include "bmp/file_io.h"
#include "bmp/text_format.h"
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

// Reads into from offset of the file as cfitsio sees it; false where the
// file ends first.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

constexpr std::size_t kBlock = 2880;
constexpr std::size_t kCard = 80;

// True for a FITS integer value field: an optional '+', 1 to 18 digits,
// then spaces or a comment; positive also wants a digit other than 0.
bool whole_value(std::string_view field, bool positive = false) {
  std::size_t at = field.find_first_not_of(' ');
  if (at == std::string_view::npos) return false;
  if (field[at] == '+') ++at;
  const std::size_t digits_end = std::min(field.find_first_not_of("0123456789", at), field.size());
  if (digits_end == at || digits_end - at > 18) return false;
  if (positive && field.substr(at, digits_end - at).find_first_not_of('0') == std::string_view::npos) return false;
  const std::size_t rest = field.find_first_not_of(' ', digits_end);
  return rest == std::string_view::npos || field[rest] == '/';
}

// cfitsio 4.2 reading a table extension's header
//  - goes on with an uninitialised row count, row width or field count,
//    and allocates by it, when NAXIS1, NAXIS2 or TFIELDS is missing from
//    its place or not a whole number;
//  - copies an unquoted value of 69 characters or more (it may start
//    right after the '=') into a column name of 70 bytes with its
//    terminator: past the end;
//  - divides by a compressed image's tile size ZTILEn, even 0.
// So the header an extension starts at offset is looked over before
// cfitsio reads it: 0, or the cfitsio code the refusal names.
int header_fault(const ReadAt& read_at, std::uint64_t offset) {
  // The keywords a table's header begins with, in their order.
  static constexpr std::string_view kTableStart[] = {"XTENSION", "BITPIX  ", "NAXIS   ", "NAXIS1  ",
                                                     "NAXIS2  ", "PCOUNT  ", "GCOUNT  ", "TFIELDS "};
  std::uint8_t block[kBlock];
  bool table = false;
  for (std::size_t n = 0;; offset += kBlock) {
    // A header cut short is cfitsio's to refuse.
    if (!read_at(offset, block)) return 0;
    for (std::size_t c = 0; c < kBlock; c += kCard, ++n) {
      const std::string_view card(reinterpret_cast<const char*>(block + c), kCard);
      // A header holds printable ASCII only; cfitsio's number parsing can
      // overrun its message buffer on a value with anything else in it.
      for (const char ch : card)
        if (ch < ' ' || ch > '~') return BAD_KEYCHAR;
      if (n == 0) {
        const std::string_view kind = card.substr(10, 10);
        table = card.substr(0, 10) == "XTENSION= " &&
                (kind == "'TABLE   '" || kind == "'BINTABLE'" || kind == "'A3DTABLE'");
      } else if (table && n < std::size(kTableStart)) {
        if (card.substr(0, 8) != kTableStart[n] || card[8] != '=') return BAD_ORDER;
        if (!whole_value(card.substr(9))) return NOT_POS_INT;
      }
      if (card.substr(0, 8) == "END     ") return 0;
      if (card[8] != '=') continue;
      const std::string_view value = card.substr(9);
      const std::size_t first = value.find_first_not_of(' ');
      const std::size_t last = value.find_last_not_of(' ');
      if (first != std::string_view::npos && value[first] != '\'' && value.find('/') == std::string_view::npos &&
          last - first + 1 >= 69)
        return BAD_KEYCHAR;
      // NAXISn, ZNAXISn and ZTILEn hold whole numbers; ZTILEn above 0.
      std::size_t stem = 0;
      for (const std::string_view name : {"NAXIS", "ZNAXIS", "ZTILE"})
        if (card.substr(0, name.size()) == name) stem = name.size();
      if (stem == 0) continue;
      // cfitsio takes a keyword's name up to its first space: "ZTILE1 a" is ZTILE1.
      const std::string_view key = card.substr(0, std::min<std::size_t>(8, card.find(' ')));
      const std::string_view number = key.substr(stem);
      if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos)
        continue;  // NAXIS or ZNAXIS itself, or another keyword
      if (!whole_value(value, stem == 5 && card[0] == 'Z')) return NOT_POS_INT;
    }
  }
}

// The header checks on an open file of file_size bytes; on success the
// file stands at the image's HDU.
bool check_image(fitsfile* raw, const ReadAt& read_at, std::uint64_t file_size, FitsInfo& info, std::string& why) {
  info = FitsInfo{};
  int status = 0;

  int naxis = 0;
  for (int hdu = 1;; ++hdu) {
    int type = 0;
    if (hdu > 1) {
      LONGLONG head = 0, data = 0, end = 0;
      if (fits_get_hduaddrll(raw, &head, &data, &end, &status) != 0) {
        why = fits_reason(status);
        return false;
      }
      if (const int fault = header_fault(read_at, static_cast<std::uint64_t>(end)); fault != 0) {
        why = text_format(kFitsBadHeader, fault);
        return false;
      }
    }
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
    // GCOUNT = 0 leaves the header no room for its own image.
    if (end < data || static_cast<std::uint64_t>(info.planes) > static_cast<std::uint64_t>(end - data) / plane_bytes) {
      why = text_format(kFitsBadHeader, BAD_GCOUNT);
      return false;
    }
    if (start > file_size || static_cast<std::uint64_t>(info.planes) > (file_size - start) / plane_bytes) {
      why = kFitsTruncated;
      return false;
    }
  }
  return true;
}

}  // namespace

bool read_fits_info(const std::string& path, std::uint64_t file_size, FitsInfo& info, std::string& why) {
  FitsHandle file;
  if (!open_disk_file(path, file, why)) return false;
  std::uint64_t size = 0;
  const FileHandle bytes = open_regular_file(path, size);
  if (!bytes.valid()) {
    why = kFitsUnreadable;
    return false;
  }
  const ReadAt read_at = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
    return read_exact_at(bytes.get(), into, offset);
  };
  return check_image(as_fits(file.get()), read_at, file_size, info, why);
}

bool read_fits_info(std::span<const std::uint8_t> bytes, FitsMemory& memory, FitsInfo& info, std::string& why) {
  memory.file.reset();
  info = FitsInfo{};
  const std::size_t whole_blocks = (bytes.size() + kBlock - 1) / kBlock * kBlock;
  memory.blocks.assign(whole_blocks + kBlock, 0);
  std::copy(bytes.begin(), bytes.end(), memory.blocks.begin());
  memory.address = memory.blocks.data();
  memory.size = whole_blocks;
  int status = 0;
  fitsfile* raw = nullptr;
  if (fits_open_memfile(&raw, "memory", READONLY, &memory.address, &memory.size, 0, nullptr, &status) != 0) {
    if (raw != nullptr) FitsCloser()(raw);
    why = fits_reason(status);
    return false;
  }
  memory.file.reset(raw);
  const ReadAt read_at = [&](std::uint64_t offset, std::span<std::uint8_t> into) {
    if (offset > memory.size || into.size() > memory.size - offset) return false;
    std::copy_n(memory.blocks.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    return true;
  };
  if (check_image(raw, read_at, bytes.size(), info, why)) return true;
  memory.file.reset();
  return false;
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
