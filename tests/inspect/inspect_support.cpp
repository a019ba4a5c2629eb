#include "inspect_support.h"

#include <stdexcept>

#include "bmp/result_pair.h"

namespace inspect_test {

void write_pair(const std::string& dir, const std::string& name, const ObjectResult& result) {
  const std::vector<std::uint8_t> flags(result.flags.begin(), result.flags.end());
  const kadrix::ResultImages images{result.width, result.height, result.means, flags,
                                    result.level,  result.sigma,  result.frames};
  if (kadrix::write_result_images(dir + name, images)) throw std::runtime_error("cannot write " + dir + name);
}

ObjectResult drawn(const std::vector<std::string>& rows) {
  ObjectResult result;
  result.height = static_cast<std::int32_t>(rows.size());
  result.width = static_cast<std::int32_t>(rows.at(0).size());
  for (const std::string& row : rows) {
    if (static_cast<std::int32_t>(row.size()) != result.width) throw std::invalid_argument("ragged picture");
    for (const char c : row) {
      const bool flagged = c != '.';
      result.means.push_back(c == '#' ? 1.0 : (c >= '0' && c <= '9') ? c - '0' : 0.0);
      result.flags.push_back(flagged ? 1 : 0);
    }
  }
  return result;
}

std::vector<std::uint16_t> codes_of(const ObjectResult& result) {
  std::vector<std::uint16_t> codes;
  for (std::size_t i = 0; i < result.means.size(); ++i)
    codes.push_back(static_cast<std::uint16_t>(kadrix::result_code(result.means[i], result.flags[i])));
  return codes;
}

}  // namespace inspect_test
