#pragma once
// The nine stages an object goes through, as one table: kadrix runs the
// fast table (driver/fast_stages.h), kadrix-straightforward the reference
// one (reference/). Stages 1 and 2 belong to the table's frame store, the
// rest are plain functions. Every stage takes what it needs and returns
// what it produces (its arrays into memory the driver holds); none prints.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bmp/frame_files.h"
#include "bmp/result_pair.h"
#include "stats/background.h"
#include "stats/image_statistics.h"

namespace kadrix {

inline constexpr double kSigmaFactor = 3.0;
inline constexpr int kBackgroundRadius = 5;

// Where stage 1 leaves an object's frames for stage 2. Each table loads
// into a store of its own kind, which a worker keeps from object to object
// so that the next object takes its memory again.
class FrameStore {
 public:
  virtual ~FrameStore() = default;
  // 1. Frames 01, 02, ... into the store: what the sequence held.
  virtual FrameSequence load_frame_stack(const std::string& directory, const std::string& name) = 0;
  // 2. The mean of each pixel's samples without the largest one.
  virtual void combine_frames(std::int32_t frame_count, std::span<double> mean_image) const = 0;
  // What the store holds, and giving it all back.
  virtual std::uint64_t held_bytes() const = 0;
  virtual void release() noexcept = 0;
};

struct Stages {
  // Stages 1 and 2 are the store's: a new, empty one of the table's kind,
  // and the most bytes a pixel of frame 01 takes in it.
  std::unique_ptr<FrameStore> (*new_frame_store)();
  std::uint64_t frame_bytes_per_pixel;
  // 3. Level and sigma of the mean image.
  ImageStatistics (*image_statistics)(std::span<const double> mean_image);
  // 4. The pixels above level + k sigma.
  void (*threshold_above_level)(std::span<const double> mean_image, double level, double sigma, double k,
                                std::span<std::uint8_t> bright_mask);
  // 5. Rows of the local background map; any split gives the same map.
  BackgroundMapper estimate_background;
  // 6. Sigma about the background, or nothing.
  std::optional<double> (*residual_sigma)(std::span<const double> mean_image,
                                          std::span<const double> background_image,
                                          std::span<const std::uint8_t> bright_mask);
  // 7. The pixels above their background + k sigma.
  void (*threshold_above_background)(std::span<const double> mean_image, std::span<const double> background_image,
                                     double sigma, double k, std::span<std::uint8_t> detections);
  // 8. The pixels of the result pair, image rows [first_row, end_row) (made
  // before the object's turn comes).
  void (*encode_result_images)(const ResultImages& images, std::int32_t first_row, std::int32_t end_row,
                               std::span<std::uint8_t> sr, std::span<std::uint8_t> ss);
  // 9. The result pair of DIR + NAME; the final path that failed, if any.
  // The old pair's files are left held in `replaced`.
  std::optional<std::string> (*write_result_pair)(const std::string& prefix, const EncodedPair& pair,
                                                  std::vector<FileHandle>* replaced);
};

}  // namespace kadrix
