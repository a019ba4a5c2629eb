#pragma once
// Reading an SR and SS pair written by kadrix back into one 16-bit code per
// pixel: SR is the high byte (whole part of the mean), SS the low byte (the
// fraction in 1/128 steps above the detection flag in bit 0).

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kadrix::inspect {

// Decoded mean = SR + (SS >> 1) / 128, flag = SS & 1.
inline double decoded_mean(std::uint8_t sr, std::uint8_t ss) { return sr + (ss >> 1) / 128.0; }
inline int decoded_flag(std::uint8_t ss) { return ss & 1; }

inline std::uint16_t pixel_code(std::uint8_t sr, std::uint8_t ss) {
  return static_cast<std::uint16_t>(sr << 8 | ss);
}
// The decoded mean in whole 1/128 steps: exact integers keep sums, orderings
// and the stretch free of rounding.
inline std::int32_t mean_steps(std::uint16_t code) { return code >> 1; }
inline double steps_to_mean(std::int64_t steps) { return static_cast<double>(steps) / 128.0; }
inline bool is_flagged(std::uint16_t code) { return (code & 1) != 0; }

// What kadrix stores in the first three palette entries of the SS file.
struct PaletteStats {
  float level = 0.0f;
  float sigma = 0.0f;
  std::int32_t frame_count = 0;
};

// The statistics from a palette's bytes, or nothing when the palette is
// too short or holds values no run of kadrix can give (a plain grey ramp,
// damaged bytes): a level outside 0 to 255, a sigma that is negative or not
// finite, a frame count outside 2 to 100.
std::optional<PaletteStats> parse_palette_stats(std::span<const std::uint8_t> palette);

// Device and inode of a file that was read, to recognise it under any name.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
};

struct ResultPair {
  std::string sr_path;
  std::string ss_path;
  FileId sr_id;
  FileId ss_id;
  std::int32_t width = 0;
  std::int32_t height = 0;
  PaletteStats stats;
  std::vector<std::uint16_t> codes;  // y * width + x, y = 0 the top row
};

enum class PairFault {
  none,
  missing,        // path: absent, not a regular file, or unreadable
  bad_file,       // path: not a result file of kadrix; reason says why
  size_mismatch,  // path and other_path differ in width or height
  out_of_memory,
};

struct PairError {
  PairFault fault = PairFault::none;
  std::string path;
  std::string other_path;
  const char* reason = "";  // for bad_file, Polish without diacritics
};

// Reads prefix + "SR.BMP" and prefix + "SS.BMP". On failure out may be left
// partly filled and the error names the file at fault.
PairError load_result_pair(const std::string& prefix, ResultPair& out);

}  // namespace kadrix::inspect
