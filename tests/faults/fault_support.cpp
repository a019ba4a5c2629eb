#include "fault_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kadrix_faults {

namespace {

// A safety net only: no test depends on how long anything takes.
constexpr auto kHangLimit = std::chrono::seconds(60);

struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  std::optional<int> status;  // set when the child was reaped already
};

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

Child spawn(const std::string& directory, const std::string& list, const Limits& limits, bool traced) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  std::string program = KADRIX_BIN;
  std::string dir_arg = directory;
  std::string list_arg = list;
  char* argv[] = {program.data(), dir_arg.data(), list_arg.data(), nullptr};

  std::string asan_options;
  if (limits.largest_allocation_mib != 0) {
    const char* old = std::getenv("ASAN_OPTIONS");
    asan_options = (old != nullptr && *old != '\0' ? std::string(old) + ":" : std::string()) +
                   "max_allocation_size_mb=" + std::to_string(limits.largest_allocation_mib);
  }

  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // The child starts from default dispositions whatever the test runner set.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
      child_fail("redirect");
    if (limits.file_size != 0) set_limit(RLIMIT_FSIZE, limits.file_size);
    if (limits.address_space != 0) set_limit(RLIMIT_AS, limits.address_space);
    if (!asan_options.empty()) setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
    if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(126);
    execv(argv[0], argv);
    child_fail("execv");
  }
  close(out[1]);
  close(err[1]);
  return Child{pid, out[0], err[0], std::nullopt};
}

// Reads standard output and error until both close, reaps the child and
// returns what happened. on_out sees all output read so far after every
// chunk; on_extra is called whenever extra_fd is readable.
ChildRun collect(Child child, const std::function<void(const std::string&)>& on_out = {}, int extra_fd = -1,
            const std::function<void()>& on_extra = {}) {
  ChildRun run;
  run.pid = child.pid;
  const auto deadline = std::chrono::steady_clock::now() + kHangLimit;
  int fds[3] = {child.out, child.err, extra_fd};
  std::string* sinks[2] = {&run.out, &run.err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    if (std::chrono::steady_clock::now() > deadline && !run.hung) {
      run.hung = true;
      kill(child.pid, SIGKILL);
    }
    pollfd polls[3];
    int which[3];
    nfds_t count = 0;
    for (int i = 0; i < 3; ++i) {
      if (fds[i] < 0) continue;
      polls[count] = pollfd{fds[i], POLLIN, 0};
      which[count++] = i;
    }
    if (poll(polls, count, 200) < 0 && errno != EINTR) break;
    for (nfds_t p = 0; p < count; ++p) {
      if (polls[p].revents == 0) continue;
      const int i = which[p];
      if (i == 2) {
        if (on_extra) on_extra();
        continue;
      }
      char buffer[65536];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
        if (i == 0 && on_out) on_out(run.out);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int i = 0; i < 2; ++i)
    if (fds[i] >= 0) close(fds[i]);

  int status = 0;
  if (child.status) {
    status = *child.status;
  } else {
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

std::string read_child_string(pid_t pid, std::uint64_t address) {
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

// Follows the traced child from one system call to the next until it
// opens a path starting with prefix; then sets its file-size limit and
// lets it go. False when the child ended first (its status is kept).
bool limit_on_open(Child& child, const std::string& prefix, std::uint64_t file_size) {
  int status = 0;
  if (waitpid(child.pid, &status, 0) < 0 || !WIFSTOPPED(status)) {  // the stop at exec
    child.status = status;
    return false;
  }
  ptrace(PTRACE_SETOPTIONS, child.pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  int deliver = 0;
  for (;;) {
    ptrace(PTRACE_SYSCALL, child.pid, nullptr, deliver);
    deliver = 0;
    if (waitpid(child.pid, &status, 0) < 0) return false;
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      child.status = status;
      return false;
    }
    if (!WIFSTOPPED(status)) continue;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      deliver = WSTOPSIG(status);  // a real signal: pass it on
      continue;
    }
    __ptrace_syscall_info info{};
    if (ptrace(PTRACE_GET_SYSCALL_INFO, child.pid, sizeof info, &info) <= 0) continue;
    if (info.op != PTRACE_SYSCALL_INFO_ENTRY) continue;
    std::uint64_t path_arg = 0;
    if (info.entry.nr == SYS_openat) {
      path_arg = info.entry.args[1];
#ifdef SYS_open
    } else if (info.entry.nr == SYS_open || info.entry.nr == SYS_creat) {
      path_arg = info.entry.args[0];
#endif
    } else {
      continue;
    }
    if (read_child_string(child.pid, path_arg).rfind(prefix, 0) != 0) continue;
    const rlimit limit{file_size, RLIM_INFINITY};
    if (prlimit(child.pid, RLIMIT_FSIZE, &limit, nullptr) != 0) throw std::runtime_error("prlimit failed");
    ptrace(PTRACE_DETACH, child.pid, nullptr, 0);
    return true;
  }
}

}  // namespace

ChildRun run_kadrix(const std::string& directory, const std::string& list, const Limits& limits) {
  return collect(spawn(directory, list, limits, false));
}

ChildRun run_kadrix_limited_from(const std::string& directory, const std::string& list,
                            const std::string& path_prefix, std::uint64_t file_size, bool& limited,
                            bool& available) {
  Child child = spawn(directory, list, {}, true);
  limited = limit_on_open(child, path_prefix, file_size);
  ChildRun run = collect(child);
  // The child exits with 126 when it may not be traced at all.
  available = !(run.exit_status == 126 && run.out.empty());
  return run;
}

ChildRun run_kadrix_killed(const std::string& directory, const std::string& list, KillWhen when, int n,
                      const std::string& watched_dir, int& events) {
  events = 0;
  int watch = -1;
  if (when == KillWhen::new_name) {
    // Watching starts before the child exists, so no name is missed.
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, watched_dir.c_str(), IN_CREATE | IN_MOVED_TO) < 0)
      throw std::runtime_error("inotify failed");
  }
  Child child = spawn(directory, list, {}, false);
  bool killed = false;
  auto count_to = [&](int seen) {
    events = seen;
    if (!killed && n > 0 && events >= n) {
      kill(child.pid, SIGKILL);
      killed = true;
    }
  };
  auto on_out = [&](const std::string& out) {
    if (when != KillWhen::new_var_line) return;
    int lines = 0;
    for (std::size_t at = out.find("new Var: "); at != std::string::npos; at = out.find("new Var: ", at + 1))
      if (out.find("\r\n", at) != std::string::npos) ++lines;
    count_to(lines);
  };
  auto on_name = [&] {
    alignas(inotify_event) char buffer[8192];
    ssize_t got;
    int seen = events;
    while ((got = read(watch, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        ++seen;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    count_to(seen);
  };
  ChildRun run = collect(child, on_out, watch, on_name);
  if (watch >= 0) {
    on_name();  // names that appeared after the last poll still count
    close(watch);
  }
  return run;
}

// ---- frames and directories ---------------------------------------------

std::string frame_name(const std::string& prefix, const std::string& name, int number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%02d", number);
  return prefix + name + digits + ".BMP";
}

void write_object(const std::string& prefix, const std::string& name, std::int32_t width,
                  std::int32_t height, int count, int seed) {
  std::uint32_t state = 2654435761u * static_cast<std::uint32_t>(seed + 1);
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  for (int k = 1; k <= count; ++k) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::int32_t y = 0; y < height; ++y)
      for (std::int32_t x = 0; x < width; ++x)
        pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
            static_cast<std::uint8_t>(20 + 7 * seed + (x + 2 * y) * 40 / (width + 2 * height) + next() % 9);
    for (int star = 0; star < 3 + seed; ++star) {
      const std::size_t at = next() % pixels.size();
      pixels[at] = static_cast<std::uint8_t>(150 + next() % 100);
    }
    kadrix_test::write_file(frame_name(prefix, name, k), kadrix_test::frame_bmp(width, height, pixels));
  }
}

std::string write_list(const kadrix_test::TempDir& dir, const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += name + "\n";
  const std::string path = dir.file("lista.list");
  kadrix_test::write_file(path, text);
  return path;
}

std::vector<std::string> temporaries(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : kadrix_test::list_dir(dir))
    if (name.find(".tmp.") != std::string::npos) found.push_back(name);
  return found;
}

// ---- result files ------------------------------------------------------

namespace {

std::uint32_t le16(const Bytes& b, std::size_t at) { return b[at] | static_cast<std::uint32_t>(b[at + 1]) << 8; }
std::uint32_t le32(const Bytes& b, std::size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

}  // namespace

std::optional<ResultImage> parse_result(const Bytes& bytes, std::string& why) {
  auto fail = [&](const std::string& reason) {
    why = reason;
    return std::nullopt;
  };
  if (bytes.size() < 1078) return fail("shorter than header and palette: " + std::to_string(bytes.size()));
  if (bytes[0] != 'B' || bytes[1] != 'M') return fail("no BM signature");
  ResultImage image;
  image.width = static_cast<std::int32_t>(le32(bytes, 18));
  image.height = static_cast<std::int32_t>(le32(bytes, 22));
  if (image.width <= 0 || image.height <= 0) return fail("width or height not positive");
  const std::uint64_t stride = (static_cast<std::uint64_t>(image.width) + 3) / 4 * 4;
  const std::uint64_t image_bytes = stride * static_cast<std::uint64_t>(image.height);
  struct Field {
    std::size_t at;
    std::uint64_t want;
    const char* name;
  };
  const Field fields[] = {{2, 1078 + image_bytes, "file size"}, {6, 0, "reserved"},
                          {10, 1078, "data offset"},           {14, 40, "information header size"},
                          {34, image_bytes, "image size"},     {38, 1, "horizontal resolution"},
                          {42, 1, "vertical resolution"},      {46, 0, "colours used"},
                          {50, 0, "important colours"},        {30, 0, "compression"}};
  for (const Field& f : fields)
    if (le32(bytes, f.at) != f.want)
      return fail(std::string(f.name) + " field " + std::to_string(le32(bytes, f.at)) + ", expected " +
                  std::to_string(f.want));
  if (le16(bytes, 26) != 1 || le16(bytes, 28) != 8) return fail("planes or bit count wrong");
  if (bytes.size() != 1078 + image_bytes)
    return fail("file holds " + std::to_string(bytes.size()) + " bytes, its header " +
                std::to_string(1078 + image_bytes));
  image.grey_palette = true;
  for (int i = 0; i < 256; ++i) {
    const std::size_t at = 54 + 4 * static_cast<std::size_t>(i);
    const bool grey = bytes[at] == i && bytes[at + 1] == i && bytes[at + 2] == i && bytes[at + 3] == 0;
    if (!grey && i >= 3) return fail("palette entry " + std::to_string(i) + " not grey");
    if (!grey) image.grey_palette = false;
  }
  std::memcpy(&image.level, &bytes[54], 4);
  std::memcpy(&image.sigma, &bytes[58], 4);
  image.frame_count = static_cast<std::int32_t>(le32(bytes, 62));
  const std::size_t width = static_cast<std::size_t>(image.width);
  image.pixels.resize(width * static_cast<std::size_t>(image.height));
  for (std::int32_t f = 0; f < image.height; ++f) {
    const std::size_t row = 1078 + stride * static_cast<std::size_t>(f);
    const std::size_t y = static_cast<std::size_t>(image.height - 1 - f);
    std::memcpy(&image.pixels[y * width], &bytes[row], width);
    for (std::size_t x = width; x < stride; ++x)
      if (bytes[row + x] != 0) return fail("padding byte not zero in file row " + std::to_string(f));
  }
  return image;
}

}  // namespace kadrix_faults
