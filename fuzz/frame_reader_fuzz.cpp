// Fuzzing the frame reader and both frame loaders with arbitrary files.
//
// Each input is written as frame 01 and 02 of an object, and as frame 03
// with up to 15 bytes cut off its end (how many: the input's last byte).
// Checked beyond "no crash, no sanitizer report":
//  - open_bmp and read_bmp_rows deliver exactly height rows of width bytes,
//    every row once, or the file is refused with a reason;
//  - that answer agrees with parse_bmp_header on the same bytes;
//  - the reference loader (100-frame stack) and the fast one (sums and
//    maxima) agree on geometry, frame count, the unusable frame and its
//    reason, and every pixel's sum and maximum.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include <vector>

#include "bmp/bmp_reader.h"
#include "driver/fast_stages.h"
#include "reference/reference_kernels.h"

namespace {

std::string g_dir;  // with its trailing '/'

void remove_scratch() {
  for (const int number : {1, 2, 3}) ::unlink(kadrix::frame_path(g_dir, "F", number).c_str());
  ::rmdir(g_dir.c_str());
}

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

void write_whole(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "cannot create a scratch file");
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    check(put > 0, "cannot write a scratch file");
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  ::close(fd);
}

void check_reader(const std::string& path, const std::uint8_t* data, std::size_t size) {
  kadrix::BmpLayout layout;
  const kadrix::BmpCheck parsed = kadrix::parse_bmp_header(
      std::span<const std::uint8_t>(data, std::min<std::size_t>(size, kadrix::kBmpHeaderBytes)), size, layout);

  kadrix::BmpFile bmp;
  kadrix::BmpCheck check_result;
  const kadrix::BmpOpen opened = kadrix::open_bmp(path, bmp, check_result);
  check(opened != kadrix::BmpOpen::absent, "a regular file read as absent");
  if (opened == kadrix::BmpOpen::unusable) {
    check(!check_result.ok(), "refused without a reason");
    check(parsed.fault == check_result.fault && parsed.value == check_result.value,
          "reader and header check disagree");
    return;
  }
  check(parsed.ok(), "header check refuses what the reader opened");
  check(bmp.layout.width == layout.width && bmp.layout.height == layout.height, "geometry differs from the header");
  check(layout.width > 0 && layout.height > 0 && layout.bits == 8, "not an 8-bit image");
  check(layout.data_offset + layout.block_bytes() <= size, "pixels past the end of the file");
  std::vector<int> seen(static_cast<std::size_t>(layout.height), 0);
  const bool read = kadrix::read_bmp_rows(bmp, [&](std::int32_t y, std::span<const std::uint8_t> row) {
    check(y >= 0 && y < layout.height, "row out of range");
    check(row.size() == static_cast<std::size_t>(layout.width), "row length");
    ++seen[static_cast<std::size_t>(y)];
    // The row stored at file row f is image row height - 1 - f, or f when
    // the rows are stored top-down.
    const std::uint64_t file_row = layout.top_down ? static_cast<std::uint64_t>(y)
                                                   : static_cast<std::uint64_t>(layout.height - 1 - y);
    check(row[0] == data[layout.data_offset + layout.stride * file_row], "first pixel of a row");
  });
  check(read, "a checked file could not be read");
  check(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }), "a row delivered other than once");
}

void check_loaders() {
  kadrix::FrameSumStore store;
  const kadrix::FrameSequence fast = store.load_frame_stack(g_dir, "F");
  kadrix::reference::FrameStack stack;
  const kadrix::FrameSequence plain = kadrix::reference::load_frame_stack(g_dir, "F", stack);

  check(plain.frame_count == fast.frame_count, "loaders count different frames");
  check(plain.frame_count >= 0 && plain.frame_count <= 3, "frame count out of range");
  check(plain.unusable.has_value() == fast.unusable.has_value(), "loaders disagree on an unusable frame");
  if (plain.unusable) {
    check(plain.unusable->path == fast.unusable->path, "loaders blame different files");
    check(plain.unusable->check.fault == fast.unusable->check.fault &&
              plain.unusable->check.value == fast.unusable->check.value,
          "loaders give different reasons");
  }
  if (plain.frame_count == 0) return;
  check(plain.size == fast.size, "loaders see different geometry");
  const auto pixels = static_cast<std::size_t>(plain.pixel_count());
  const auto sum = store.sum.view(pixels);
  const auto max = store.max.view(pixels);
  check(sum.size() == pixels && max.size() == pixels, "sums sized wrong");
  for (std::size_t p = 0; p < pixels; ++p) {
    int expected_sum = 0;
    int expected_max = 0;
    for (int k = 0; k < plain.frame_count; ++k) {
      const int v = stack[static_cast<std::size_t>(k) * pixels + p];
      check(v >= 0 && v <= 255, "sample out of range");
      expected_sum += v;
      expected_max = std::max(expected_max, v);
    }
    check(sum[p] == expected_sum && max[p] == expected_max, "loaders disagree on a pixel");
  }
}

// Scratch files are rewritten for every input: memory-backed /dev/shm
// where there is one, so that no input waits for a disk.
std::string scratch_base() {
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = scratch_base() + "/kadrix-fuzz-frame-XXXXXX";
  check(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch directory");
  g_dir = pattern + "/";
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string first = kadrix::frame_path(g_dir, "F", 1);
  write_whole(first, data, size);
  write_whole(kadrix::frame_path(g_dir, "F", 2), data, size);
  const std::size_t cut = size == 0 ? 0 : std::min<std::size_t>(size, data[size - 1] % 16);
  write_whole(kadrix::frame_path(g_dir, "F", 3), data, size - cut);

  check_reader(first, data, size);
  check_loaders();
  return 0;
}
