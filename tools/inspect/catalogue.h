#pragma once
// The catalogue of a result pair: sources found from kadrix's detection
// flags (or from a threshold on the image), deblended, and measured against
// a mesh background, all through SEP. Everything here runs in the CSV's
// orientation (y = 0 the top row); only theta is given as the FITS image
// counts it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bmp/result_pair.h"
#include "bmp/image_buffer.h"
#include "tools/inspect/sources.h"

namespace kadrix::inspect {

// The flag bits of a source, as the field's extractors number them.
namespace source_flags {
inline constexpr std::int32_t kNeighbour = 1;         // another source's pixels lie in its Kron aperture
inline constexpr std::int32_t kBlended = 2;           // deblended from a blend
inline constexpr std::int32_t kSaturated = 4;         // peak at or above the saturation level
inline constexpr std::int32_t kBorder = 8;            // its pixels touch the image border
inline constexpr std::int32_t kApertureCut = 16;      // the Kron aperture is cut by the border
inline constexpr std::int32_t kHolesFilled = 32;      // its footprint had holes filled
inline constexpr std::int32_t kDeblendOverflow = 64;  // too many sub-objects: kept whole
inline constexpr std::int32_t kExtractOverflow = 128; // pixel stack full: kept whole
}  // namespace source_flags

struct CatalogueOptions {
  std::optional<double> threshold;  // K: detect above K x the RMS map instead of kadrix's flags
  std::int32_t deblend_levels = 32;
  double deblend_contrast = 0.005;
  bool deblend = true;
  bool clean = false;  // with a threshold: SExtractor's cleaning of detections in brighter ones' wings
  std::optional<std::int32_t> min_pixels;  // default 1, or 5 with a threshold
  double min_snr = 0.0;
  std::int32_t back_size = 64;
  double saturate = 254.5;
  std::optional<double> gain;  // electrons per unit of the mean
};

struct Catalogue {
  std::vector<Source> sources;  // ranked: flux_iso, then peak, then first pixel
  // The background and its RMS, y * width + x, y = 0 the top row (huge
  // pages: fresh 4 KiB pages cost more here than all of SEP's work).
  PageArray<float> background;
  PageArray<float> rms;
  bool flat_background = false;  // no usable mesh: level and sigma of the palette
  int sep_status = 0;            // SEP's error number when it failed; sources then empty
};

// SEP's process-wide limits: the pixel stack of one extraction (SEP's and
// SExtractor's default) and the sub-objects of one deblending. Set once at
// start; tests lower them.
inline constexpr std::size_t kPixelStack = 300000;
inline constexpr int kSubObjectLimit = 1024;
void set_sep_limits(std::size_t pixel_stack, int sub_objects);
// SEP's working memory comes from the heap, this much of it in huge pages:
// enough for a 1024 x 1024 image's extraction and photometry.
inline constexpr std::size_t kHeapStep = std::size_t{64} << 20;

// Footprints of the default mode: each flagged 8-connected group and the
// holes it encloses (4-connected unflagged sets that do not reach the
// border and touch no other group). label[i] is the footprint's number
// from 1 in raster order of first pixels, 0 outside; filled[k] says that
// footprint k + 1 had holes filled.
struct Footprints {
  PageArray<std::int32_t> label;
  std::vector<bool> filled;
  std::int32_t count = 0;
};
Footprints find_footprints(std::span<const std::uint16_t> codes, std::int32_t width, std::int32_t height);

// The whole catalogue. std::bad_alloc when memory runs out.
Catalogue build_catalogue(const ResultPair& pair, const CatalogueOptions& options);

// value with the given decimals, or empty when it is not finite.
std::string fixed(double value, int decimals);

// The median FWHM of the sources with flags 0 and S/N above 20; nothing
// when there are fewer than 5 of them.
std::optional<double> seeing_fwhm(std::span<const Source> sources);

}  // namespace kadrix::inspect
