#include "driver/machine.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace kadrix {

namespace {

std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The paths of this process's control groups: the unified one ("" key)
// and those of the older per-controller hierarchies, by controller name.
std::vector<std::pair<std::string, std::string>> control_groups() {
  std::vector<std::pair<std::string, std::string>> groups;
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    // "ID:CONTROLLERS:PATH"
    const auto first = line.find(':');
    const auto second = line.find(':', first == std::string::npos ? first : first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    std::stringstream names(controllers);
    std::string name;
    if (controllers.empty()) groups.emplace_back("", path);
    while (std::getline(names, name, ',')) groups.emplace_back(name, path);
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
        const std::string quota = first_line(dir + "/cpu.cfs_quota_us");
        const std::string period = first_line(dir + "/cpu.cfs_period_us");
        if (quota.empty() || period.empty()) return;
        try {
          take(cores_of_cfs_quota(std::stoll(quota), std::stoll(period)));
        } catch (const std::exception&) {
        }
      });
    }
  }
  return cores;
}

std::optional<std::uint64_t> cgroup_memory() {
  std::optional<std::uint64_t> limit;
  auto take = [&limit](const std::string& text) {
    if (text.empty() || text == "max") return;
    try {
      const std::uint64_t value = std::stoull(text);
      if (!limit || value < *limit) limit = value;
    } catch (const std::exception&) {
    }
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
  std::ifstream in("/proc/self/statm");
  std::uint64_t pages = 0;
  in >> pages;
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

std::optional<int> cores_of_cfs_quota(std::int64_t quota_us, std::int64_t period_us) {
  if (quota_us <= 0 || period_us <= 0) return std::nullopt;
  return static_cast<int>(std::max<std::int64_t>(1, (quota_us + period_us - 1) / period_us));
}

std::optional<int> cores_of_cpu_max(const std::string& text) {
  std::istringstream in(text);
  std::string quota;
  std::int64_t period = 0;
  if (!(in >> quota >> period) || quota == "max") return std::nullopt;
  try {
    return cores_of_cfs_quota(std::stoll(quota), period);
  } catch (const std::exception&) {
    return std::nullopt;
  }
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
