#pragma once
// The fast table kadrix runs, and its frame store.

#include <cstdint>

#include "bmp/image_buffer.h"
#include "driver/stages.h"

namespace kadrix {

// Per pixel the sum of the samples (16 bits) and the largest one, and the
// rows of one frame as stored, read whole before they join the sums.
class FrameSumStore final : public FrameStore {
 public:
  static constexpr std::uint64_t kBytesPerPixel = 2 + 1 + 1;

  FrameSequence load_frame_stack(const std::string& directory, const std::string& name) override;
  void combine_frames(std::int32_t frame_count, std::span<double> mean_image) const override;
  std::uint64_t held_bytes() const override;
  void release() noexcept override;

  ImageBuffer<std::uint16_t> sum;
  ImageBuffer<std::uint8_t> max;
  ImageBuffer<std::uint8_t> block;
};

const Stages& fast_stages();

}  // namespace kadrix
