#pragma once
// Sources as a DS9 region file: one circle per source in image (FITS pixel)
// coordinates, labelled with its rank, to lay over the FITS file.

#include <cstdint>
#include <span>
#include <string>

#include "tools/inspect/sources.h"

namespace kadrix::inspect {

// The file's text, lines ending in '\n', sources in the order given.
std::string region_text(std::span<const Source> sources, std::int32_t height);

// Writes region_text to path through a temporary; false on any failure.
bool write_regions(const std::string& path, std::span<const Source> sources, std::int32_t height);

}  // namespace kadrix::inspect
