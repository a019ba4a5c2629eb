#pragma once
// An object's memory on a worker: its arrays, kept from object to object,
// the background map's bytes taken again for the result pair's, and what
// an object takes in all, which its worker claims before it starts.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>

#include "bmp/image_buffer.h"
#include "driver/stages.h"

namespace kadrix {

// The most memory an object whose frame 01 has this size takes: the
// table's frame store beside the driver's own arrays (none: the object
// will not be computed).
std::uint64_t object_working_set(const Stages& stages, std::optional<FrameSize> first_frame);

// Bytes that hold an array of one type and later one of another: each
// take_as() ends the array the one before gave.
class ReusedBytes {
 public:
  // count elements, their values unspecified; throws std::bad_alloc.
  template <class T>
  std::span<T> take_as(std::size_t count) {
    static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(alignof(T) <= kPagesAlignment, "take_pages() aligns for no more");
    if (count == 0) return {};
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    const std::span<std::byte> raw = bytes_.take(count * sizeof(T));
    // Begins the array's life in these bytes; for such a T no code runs.
    return {::new (static_cast<void*>(raw.data())) T[count], count};
  }
  std::uint64_t held_bytes() const { return bytes_.held_bytes(); }
  void release() noexcept { bytes_.release(); }

 private:
  ImageBuffer<std::byte> bytes_;
};

// The pixel blocks of the result pair, result_block_bytes() each.
struct PairBlocks {
  std::span<std::uint8_t> sr;
  std::span<std::uint8_t> ss;
};

// A worker's arrays. The bright mask's memory takes the detections once
// the residual sigma no longer needs it, and the background map's the
// result pair's blocks once the detections are made.
class ObjectMemory {
 public:
  explicit ObjectMemory(const Stages& stages) : stages_(stages) {}

  // The table's store, made on first use (so a failure to make it is the
  // object's std::bad_alloc, like any of its arrays').
  FrameStore& frames();
  std::span<double> take_mean(std::size_t pixels) { return mean_.take(pixels); }
  std::span<std::uint8_t> take_flags(std::size_t pixels) { return flags_.take(pixels); }
  std::span<double> take_background(std::size_t pixels) { return shared_.take_as<double>(pixels); }
  // The SR and SS blocks one after the other where the background map was:
  // only once nothing reads the map any more.
  PairBlocks take_pair(FrameSize size);
  // What take_pair() last gave, until the memory is released.
  const PairBlocks& pair() const { return pair_; }

  // Frees what only the computation needs, not the writing of the results;
  // returns how much that was.
  std::uint64_t release_scratch();
  void release() noexcept;

  std::uint64_t claim = 0;  // what the memory gate counts this worker as holding

 private:
  const Stages& stages_;
  std::unique_ptr<FrameStore> frames_;
  ImageBuffer<double> mean_;
  ImageBuffer<std::uint8_t> flags_;
  ReusedBytes shared_;  // the background map, then the pair's blocks
  PairBlocks pair_;
};

}  // namespace kadrix
