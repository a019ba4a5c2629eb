#include "tools/readout/result_pair.h"

#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <new>

#include "bmp/bmp_reader.h"

namespace kadrix::inspect {

namespace {

const char* fault_reason(BmpFault fault) {
  switch (fault) {
    case BmpFault::none: break;
    case BmpFault::short_header: return "krotszy niz naglowki BMP";
    case BmpFault::no_signature: return "brak sygnatury BM";
    case BmpFault::small_info_header: return "naglowek informacyjny krotszy niz 40 bajtow";
    case BmpFault::unsupported_bits: return "nie 8 bitow na piksel";
    case BmpFault::compressed: return "obraz skompresowany";
    case BmpFault::bad_data_offset: return "dane pikseli wewnatrz naglowkow";
    case BmpFault::bad_width: return "szerokosc nie jest dodatnia";
    case BmpFault::bad_height: return "zla wysokosc";
    case BmpFault::too_many_pixels: return "za duzo pikseli";
    case BmpFault::short_pixels: return "plik urwany przed koncem pikseli";
    case BmpFault::read_failed: return "blad odczytu pikseli";
  }
  return "zly naglowek";
}

PairError bad_file(const std::string& path, const char* reason) {
  return {PairFault::bad_file, path, "", reason};
}

// Opens one file of the pair and checks what every result file must be.
PairError open_result(const std::string& path, BmpFile& bmp, FileId& id) {
  BmpFault fault = BmpFault::none;
  const FrameRead opened = open_bmp(path, bmp, fault);
  if (opened == FrameRead::absent) return {PairFault::missing, path, "", ""};
  if (opened == FrameRead::unusable) return bad_file(path, fault_reason(fault));
  // The reader also takes 24 and 32 bits; results are 8-bit only.
  if (bmp.layout.bits != 8) return bad_file(path, fault_reason(BmpFault::unsupported_bits));
  struct stat info {};
  if (::fstat(bmp.file.get(), &info) != 0) return {PairFault::missing, path, "", ""};
  id = {info.st_dev, info.st_ino};
  return {};
}

}  // namespace

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

PairError load_result_pair(const std::string& prefix, ResultPair& out) {
  out.sr_path = prefix + "SR.BMP";
  out.ss_path = prefix + "SS.BMP";
  BmpFile sr;
  BmpFile ss;
  if (PairError e = open_result(out.sr_path, sr, out.sr_id); e.fault != PairFault::none) return e;
  if (PairError e = open_result(out.ss_path, ss, out.ss_id); e.fault != PairFault::none) return e;

  std::vector<std::uint8_t> palette;
  if (!read_bmp_palette(ss, palette)) return bad_file(out.ss_path, fault_reason(BmpFault::read_failed));
  const std::optional<PaletteStats> stats = parse_palette_stats(palette);
  if (!stats) return bad_file(out.ss_path, "brak statystyk kadrix w palecie");

  if (sr.layout.width != ss.layout.width || sr.layout.height != ss.layout.height)
    return {PairFault::size_mismatch, out.sr_path, out.ss_path, ""};

  out.width = sr.layout.width;
  out.height = sr.layout.height;
  out.stats = *stats;
  try {
    // The header guards tie width * height to bytes the files hold, so this
    // is never more than twice their pixel data.
    const std::size_t width = static_cast<std::size_t>(out.width);
    out.codes.assign(width * static_cast<std::size_t>(out.height), 0);
    const bool sr_read = read_bmp_rows(sr, [&](std::int32_t y, std::span<const std::uint8_t> row) {
      std::uint16_t* codes = out.codes.data() + width * static_cast<std::size_t>(y);
      for (std::size_t x = 0; x < width; ++x) codes[x] = static_cast<std::uint16_t>(row[x] << 8);
    });
    if (!sr_read) return bad_file(out.sr_path, fault_reason(BmpFault::read_failed));
    const bool ss_read = read_bmp_rows(ss, [&](std::int32_t y, std::span<const std::uint8_t> row) {
      std::uint16_t* codes = out.codes.data() + width * static_cast<std::size_t>(y);
      for (std::size_t x = 0; x < width; ++x) codes[x] = static_cast<std::uint16_t>(codes[x] | row[x]);
    });
    if (!ss_read) return bad_file(out.ss_path, fault_reason(BmpFault::read_failed));
  } catch (const std::bad_alloc&) {
    out.codes = {};
    return {PairFault::out_of_memory, out.sr_path, out.ss_path, ""};
  }
  return {};
}

}  // namespace kadrix::inspect
