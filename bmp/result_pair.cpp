#include "bmp/result_pair.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "bmp/replace_files.h"

namespace kadrix {

BmpPalette stats_palette(double level, double sigma, std::int32_t frame_count) {
  BmpPalette palette = grey_palette();
  put_le32(&palette[0], std::bit_cast<std::uint32_t>(static_cast<float>(level)));
  put_le32(&palette[4], std::bit_cast<std::uint32_t>(static_cast<float>(sigma)));
  put_le32(&palette[8], static_cast<std::uint32_t>(frame_count));
  return palette;
}

std::optional<PaletteStats> parse_palette_stats(std::span<const std::uint8_t> palette) {
  if (palette.size() < 12) return std::nullopt;
  PaletteStats stats;
  stats.level = std::bit_cast<float>(read_le32(palette, 0));
  stats.sigma = std::bit_cast<float>(read_le32(palette, 4));
  stats.frame_count = static_cast<std::int32_t>(read_le32(palette, 8));
  // kadrix analyses 2 to 100 frames, and a mean of byte samples stays
  // within 0 to 255. The comparisons also refuse NaN; a sign bit on zero
  // cannot come from a sum of non-negative samples either.
  const bool level_ok = stats.level >= 0.0f && stats.level <= 255.0f && !std::signbit(stats.level);
  const bool sigma_ok = stats.sigma >= 0.0f && std::isfinite(stats.sigma) && !std::signbit(stats.sigma);
  const bool frames_ok = stats.frame_count >= 2 && stats.frame_count <= 100;
  if (!level_ok || !sigma_ok || !frames_ok) return std::nullopt;
  return stats;
}

std::string result_path(const std::string& prefix, ResultFile which) {
  return prefix + (which == ResultFile::sr ? "SR.BMP" : "SS.BMP");
}

std::size_t result_block_bytes(std::int32_t width, std::int32_t height) {
  return bmp_row_stride(width) * static_cast<std::size_t>(height);
}

void encode_result_images(const ResultImages& images, std::int32_t first_row, std::int32_t end_row,
                          std::span<std::uint8_t> sr, std::span<std::uint8_t> ss) {
  const std::size_t width = static_cast<std::size_t>(images.width);
  const std::size_t stride = bmp_row_stride(images.width);
  for (std::int32_t y = std::max(first_row, 0); y < std::min(end_row, images.height); ++y) {
    // Image row y is file row height - 1 - y. Locals the byte stores cannot
    // alias, so the loop runs vectorized.
    const std::size_t at = stride * static_cast<std::size_t>(images.height - 1 - y);
    const double* __restrict mean = images.mean.data() + width * static_cast<std::size_t>(y);
    const std::uint8_t* __restrict flag = images.detections.data() + width * static_cast<std::size_t>(y);
    std::uint8_t* __restrict sr_row = sr.data() + at;
    std::uint8_t* __restrict ss_row = ss.data() + at;
    for (std::size_t x = 0; x < width; ++x) {
      const std::int32_t code = result_code(mean[x], flag[x]);
      sr_row[x] = static_cast<std::uint8_t>(sr_value(code));
      ss_row[x] = static_cast<std::uint8_t>(ss_value(code));
    }
    for (std::size_t x = width; x < stride; ++x) sr_row[x] = ss_row[x] = 0;
  }
}

std::optional<std::string> write_result_pair(const std::string& prefix, const EncodedPair& encoded,
                                             std::vector<FileHandle>* replaced) {
  PendingGroup pair({result_path(prefix, ResultFile::sr), result_path(prefix, ResultFile::ss)});
  if (!write_bmp_stored(pair[0].temp_path, encoded.width, encoded.height, grey_palette(), encoded.sr))
    return pair[0].final_path;
  if (!write_bmp_stored(pair[1].temp_path, encoded.width, encoded.height,
                        stats_palette(encoded.level, encoded.sigma, encoded.frame_count), encoded.ss))
    return pair[1].final_path;
  const int failed = pair.commit(true, replaced);
  if (failed >= 0) return pair[static_cast<std::size_t>(failed)].final_path;
  return std::nullopt;
}

std::optional<std::string> write_result_images(const std::string& prefix, const ResultImages& images) {
  const std::size_t block = result_block_bytes(images.width, images.height);
  std::vector<std::uint8_t> bytes(2 * block);
  const std::span<std::uint8_t> sr = std::span(bytes).first(block);
  const std::span<std::uint8_t> ss = std::span(bytes).subspan(block);
  encode_result_images(images, 0, images.height, sr, ss);
  return write_result_pair(prefix, {images.width, images.height, sr, ss, images.level, images.sigma,
                                    images.frame_count});
}

namespace {

PairError bad_file(const std::string& path, BmpCheck check) { return {PairFault::bad_file, path, "", check}; }

// Opens one file of the pair and checks what every result file must be.
PairError open_result(const std::string& path, BmpFile& bmp, FileId& id) {
  BmpCheck check;
  const BmpOpen opened = open_bmp(path, bmp, check, BitCounts::eight_or_colour);
  if (opened == BmpOpen::absent) return {PairFault::missing, path, "", {}};
  if (opened == BmpOpen::unusable) return bad_file(path, check);
  // Colour files pass the header check so that their other faults are
  // named first; results are 8-bit only.
  if (bmp.layout.bits != 8) return bad_file(path, {BmpFault::bit_count, bmp.layout.bits});
  struct stat info {};
  if (::fstat(bmp.file.get(), &info) != 0) return {PairFault::missing, path, "", {}};
  id = {info.st_dev, info.st_ino};
  return {};
}

}  // namespace

PairError read_result_pair(const std::string& prefix, ResultPair& out) {
  out.sr_path = result_path(prefix, ResultFile::sr);
  out.ss_path = result_path(prefix, ResultFile::ss);
  BmpFile sr;
  BmpFile ss;
  if (PairError e = open_result(out.sr_path, sr, out.sr_id); e.fault != PairFault::none) return e;
  if (PairError e = open_result(out.ss_path, ss, out.ss_id); e.fault != PairFault::none) return e;

  std::vector<std::uint8_t> palette;
  if (!read_bmp_palette(ss, palette)) return bad_file(out.ss_path, {BmpFault::read_failed});
  const std::optional<PaletteStats> stats = parse_palette_stats(palette);
  if (!stats) return {PairFault::no_statistics, out.ss_path, "", {}};

  if (sr.layout.width != ss.layout.width || sr.layout.height != ss.layout.height)
    return {PairFault::size_mismatch, out.sr_path, out.ss_path, {}};

  out.width = sr.layout.width;
  out.height = sr.layout.height;
  out.stats = *stats;
  try {
    // The header checks tie width * height to bytes the files hold, so this
    // is never more than twice their pixel data.
    const std::size_t width = static_cast<std::size_t>(out.width);
    out.codes.assign(width * static_cast<std::size_t>(out.height), 0);
    const bool sr_read = read_bmp_rows(sr, [&](std::int32_t y, std::span<const std::uint8_t> row) {
      std::uint16_t* codes = out.codes.data() + width * static_cast<std::size_t>(y);
      for (std::size_t x = 0; x < width; ++x) codes[x] = static_cast<std::uint16_t>(row[x] << 8);
    });
    if (!sr_read) return bad_file(out.sr_path, {BmpFault::read_failed});
    const bool ss_read = read_bmp_rows(ss, [&](std::int32_t y, std::span<const std::uint8_t> row) {
      std::uint16_t* codes = out.codes.data() + width * static_cast<std::size_t>(y);
      for (std::size_t x = 0; x < width; ++x) codes[x] = pixel_code(static_cast<std::uint8_t>(codes[x] >> 8), row[x]);
    });
    if (!ss_read) return bad_file(out.ss_path, {BmpFault::read_failed});
  } catch (const std::bad_alloc&) {
    out.codes = {};
    return {PairFault::out_of_memory, out.sr_path, out.ss_path, {}};
  }
  return {};
}

}  // namespace kadrix
