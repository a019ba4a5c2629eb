#include "driver/image_buffer.h"

#include <sys/mman.h>

#include <cstdlib>

namespace kadrix {

namespace {

// From this size on a buffer gets pages of its own, which can be huge pages:
// one fault maps 2 MiB instead of 4 KiB.
constexpr std::size_t kOwnPagesBytes = std::size_t{32} << 20;

}  // namespace

void* take_pages(std::size_t bytes) {
  if (bytes == 0) bytes = 1;
  if (bytes < kOwnPagesBytes) {
    void* memory = std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  // Where the system says no, the ordinary pages do.
  ::madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  return memory;
}

void give_back_pages(void* memory, std::size_t bytes) noexcept {
  if (memory == nullptr) return;
  if (bytes == 0) bytes = 1;
  if (bytes < kOwnPagesBytes) std::free(memory);
  else ::munmap(memory, bytes);
}

}  // namespace kadrix
