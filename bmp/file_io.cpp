#include "bmp/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kadrix {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

FileHandle::~FileHandle() { close(); }

int FileHandle::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool FileHandle::close() {
  if (fd_ < 0) return true;
  const int fd = release();
  // Linux releases the descriptor even when close reports EINTR; no retry.
  return ::close(fd) == 0;
}

FileHandle open_regular_file(const std::string& path, std::uint64_t& size) {
  // Checked before opening so that a pipe or a device is never opened.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return FileHandle();
  // O_NONBLOCK guards against the name being swapped for a pipe meanwhile.
  FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return FileHandle();
  size = static_cast<std::uint64_t>(info.st_size);
  return file;
}

std::size_t read_some_at(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = ::pread(fd, buffer.data() + done, buffer.size() - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool read_exact_at(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset) {
  return read_some_at(fd, buffer, offset) == buffer.size();
}

namespace {
constexpr std::size_t kOutputBufferBytes = 1 << 18;
}

OutputFile::OutputFile(const std::string& path, std::uint64_t expected_bytes) {
  // A leftover of an earlier run under this name goes first, so O_EXCL can
  // make sure we write a fresh file of our own and never through a link.
  ::unlink(path.c_str());
  file_ = FileHandle(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  ok_ = file_.valid();
  buffer_bytes_ = static_cast<std::size_t>(std::clamp<std::uint64_t>(expected_bytes, 1, kOutputBufferBytes));
  if (ok_) buffer_.reserve(buffer_bytes_);
}

void OutputFile::put(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (ok_ && done < bytes.size()) {
    const ssize_t put = ::write(file_.get(), bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) ok_ = false;
    else done += static_cast<std::size_t>(put);
  }
}

void OutputFile::flush() {
  put(buffer_);
  buffer_.clear();
}

void OutputFile::write(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= buffer_bytes_) {
    // Too large to gain from the buffer: what it holds goes first, then
    // these bytes straight from where they are.
    flush();
    put(bytes);
    return;
  }
  while (ok_ && !bytes.empty()) {
    const std::size_t room = buffer_bytes_ - buffer_.size();
    const std::size_t take = std::min(room, bytes.size());
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (buffer_.size() == buffer_bytes_) flush();
  }
}

bool OutputFile::finish() {
  if (ok_) flush();
  if (!file_.close()) ok_ = false;
  return ok_;
}

}  // namespace kadrix
