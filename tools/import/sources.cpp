#include "tools/import/sources.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "bmp/file_io.h"
#include "tools/import/pixel_map.h"

namespace kadrix::import {

namespace {

bool starts_with(const std::uint8_t* bytes, std::size_t size, const char* magic, std::size_t magic_size) {
  return size >= magic_size && std::memcmp(bytes, magic, magic_size) == 0;
}

std::string ser_reason(const SerCheck& check, const SerHeader& header) {
  char text[160];
  switch (check.fault) {
    case SerFault::none: return "";
    case SerFault::short_header: return "krotszy niz naglowek SER (178 bajtow)";
    case SerFault::no_signature: return "brak sygnatury LUCAM-RECORDER";
    case SerFault::bayer:
      std::snprintf(text, sizeof text,
                    "mozaika Bayera %s (ColorID %d) nie jest obslugiwana, tylko MONO, RGB i BGR",
                    ser_bayer_pattern(static_cast<std::int32_t>(check.value)), static_cast<int>(check.value));
      return text;
    case SerFault::colour:
      std::snprintf(text, sizeof text, "nieznany ColorID %d", static_cast<int>(check.value));
      return text;
    case SerFault::depth:
      std::snprintf(text, sizeof text, "glebia %d bitow nie jest obslugiwana (tylko 1 do 16)",
                    static_cast<int>(check.value));
      return text;
    case SerFault::width:
      std::snprintf(text, sizeof text, "zla szerokosc %d", static_cast<int>(check.value));
      return text;
    case SerFault::height:
      std::snprintf(text, sizeof text, "zla wysokosc %d", static_cast<int>(check.value));
      return text;
    case SerFault::pixel_count: return "za duzo pikseli w klatce";
    case SerFault::frame_count:
      std::snprintf(text, sizeof text, "zla liczba klatek %d", static_cast<int>(check.value));
      return text;
    case SerFault::truncated:
      std::snprintf(text, sizeof text, "plik urwany: naglowek podaje klatek %d, plik miesci pelnych %lld",
                    static_cast<int>(header.frame_count), static_cast<long long>(check.value));
      return text;
    case SerFault::read_failed: return "blad odczytu";
  }
  return "zly naglowek SER";
}

SourceError describe_ser(const std::string& path, SourceInfo& info) {
  SerFile ser;
  SerCheck check;
  const SerOpen opened = open_ser(path, ser, check);
  if (opened == SerOpen::absent) return {SourceFault::absent, ""};
  if (opened == SerOpen::unusable) return {SourceFault::bad, ser_reason(check, ser.header)};
  const SerHeader& h = ser.header;
  info.width = h.width;
  info.height = h.height;
  info.frames = h.frame_count;
  info.ser_depth = h.depth;
  const char* colour = h.color_id == 0 ? "MONO" : h.color_id == 100 ? "RGB" : "BGR";
  char text[160];
  std::snprintf(text, sizeof text, "SER %d x %d, %s, %d bitow", h.width, h.height, colour, h.depth);
  info.summary = text;
  return {};
}

SourceError describe_fits(const std::string& path, std::uint64_t size, SourceInfo& info) {
  std::string why;
  if (!read_fits_info(path, size, info.fits, why)) return {SourceFault::bad, why};
  const FitsInfo& f = info.fits;
  info.width = f.width;
  info.height = f.height;
  info.frames = f.planes;
  info.integer = f.integer();
  char text[200];
  int used = std::snprintf(text, sizeof text, "FITS %d x %d, BITPIX %d", f.width, f.height, f.bitpix);
  const auto add = [&](const char* format, const std::string& value) {
    if (used >= 0 && static_cast<std::size_t>(used) < sizeof text)
      used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), format, value.c_str());
  };
  if (f.bzero != 0) add(", BZERO %s", shortest_text(f.bzero));
  if (f.bscale != 1) add(", BSCALE %s", shortest_text(f.bscale));
  if (f.compressed) add("%s", ", skompresowany");
  if (f.hdu > 1) add(", HDU %s", std::to_string(f.hdu));
  info.summary = text;
  return {};
}

SourceError describe_png(const std::string& path, SourceInfo& info) {
  std::string why;
  if (!read_png_info(path, info.png, why)) return {SourceFault::bad, why};
  const PngInfo& p = info.png;
  info.width = p.width;
  info.height = p.height;
  info.frames = 1;
  const char* colour = p.colour_type == PNG_COLOR_TYPE_PALETTE      ? "paleta"
                       : (p.colour_type & PNG_COLOR_MASK_COLOR) != 0 ? "kolor"
                                                                     : "skala szarosci";
  char text[160];
  std::snprintf(text, sizeof text, "PNG %d x %d, %d bitow, %s%s", p.width, p.height, p.bit_depth, colour,
                p.interlaced ? ", z przeplotem" : "");
  info.summary = text;
  return {};
}

}  // namespace

SourceError describe_source(const std::string& path, SourceInfo& info) {
  info = SourceInfo{};
  info.path = path;
  std::uint64_t size = 0;
  std::uint8_t magic[16] = {};
  std::size_t got = 0;
  {
    const FileHandle file = open_regular_file(path, size);
    if (!file.valid()) return {SourceFault::absent, ""};
    got = read_some_at(file.get(), magic, 0);
  }
  if (starts_with(magic, got, "LUCAM-RECORDER", 14)) {
    info.kind = SourceKind::ser;
    return describe_ser(path, info);
  }
  if (starts_with(magic, got, "SIMPLE  =", 9)) {
    info.kind = SourceKind::fits;
    return describe_fits(path, size, info);
  }
  if (starts_with(magic, got, "\x89PNG\r\n\x1a\n", 8)) {
    info.kind = SourceKind::png;
    return describe_png(path, info);
  }
  if (starts_with(magic, got, "\x1f\x8b", 2))
    return {SourceFault::bad, "plik skompresowany gzip: rozpakuj go najpierw (gunzip)"};
  return {SourceFault::bad, "nieznany format (oczekiwano SER, FITS lub PNG)"};
}

bool SourceReader::open(const SourceInfo& source, std::string& why) {
  open_ = nullptr;
  ser_ = SerFile{};
  fits_.reset();
  if (source.kind == SourceKind::ser) {
    SerCheck check;
    const SerOpen opened = open_ser(source.path, ser_, check);
    if (opened != SerOpen::ok) {
      why = opened == SerOpen::absent ? "nie da sie otworzyc pliku" : ser_reason(check, ser_.header);
      return false;
    }
    // The file must still be the one described.
    if (ser_.header.width != source.width || ser_.header.height != source.height ||
        ser_.header.frame_count != source.frames || ser_.header.depth != source.ser_depth) {
      why = "plik zmienil sie w trakcie odczytu";
      return false;
    }
  } else if (source.kind == SourceKind::fits) {
    if (!open_fits(source.path, source.fits, fits_, why)) return false;
  }
  open_ = &source;
  return true;
}

bool SourceReader::read_frame(const SourceInfo& source, std::int64_t index, const RowSink& row, std::string& why) {
  if (open_ != &source && !open(source, why)) return false;
  switch (source.kind) {
    case SourceKind::ser: {
      std::vector<double> values(static_cast<std::size_t>(source.width));
      const bool ok = read_ser_frame(ser_, static_cast<std::int32_t>(index), order_,
                                     [&](std::int32_t y, std::span<const std::uint32_t> grey) {
                                       for (std::size_t x = 0; x < values.size(); ++x)
                                         values[x] = grey[x] == kSerOverRange
                                                         ? std::numeric_limits<double>::infinity()
                                                         : static_cast<double>(grey[x]);
                                       row(y, values);
                                     });
      if (!ok) why = "blad odczytu lub plik urwany";
      return ok;
    }
    case SourceKind::fits:
      return read_fits_plane(fits_, source.fits, index, row, why);
    case SourceKind::png:
      return read_png_image(source.path, source.png, row, why);
  }
  return false;
}

}  // namespace kadrix::import
