#include "tools/import/fits_source.h"

#include <fitsio.h>
#include <zlib.h>

#include <fcntl.h>
#include <strings.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <mutex>
#include <string_view>
#include <utility>
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

// cfitsio allocates a tile's pixels by the product of ZTILEn, and for
// each plane read unpacks every tile reaching into it: a tile wider or
// taller than the image, or deeper than one plane, is unpacked whole.
// What the whole image's reading unpacks may hold no more pixels than the
// file could.
bool check_tiles(fitsfile* raw, int naxis, std::uint64_t plausible, FitsInfo& info, std::string& why) {
  std::uint64_t unpacked = static_cast<std::uint64_t>(std::max<std::int64_t>(info.planes, 1));
  for (int a = 1; a <= naxis; ++a) {
    char name[FLEN_KEYWORD];
    std::snprintf(name, sizeof name, "ZTILE%d", a);
    LONGLONG size = a == 1 ? info.width : 1;
    int status = 0;
    if (fits_read_key(raw, TLONGLONG, name, &size, nullptr, &status) != 0) {
      fits_clear_errmsg();
      if (status != KEY_NO_EXIST) {
        why = text_format(kFitsBadKey, name);
        return false;
      }
    }
    // 0 or less is refused before cfitsio reads the header.
    if (size <= 0 || static_cast<std::uint64_t>(size) > plausible) {
      why = kSizeAgainstLength;
      return false;
    }
    const auto tile = static_cast<std::uint64_t>(size);
    // The pixels along this axis that one plane's reading unpacks.
    std::uint64_t reach = tile;
    if (a <= 2) {
      const auto extent = static_cast<std::uint64_t>(a == 1 ? info.width : info.height);
      reach = (extent + tile - 1) / tile * tile;
    }
    if (reach > plausible / unpacked) {
      why = kSizeAgainstLength;
      return false;
    }
    unpacked *= reach;
    if (a == 2) info.tile_rows = size;
  }
  return true;
}

// cfitsio allocates a tile's compressed bytes by the length its
// descriptor gives, before it reads them. Every descriptor of the table
// must point inside the heap, and the heap must lie inside the file.
// cfitsio inflates a gzip-coded tile into a buffer it grows until the
// stream ends, and a stream cut short never ends: it would grow the buffer
// for ever. So a tile's stream, read a piece at a time, must end within
// its bytes; other damage cfitsio reports as an error of its own.
enum class GzipTile { ends, cut, unreadable };

GzipTile check_gzip_tile(const ReadAt& read_at, std::uint64_t at, std::uint64_t length) {
  z_stream stream{};
  // As cfitsio reads a tile: gzip framing only.
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return GzipTile::ends;
  std::uint8_t in[65536];
  std::uint8_t scrap[65536];
  GzipTile found = GzipTile::ends;
  for (;;) {
    if (stream.avail_in == 0 && length > 0) {
      const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof in));
      if (!read_at(at, std::span<std::uint8_t>(in, piece))) {
        found = GzipTile::unreadable;
        break;
      }
      at += piece;
      length -= piece;
      stream.next_in = in;
      stream.avail_in = static_cast<uInt>(piece);
    }
    stream.next_out = scrap;
    stream.avail_out = sizeof scrap;
    const int result = inflate(&stream, Z_NO_FLUSH);
    if (result == Z_OK || (result == Z_BUF_ERROR && length > 0)) continue;
    // No progress with every byte taken: the stream is cut.
    if (result == Z_BUF_ERROR) found = GzipTile::cut;
    break;
  }
  inflateEnd(&stream);
  return found;
}

// True for a variable-length column of a compressed image whose tiles
// are gzip streams.
bool gzip_coded(fitsfile* raw, int column) {
  char name[FLEN_VALUE] = "";
  int status = 0;
  fits_get_bcolparms(raw, column, name, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &status);
  if (status != 0) {
    fits_clear_errmsg();
    return false;
  }
  if (::strcasecmp(name, "GZIP_COMPRESSED_DATA") == 0) return true;
  if (::strcasecmp(name, "COMPRESSED_DATA") != 0) return false;
  char method[FLEN_VALUE] = "";
  if (fits_read_key(raw, TSTRING, "ZCMPTYPE", method, nullptr, &status) != 0) {
    fits_clear_errmsg();
    return false;
  }
  return ::strcasecmp(method, "GZIP_1") == 0 || ::strcasecmp(method, "GZIP_2") == 0;
}

bool check_heap(fitsfile* raw, const ReadAt& read_at, std::uint64_t file_size, std::string& why) {
  LONGLONG row_bytes = 0, rows = 0, heap_bytes = 0;
  int status = 0;
  fits_read_key(raw, TLONGLONG, "NAXIS1", &row_bytes, nullptr, &status);
  fits_read_key(raw, TLONGLONG, "NAXIS2", &rows, nullptr, &status);
  fits_read_key(raw, TLONGLONG, "PCOUNT", &heap_bytes, nullptr, &status);
  LONGLONG head = 0, data = 0, end = 0;
  fits_get_hduaddrll(raw, &head, &data, &end, &status);
  if (status != 0) {
    why = fits_reason(status);
    return false;
  }
  const std::uint64_t whole_file = (file_size + kBlock - 1) / kBlock * kBlock;
  if (row_bytes < 0 || rows < 0 || heap_bytes < 0 || static_cast<std::uint64_t>(data) > whole_file ||
      (row_bytes > 0 && static_cast<std::uint64_t>(rows) > (whole_file - static_cast<std::uint64_t>(data)) /
                                                              static_cast<std::uint64_t>(row_bytes)) ||
      static_cast<std::uint64_t>(heap_bytes) >
          whole_file - static_cast<std::uint64_t>(data) - static_cast<std::uint64_t>(row_bytes * rows)) {
    why = kFitsTruncated;
    return false;
  }
  // The heap runs from THEAP (by default right after the rows) to the end
  // of PCOUNT's bytes.
  const LONGLONG table_bytes = row_bytes * rows;
  LONGLONG heap_start = table_bytes;
  if (fits_read_key(raw, TLONGLONG, "THEAP", &heap_start, nullptr, &status) != 0) {
    fits_clear_errmsg();
    if (status != KEY_NO_EXIST) {
      why = text_format(kFitsBadKey, "THEAP");
      return false;
    }
    status = 0;
    heap_start = table_bytes;
  }
  if (heap_start < table_bytes || heap_start > table_bytes + heap_bytes) {
    why = fits_reason(BAD_HEAP_PTR);
    return false;
  }
  const auto heap = static_cast<std::uint64_t>(table_bytes + heap_bytes - heap_start);

  int columns = 0;
  if (fits_get_num_cols(raw, &columns, &status) != 0) {
    why = fits_reason(status);
    return false;
  }
  for (int c = 1; c <= columns; ++c) {
    int type = 0;
    LONGLONG repeat = 0, width = 0;
    if (fits_get_coltypell(raw, c, &type, &repeat, &width, &status) != 0) {
      why = fits_reason(status);
      return false;
    }
    if (type >= 0) continue;  // not a variable-length array
    const bool gzip = gzip_coded(raw, c);
    for (LONGLONG r = 1; r <= rows; ++r) {
      LONGLONG length = 0, offset = 0;
      if (fits_read_descriptll(raw, c, r, &length, &offset, &status) != 0) {
        why = fits_reason(status);
        return false;
      }
      // Bits are stored 8 to a byte.
      const std::uint64_t bytes = -type == TBIT ? (static_cast<std::uint64_t>(length) + 7) / 8
                                                : static_cast<std::uint64_t>(length) * static_cast<std::uint64_t>(width);
      if (length < 0 || offset < 0 || width < 0 || static_cast<std::uint64_t>(offset) > heap ||
          (width > 0 && static_cast<std::uint64_t>(length) > heap / static_cast<std::uint64_t>(width)) ||
          bytes > heap - static_cast<std::uint64_t>(offset)) {
        why = fits_reason(BAD_HEAP_PTR);
        return false;
      }
      // An empty tile is taken from another column or left undefined.
      if (gzip && bytes > 0) {
        const std::uint64_t at =
            static_cast<std::uint64_t>(data) + static_cast<std::uint64_t>(heap_start) + static_cast<std::uint64_t>(offset);
        const GzipTile tile = check_gzip_tile(read_at, at, bytes);
        if (tile != GzipTile::ends) {
          why = tile == GzipTile::cut ? kFitsDecompression : kFitsUnreadable;
          return false;
        }
      }
    }
  }
  return true;
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
    // Without a column of that name among the table's own fields, cfitsio
    // takes the tiles' places from where no column is.
    int column = 0;
    int type = 0;
    LONGLONG repeat = 0, width = 0;
    char name[] = "COMPRESSED_DATA";
    if (fits_get_colnum(raw, CASEINSEN, name, &column, &status) != 0 ||
        fits_get_coltypell(raw, column, &type, &repeat, &width, &status) != 0 || type >= 0) {
      why = fits_reason(status != 0 ? status : BAD_TFORM);
      return false;
    }
    const std::uint64_t plausible = file_size <= UINT64_MAX / kMaxPixelsPerCompressedByte
                                        ? file_size * kMaxPixelsPerCompressedByte
                                        : UINT64_MAX;
    if (pixels > plausible || static_cast<std::uint64_t>(info.planes) > plausible / pixels) {
      why = kSizeAgainstLength;
      return false;
    }
    if (!check_tiles(raw, naxis, plausible, info, why) || !check_heap(raw, read_at, file_size, why))
      return false;
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

// Every plane read as read_fits_plane reads it, the values dropped; one
// that cfitsio refuses does not end the reading, as a reader may still
// go on to the next.
void unpack_all(const FitsHandle& file, const FitsInfo& info) {
  std::string ignored;
  for (std::int64_t p = 0; p < info.planes; ++p)
    read_fits_plane(file, info, p, [](std::int32_t, std::span<const double>) {}, ignored);
}

// The checks of read_fits_info on the file at path, opened in file.
bool look_at_file(const std::string& path, std::uint64_t file_size, FitsHandle& file, FitsInfo& info,
                  std::string& why) {
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

// The checks of read_fits_info on bytes, held in memory.
bool look_at_bytes(std::span<const std::uint8_t> bytes, FitsMemory& memory, FitsInfo& info, std::string& why) {
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

// cfitsio trusts what it reads more than a reader of untrusted files can:
// a damaged header can make it divide by zero, a damaged tile make its
// decoders read or write past a buffer (a Rice tile read past its end, a
// lossless float tile said to hold doubles), and no look at the bytes
// short of cfitsio's own work rules that out. So each file is first
// opened, checked and, if compressed, unpacked by a checker: a child
// process, forked at the first file and then kept, which takes one file
// at a time over a socket pair and answers once it is done with it. A
// file that kills the checker is refused instead of taking the import
// down; the next file gets a new checker. Once a file passed, the same
// calls on the same bytes here take the same course.
struct Checker {
  pid_t pid = -1;
  FileHandle socket;

  ~Checker();
};

// The time the checker gets for a file: a base, and more for each MiB of
// the file, as what cfitsio unpacks grows with the file's size.
constexpr std::int64_t kCheckSeconds = 1;
constexpr std::int64_t kCheckSecondsPerMiB = 1;

// What the checker is asked: a file by its path (the payload) and size,
// or a file's bytes (the payload).
struct CheckRequest {
  // Sent as its bytes: fields of one width leave no padding unset.
  std::uint64_t in_memory = 0;
  std::uint64_t file_size = 0;
  std::uint64_t payload = 0;
};

bool send_all(int socket, const void* data, std::size_t size) {
  const auto* at = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(socket, at, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    at += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool receive_all(int socket, void* data, std::size_t size) {
  auto* at = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t got = ::recv(socket, at, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// The checker's life: a request at a time until the parent closes its end.
[[noreturn]] void serve(int socket) {
  // A library's crash report is no message for the user: the refusal is.
  const int quiet = ::open("/dev/null", O_WRONLY);
  if (quiet >= 0) ::dup2(quiet, STDERR_FILENO);
  for (;;) {
    CheckRequest request;
    std::string payload;
    if (!receive_all(socket, &request, sizeof request)) ::_exit(0);
    payload.resize(static_cast<std::size_t>(request.payload));
    if (!receive_all(socket, payload.data(), payload.size())) ::_exit(0);
    FitsInfo found;
    std::string ignored;
    if (request.in_memory != 0) {
      FitsMemory memory;
      const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
      if (look_at_bytes(bytes, memory, found, ignored) && found.compressed) unpack_all(memory.file, found);
    } else {
      FitsHandle file;
      if (look_at_file(payload, request.file_size, file, found, ignored) && found.compressed) unpack_all(file, found);
    }
    const std::uint8_t done = 1;
    if (!send_all(socket, &done, 1)) ::_exit(0);
  }
}

// Closes the parent's end (the checker then ends) and waits for the
// checker; true when it ended by a signal or a failure of its own.
bool stop(Checker& checker) {
  checker.socket = FileHandle();
  int status = 0;
  if (checker.pid > 0)
    while (::waitpid(checker.pid, &status, 0) < 0 && errno == EINTR) {
    }
  checker.pid = -1;
  return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
}

Checker::~Checker() { stop(*this); }

bool start(Checker& checker) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  FileHandle ours(ends[0]);
  FileHandle theirs(ends[1]);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // A checker stuck in cfitsio must not outlive the program.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ours.close();
    serve(theirs.get());
  }
  checker.pid = child;
  checker.socket = std::move(ours);
  return true;
}

// True once the checker is done with the file; else the reason.
bool checked(const CheckRequest& request, const void* payload, std::string& why) {
  static std::mutex one_at_a_time;
  static Checker checker;
  const std::lock_guard<std::mutex> lock(one_at_a_time);
  if (checker.pid < 0 && !start(checker)) {
    why = kFitsNoTrial;
    return false;
  }
  if (!send_all(checker.socket.get(), &request, sizeof request) ||
      !send_all(checker.socket.get(), payload, static_cast<std::size_t>(request.payload))) {
    why = stop(checker) ? kFitsFatal : kFitsNoTrial;
    return false;
  }
  // What cfitsio unpacks is bounded by the file's size, and so is the
  // time it takes; a decoder that runs on past that is stopped.
  const std::uint64_t size = request.in_memory != 0 ? request.payload : request.file_size;
  const auto limit = std::chrono::seconds(kCheckSeconds + static_cast<std::int64_t>(size >> 20) * kCheckSecondsPerMiB);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd answer = {checker.socket.get(), POLLIN, 0};
    const int wait = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
    const int ready = wait > 0 ? ::poll(&answer, 1, wait) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      ::kill(checker.pid, SIGKILL);
      stop(checker);
      why = text_format(kFitsTooSlow, static_cast<long long>(limit.count()));
      return false;
    }
    break;
  }
  std::uint8_t done = 0;
  if (receive_all(checker.socket.get(), &done, 1)) return true;
  why = stop(checker) ? kFitsFatal : kFitsNoTrial;
  return false;
}

}  // namespace

bool read_fits_info(const std::string& path, std::uint64_t file_size, FitsInfo& info, std::string& why) {
  if (!checked(CheckRequest{0, file_size, path.size()}, path.data(), why)) return false;
  FitsHandle file;
  return look_at_file(path, file_size, file, info, why);
}

bool read_fits_info(std::span<const std::uint8_t> bytes, FitsMemory& memory, FitsInfo& info, std::string& why) {
  memory.file.reset();
  info = FitsInfo{};
  return checked(CheckRequest{1, 0, bytes.size()}, bytes.data(), why) && look_at_bytes(bytes, memory, info, why);
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
  const auto width = static_cast<std::size_t>(info.width);
  // Bands of whole tile rows where they fit, else of as many rows as fit;
  // uncompressed, bands of a few rows, each one call into cfitsio.
  std::int64_t band = static_cast<std::int64_t>(std::max<std::size_t>(kPlainBandBytes / sizeof(double) / width, 1));
  band = std::min<std::int64_t>(band, info.height);
  if (info.compressed) {
    const auto fit = static_cast<std::int64_t>(std::max<std::size_t>(kMaxBandBytes / sizeof(double) / width, 1));
    band = info.tile_rows <= fit ? fit / info.tile_rows * info.tile_rows : fit;
    band = std::min<std::int64_t>(band, info.height);
  }
  std::vector<double> values(width * static_cast<std::size_t>(band));
  double undefined = std::numeric_limits<double>::quiet_NaN();
  for (std::int32_t r = 0; r < info.height;) {
    const auto rows = static_cast<std::int32_t>(std::min<std::int64_t>(band, info.height - r));
    LONGLONG first[3] = {1, r + 1, plane + 1};
    int status = 0;
    int any_undefined = 0;
    if (fits_read_pixll(as_fits(file.get()), TDOUBLE, first, static_cast<LONGLONG>(width) * rows, &undefined,
                        values.data(), &any_undefined, &status) != 0) {
      why = fits_reason(status);
      return false;
    }
    for (std::int32_t k = 0; k < rows; ++k, ++r)
      row(info.height - 1 - r, std::span<const double>(values).subspan(static_cast<std::size_t>(k) * width, width));
  }
  return true;
}

}  // namespace kadrix::import
