#include "driver/stages.h"
#include "stats/frame_sums.h"

namespace kadrix {

namespace {

StoredRows stored_rows(const BmpLayout& layout, std::span<const std::uint8_t> block) {
  return {block.first(static_cast<std::size_t>(layout.block_bytes())), layout.width, layout.height,
          static_cast<std::size_t>(layout.stride), layout.top_down};
}

// Each frame is read whole and only then joins the sums, so a frame whose
// rows cannot all be read leaves the sums as the frames before it made them.
FrameSequence load_frame_sums(const std::string& directory, const std::string& name, FrameStore& frames) {
  FrameSums sums;
  std::span<std::uint8_t> block;
  bool first = true;
  return read_frame_sequence(
      directory, name,
      [&](const BmpLayout& layout) {
        const auto pixels = static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(layout.height);
        sums = {frames.sum.take(pixels), frames.max.take(pixels)};
        block = frames.block.take(static_cast<std::size_t>(layout.block_bytes()));
      },
      [&](const BmpFile& frame) {
        if (!read_bmp_block(frame, block)) return false;
        if (first) start_frame_sums(stored_rows(frame.layout, block), sums);
        else add_frame(stored_rows(frame.layout, block), sums);
        first = false;
        return true;
      });
}

void combine_frame_sums(const FrameStore& frames, std::int32_t frame_count, std::span<double> mean_image) {
  combine_frames(frames.sum.view(mean_image.size()), frames.max.view(mean_image.size()), frame_count, mean_image);
}

// Per pixel a 16-bit sum and an 8-bit maximum, and one frame's rows.
std::uint64_t fast_working_set(std::optional<FrameSize> first_frame) {
  return first_frame ? driver_working_set(*first_frame, 2 + 1 + 1) : 0;
}

}  // namespace

std::uint64_t driver_working_set(FrameSize size, std::uint64_t frame_bytes_per_pixel) {
  const auto pixels = static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height);
  const auto width = static_cast<std::uint64_t>(size.width);
  // mean 8, flags 1, background 8 (later the result pair's pixels); each
  // band of the background keeps about a dozen padded rows of doubles.
  constexpr std::uint64_t kDriverBytesPerPixel = 8 + 1 + 8;
  constexpr std::uint64_t kRowBytes = 256;
  constexpr std::uint64_t kFixedBytes = 1 << 20;
  return pixels * (kDriverBytesPerPixel + frame_bytes_per_pixel) + width * 3 + width * kRowBytes + kFixedBytes;
}

const Stages& fast_stages() {
  static const Stages stages{
      load_frame_sums,
      combine_frame_sums,
      image_statistics,
      threshold_above_level,
      estimate_background,
      residual_sigma,
      threshold_above_background,
      encode_result_images,
      write_result_pair,
      fast_working_set,
  };
  return stages;
}

}  // namespace kadrix
