#include "bmp/bmp_reader.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace kadrix {

namespace {

std::uint32_t le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8;
}

std::int32_t le32_signed(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::int32_t>(read_le32(b, at));
}

// Rows are read in chunks of about this size: few system calls, little memory.
constexpr std::uint64_t kChunkBytes = 1 << 20;

bool bit_count_taken(std::uint32_t bits, BitCounts taken) {
  if (bits == 8) return true;
  return taken == BitCounts::eight_or_colour && (bits == 24 || bits == 32);
}

}  // namespace

std::uint32_t read_le32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return le16(bytes, at) | le16(bytes, at + 2) << 16;
}

BmpCheck parse_bmp_header(std::span<const std::uint8_t> header, std::uint64_t file_size, BmpLayout& layout,
                          BitCounts taken) {
  if (header.size() < static_cast<std::size_t>(kBmpHeaderBytes) || file_size < kBmpHeaderBytes)
    return {BmpFault::short_header};
  if (header[0] != 'B' || header[1] != 'M') return {BmpFault::no_signature};
  const std::uint64_t info_size = read_le32(header, 14);
  if (info_size < 40) return {BmpFault::small_info_header};
  const std::uint32_t bits = le16(header, 28);
  if (!bit_count_taken(bits, taken)) return {BmpFault::bit_count, static_cast<std::int32_t>(bits)};
  if (read_le32(header, 30) != 0) return {BmpFault::compression, le32_signed(header, 30)};
  const std::uint64_t data_offset = read_le32(header, 10);
  if (data_offset < kBmpFileHeaderBytes + info_size) return {BmpFault::data_offset};
  const std::int32_t stored_width = le32_signed(header, 18);
  if (stored_width <= 0) return {BmpFault::width, stored_width};
  const std::int32_t stored_height = le32_signed(header, 22);
  if (stored_height == 0 || stored_height == std::numeric_limits<std::int32_t>::min())
    return {BmpFault::height, stored_height};
  const std::int64_t width = stored_width;
  const std::int64_t height = stored_height < 0 ? -std::int64_t{stored_height} : stored_height;
  if (width * height > std::numeric_limits<std::int32_t>::max()) return {BmpFault::pixel_count};

  BmpLayout checked;
  checked.width = static_cast<std::int32_t>(width);
  checked.height = static_cast<std::int32_t>(height);
  checked.bits = static_cast<std::int32_t>(bits);
  checked.top_down = stored_height < 0;
  checked.data_offset = data_offset;
  // Within these bounds every product below fits easily in 64 bits.
  checked.stride = (checked.row_bytes() + 3) / 4 * 4;
  // The last row stored may lack its padding and still be whole.
  if (data_offset + checked.block_bytes() > file_size) return {BmpFault::short_pixels};
  layout = checked;
  return {};
}

BmpOpen open_bmp(const std::string& path, BmpFile& out, BmpCheck& check, BitCounts bits) {
  std::uint64_t size = 0;
  FileHandle file = open_regular_file(path, size);
  if (!file.valid()) return BmpOpen::absent;
  std::uint8_t header[kBmpHeaderBytes];
  const std::size_t got = read_some_at(file.get(), header, 0);
  check = parse_bmp_header(std::span<const std::uint8_t>(header, got), size, out.layout, bits);
  if (!check.ok()) return BmpOpen::unusable;
  out.file = std::move(file);
  return BmpOpen::ok;
}

bool read_bmp_rows(const BmpFile& bmp,
                   const std::function<void(std::int32_t y, std::span<const std::uint8_t> row)>& row) {
  const BmpLayout& layout = bmp.layout;
  const std::uint64_t row_bytes = layout.row_bytes();
  const std::uint64_t rows_per_chunk = std::max<std::uint64_t>(1, kChunkBytes / layout.stride);
  const std::uint64_t rows = static_cast<std::uint64_t>(layout.height);
  const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(
      static_cast<std::size_t>(layout.stride * std::min(rows_per_chunk, rows)));

  for (std::uint64_t first = 0; first < rows; first += rows_per_chunk) {
    const std::uint64_t count = std::min(rows_per_chunk, rows - first);
    const std::uint64_t bytes = layout.stride * (count - 1) + row_bytes;
    const std::span<std::uint8_t> part(chunk.get(), static_cast<std::size_t>(bytes));
    if (!read_exact_at(bmp.file.get(), part, layout.data_offset + layout.stride * first)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      row(layout.image_row(static_cast<std::int32_t>(first + i)),
          part.subspan(static_cast<std::size_t>(layout.stride * i), static_cast<std::size_t>(row_bytes)));
    }
  }
  return true;
}

bool read_bmp_block(const BmpFile& bmp, std::span<std::uint8_t> block) {
  return read_exact_at(bmp.file.get(), block.first(static_cast<std::size_t>(bmp.layout.block_bytes())),
                       bmp.layout.data_offset);
}

bool read_bmp_palette(const BmpFile& bmp, std::vector<std::uint8_t>& palette) {
  palette.clear();
  std::uint8_t size_bytes[4];
  if (!read_exact_at(bmp.file.get(), size_bytes, kBmpFileHeaderBytes)) return false;
  // The checked layout puts the data offset past the information header;
  // tested again since the size is read anew from the file.
  const std::uint64_t start = kBmpFileHeaderBytes + std::uint64_t{read_le32(size_bytes, 0)};
  if (start >= bmp.layout.data_offset) return true;
  const std::uint64_t bytes = std::min<std::uint64_t>(bmp.layout.data_offset - start, 1024);
  palette.resize(static_cast<std::size_t>(bytes));
  return read_exact_at(bmp.file.get(), palette, start);
}

}  // namespace kadrix
