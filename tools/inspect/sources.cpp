#include "tools/inspect/sources.h"

#include <algorithm>

#include "bmp/result_pair.h"

namespace kadrix::inspect {

std::int64_t count_flagged(std::span<const std::uint16_t> codes) {
  return std::count_if(codes.begin(), codes.end(), is_flagged);
}

}  // namespace kadrix::inspect
