#pragma once
// The sources of an import, told apart by their first bytes: SER videos,
// FITS files, PNG images and 8-bit BMP frames (read as kadrix reads them), each a run of frames of one size whose rows
// reach the caller as values (NaN: undefined, +infinity: saturated).

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "bmp/bmp_reader.h"
#include "tools/import/fits_source.h"
#include "tools/import/png_source.h"
#include "tools/import/ser_reader.h"

namespace kadrix::import {

enum class SourceKind { ser, fits, png, bmp };

struct SourceInfo {
  std::string path;
  SourceKind kind = SourceKind::ser;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int64_t frames = 0;
  bool integer = true;  // whole numbers only, which keep their top bits
  int ser_depth = 0;    // SER: PixelDepthPerPlane; 0 for the others
  std::string summary;  // e.g. "SER 640 x 480, MONO, 12 bitow", for the user
  FitsInfo fits;
  PngInfo png;
};

enum class SourceFault {
  none,
  absent,  // missing, not a regular file, or cannot be opened
  bad,     // damaged, truncated or of a kind not taken; reason says which
};

struct SourceError {
  SourceFault fault = SourceFault::none;
  std::string reason;  // Polish, for the user
};

// Reads what the source holds without reading its pixels.
SourceError describe_source(const std::string& path, SourceInfo& info);

using RowSink = std::function<void(std::int32_t y, std::span<const double> values)>;

// Reads frames of the sources; the file last read stays open, so the
// frames of one source are read without opening it again.
class SourceReader {
 public:
  explicit SourceReader(SerByteOrder order) : order_(order) {}

  // Hands frame index (0-based) of source to row, every row once, in any
  // order. False with the reason in why.
  bool read_frame(const SourceInfo& source, std::int64_t index, const RowSink& row, std::string& why);

 private:
  bool open(const SourceInfo& source, std::string& why);

  SerByteOrder order_;
  const SourceInfo* open_ = nullptr;
  SerFile ser_;
  FitsHandle fits_;
  BmpFile bmp_;
};

}  // namespace kadrix::import
