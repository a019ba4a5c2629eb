#include "test_support.h"

#include "bmp/frame_files.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace kadrix_test {

namespace fs = std::filesystem;

// ---- TempDir -----------------------------------------------------------

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kadrix-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

// ---- files -------------------------------------------------------------

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void write_file(const std::string& path, const std::string& text) {
  write_file(path, Bytes(text.begin(), text.end()));
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

::testing::AssertionResult same_bytes(const Bytes& actual, const Bytes& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  auto window = [at](const Bytes& bytes) {
    std::string text;
    char hex[4];
    const std::size_t from = at >= 8 ? at - 8 : 0;
    for (std::size_t i = from; i < bytes.size() && i < at + 8; ++i) {
      std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
      text += i == at ? '[' : ' ';
      text += hex;
      if (i == at) text += ']';
    }
    return text;
  };
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " (actual) and " << expected.size()
         << " (expected); first difference at byte " << at << "\n  actual:  " << window(actual)
         << "\n  expected:" << window(expected);
}

// ---- BMP bytes ---------------------------------------------------------

void put_le16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes.at(offset) = static_cast<std::uint8_t>(value & 0xFF);
  bytes.at(offset + 1) = static_cast<std::uint8_t>(value >> 8);
}

void put_le32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_le32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes.at(offset + i);
  return value;
}

Bytes build_bmp(const BmpShape& shape) {
  const std::uint32_t bytes_per_pixel = shape.bits / 8u;
  const std::uint32_t row_bytes = static_cast<std::uint32_t>(shape.width) * bytes_per_pixel;
  const std::uint32_t stride = (row_bytes + 3) / 4 * 4;
  const std::uint32_t palette_bytes = static_cast<std::uint32_t>(shape.palette_entries) * 4;
  const std::uint32_t data_offset = 14 + shape.info_size + palette_bytes + shape.gap;
  const std::uint32_t image_size = stride * static_cast<std::uint32_t>(shape.height);

  if (shape.pixels.size() != static_cast<std::size_t>(row_bytes) * static_cast<std::uint32_t>(shape.height)) {
    throw std::invalid_argument("build_bmp: pixel count does not match the geometry");
  }
  if (shape.info_size < 40) throw std::invalid_argument("build_bmp: info_size below 40");

  Bytes bytes(data_offset + image_size, 0);
  bytes[0] = 'B';
  bytes[1] = 'M';
  put_le32(bytes, 2, data_offset + image_size);
  put_le32(bytes, 10, data_offset);
  put_le32(bytes, 14, shape.info_size);
  put_le32(bytes, 18, static_cast<std::uint32_t>(shape.width));
  put_le32(bytes, 22, static_cast<std::uint32_t>(shape.top_down ? -shape.height : shape.height));
  put_le16(bytes, 26, 1);
  put_le16(bytes, 28, shape.bits);
  put_le32(bytes, 30, shape.compression);
  put_le32(bytes, 34, image_size);
  put_le32(bytes, 38, 1);
  put_le32(bytes, 42, 1);

  std::size_t at = 14 + shape.info_size;
  for (int i = 0; i < shape.palette_entries; ++i) {
    const auto v = static_cast<std::uint8_t>(shape.inverted_palette ? 255 - (i & 0xFF) : (i & 0xFF));
    bytes[at++] = v;
    bytes[at++] = v;
    bytes[at++] = v;
    bytes[at++] = 0;
  }
  for (std::uint32_t i = 0; i < shape.gap; ++i) bytes[at++] = shape.gap_byte;

  for (std::int32_t f = 0; f < shape.height; ++f) {
    // File row f holds image row height-1-f, or row f when stored top-down.
    const std::int32_t y = shape.top_down ? f : shape.height - 1 - f;
    const std::uint8_t* src = shape.pixels.data() + static_cast<std::size_t>(y) * row_bytes;
    std::copy(src, src + row_bytes, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at + row_bytes),
              bytes.begin() + static_cast<std::ptrdiff_t>(at + stride), shape.pad_byte);
    at += stride;
  }
  return bytes;
}

Bytes frame_bmp(std::int32_t width, std::int32_t height, const std::vector<std::uint8_t>& pixels) {
  BmpShape shape;
  shape.width = width;
  shape.height = height;
  shape.pixels = pixels;
  return build_bmp(shape);
}

std::vector<std::uint8_t> flat(std::int32_t width, std::int32_t height, std::uint8_t value) {
  return std::vector<std::uint8_t>(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), value);
}

Bytes float_bytes(float value) {
  std::uint32_t bits = 0;
  static_assert(sizeof bits == sizeof value);
  std::memcpy(&bits, &value, sizeof bits);
  Bytes bytes(4);
  put_le32(bytes, 0, bits);
  return bytes;
}

std::string numbered_names(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += 'N';
    text += std::to_string(i);
    text += '\n';
  }
  return text;
}

std::string numbered_echo(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    const std::string number = std::to_string(i);
    text += 'N';
    text += number;
    text += ' ';
    text += number;
    text += "\r\n";
  }
  return text;
}

// ---- running a program --------------------------------------------------

namespace {

[[noreturn]] void child_fail(const char* what) {
  const char* reason = std::strerror(errno);
  [[maybe_unused]] ssize_t r = write(2, what, std::strlen(what));
  r = write(2, ": ", 2);
  r = write(2, reason, std::strlen(reason));
  _exit(127);
}

void set_limit(int resource, std::uint64_t bytes) {
  const rlimit limit{bytes, bytes};
  if (setrlimit(resource, &limit) != 0) child_fail("setrlimit");
}

// The environment of the child: this process's, with the variables asked
// for in place of any of the same name, and the sanitizer's allocation cap
// or the leak check's absence added to ASAN_OPTIONS when asked for.
std::vector<std::string> child_environment(std::uint64_t largest_allocation_mib, bool no_leak_check,
                                           const std::vector<std::string>& extra) {
  const auto replaced = [&extra](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (const std::string& e : extra)
      if (e.rfind(name, 0) == 0) return true;
    return false;
  };
  std::vector<std::string> env;
  std::string asan_options;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (replaced(text)) continue;
    const bool adds_asan = largest_allocation_mib != 0 || no_leak_check;
    if (adds_asan && text.rfind("ASAN_OPTIONS=", 0) == 0) asan_options = text.substr(13);
    else env.push_back(text);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  const auto add_asan = [&asan_options](const std::string& option) {
    asan_options += (asan_options.empty() ? "" : ":") + option;
  };
  if (largest_allocation_mib != 0) add_asan("max_allocation_size_mb=" + std::to_string(largest_allocation_mib));
  if (no_leak_check) add_asan("detect_leaks=0");
  if (largest_allocation_mib != 0 || no_leak_check) env.push_back("ASAN_OPTIONS=" + asan_options);
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::string child_string(pid_t pid, std::uint64_t address) {
  std::string text;
  for (std::uint64_t at = address; text.size() < 8192; at += sizeof(long)) {
    errno = 0;
    const long word = ptrace(PTRACE_PEEKDATA, pid, reinterpret_cast<void*>(at), nullptr);
    if (errno != 0) break;
    char bytes[sizeof word];
    std::memcpy(bytes, &word, sizeof word);
    for (char c : bytes) {
      if (c == '\0') return text;
      text.push_back(c);
    }
  }
  return text;
}

// Follows the traced child, every thread of it, from one system call to
// the next until on_syscall says it is done; then lets every thread go. The
// child's status is kept when it ends meanwhile.
void follow_syscalls(pid_t pid, const std::function<bool(const SyscallEntry&)>& on_syscall, RunResult& result,
                     std::optional<int>& status, rusage& usage) {
  int s = 0;
  if (wait4(pid, &s, 0, &usage) < 0) return;
  if (!WIFSTOPPED(s)) {  // it never reached its exec: not allowed to be traced
    status = s;
    return;
  }
  result.traced = true;
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL | PTRACE_O_TRACECLONE);
  std::set<pid_t> threads = {pid};  // traced and not yet let go
  bool done = false;
  // Resumes a stopped thread: traced on to its next system call until the
  // trace is done, then let go.
  auto resume = [&](pid_t tid, int deliver) {
    if (!done) {
      ptrace(PTRACE_SYSCALL, tid, nullptr, deliver);
      return;
    }
    ptrace(PTRACE_DETACH, tid, nullptr, deliver);
    threads.erase(tid);
  };
  resume(pid, 0);
  while (!threads.empty()) {
    rusage thread_usage{};
    const pid_t tid = wait4(-1, &s, __WALL, &thread_usage);
    if (tid < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (WIFEXITED(s) || WIFSIGNALED(s)) {
      threads.erase(tid);
      if (tid == pid) {
        status = s;
        usage = thread_usage;
        return;
      }
      continue;
    }
    if (!WIFSTOPPED(s)) continue;
    const int signal_number = WSTOPSIG(s);
    if (threads.insert(tid).second && signal_number == SIGSTOP) {
      resume(tid, 0);  // a new thread's first stop
      continue;
    }
    if (s >> 16 == PTRACE_EVENT_CLONE) {
      unsigned long child = 0;
      if (ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child) == 0) threads.insert(static_cast<pid_t>(child));
      resume(tid, 0);
      continue;
    }
    if (signal_number != (SIGTRAP | 0x80)) {
      // A new thread's first stop may come before its parent's event.
      resume(tid, signal_number == SIGSTOP ? 0 : signal_number);
      continue;
    }
    __ptrace_syscall_info info{};
    if (!done && ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof info, &info) > 0 &&
        info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      SyscallEntry call;
      call.pid = tid;
      call.number = static_cast<long>(info.entry.nr);
      for (std::size_t i = 0; i < call.args.size(); ++i) call.args[i] = info.entry.args[i];
      if (on_syscall(call)) {
        result.trace_done = true;
        done = true;
      }
    }
    resume(tid, 0);
  }
}

// Names that appeared in the watched directory since the last call.
int new_names(int watch) {
  alignas(inotify_event) char buffer[8192];
  int names = 0;
  ssize_t got;
  while ((got = read(watch, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      ++names;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return names;
}

}  // namespace

std::string opened_path(const SyscallEntry& call) {
  if (call.number == SYS_openat) return child_string(call.pid, call.args[1]);
#ifdef SYS_open
  if (call.number == SYS_open || call.number == SYS_creat) return child_string(call.pid, call.args[0]);
#endif
  return "";
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  // A child that exits before reading its input must not stop the tests.
  signal(SIGPIPE, SIG_IGN);

  int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.stdin_data && pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.close_stdout_early) {
    // Nobody ever reads: the first write of the child already fails.
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }

  std::vector<std::string> argv_storage = {program};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<std::string> env_storage =
      child_environment(options.largest_allocation_mib, options.no_new_threads, options.environment);
  const std::vector<char*> argv = pointers(argv_storage);
  const std::vector<char*> envp = pointers(env_storage);

  // Watching starts before the child exists, so no name is missed.
  int watch = -1;
  if (!options.watched_dir.empty()) {
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const std::uint32_t events =
        IN_CREATE | IN_MOVED_TO | (options.count_removals ? IN_MOVED_FROM | IN_DELETE : 0u);
    if (watch < 0 || inotify_add_watch(watch, options.watched_dir.c_str(), events) < 0)
      throw std::runtime_error("inotify failed on " + options.watched_dir);
  }

  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The child starts from default dispositions whatever the test runner set.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    const int in_fd = options.stdin_data ? in_pipe[0] : open("/dev/null", O_RDONLY);
    if (in_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0)
      child_fail("redirect");
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) child_fail("chdir");
    if (options.umask_value) umask(*options.umask_value);
    if (options.address_space_limit != 0) set_limit(RLIMIT_AS, options.address_space_limit);
    if (options.file_size_limit != 0) set_limit(RLIMIT_FSIZE, options.file_size_limit);
    if (options.no_new_threads) {
      set_limit(RLIMIT_NPROC, 1);
      constexpr uid_t kNobody = 65534;
      if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
        child_fail("setuid");
    }
    if (options.on_syscall && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    child_fail("execve");
  }

  close(out_pipe[1]);
  close(err_pipe[1]);
  if (options.stdin_data) close(in_pipe[0]);

  RunResult result;
  result.pid = pid;
  std::optional<int> status;  // set once the child has been reaped
  rusage usage{};
  if (options.on_syscall) follow_syscalls(pid, options.on_syscall, result, status, usage);

  const std::string input = options.stdin_data.value_or("");
  std::size_t input_at = 0;
  if (options.stdin_data) {
    fcntl(in_pipe[1], F_SETFL, fcntl(in_pipe[1], F_GETFL) | O_NONBLOCK);
    if (input.empty()) {
      close(in_pipe[1]);
      in_pipe[1] = -1;
    }
  }

  bool kill_sent = false;
  auto kill_child = [&] {
    if (kill_sent || status) return;  // a reaped child's pid may belong to another process
    kill(pid, SIGKILL);
    kill_sent = true;
  };

  // Standard output, standard error, standard input, the watched directory.
  int fds[4] = {out_pipe[0], err_pipe[0], in_pipe[1], watch};
  std::string* sinks[2] = {&result.out, &result.err};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  while (fds[0] >= 0 || fds[1] >= 0) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      if (result.timed_out) break;  // killed, yet its output never closed
      result.timed_out = true;
      kill_child();
      deadline = now + std::chrono::seconds(10);
    }
    pollfd polls[4];
    int which[4];
    nfds_t count = 0;
    for (int i = 0; i < 4; ++i) {
      if (fds[i] < 0) continue;
      polls[count] = pollfd{fds[i], static_cast<short>(i == 2 ? POLLOUT : POLLIN), 0};
      which[count++] = i;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    if (poll(polls, count, static_cast<int>(std::clamp<long long>(left, 1, 200))) < 0 && errno != EINTR) break;
    for (nfds_t p = 0; p < count; ++p) {
      if (polls[p].revents == 0) continue;
      const int i = which[p];
      if (i == 3) {
        result.names += new_names(watch);
        if (options.kill_on_names && !kill_sent && options.kill_on_names(result.names)) {
          result.killed = true;
          kill_child();
        }
      } else if (i == 2) {
        const ssize_t n = write(fds[2], input.data() + input_at, input.size() - input_at);
        if (n > 0) input_at += static_cast<std::size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || input_at == input.size()) {
          close(fds[2]);
          fds[2] = -1;
        }
      } else {
        char buffer[65536];
        const ssize_t n = read(fds[i], buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(n));
          if (i == 0 && options.kill_on_output && !kill_sent && options.kill_on_output(result.out)) {
            result.killed = true;
            kill_child();
          }
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          close(fds[i]);
          fds[i] = -1;
        }
      }
    }
  }
  if (watch >= 0) result.names += new_names(watch);  // names that came after the last poll
  for (int fd : fds)
    if (fd >= 0) close(fd);

  int s = 0;
  if (status) {
    s = *status;
  } else {
    while (wait4(pid, &s, 0, &usage) < 0 && errno == EINTR) {
    }
  }
  result.peak_rss_kib = usage.ru_maxrss;
  if (WIFEXITED(s)) result.exit_status = WEXITSTATUS(s);
  if (WIFSIGNALED(s)) result.signal = WTERMSIG(s);
  return result;
}

RunOptions capped_memory() {
  RunOptions options;
  if (kSanitized) options.largest_allocation_mib = 16;
  else options.address_space_limit = std::uint64_t{64} << 20;
  return options;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// ---- frames --------------------------------------------------------------

std::string frame_file(const std::string& prefix, const std::string& name, int number) {
  return kadrix::frame_path(prefix, name, number);
}

std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : list_dir(dir))
    if (name.find(".tmp.") != std::string::npos) found.push_back(name);
  return found;
}

// ---- capturing standard output -----------------------------------------

std::string capture_stdout(const std::function<void()>& fn) {
  std::fflush(stdout);
  std::cout.flush();
  char name[] = "/tmp/kadrix-capture-XXXXXX";
  const int file = mkstemp(name);
  if (file < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  const int saved = dup(1);
  dup2(file, 1);
  try {
    fn();
  } catch (...) {
    std::fflush(stdout);
    std::cout.flush();
    dup2(saved, 1);
    close(saved);
    close(file);
    throw;
  }
  std::fflush(stdout);
  std::cout.flush();
  dup2(saved, 1);
  close(saved);

  std::string captured;
  char buffer[65536];
  off_t at = 0;
  ssize_t n;
  while ((n = pread(file, buffer, sizeof buffer, at)) > 0) {
    captured.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  close(file);
  return captured;
}

// ---- address-space cap -------------------------------------------------

AddressSpaceCap::AddressSpaceCap(std::uint64_t headroom_bytes) {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  if (!(statm >> pages)) return;
  const std::uint64_t current = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0) return;
  const std::uint64_t wanted = current + headroom_bytes;
  if (limit.rlim_max != RLIM_INFINITY && wanted > limit.rlim_max) return;
  if (limit.rlim_cur != RLIM_INFINITY && wanted > limit.rlim_cur) return;
  old_soft_ = limit.rlim_cur;
  limit.rlim_cur = wanted;
  active_ = setrlimit(RLIMIT_AS, &limit) == 0;
}

AddressSpaceCap::~AddressSpaceCap() {
  if (!active_) return;
  struct rlimit limit;
  getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = old_soft_;
  setrlimit(RLIMIT_AS, &limit);
}

}  // namespace kadrix_test
