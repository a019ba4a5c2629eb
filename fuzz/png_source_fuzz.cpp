// Fuzzing kadrix-import's PNG source through libpng, from memory.
//
// An input that begins with the PNG signature (the importer picks the
// reader by it) has the checksum of each whole chunk made right first, so
// that mutations reach past libpng's CRC check into the chunks and the
// image data; then it goes through the importer's header checks, and an
// image they take is read. Checked beyond "no crash, no sanitizer report":
//  - a refusal names its reason;
//  - a header taken has a sane size and depth;
//  - a read that succeeds hands over every row once, top first, the width
//    of the image, each value whole and within the depth (0 to 255, or to
//    65535 for 16 bits).

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "tools/import/png_source.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const std::uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t big32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
         static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

// Sets the CRC of every chunk that lies whole in the bytes.
void fix_checksums(std::vector<std::uint8_t>& png) {
  std::size_t at = 8;
  while (at + 12 <= png.size()) {
    const std::uint64_t length = big32(&png[at]);
    if (length > png.size() - at - 12) break;
    const auto body = static_cast<std::size_t>(length) + 4;
    const std::uint32_t crc = crc32(std::span<const std::uint8_t>(&png[at + 4], body));
    for (int i = 0; i < 4; ++i) png[at + 4 + body + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    at += body + 8;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8 || std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) != 0) return 0;
  std::vector<std::uint8_t> png(data, data + size);
  fix_checksums(png);

  kadrix::import::PngInfo info;
  std::string why;
  if (!kadrix::import::read_png_info(png, info, why)) {
    check(!why.empty(), "refused without a reason");
    return 0;
  }
  check(info.width > 0 && info.height > 0, "empty image taken");
  check(static_cast<std::uint64_t>(info.width) * static_cast<std::uint64_t>(info.height) <= INT32_MAX, "pixel count");
  const int depth = info.bit_depth;
  check(depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16, "bit depth taken");
  const double top = depth == 16 ? 65535 : 255;

  std::int32_t next_row = 0;
  const bool read = kadrix::import::read_png_image(
      png, info,
      [&](std::int32_t y, std::span<const double> values) {
        check(y == next_row++, "rows out of order");
        check(values.size() == static_cast<std::size_t>(info.width), "row of the wrong width");
        for (const double v : values) check(v >= 0 && v <= top && v == std::floor(v), "grey value out of range");
      },
      why);
  if (read) check(next_row == info.height, "rows missing");
  else check(!why.empty(), "read failed without a reason");
  return 0;
}
