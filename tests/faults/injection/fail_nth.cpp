// Fails the N-th file-writing call of a program, for tests only. Linked
// into the test copies of the programs with -Wl,--wrap for each call below,
// so every reference the programs' own code makes to open, write, close,
// rename or link comes here first; the shipped programs never see it.
//
// The calls that count: an open that can write (O_WRONLY, O_RDWR, O_CREAT),
// a write to any descriptor but standard input, output and error, a close of
// a descriptor this hook saw opened for writing, and every rename and link.
// Reads, closes of files that were read, and unlinks do not count.
//
// Environment:
//   KADRIX_FAIL_AT     N: call number N (from 1) fails; 0 or unset: none
//   KADRIX_FAIL_ERRNO  ENOSPC, EIO or EACCES (default EIO): its errno
//   KADRIX_FAIL_LOG    a file that receives one line per counted call,
//                      "N call path [path]", with " <- ERRNO" on the one
//                      that failed
// A failed call does nothing, except close, which releases the descriptor
// first as Linux does whatever close reports.

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_openat(int dir, const char* path, int flags, ...);
int __real_openat64(int dir, const char* path, int flags, ...);
int __real_creat(const char* path, mode_t mode);
int __real_creat64(const char* path, mode_t mode);
ssize_t __real_write(int fd, const void* data, size_t size);
int __real_close(int fd);
int __real_rename(const char* from, const char* to);
int __real_renameat(int from_dir, const char* from, int to_dir, const char* to);
int __real_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags);
int __real_link(const char* from, const char* to);
int __real_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags);
}

namespace {

struct Settings {
  unsigned long long fail_at = 0;
  int error = EIO;
  int log = -1;
};

const Settings& settings() {
  static const Settings loaded = [] {
    Settings s;
    if (const char* at = std::getenv("KADRIX_FAIL_AT")) s.fail_at = std::strtoull(at, nullptr, 10);
    if (const char* name = std::getenv("KADRIX_FAIL_ERRNO")) {
      if (std::strcmp(name, "ENOSPC") == 0) s.error = ENOSPC;
      else if (std::strcmp(name, "EACCES") == 0) s.error = EACCES;
      else if (std::strcmp(name, "EIO") == 0) s.error = EIO;
      else std::abort();  // a test asked for a kind this hook does not know
    }
    if (const char* log = std::getenv("KADRIX_FAIL_LOG"))
      s.log = __real_open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return s;
  }();
  return loaded;
}

const char* error_name(int error) {
  switch (error) {
    case ENOSPC: return "ENOSPC";
    case EACCES: return "EACCES";
    default: return "EIO";
  }
}

std::atomic<unsigned long long> calls{0};

// The path each descriptor opened for writing was opened with.
std::mutex written_mutex;
std::map<int, std::string>& written() {
  static std::map<int, std::string> paths;
  return paths;
}

std::string written_path(int fd) {
  std::lock_guard lock(written_mutex);
  const auto it = written().find(fd);
  return it == written().end() ? "fd " + std::to_string(fd) : it->second;
}

// Counts one call; true when this is the one to fail (errno is then set).
bool counted(const char* call, const std::string& first, const std::string& second = "") {
  const Settings& s = settings();
  const unsigned long long number = ++calls;
  const bool fail = number == s.fail_at;
  if (s.log >= 0) {
    std::string line = std::to_string(number) + " " + call + " " + first;
    if (!second.empty()) line += " " + second;
    if (fail) line += std::string(" <- ") + error_name(s.error);
    line += "\n";
    // Whole lines, so that a crash leaves every line before it.
    for (std::size_t done = 0; done < line.size();) {
      const ssize_t put = __real_write(s.log, line.data() + done, line.size() - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
  }
  return fail;
}

bool opens_for_writing(int flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) != 0; }

bool takes_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// An open that writes, counted and perhaps failed; real is the call itself.
template <typename Open>
int open_call(const char* call, const char* path, int flags, Open real) {
  if (!opens_for_writing(flags)) return real();
  const int error = settings().error;
  if (counted(call, path)) {
    errno = error;
    return -1;
  }
  const int fd = real();
  if (fd >= 0) {
    std::lock_guard lock(written_mutex);
    written()[fd] = path;
  }
  return fd;
}

mode_t mode_of(int flags, va_list& args) { return takes_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0; }

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_call("open", path, flags, [&] { return __real_open(path, flags, mode); });
}

int __wrap_open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_call("open", path, flags, [&] { return __real_open64(path, flags, mode); });
}

int __wrap_openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_call("open", path, flags, [&] { return __real_openat(dir, path, flags, mode); });
}

int __wrap_openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_call("open", path, flags, [&] { return __real_openat64(dir, path, flags, mode); });
}

int __wrap_creat(const char* path, mode_t mode) {
  return open_call("open", path, O_WRONLY | O_CREAT | O_TRUNC, [&] { return __real_creat(path, mode); });
}

int __wrap_creat64(const char* path, mode_t mode) {
  return open_call("open", path, O_WRONLY | O_CREAT | O_TRUNC, [&] { return __real_creat64(path, mode); });
}

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  // Standard output and error are the programs' console, not their files.
  if (fd <= STDERR_FILENO) return __real_write(fd, data, size);
  const int error = settings().error;
  if (counted("write", written_path(fd))) {
    errno = error;
    return -1;
  }
  return __real_write(fd, data, size);
}

int __wrap_close(int fd) {
  std::string path;
  {
    std::lock_guard lock(written_mutex);
    const auto it = written().find(fd);
    if (it == written().end()) return __real_close(fd);
    path = it->second;
    written().erase(it);
  }
  const int error = settings().error;
  const bool fail = counted("close", path);
  const int closed = __real_close(fd);
  if (!fail) return closed;
  errno = error;
  return -1;
}

int __wrap_rename(const char* from, const char* to) {
  const int error = settings().error;
  if (counted("rename", from, to)) {
    errno = error;
    return -1;
  }
  return __real_rename(from, to);
}

int __wrap_renameat(int from_dir, const char* from, int to_dir, const char* to) {
  const int error = settings().error;
  if (counted("rename", from, to)) {
    errno = error;
    return -1;
  }
  return __real_renameat(from_dir, from, to_dir, to);
}

int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
  const int error = settings().error;
  if (counted(flags & RENAME_EXCHANGE ? "exchange" : "rename", from, to)) {
    errno = error;
    return -1;
  }
  return __real_renameat2(from_dir, from, to_dir, to, flags);
}

int __wrap_link(const char* from, const char* to) {
  const int error = settings().error;
  if (counted("link", from, to)) {
    errno = error;
    return -1;
  }
  return __real_link(from, to);
}

int __wrap_linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  const int error = settings().error;
  if (counted("link", from, to)) {
    errno = error;
    return -1;
  }
  return __real_linkat(from_dir, from, to_dir, to, flags);
}

}  // extern "C"
