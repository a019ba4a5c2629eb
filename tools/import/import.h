#pragma once
// kadrix-import: turns SER videos, FITS files and PNG images into the
// numbered 8-bit BMP frames kadrix reads.

namespace kadrix::import {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a source, the list or a write failed; nothing half-done is left
inline constexpr int kExitWrongCall = 2;

int run_import(int argc, const char* const* argv);

}  // namespace kadrix::import
