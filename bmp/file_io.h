#pragma once
// Thin RAII wrappers over POSIX file descriptors: reading only regular
// files, and buffered writing that remembers whether anything failed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kadrix {

class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  // Closes now and reports whether the close succeeded.
  bool close();

 private:
  int fd_ = -1;
};

// Opens path for reading if, and only if, it names a regular file; anything
// else (missing, unreadable, a directory, a pipe, a device) gives an invalid
// handle without the file being opened. size receives the file's length.
FileHandle open_regular_file(const std::string& path, std::uint64_t& size);

// Reads exactly buffer.size() bytes at offset; false on a short read or error.
bool read_exact_at(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset);

// Reads up to buffer.size() bytes at offset; returns how many were read.
std::size_t read_some_at(int fd, std::span<std::uint8_t> buffer, std::uint64_t offset);

// Buffered writer to a newly created file. Any failure (create, write,
// close) is remembered and reported by finish().
class OutputFile {
 public:
  // Creates path afresh (a stale file of that name is removed first), with
  // the permissions a plain create gives. expected_bytes, when known, keeps
  // the buffer of a small file small.
  explicit OutputFile(const std::string& path, std::uint64_t expected_bytes = UINT64_MAX);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::span<const std::uint8_t> bytes);
  // Flushes and closes; true when every step succeeded.
  bool finish();
  bool ok() const { return ok_; }

 private:
  void flush();
  void put(std::span<const std::uint8_t> bytes);

  FileHandle file_;
  std::vector<std::uint8_t> buffer_;
  std::size_t buffer_bytes_ = 1;  // flushed when this full
  bool ok_ = false;
};

}  // namespace kadrix
