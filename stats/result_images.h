#pragma once
// Packing mean and detection flag into the SR and SS result images.

#include <cstdint>
#include <string>

#include "driver/object_record.h"

namespace kadrix {

// 2 * trunc(mean * 128) + flag: the mean in 1/256 steps, lowest bit the flag.
inline std::int32_t result_code(double mean, std::int32_t flag) {
  return 2 * static_cast<std::int32_t>(mean * 128) + flag;
}
inline std::int32_t sr_value(std::int32_t code) { return static_cast<std::int32_t>(code * (1.0 / 256)); }
inline std::int32_t ss_value(std::int32_t code) { return code & 255; }

// "<directory><name>SR.BMP" and "<directory><name>SS.BMP".
std::string result_path(const std::string& directory, const std::string& name, const char* suffix);

// Writes the SR and SS files of the record, replacing an old pair only
// once both new files are complete. On failure prints "Blad zapisu pliku
// %s\n" with the final path that failed and returns false; nothing is
// replaced then.
bool write_result_images(const ObjectRecord& record, const std::string& name,
                         const std::string& directory);

}  // namespace kadrix
