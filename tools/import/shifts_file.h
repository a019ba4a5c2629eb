#pragma once
// The shifts file of an aligned import (--shifts): CSV (RFC 4180, lines
// ending CR LF), one row per chosen frame in series order under the header
// frame,source,index,dx,dy,status. frame is the number the frame was
// written as (empty when it was not), index its number within its source
// from 1, dx and dy the shift applied with 3 decimals, status ok,
// pominieta (left out: it does not match the reference) or ponad100
// (matching, but past the 100 frames kadrix combines).

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kadrix::import {

enum class ShiftStatus { ok, skipped, over_limit };

struct ShiftRow {
  int frame = 0;  // 0: not written
  std::string source;
  std::int64_t index = 1;
  double dx = 0;
  double dy = 0;
  ShiftStatus status = ShiftStatus::ok;
};

// A field as CSV holds it: quoted, inner quotes doubled, when it has a
// comma, a quote, CR or LF.
std::string csv_field(std::string_view text);

// One line of the file, CR LF included.
std::string shifts_line(const ShiftRow& row);

inline constexpr char kShiftsHeader[] = "frame,source,index,dx,dy,status\r\n";

// Creates path afresh with the header and the rows; false when anything
// failed (the caller removes what is left).
bool write_shifts(const std::string& path, std::span<const ShiftRow> rows);

}  // namespace kadrix::import
