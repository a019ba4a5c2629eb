#include "tools/import/shifts_file.h"

#include <cstdio>
#include <string_view>

#include "bmp/file_io.h"

namespace kadrix::import {

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

namespace {

// 3 decimals; adding 0 turns -0 into 0, so a zero shift reads 0.000.
std::string decimals(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value + 0.0);
  return text;
}

const char* status_text(ShiftStatus status) {
  switch (status) {
    case ShiftStatus::ok:
      return "ok";
    case ShiftStatus::skipped:
      return "pominieta";
    case ShiftStatus::over_limit:
      return "ponad100";
  }
  return "";
}

}  // namespace

std::string shifts_line(const ShiftRow& row) {
  std::string line = row.frame > 0 ? std::to_string(row.frame) : std::string();
  line += ',';
  line += csv_field(row.source);
  line += ',';
  line += std::to_string(row.index);
  line += ',';
  line += decimals(row.dx);
  line += ',';
  line += decimals(row.dy);
  line += ',';
  line += status_text(row.status);
  line += "\r\n";
  return line;
}

bool write_shifts(const std::string& path, std::span<const ShiftRow> rows) {
  OutputFile file(path);
  const auto put = [&file](const std::string& text) {
    file.write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  };
  put(kShiftsHeader);
  for (const ShiftRow& row : rows) put(shifts_line(row));
  return file.finish();
}

}  // namespace kadrix::import
