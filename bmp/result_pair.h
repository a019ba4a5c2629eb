#pragma once
// The result pair of an object, NAMESR.BMP and NAMESS.BMP: its format is
// described once, in docs/man/kadrix-results.5. Written by kadrix, read back
// by kadrix-inspect.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"

namespace kadrix {

// ---- the pixel code ---------------------------------------------------------

inline std::int32_t result_code(double mean, std::int32_t flag) {
  return 2 * static_cast<std::int32_t>(mean * 128) + flag;
}
inline std::int32_t sr_value(std::int32_t code) { return static_cast<std::int32_t>(code * (1.0 / 256)); }
inline std::int32_t ss_value(std::int32_t code) { return code & 255; }

// The code back from the two bytes of a pixel.
inline std::uint16_t pixel_code(std::uint8_t sr, std::uint8_t ss) { return static_cast<std::uint16_t>(sr << 8 | ss); }
// The decoded mean, SR + (SS >> 1) / 128, in whole 1/128 steps: exact
// integers keep sums, orderings and stretches free of rounding.
inline std::int32_t mean_steps(std::uint16_t code) { return code >> 1; }
inline double steps_to_mean(std::int64_t steps) { return static_cast<double>(steps) / 128.0; }
inline bool is_flagged(std::uint16_t code) { return (code & 1) != 0; }

// ---- the SS palette -----------------------------------------------------------

// What the first three palette entries of the SS file hold.
struct PaletteStats {
  float level = 0.0f;  // single precision, rounded to nearest
  float sigma = 0.0f;
  std::int32_t frame_count = 0;
};

// The grey palette with level, sigma and frame count in entries 0 to 2.
BmpPalette stats_palette(double level, double sigma, std::int32_t frame_count);

// The statistics from a palette's bytes, or nothing when the palette is too
// short or holds values no run of kadrix can give (a plain grey ramp,
// damaged bytes): a level outside 0 to 255, a sigma that is negative or not
// finite, a frame count outside 2 to 100.
std::optional<PaletteStats> parse_palette_stats(std::span<const std::uint8_t> palette);

// ---- writing ------------------------------------------------------------------

enum class ResultFile { sr, ss };

// prefix + "SR.BMP" or prefix + "SS.BMP"; kadrix's prefix is DIR + NAME.
std::string result_path(const std::string& prefix, ResultFile which);

// One object's results, as the pair stores them.
struct ResultImages {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::span<const double> mean;              // y * width + x, y = 0 the top row
  std::span<const std::uint8_t> detections;  // 1 or 0, same order
  double level = 0.0;
  double sigma = 0.0;
  std::int32_t frame_count = 0;
};

// The pair's pixels as the two files store them (rows bottom-up, each
// padded with zeros to bmp_row_stride), made before the files are written:
// kadrix makes them while other objects are still being computed, so that
// writing in list order holds nobody up.
struct EncodedPair {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::span<const std::uint8_t> sr;  // result_block_bytes(width, height) each
  std::span<const std::uint8_t> ss;
  double level = 0.0;
  double sigma = 0.0;
  std::int32_t frame_count = 0;
};

// Bytes of one file's pixel block.
std::size_t result_block_bytes(std::int32_t width, std::int32_t height);

// Image rows [first_row, end_row) of the SR and SS blocks, in one pass over
// the mean and the detections; the rest of the blocks is left as it is.
void encode_result_images(const ResultImages& images, std::int32_t first_row, std::int32_t end_row,
                          std::span<std::uint8_t> sr, std::span<std::uint8_t> ss);

// Writes the pair of prefix, replacing an old pair only once both new files
// are complete: each is written to a temporary beside its final name, the SR
// file first. Returns the final path of the file that failed (nothing is
// replaced then, and no temporary is left), or nothing on success. The old
// pair's files, if any, are held in `replaced` when it is given (see
// replace_files).
std::optional<std::string> write_result_pair(const std::string& prefix, const EncodedPair& pair,
                                             std::vector<FileHandle>* replaced = nullptr);

// Both steps at once, holding the two byte images meanwhile.
std::optional<std::string> write_result_images(const std::string& prefix, const ResultImages& images);

// ---- reading ------------------------------------------------------------------

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
  bad_file,       // path: check says what is wrong with it as an 8-bit BMP
  no_statistics,  // path (the SS file): its palette holds no kadrix statistics
  size_mismatch,  // path and other_path differ in width or height
  out_of_memory,
};

struct PairError {
  PairFault fault = PairFault::none;
  std::string path;
  std::string other_path;
  BmpCheck check;  // for bad_file
};

// Reads result_path(prefix, sr) and result_path(prefix, ss). On failure out
// may be left partly filled and the error names the file at fault.
PairError read_result_pair(const std::string& prefix, ResultPair& out);

}  // namespace kadrix
