#pragma once
// Writing a FITS file the way every other output is written: cfitsio
// builds it in memory, and the file layer writes the bytes to a temporary
// beside the final name and renames it into place once complete. cfitsio
// never sees the name, so it is taken literally.

#include <fitsio.h>

#include <cstddef>
#include <functional>
#include <string>

namespace kadrix::fits {

// build() fills the open in-memory file (its HDUs) and says whether it
// succeeded. False on any failure, the old file of that name untouched and
// no temporary left; std::bad_alloc when there is no memory for the file.
// expected_bytes sizes the first buffer, so one allocation is the usual case.
bool write_fits_file(const std::string& path, std::size_t expected_bytes,
                     const std::function<bool(fitsfile*)>& build);

}  // namespace kadrix::fits
