#pragma once
// Helpers of the kadrix-inspect tests: result pairs written by the
// project's own result writer, and images drawn as rows of characters.

#include <cstdint>
#include <string>
#include <vector>

namespace inspect_test {

// An object's result as kadrix would hold it before writing: one mean and
// one flag per pixel, rows top-down, and the statistics of the SS palette.
struct ObjectResult {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<double> means;
  std::vector<int> flags;
  double level = 10.5;
  double sigma = 2.25;
  std::int32_t frames = 12;
};

// Writes <dir><name>SR.BMP and <dir><name>SS.BMP as kadrix does.
void write_pair(const std::string& dir, const std::string& name, const ObjectResult& result);

// A picture as rows of text: '.' an unflagged pixel of mean 0, a digit d a
// flagged pixel of mean d, '#' a flagged pixel of mean 1.
ObjectResult drawn(const std::vector<std::string>& rows);

// The pixel codes (SR << 8 | SS) kadrix stores for result.
std::vector<std::uint16_t> codes_of(const ObjectResult& result);

}  // namespace inspect_test
