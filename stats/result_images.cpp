#include "stats/result_images.h"

#include <vector>

#include "bmp/bmp_writer.h"
#include "bmp/replace_files.h"
#include "driver/console.h"

namespace kadrix {

std::int32_t result_code(double mean, std::int32_t flag) {
  const auto q = static_cast<std::int32_t>(mean * 128);
  return 2 * q + flag;
}

std::string result_path(const std::string& directory, const std::string& name, const char* suffix) {
  return directory + name + suffix + ".BMP";
}

namespace {

// Removes the temporaries unless the pair has been handed over, so that an
// early exit (a failed write, an exception) leaves nothing behind.
struct PairGuard {
  PendingFile files[2];
  bool handed_over = false;
  ~PairGuard() {
    if (!handed_over) discard_files(files);
  }
};

bool report_failure(const std::string& final_path) {
  console_print("Blad zapisu pliku %s\n", final_path.c_str());
  return false;
}

}  // namespace

bool write_result_images(const ObjectRecord& record, const std::string& name,
                         const std::string& directory) {
  const std::size_t count = static_cast<std::size_t>(record.pixel_count);
  std::vector<std::int32_t> sr(count);
  std::vector<std::int32_t> ss(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::int32_t code = result_code(record.mean_image[i], record.detection_mask[i]);
    sr[i] = sr_value(code);
    ss[i] = ss_value(code);
  }

  PairGuard pair{{pending_file(result_path(directory, name, "SR")),
                  pending_file(result_path(directory, name, "SS"))}};
  {
    const ByteImage bytes = to_byte_image(sr, record.width, record.height, 8);
    if (!write_grey_bmp(pair.files[0].temp_path, bytes)) return report_failure(pair.files[0].final_path);
  }
  {
    const ByteImage bytes = to_byte_image(ss, record.width, record.height, 8);
    if (!write_stats_bmp(pair.files[1].temp_path, bytes, record))
      return report_failure(pair.files[1].final_path);
  }
  pair.handed_over = true;
  const int failed = replace_files(pair.files);
  if (failed >= 0) return report_failure(pair.files[failed].final_path);
  return true;
}

}  // namespace kadrix
