// Fuzzing the frame reader and both frame loaders with arbitrary files.
//
// Each input is written as frame 01 and 02 of an object, and as frame 03
// with up to 15 bytes cut off its end (how many: the input's last byte).
// Checked beyond "no crash, no sanitizer report":
//  - read_frame_bmp gives a buffer of exactly width * height * bytes per
//    pixel, or refuses the file with a reason;
//  - its answer agrees with parse_bmp_header on the same bytes;
//  - the plain loader (100-frame stack) and the fast one (sums and maxima)
//    agree on geometry, frame count and every pixel's sum and maximum.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "bmp/bmp_reader.h"
#include "bmp/frame_stack.h"
#include "driver/object_record.h"

namespace {

std::string g_dir;  // with its trailing '/'

void remove_scratch() {
  for (const char* name : {"F01.BMP", "F02.BMP", "F03.BMP"}) ::unlink((g_dir + name).c_str());
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
  const kadrix::BmpFault parsed = kadrix::parse_bmp_header(
      std::span<const std::uint8_t>(data, std::min<std::size_t>(size, kadrix::kBmpHeaderBytes)), size, layout);

  kadrix::ByteImage image;
  kadrix::BmpFault fault = kadrix::BmpFault::none;
  const kadrix::FrameRead read = kadrix::read_frame_bmp(path, image, fault);
  check(read != kadrix::FrameRead::absent, "a regular file read as absent");
  if (read == kadrix::FrameRead::unusable) {
    check(fault != kadrix::BmpFault::none, "refused without a reason");
    check(parsed == fault || (parsed == kadrix::BmpFault::none && fault == kadrix::BmpFault::read_failed),
          "reader and header check disagree");
    return;
  }
  check(parsed == kadrix::BmpFault::none, "header check refuses what the reader read");
  check(image.width == layout.width && image.height == layout.height, "geometry differs from the header");
  check(image.width > 0 && image.height > 0, "empty image");
  check(image.bytes_per_pixel == 1 || image.bytes_per_pixel == 3 || image.bytes_per_pixel == 4, "odd depth");
  check(image.pixels.size() == static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) *
                                   static_cast<std::size_t>(image.bytes_per_pixel),
        "buffer size");
  check(layout.data_offset + layout.block_bytes() <= size, "pixels past the end of the file");
  // The top-left pixel is the first byte of the last row stored, or of the
  // first row when the rows are stored top-down.
  const std::uint64_t first_row = layout.top_down ? 0 : static_cast<std::uint64_t>(layout.height - 1);
  check(image.pixels[0] == data[layout.data_offset + layout.stride * first_row], "top-left pixel");
}

void check_loaders() {
  kadrix::ObjectRecord plain_record;
  const kadrix::FrameStack stack = kadrix::load_frame_stack(g_dir, "F", plain_record);
  kadrix::ObjectRecord fast_record;
  const kadrix::fast::FrameSums sums = kadrix::fast::load_frame_stack(g_dir, "F", fast_record);

  check(plain_record.frame_count == fast_record.frame_count, "loaders count different frames");
  check(plain_record.frame_count >= 0 && plain_record.frame_count <= 3, "frame count out of range");
  if (plain_record.frame_count == 0) return;
  check(plain_record.width == fast_record.width && plain_record.height == fast_record.height,
        "loaders see different geometry");
  const std::size_t pixels = static_cast<std::size_t>(plain_record.pixel_count);
  check(pixels == static_cast<std::size_t>(plain_record.width) * static_cast<std::size_t>(plain_record.height),
        "pixel count");
  check(sums.sum.size() == pixels && sums.max.size() == pixels, "sums sized wrong");
  for (std::size_t p = 0; p < pixels; ++p) {
    int sum = 0;
    int max = 0;
    for (int k = 0; k < plain_record.frame_count; ++k) {
      const int v = stack.samples[static_cast<std::size_t>(k) * pixels + p];
      check(v >= 0 && v <= 255, "sample out of range");
      sum += v;
      max = std::max(max, v);
    }
    check(sums.sum[p] == sum && sums.max[p] == max, "loaders disagree on a pixel");
  }
}

// Scratch files are rewritten for every input: memory-backed /dev/shm
// where there is one, so that no input waits for a disk.
std::string scratch_base() {
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The loaders print their transcript; it is of no interest here.
  const int null_fd = ::open("/dev/null", O_WRONLY);
  if (null_fd >= 0) ::dup2(null_fd, 1);
  std::string pattern = scratch_base() + "/kadrix-fuzz-frame-XXXXXX";
  check(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch directory");
  g_dir = pattern + "/";
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string first = g_dir + "F01.BMP";
  write_whole(first, data, size);
  write_whole(g_dir + "F02.BMP", data, size);
  const std::size_t cut = size == 0 ? 0 : std::min<std::size_t>(size, data[size - 1] % 16);
  write_whole(g_dir + "F03.BMP", data, size - cut);

  check_reader(first, data, size);
  check_loaders();
  return 0;
}
