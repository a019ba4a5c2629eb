#pragma once
// The night report: one self-contained HTML page (no other files, no
// network, no script) with the run's directory and list, the summary
// table and, per object, a preview and its brightest sources.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/inspect/night.h"
#include "tools/inspect/text_output.h"

namespace kadrix::inspect {

struct NightReport {
  std::string directory;
  std::string list_path;
  std::string creator;  // program name and version, for the page's foot
  std::vector<NightObject> objects;
};

// & < > " ' as character references.
std::string html_escape(std::string_view text);

// Standard base64 with padding, as a data URI carries it.
std::string base64(std::span<const std::uint8_t> bytes);

// Emits the page piece by piece.
void emit_night_page(const NightReport& report, const TextSink& put);

// Writes the page through a temporary beside path; false on any failure.
bool write_night_page(const std::string& path, const NightReport& report);

}  // namespace kadrix::inspect
