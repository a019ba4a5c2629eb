#pragma once
// kadrix-import: turns SER videos, FITS files and PNG images into the
// numbered 8-bit BMP frames kadrix reads.

namespace kadrix::import {

// Exit statuses as every companion's (tools/common/cli.h): 1 when a source,
// the list or a write failed; nothing half-done is left then.
int run_import(int argc, const char* const* argv);

}  // namespace kadrix::import
