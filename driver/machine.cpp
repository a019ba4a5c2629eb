#include "driver/machine.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <string_view>
#include <vector>

namespace kadrix {

namespace {

// The start of a small system file (at most 64 KiB), or "" when it cannot
// be read. Plain reads: these files are read once, as kadrix starts, where
// a stream's set-up would cost more than the reading.
std::string read_small_file(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  while (text.size() < (std::size_t{64} << 10)) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return text;
}

std::string first_line(const std::string& path) {
  std::string text = read_small_file(path);
  text.erase(std::min(text.find('\n'), text.size()));
  return text;
}

// The pieces of text between separators (empty ones included).
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

// A whole number at the start of text, after any blanks (as strtoll reads
// it); nothing when there is none or it does not fit.
template <class Number>
std::optional<Number> leading_number(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\n");
  if (start == std::string_view::npos) return std::nullopt;
  text.remove_prefix(start);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The paths of this process's control groups: the unified one ("" key)
// and those of the older per-controller hierarchies, by controller name.
std::vector<std::pair<std::string, std::string>> control_groups() {
  std::vector<std::pair<std::string, std::string>> groups;
  const std::string text = read_small_file("/proc/self/cgroup");
  for (const std::string_view line : split(text, '\n')) {
    // "ID:CONTROLLERS:PATH"
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string path(line.substr(second + 1));
    if (controllers.empty()) {
      groups.emplace_back("", path);
      continue;
    }
    for (const std::string_view name : split(controllers, ',')) groups.emplace_back(std::string(name), path);
  }
  return groups;
}

// Calls read(dir) for the group's directory and each one above it up to
// the root: a limit set on any of them holds for the process.
template <class Read>
void for_each_level(const std::string& mount, const std::string& path, Read&& read) {
  std::string at = path;
  for (;;) {
    read(mount + (at == "/" ? "" : at));
    if (at.empty() || at == "/") break;
    const auto slash = at.find_last_of('/');
    at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
  }
}

std::optional<int> cgroup_cores() {
  std::optional<int> cores;
  auto take = [&cores](std::optional<int> found) {
    if (found && (!cores || *found < *cores)) cores = found;
  };
  for (const auto& [controller, path] : control_groups()) {
    if (controller.empty()) {
      for_each_level("/sys/fs/cgroup", path,
                     [&](const std::string& dir) { take(cores_of_cpu_max(first_line(dir + "/cpu.max"))); });
    } else if (controller == "cpu") {
      for_each_level("/sys/fs/cgroup/cpu", path, [&](const std::string& dir) {
        const auto quota = leading_number<std::int64_t>(first_line(dir + "/cpu.cfs_quota_us"));
        const auto period = leading_number<std::int64_t>(first_line(dir + "/cpu.cfs_period_us"));
        if (quota && period) take(cores_of_cfs_quota(*quota, *period));
      });
    }
  }
  return cores;
}

std::optional<std::uint64_t> cgroup_memory() {
  std::optional<std::uint64_t> limit;
  auto take = [&limit](const std::string& text) {
    const std::optional<std::uint64_t> value = leading_number<std::uint64_t>(text);  // "max": none
    if (value && (!limit || *value < *limit)) limit = value;
  };
  for (const auto& [controller, path] : control_groups()) {
    if (controller.empty())
      for_each_level("/sys/fs/cgroup", path, [&](const std::string& dir) { take(first_line(dir + "/memory.max")); });
    else if (controller == "memory")
      for_each_level("/sys/fs/cgroup/memory", path,
                     [&](const std::string& dir) { take(first_line(dir + "/memory.limit_in_bytes")); });
  }
  return limit;
}

// Bytes of address space this process maps now.
std::uint64_t mapped_bytes() {
  const std::uint64_t pages = leading_number<std::uint64_t>(first_line("/proc/self/statm")).value_or(0);
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

std::optional<int> cores_of_cfs_quota(std::int64_t quota_us, std::int64_t period_us) {
  if (quota_us <= 0 || period_us <= 0) return std::nullopt;
  return static_cast<int>(std::max<std::int64_t>(1, (quota_us + period_us - 1) / period_us));
}

std::optional<int> cores_of_cpu_max(const std::string& text) {
  // "QUOTA PERIOD", QUOTA "max" when there is none.
  std::vector<std::string_view> words;
  for (const std::string_view word : split(text, ' '))
    if (!word.empty()) words.push_back(word);
  if (words.size() < 2 || words[0] == "max") return std::nullopt;
  const auto quota = leading_number<std::int64_t>(words[0]);
  const auto period = leading_number<std::int64_t>(words[1]);
  if (!quota || !period) return std::nullopt;
  return cores_of_cfs_quota(*quota, *period);
}

int usable_cores() {
  int cores = 1;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) cores = std::max(1, CPU_COUNT(&set));
  else cores = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
  if (const std::optional<int> quota = cgroup_cores()) cores = std::min(cores, *quota);
  return cores;
}

WorkerPlacement::WorkerPlacement() {
  CPU_ZERO(&allowed_);
  known_ = ::sched_getaffinity(0, sizeof allowed_, &allowed_) == 0;
  if (!known_) return;
  const int own = ::sched_getcpu();
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &allowed_) && cpu != own) other_cores_.push_back(cpu);
}

void WorkerPlacement::place(std::thread& thread, int worker, std::atomic<bool>& placed) const {
  if (worker >= 1 && static_cast<std::size_t>(worker) <= other_cores_.size()) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(other_cores_[static_cast<std::size_t>(worker - 1)], &one);
    // Where this fails the thread simply starts where the system puts it.
    ::pthread_setaffinity_np(thread.native_handle(), sizeof one, &one);
  }
  placed.store(true, std::memory_order_release);
}

void WorkerPlacement::let_go(const std::atomic<bool>& placed) const {
  // Placing takes microseconds; until then the maker needs this core.
  while (!placed.load(std::memory_order_acquire)) std::this_thread::yield();
  if (known_) ::sched_setaffinity(0, sizeof allowed_, &allowed_);
}

std::uint64_t memory_budget(int threads) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    // A thread's stack is as large as the stack limit says (glibc takes
    // 8 MiB when it is unlimited), and its allocator arena reserves 64 MiB.
    rlimit stack{};
    const std::uint64_t stack_bytes = ::getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY
                                          ? stack.rlim_cur
                                          : std::uint64_t{8} << 20;
    const std::uint64_t used =
        mapped_bytes() + static_cast<std::uint64_t>(std::max(threads, 0)) * (stack_bytes + (std::uint64_t{64} << 20));
    return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
  }
  std::uint64_t physical = static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                           static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  if (const std::optional<std::uint64_t> group = cgroup_memory()) physical = std::min(physical, *group);
  return physical / 2;
}

}  // namespace kadrix
