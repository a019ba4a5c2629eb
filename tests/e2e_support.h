#pragma once
// Helpers of the end-to-end tests: running the built kadrix and laying out
// frames and lists in a scratch directory.

#include <string>
#include <vector>

#include "test_support.h"

namespace kadrix_e2e {

using kadrix_test::Bytes;
using kadrix_test::frame_file;
using kadrix_test::RunOptions;
using kadrix_test::RunResult;
using kadrix_test::TempDir;
using kadrix_test::temporaries;

RunResult run_kadrix(const std::vector<std::string>& args, const RunOptions& options = {});

// Writes the frames as files 01, 02, ... of the object.
void write_frames(const std::string& prefix, const std::string& name, const std::vector<Bytes>& frames);

// count copies of a flat 8 x 7 frame of value 10: the object line of such
// an object is kFlatLine after "Obr: NAME Kl: count ".
void write_flat_object(const std::string& prefix, const std::string& name, int count);
// level 10, sigma 0; 8 x 7 leaves 2 usable rows and 2 usable columns, so
// the background is 10 everywhere and the residual sigma is 0 over 56 pixels.
inline constexpr char kFlatLine[] = "Sr: 10.000000, Var: 0.000000 new Var: 0.000000\r\n";

// The lines before the objects: directory, the echo of each name, count.
std::string preamble(const std::string& directory, const std::vector<std::string>& names);

// The expected result file of an 8-bit image (pixels top-down), with the
// statistics palette when count >= 0.
Bytes result_file(int width, int height, const std::vector<std::uint8_t>& pixels, float level = 0,
                  float sigma = 0, int count = -1);

std::string text(const Bytes& bytes);

}  // namespace kadrix_e2e
