#include "tools/import/ser_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kadrix::import {

namespace {

constexpr char kSignature[] = "LUCAM-RECORDER";
constexpr std::size_t kSignatureBytes = sizeof kSignature - 1;
constexpr std::int32_t kMono = 0;
constexpr std::int32_t kRgb = 100;
constexpr std::int32_t kBgr = 101;

// Rows are read a block at a time, so a narrow frame does not cost a read
// per row.
constexpr std::uint64_t kReadBlockBytes = 1 << 18;

std::int32_t read_int32(std::span<const std::uint8_t> bytes, std::size_t at) {
  const std::uint32_t value = static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
                              static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
                              static_cast<std::uint32_t>(bytes[at + 3]) << 24;
  return static_cast<std::int32_t>(value);
}

}  // namespace

const char* ser_bayer_pattern(std::int32_t color_id) {
  switch (color_id) {
    case 8: return "RGGB";
    case 9: return "GRBG";
    case 10: return "GBRG";
    case 11: return "BGGR";
    case 16: return "CYYM";
    case 17: return "YCMY";
    case 18: return "YMCY";
    case 19: return "MYYC";
    default: return nullptr;
  }
}

SerCheck parse_ser_header(std::span<const std::uint8_t> bytes, std::uint64_t file_size, SerHeader& header) {
  header = SerHeader{};
  if (bytes.size() < kSerHeaderBytes || file_size < kSerHeaderBytes) return {SerFault::short_header, 0};
  if (std::memcmp(bytes.data(), kSignature, kSignatureBytes) != 0) return {SerFault::no_signature, 0};

  header.color_id = read_int32(bytes, 18);
  header.little_endian = read_int32(bytes, 22);
  header.width = read_int32(bytes, 26);
  header.height = read_int32(bytes, 30);
  header.depth = read_int32(bytes, 34);
  header.frame_count = read_int32(bytes, 38);

  if (ser_bayer_pattern(header.color_id) != nullptr) return {SerFault::bayer, header.color_id};
  if (header.color_id == kMono) header.planes = 1;
  else if (header.color_id == kRgb || header.color_id == kBgr) header.planes = 3;
  else return {SerFault::colour, header.color_id};
  if (header.depth < 1 || header.depth > 16) return {SerFault::depth, header.depth};
  header.sample_bytes = header.depth <= 8 ? 1 : 2;
  if (header.width <= 0) return {SerFault::width, header.width};
  if (header.height <= 0) return {SerFault::height, header.height};
  const std::uint64_t pixels = static_cast<std::uint64_t>(header.width) * static_cast<std::uint64_t>(header.height);
  if (pixels > static_cast<std::uint64_t>(INT32_MAX)) return {SerFault::pixel_count, 0};
  if (header.frame_count < 0) return {SerFault::frame_count, header.frame_count};

  // At most 2^31 pixels of 6 bytes: no product below can overflow.
  const auto sample_bytes = static_cast<std::uint64_t>(header.planes * header.sample_bytes);
  header.row_bytes = static_cast<std::uint64_t>(header.width) * sample_bytes;
  header.frame_bytes = pixels * sample_bytes;
  const std::uint64_t room = (file_size - kSerHeaderBytes) / header.frame_bytes;
  if (static_cast<std::uint64_t>(header.frame_count) > room) return {SerFault::truncated, static_cast<std::int64_t>(room)};
  return {};
}

bool ser_big_endian(const SerHeader& header, SerByteOrder order) {
  switch (order) {
    case SerByteOrder::little: return false;
    case SerByteOrder::big: return true;
    case SerByteOrder::from_header: break;
  }
  return header.little_endian == 0;
}

void ser_grey_row(const SerHeader& header, bool big_endian, std::span<const std::uint8_t> raw,
                  std::span<std::uint32_t> grey) {
  const std::uint32_t top = (1u << header.depth) - 1;
  const auto width = static_cast<std::size_t>(header.width);
  const auto planes = static_cast<std::size_t>(header.planes);
  const std::size_t high = big_endian ? 0 : 1;  // where a pair's high byte sits
  const auto sample = [&](std::size_t i) -> std::uint32_t {
    if (header.sample_bytes == 1) return raw[i];
    return static_cast<std::uint32_t>(raw[2 * i + high]) << 8 | raw[2 * i + (1 - high)];
  };
  for (std::size_t x = 0; x < width; ++x) {
    if (planes == 1) {
      const std::uint32_t v = sample(x);
      grey[x] = v > top ? kSerOverRange : v;
      continue;
    }
    std::uint32_t s[3] = {sample(3 * x), sample(3 * x + 1), sample(3 * x + 2)};
    if (s[0] > top || s[1] > top || s[2] > top) {
      grey[x] = kSerOverRange;
      continue;
    }
    if (header.color_id == kBgr) std::swap(s[0], s[2]);
    grey[x] = (299 * s[0] + 587 * s[1] + 114 * s[2] + 500) / 1000;
  }
}

SerOpen open_ser(const std::string& path, SerFile& out, SerCheck& check) {
  std::uint64_t size = 0;
  FileHandle file = open_regular_file(path, size);
  if (!file.valid()) return SerOpen::absent;
  std::uint8_t bytes[kSerHeaderBytes];
  const std::size_t got = read_some_at(file.get(), bytes, 0);
  check = parse_ser_header(std::span<const std::uint8_t>(bytes, got), size, out.header);
  if (!check.ok()) return SerOpen::unusable;
  out.file = std::move(file);
  return SerOpen::ok;
}

bool read_ser_frame(const SerFile& ser, std::int32_t index, SerByteOrder order,
                    const std::function<void(std::int32_t y, std::span<const std::uint32_t> grey)>& row) {
  const SerHeader& h = ser.header;
  if (index < 0 || index >= h.frame_count) return false;
  const bool big_endian = ser_big_endian(h, order);
  const std::uint64_t rows_a_block = std::max<std::uint64_t>(1, kReadBlockBytes / h.row_bytes);
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(rows_a_block, static_cast<std::uint64_t>(h.height)) * h.row_bytes));
  std::vector<std::uint32_t> grey(static_cast<std::size_t>(h.width));
  const std::uint64_t frame_start = kSerHeaderBytes + static_cast<std::uint64_t>(index) * h.frame_bytes;
  for (std::int32_t y = 0; y < h.height;) {
    const auto rows = static_cast<std::int32_t>(std::min<std::uint64_t>(rows_a_block, static_cast<std::uint64_t>(h.height - y)));
    const std::span<std::uint8_t> bytes(block.data(), static_cast<std::size_t>(rows) * h.row_bytes);
    if (!read_exact_at(ser.file.get(), bytes, frame_start + static_cast<std::uint64_t>(y) * h.row_bytes)) return false;
    for (std::int32_t r = 0; r < rows; ++r) {
      ser_grey_row(h, big_endian, bytes.subspan(static_cast<std::size_t>(r) * h.row_bytes, h.row_bytes), grey);
      row(y + r, grey);
    }
    y += rows;
  }
  return true;
}

}  // namespace kadrix::import
