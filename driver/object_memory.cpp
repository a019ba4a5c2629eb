#include "driver/object_memory.h"

namespace kadrix {

std::uint64_t object_working_set(const Stages& stages, std::optional<FrameSize> first_frame) {
  if (!first_frame) return 0;
  const auto pixels = static_cast<std::uint64_t>(first_frame->width) * static_cast<std::uint64_t>(first_frame->height);
  const auto width = static_cast<std::uint64_t>(first_frame->width);
  // mean 8, flags 1, background 8 (later the result pair's blocks: 8 bytes
  // a pixel hold two padded rows of any width); each band of the
  // background keeps about a dozen padded rows of doubles.
  constexpr std::uint64_t kDriverBytesPerPixel = 8 + 1 + 8;
  constexpr std::uint64_t kRowBytes = 256;
  constexpr std::uint64_t kFixedBytes = 1 << 20;
  return pixels * (kDriverBytesPerPixel + stages.frame_bytes_per_pixel) + width * 3 + width * kRowBytes +
         kFixedBytes;
}

FrameStore& ObjectMemory::frames() {
  if (!frames_) frames_ = stages_.new_frame_store();
  return *frames_;
}

PairBlocks ObjectMemory::take_pair(FrameSize size) {
  const std::size_t block = result_block_bytes(size.width, size.height);
  const std::span<std::uint8_t> both = shared_.take_as<std::uint8_t>(2 * block);
  pair_ = {both.first(block), both.last(block)};
  return pair_;
}

std::uint64_t ObjectMemory::release_scratch() {
  const std::uint64_t bytes = (frames_ ? frames_->held_bytes() : 0) + mean_.held_bytes() + flags_.held_bytes();
  if (frames_) frames_->release();
  mean_.release();
  flags_.release();
  return bytes;
}

void ObjectMemory::release() noexcept {
  if (frames_) frames_->release();
  mean_.release();
  flags_.release();
  shared_.release();
  pair_ = {};
}

}  // namespace kadrix
