#pragma once
// Memory for one of an object's per-pixel arrays, kept from object to
// object: the next object takes it again when it fits, instead of handing
// it back and having fresh pages faulted in and cleared. It is never
// cleared here: every stage writes each element before anything reads it.

#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace kadrix {

// Memory for `bytes` bytes; blocks of 512 KiB and more get whole huge pages
// of their own (transparent huge pages, where the system grants them).
// Aligned for any fundamental type (malloc's, or a page); throws
// std::bad_alloc.
void* take_pages(std::size_t bytes);
inline constexpr std::size_t kPagesAlignment = alignof(std::max_align_t);
// From this size on, memory is pages of its own, aligned to a huge page.
inline constexpr std::size_t kOwnPagesBytes = std::size_t{512} << 10;
// As take_pages, every byte 0: fresh pages already are.
void* take_zeroed_pages(std::size_t bytes);
void give_back_pages(void* memory, std::size_t bytes) noexcept;

// Has malloc serve every thread from the one heap, grown `bytes` at a time,
// and its first `bytes` (or more) in whole huge pages: for the libraries'
// own working memory, which cannot take pages of its own. Blocks up to 32
// MiB then come from that heap and go back to it. Call before any thread
// starts; where the system says no, the ordinary pages do.
void serve_heap_in_huge_pages(std::size_t bytes) noexcept;

// Gives pages from take_pages back, knowing their size.
template <class T>
struct GiveBackPages {
  std::size_t bytes = 0;
  void operator()(T* memory) const noexcept { give_back_pages(memory, bytes); }
};

template <class T>
class ImageBuffer {
 public:
  // count elements, their values unspecified. Grows (without keeping the
  // old contents) when count exceeds what is held; throws std::bad_alloc.
  std::span<T> take(std::size_t count) {
    if (count > capacity_) {
      release();
      if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
      data_.reset(static_cast<T*>(take_pages(count * sizeof(T))));
      data_.get_deleter().bytes = count * sizeof(T);
      capacity_ = count;
    }
    return {data_.get(), count};
  }
  // The first count elements of what take() last gave (at most what is held).
  std::span<const T> view(std::size_t count) const { return {data_.get(), count < capacity_ ? count : capacity_}; }
  void release() noexcept {
    data_.reset();
    capacity_ = 0;
  }
  std::size_t held_bytes() const { return capacity_ * sizeof(T); }

 private:
  std::unique_ptr<T[], GiveBackPages<T>> data_;
  std::size_t capacity_ = 0;
};

// count elements, every one 0, held until the array goes: for large
// arrays made once, whose pages would otherwise be faulted in 4 KiB at a
// time. Moves, does not copy.
template <class T>
class PageArray {
 public:
  PageArray() = default;
  explicit PageArray(std::size_t count) : size_(count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    data_.reset(static_cast<T*>(take_zeroed_pages(count * sizeof(T))));
    data_.get_deleter().bytes = count * sizeof(T);
  }
  PageArray(PageArray&& other) noexcept : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
  PageArray& operator=(PageArray&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) const { return data_[i]; }
  std::span<T> span() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<T[], GiveBackPages<T>> data_;
  std::size_t size_ = 0;
};

}  // namespace kadrix
