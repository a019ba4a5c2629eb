#include "tools/import/sources.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "bmp/bmp_fault_text.h"
#include "bmp/file_io.h"
#include "tools/import/messages.h"
#include "tools/import/pixel_map.h"

namespace kadrix::import {

using namespace messages;

namespace {

bool starts_with(const std::uint8_t* bytes, std::size_t size, const char* magic, std::size_t magic_size) {
  return size >= magic_size && std::memcmp(bytes, magic, magic_size) == 0;
}

std::string ser_reason(const SerCheck& check, const SerHeader& header) {
  char text[160];
  switch (check.fault) {
    case SerFault::none: return "";
    case SerFault::short_header: return kSerShortHeader;
    case SerFault::no_signature: return kSerNoSignature;
    case SerFault::bayer:
      std::snprintf(text, sizeof text,
                    kSerBayer,
                    ser_bayer_pattern(static_cast<std::int32_t>(check.value)), static_cast<int>(check.value));
      return text;
    case SerFault::colour:
      std::snprintf(text, sizeof text, kSerColour, static_cast<int>(check.value));
      return text;
    case SerFault::depth:
      std::snprintf(text, sizeof text, kSerDepth,
                    static_cast<int>(check.value));
      return text;
    case SerFault::width:
      std::snprintf(text, sizeof text, kSerWidth, static_cast<int>(check.value));
      return text;
    case SerFault::height:
      std::snprintf(text, sizeof text, kSerHeight, static_cast<int>(check.value));
      return text;
    case SerFault::pixel_count: return kSerPixelCount;
    case SerFault::frame_count:
      std::snprintf(text, sizeof text, kSerFrameCount, static_cast<int>(check.value));
      return text;
    case SerFault::truncated:
      std::snprintf(text, sizeof text, kSerTruncated,
                    static_cast<int>(header.frame_count), static_cast<long long>(check.value));
      return text;
    case SerFault::read_failed: return kSerReadFailed;
  }
  return kSerBadHeader;
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
  std::snprintf(text, sizeof text, kSummarySer, h.width, h.height, colour, h.depth);
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
  int used = std::snprintf(text, sizeof text, kSummaryFits, f.width, f.height, f.bitpix);
  const auto add = [&](const char* format, const std::string& value) {
    if (used >= 0 && static_cast<std::size_t>(used) < sizeof text)
      used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), format, value.c_str());
  };
  if (f.bzero != 0) add(kSummaryBzero, shortest_text(f.bzero));
  if (f.bscale != 1) add(kSummaryBscale, shortest_text(f.bscale));
  if (f.compressed) add("%s", kSummaryCompressed);
  if (f.hdu > 1) add(kSummaryHdu, std::to_string(f.hdu));
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
  const char* colour = p.colour_type == PNG_COLOR_TYPE_PALETTE      ? kPngPalette
                       : (p.colour_type & PNG_COLOR_MASK_COLOR) != 0 ? kPngColour
                                                                     : kPngGrey;
  char text[160];
  std::snprintf(text, sizeof text, kSummaryPng, p.width, p.height, p.bit_depth, colour,
                p.interlaced ? kPngInterlaced : "");
  info.summary = text;
  return {};
}

// A kadrix frame: the reason of a refusal is the one kadrix gives.
std::string bmp_reason(const BmpCheck& check) {
  char text[160];
  std::snprintf(text, sizeof text, bmp_fault_format(check.fault), static_cast<int>(check.value));
  return text;
}

SourceError describe_bmp(const std::string& path, SourceInfo& info) {
  BmpFile bmp;
  BmpCheck check;
  const BmpOpen opened = open_bmp(path, bmp, check);
  if (opened == BmpOpen::absent) return {SourceFault::absent, ""};
  if (opened == BmpOpen::unusable) return {SourceFault::bad, bmp_reason(check)};
  info.width = bmp.layout.width;
  info.height = bmp.layout.height;
  info.frames = 1;
  char text[160];
  std::snprintf(text, sizeof text, kSummaryBmp, info.width, info.height);
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
  if (starts_with(magic, got, "BM", 2)) {
    info.kind = SourceKind::bmp;
    return describe_bmp(path, info);
  }
  if (starts_with(magic, got, "\x1f\x8b", 2))
    return {SourceFault::bad, kGzip};
  return {SourceFault::bad, kUnknownFormat};
}

bool SourceReader::open(const SourceInfo& source, std::string& why) {
  open_ = nullptr;
  ser_ = SerFile{};
  fits_.reset();
  bmp_ = BmpFile{};
  if (source.kind == SourceKind::ser) {
    SerCheck check;
    const SerOpen opened = open_ser(source.path, ser_, check);
    if (opened != SerOpen::ok) {
      why = opened == SerOpen::absent ? kCannotOpen : ser_reason(check, ser_.header);
      return false;
    }
    // The file must still be the one described.
    if (ser_.header.width != source.width || ser_.header.height != source.height ||
        ser_.header.frame_count != source.frames || ser_.header.depth != source.ser_depth) {
      why = kChangedWhileRead;
      return false;
    }
  } else if (source.kind == SourceKind::fits) {
    if (!open_fits(source.path, source.fits, fits_, why)) return false;
  } else if (source.kind == SourceKind::bmp) {
    BmpCheck check;
    const BmpOpen opened = open_bmp(source.path, bmp_, check);
    if (opened != BmpOpen::ok) {
      why = opened == BmpOpen::absent ? kCannotOpen : bmp_reason(check);
      return false;
    }
    if (bmp_.layout.width != source.width || bmp_.layout.height != source.height) {
      why = kChangedWhileRead;
      return false;
    }
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
      if (!ok) why = kSerFrameUnread;
      return ok;
    }
    case SourceKind::fits:
      return read_fits_plane(fits_, source.fits, index, row, why);
    case SourceKind::png:
      return read_png_image(source.path, source.png, row, why);
    case SourceKind::bmp: {
      std::vector<double> values(static_cast<std::size_t>(source.width));
      const bool ok = read_bmp_rows(bmp_, [&](std::int32_t y, std::span<const std::uint8_t> bytes) {
        for (std::size_t x = 0; x < values.size(); ++x) values[x] = bytes[x];
        row(y, values);
      });
      // A file is read once; the next frame of it opens it again.
      open_ = nullptr;
      if (!ok) why = bmp_reason(BmpCheck{BmpFault::read_failed, 0});
      return ok;
    }
  }
  return false;
}

}  // namespace kadrix::import
