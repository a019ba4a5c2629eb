#include "bmp/image_buffer.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace kadrix {

namespace {

// From this size on a buffer gets pages of its own, whole huge pages on
// huge-page boundaries: one fault then maps 2 MiB instead of 4 KiB, which on
// a virtual machine is most of what touching fresh memory costs. A buffer
// rounded up so wastes at most 1.5 MiB, and only where it is at least a
// third of what it holds.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

std::size_t whole_huge_pages(std::size_t bytes) { return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1); }

}  // namespace

void* take_pages(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes < kOwnPagesBytes) {
    void* memory = std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  // Mapped with room to spare, then trimmed to whole huge pages from a
  // huge-page boundary: only whole aligned 2 MiB ranges can be huge pages.
  const std::size_t kept = whole_huge_pages(bytes);
  const std::size_t mapped = kept + kHugePageBytes;
  void* region = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(region);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(std::uintptr_t{kHugePageBytes} - 1);
  const std::size_t head = aligned - start;
  if (head > 0) ::munmap(region, head);
  if (mapped - head > kept) ::munmap(reinterpret_cast<void*>(aligned + kept), mapped - head - kept);
  void* memory = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Where the system says no, the ordinary pages do.
  ::madvise(memory, kept, MADV_HUGEPAGE);
#endif
  return memory;
}

void* take_zeroed_pages(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes >= kOwnPagesBytes) return take_pages(bytes);
  void* memory = std::calloc(bytes, 1);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void give_back_pages(void* memory, std::size_t bytes) noexcept {
  if (memory == nullptr) return;
  if (bytes == 0) bytes = 1;
  if (bytes < kOwnPagesBytes) std::free(memory);
  else ::munmap(memory, whole_huge_pages(bytes));
}

void serve_heap_in_huge_pages(std::size_t bytes) noexcept {
  constexpr std::size_t kLargestFromHeap = std::size_t{32} << 20;
  const auto setting = [](std::size_t value) { return static_cast<int>(std::min(value, std::size_t{1} << 30)); };
  ::mallopt(M_ARENA_MAX, 1);
  ::mallopt(M_MMAP_THRESHOLD, setting(kLargestFromHeap));
  ::mallopt(M_TOP_PAD, setting(bytes));
  ::mallopt(M_TRIM_THRESHOLD, setting(2 * bytes + kLargestFromHeap));
  // One block larger than the first heap holds grows it by the block and
  // `bytes`; freed, it stays there for what comes next.
  const auto before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  void* block = std::malloc(kHugePageBytes);
  if (block != nullptr) *static_cast<volatile char*>(block) = 0;  // kept: the pair is not optimised away
  const auto after = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  std::free(block);
  const std::uintptr_t first = (before + kHugePageBytes - 1) & ~(std::uintptr_t{kHugePageBytes} - 1);
  const std::uintptr_t end = after & ~(std::uintptr_t{kHugePageBytes} - 1);
#ifdef MADV_HUGEPAGE
  if (before != static_cast<std::uintptr_t>(-1) && end > first)
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

}  // namespace kadrix
