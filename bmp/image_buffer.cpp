#include "bmp/image_buffer.h"

#include <sys/mman.h>

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

}  // namespace kadrix
