#pragma once
// A result pair as one FITS file, written through cfitsio: the decoded mean
// as the primary image with the object's numbers in its header, the
// detection flags as the image extension DETECT, the catalogue as the
// binary table SOURCES, then the background and its RMS as the image
// extensions BACKGROUND and RMS. Rows are in FITS order: the first row
// stored is the bottom row of the picture, as in the BMP files.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bmp/result_pair.h"
#include "tools/inspect/catalogue.h"

namespace kadrix::inspect {

// Printable ASCII as it stands, a backslash doubled, every other byte as
// \xHH: header cards hold nothing else.
std::string printable_ascii(std::string_view bytes);

// Builds the file in memory with cfitsio, writes it through the file layer
// to a temporary beside path and renames it over path once complete. The
// name is taken literally (cfitsio never sees it). False on any failure,
// the old file of that name untouched and no temporary left; std::bad_alloc
// when there is no memory for the file. creator is the CREATOR card's value.
bool write_fits(const std::string& path, const ResultPair& pair, const Catalogue& catalogue,
                const CatalogueOptions& options, std::int64_t detected, const std::string& creator);

}  // namespace kadrix::inspect
