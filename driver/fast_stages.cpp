#include "driver/fast_stages.h"

#include "stats/frame_sums.h"

namespace kadrix {

namespace {

StoredRows stored_rows(const BmpLayout& layout, std::span<const std::uint8_t> block) {
  return {block.first(static_cast<std::size_t>(layout.block_bytes())), layout.width, layout.height,
          static_cast<std::size_t>(layout.stride), layout.top_down};
}

std::unique_ptr<FrameStore> new_frame_sum_store() { return std::make_unique<FrameSumStore>(); }

}  // namespace

// Each frame is read whole and only then joins the sums, so a frame whose
// rows cannot all be read leaves the sums as the frames before it made them.
FrameSequence FrameSumStore::load_frame_stack(const std::string& directory, const std::string& name) {
  FrameSums sums;
  std::span<std::uint8_t> rows;
  bool first = true;
  return read_frame_sequence(
      directory, name,
      [&](const BmpLayout& layout) {
        const auto pixels = static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(layout.height);
        sums = {sum.take(pixels), max.take(pixels)};
        rows = block.take(static_cast<std::size_t>(layout.block_bytes()));
      },
      [&](const BmpFile& frame) {
        if (!read_bmp_block(frame, rows)) return false;
        if (first) start_frame_sums(stored_rows(frame.layout, rows), sums);
        else add_frame(stored_rows(frame.layout, rows), sums);
        first = false;
        return true;
      });
}

void FrameSumStore::combine_frames(std::int32_t frame_count, std::span<double> mean_image) const {
  kadrix::combine_frames(sum.view(mean_image.size()), max.view(mean_image.size()), frame_count, mean_image);
}

std::uint64_t FrameSumStore::held_bytes() const { return sum.held_bytes() + max.held_bytes() + block.held_bytes(); }

void FrameSumStore::release() noexcept {
  sum.release();
  max.release();
  block.release();
}

const Stages& fast_stages() {
  static const Stages stages{
      new_frame_sum_store,
      FrameSumStore::kBytesPerPixel,
      image_statistics,
      threshold_above_level,
      estimate_background,
      residual_sigma,
      threshold_above_background,
      encode_result_images,
      write_result_pair,
  };
  return stages;
}

}  // namespace kadrix
