#pragma once
// A whole night at a glance: every object of a list file, its pair read
// back and summed up in one record, as a CSV line and in the night report.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bmp/result_pair.h"
#include <optional>

#include "tools/inspect/catalogue.h"

namespace kadrix::inspect {

inline constexpr std::size_t kBrightestShown = 10;

enum class NightStatus {
  ok,
  missing,        // a file of the pair is missing
  damaged,        // a file is damaged or not a kadrix result
  size_mismatch,  // SR and SS differ in size
  out_of_memory,
  not_measured,   // SEP failed on the catalogue
};

// The status word of the CSV: "ok", "brak pliku", "uszkodzony",
// "rozne rozmiary", "brak pamieci", "blad pomiaru".
const char* status_word(NightStatus status);

struct NightObject {
  std::string name;  // the stored name, at most 6 characters
  NightStatus status = NightStatus::missing;
  std::string fault_path;  // the file at fault, when the status is not ok
  // The rest only for status ok.
  std::int32_t width = 0;
  std::int32_t height = 0;
  PaletteStats stats;
  std::int64_t detected = 0;
  std::int64_t source_count = 0;
  std::optional<double> fwhm;  // seeing_fwhm of the catalogue
  std::vector<Source> brightest;  // at most kBrightestShown, brightest first
  // With a preview: its PNG bytes, size and shrink factor.
  std::vector<std::uint8_t> preview_png;
  std::int32_t preview_width = 0;
  std::int32_t preview_height = 0;
  std::int32_t preview_factor = 1;
};

// Reads the pair directory + name, builds its catalogue and sums it up;
// with_preview also makes the preview. Never throws for want of memory:
// the status says so.
NightObject read_night_object(const std::string& directory, const std::string& name,
                              const CatalogueOptions& options, bool with_preview);

// "name,width,height,frames,level,sigma,detected,sources,fwhm,status\n".
std::string night_csv_header();

// One line of the night CSV, ending in '\n'. Fields other than name and
// status are empty unless the status is ok.
std::string night_csv_line(const NightObject& object);

// A CSV field, quoted (quotes doubled) when it holds a comma, a quote, CR
// or LF.
std::string csv_field(std::string_view text);

}  // namespace kadrix::inspect
