#include "tools/inspect/night.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>

#include "bmp/text_format.h"
#include "tools/inspect/messages.h"
#include "tools/inspect/png_writer.h"
#include "tools/inspect/preview.h"

namespace kadrix::inspect {

const char* status_word(NightStatus status) {
  switch (status) {
    case NightStatus::ok: return messages::kStatusOk;
    case NightStatus::missing: return messages::kStatusMissing;
    case NightStatus::damaged: return messages::kStatusDamaged;
    case NightStatus::size_mismatch: return messages::kStatusSizes;
    case NightStatus::out_of_memory: return messages::kStatusNoMemory;
    case NightStatus::not_measured: return messages::kStatusNotMeasured;
  }
  return messages::kStatusDamaged;
}

namespace {

NightStatus status_of(PairFault fault) {
  switch (fault) {
    case PairFault::none: return NightStatus::ok;
    case PairFault::missing: return NightStatus::missing;
    case PairFault::bad_file:
    case PairFault::no_statistics: return NightStatus::damaged;
    case PairFault::size_mismatch: return NightStatus::size_mismatch;
    case PairFault::out_of_memory: return NightStatus::out_of_memory;
  }
  return NightStatus::damaged;
}

}  // namespace

NightObject read_night_object(const std::string& directory, const std::string& name,
                              const CatalogueOptions& options, bool with_preview) {
  NightObject object;
  object.name = name;
  try {
    ResultPair pair;
    const PairError error = read_result_pair(directory + name, pair);
    object.status = status_of(error.fault);
    object.fault_path = error.path;
    if (object.status != NightStatus::ok) return object;
    object.width = pair.width;
    object.height = pair.height;
    object.stats = pair.stats;
    object.detected = count_flagged(pair.codes);
    const Catalogue catalogue = build_catalogue(pair, options);
    if (catalogue.sep_status != 0) {
      object.status = NightStatus::not_measured;
      return object;
    }
    const std::vector<Source>& sources = catalogue.sources;
    object.fwhm = seeing_fwhm(sources);
    object.source_count = static_cast<std::int64_t>(sources.size());
    object.brightest.assign(sources.begin(),
                            sources.begin() + static_cast<std::ptrdiff_t>(std::min(sources.size(), kBrightestShown)));
    if (with_preview) {
      const RgbImage preview = make_preview(pair, sources);
      const std::size_t row_bytes = static_cast<std::size_t>(preview.width) * 3;
      std::optional<std::vector<std::uint8_t>> png =
          encode_png(preview.width, preview.height, [&](std::int32_t y, std::span<std::uint8_t> rgb) {
            const std::uint8_t* from = preview.rgb.data() + row_bytes * static_cast<std::size_t>(y);
            std::copy(from, from + row_bytes, rgb.begin());
          });
      if (!png) {
        object.status = NightStatus::out_of_memory;
        return object;
      }
      object.preview_png = std::move(*png);
      object.preview_width = preview.width;
      object.preview_height = preview.height;
      object.preview_factor = preview_factor(pair.width, pair.height);
    }
  } catch (const std::bad_alloc&) {
    object.status = NightStatus::out_of_memory;
  }
  return object;
}

std::string night_csv_header() { return messages::kNightHeader; }

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string night_csv_line(const NightObject& object) {
  const std::string name = csv_field(object.name);
  if (object.status != NightStatus::ok)
    return text_format(messages::kNightUnread, name.c_str(), status_word(object.status));
  return text_format(messages::kNightLine, name.c_str(), object.width, object.height, object.stats.frame_count,
                     static_cast<double>(object.stats.level), static_cast<double>(object.stats.sigma),
                     static_cast<long long>(object.detected), static_cast<long long>(object.source_count),
                     object.fwhm ? fixed(*object.fwhm, 3).c_str() : "", status_word(object.status));
}

}  // namespace kadrix::inspect
