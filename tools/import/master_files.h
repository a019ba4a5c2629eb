#pragma once
// Masters saved for a later night: one FITS image each, BITPIX -64 (the
// master's doubles as they are), NCOMBINE the frames it was made from,
// the first row stored being the bottom row of the picture as FITS has it.

#include <cstdint>
#include <span>
#include <string>

namespace kadrix::import {

// Writes the master (rows from the top, width x height) to path: built in
// memory, written to a temporary and renamed over any old file of that
// name. False when any step failed; an old file is then as it was.
bool write_master(const std::string& path, std::span<const double> master, std::int32_t width, std::int32_t height,
                  std::int64_t frames);

}  // namespace kadrix::import
