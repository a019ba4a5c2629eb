// Fuzzing the SER reader with arbitrary files.
//
// The header is checked on the input's bytes; a header it takes is then
// read two ways: every frame turned to grey straight from the bytes, and
// the first frames again through the file reader (the byte order chosen by
// the input's last byte). Checked beyond "no crash, no sanitizer report":
//  - a header taken has sane geometry, and its frames fit in the input;
//  - a truncated file names how many whole frames it holds, exactly;
//  - every grey value is at most 2^depth - 1 or marked over range, and a
//    MONO pixel is its sample;
//  - the file reader gives the same rows, top row first, as the bytes.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "tools/import/ser_reader.h"

namespace {

using kadrix::import::SerByteOrder;
using kadrix::import::SerFault;
using kadrix::import::SerHeader;

std::string g_path;

void remove_scratch() {
  ::unlink(g_path.c_str());
  ::rmdir(g_path.substr(0, g_path.rfind('/')).c_str());
}

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

void write_whole(const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0, "cannot create the scratch file");
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    check(put > 0, "cannot write the scratch file");
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  ::close(fd);
}

std::string scratch_base() { return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = scratch_base() + "/kadrix-fuzz-ser-XXXXXX";
  check(::mkdtemp(pattern.data()) != nullptr, "cannot make a scratch directory");
  g_path = pattern + "/video.ser";
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  SerHeader h;
  const kadrix::import::SerCheck verdict = kadrix::import::parse_ser_header(bytes, size, h);
  if (verdict.fault == SerFault::truncated) {
    const std::uint64_t room = size - kadrix::import::kSerHeaderBytes;
    const auto whole = static_cast<std::uint64_t>(verdict.value);
    check(h.frame_bytes > 0 && whole < static_cast<std::uint64_t>(h.frame_count), "truncated, yet all frames fit");
    check(whole * h.frame_bytes <= room && room < (whole + 1) * h.frame_bytes, "whole frames miscounted");
  }
  if (!verdict.ok()) return 0;

  check(h.width > 0 && h.height > 0 && h.depth >= 1 && h.depth <= 16, "odd geometry taken");
  check(h.planes == 1 || h.planes == 3, "odd plane count");
  check(static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height) <= INT32_MAX, "pixel count");
  check(h.row_bytes * static_cast<std::uint64_t>(h.height) == h.frame_bytes, "frame bytes");
  check(kadrix::import::kSerHeaderBytes + static_cast<std::uint64_t>(h.frame_count) * h.frame_bytes <= size,
        "frames past the end of the input");

  // A video of no frames may claim any width; nothing is read of it.
  if (h.frame_count == 0) return 0;
  const SerByteOrder order = size == 0 ? SerByteOrder::from_header : static_cast<SerByteOrder>(data[size - 1] % 3);
  const bool big_endian = kadrix::import::ser_big_endian(h, order);
  const std::uint32_t top = (1u << h.depth) - 1;
  const auto width = static_cast<std::size_t>(h.width);
  std::vector<std::uint32_t> grey(width);
  std::vector<std::vector<std::uint32_t>> first_frames;  // the rows of the frames read back below
  for (std::int32_t f = 0; f < h.frame_count; ++f) {
    std::vector<std::uint32_t> frame;
    for (std::int32_t y = 0; y < h.height; ++y) {
      const std::uint64_t at = kadrix::import::kSerHeaderBytes + static_cast<std::uint64_t>(f) * h.frame_bytes +
                               static_cast<std::uint64_t>(y) * h.row_bytes;
      const auto raw = bytes.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(h.row_bytes));
      kadrix::import::ser_grey_row(h, big_endian, raw, grey);
      for (std::size_t x = 0; x < width; ++x) {
        check(grey[x] <= top || grey[x] == kadrix::import::kSerOverRange, "grey value above the depth");
        if (h.planes == 1 && h.sample_bytes == 1 && raw[x] <= top) check(grey[x] == raw[x], "MONO sample changed");
      }
      if (f < 2) frame.insert(frame.end(), grey.begin(), grey.end());
    }
    if (f < 2) first_frames.push_back(std::move(frame));
  }

  write_whole(data, size);
  kadrix::import::SerFile ser;
  kadrix::import::SerCheck reopened;
  check(kadrix::import::open_ser(g_path, ser, reopened) == kadrix::import::SerOpen::ok, "file refused, bytes taken");
  for (std::size_t f = 0; f < first_frames.size(); ++f) {
    std::vector<std::uint32_t> seen;
    std::int32_t next_row = 0;
    const bool read = kadrix::import::read_ser_frame(ser, static_cast<std::int32_t>(f), order,
                                                     [&](std::int32_t y, std::span<const std::uint32_t> row) {
                                                       check(y == next_row++, "rows out of order");
                                                       seen.insert(seen.end(), row.begin(), row.end());
                                                     });
    check(read, "a frame inside the file could not be read");
    check(seen == first_frames[f], "file reader and bytes disagree");
  }
  return 0;
}
