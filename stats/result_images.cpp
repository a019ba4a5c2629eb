#include "stats/result_images.h"


#include "bmp/bmp_writer.h"
#include "bmp/replace_files.h"
#include "driver/console.h"

namespace kadrix {

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
  const std::size_t width = static_cast<std::size_t>(record.width);
  // The bytes of both images are made row by row as the files are written.
  auto rows_of = [&record, width](auto value) {
    return [&record, width, value](std::int32_t y, std::span<std::uint8_t> row) {
      const std::size_t start = width * static_cast<std::size_t>(y);
      const double* mean = record.mean_image.data() + start;
      const std::uint8_t* flag = record.detection_mask.data() + start;
      for (std::size_t x = 0; x < width; ++x) {
        row[x] = static_cast<std::uint8_t>(value(result_code(mean[x], flag[x])));
      }
    };
  };
  const auto sr_rows = rows_of([](std::int32_t code) { return sr_value(code); });
  const auto ss_rows = rows_of([](std::int32_t code) { return ss_value(code); });

  PairGuard pair{{pending_file(result_path(directory, name, "SR")),
                  pending_file(result_path(directory, name, "SS"))}};
  if (!write_bmp(pair.files[0].temp_path, record.width, record.height, grey_palette(), sr_rows))
    return report_failure(pair.files[0].final_path);
  if (!write_bmp(pair.files[1].temp_path, record.width, record.height, stats_palette(record), ss_rows))
    return report_failure(pair.files[1].final_path);
  pair.handed_over = true;
  const int failed = replace_files(pair.files);
  if (failed >= 0) return report_failure(pair.files[failed].final_path);
  return true;
}

}  // namespace kadrix
