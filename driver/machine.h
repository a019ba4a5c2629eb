#pragma once
// What this process may use of the machine: how many cores, how much memory.

#include <sched.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kadrix {

// Cores this process may run on: its CPU affinity (so taskset counts) and
// the CPU quota of its control group, whichever is smaller; at least 1.
int usable_cores();

// Bytes the objects of a run may hold at once: half the physical memory
// (or of the control group's memory limit, if lower), or, when an
// address-space limit is set, what that limit leaves beside what the
// process already maps and what `threads` more threads will map (a stack
// and an allocator arena each).
std::uint64_t memory_budget(int threads);

// Where workers start. A new thread is queued on the core of the thread
// that made it, and on a busy core it may wait for the scheduler's next
// tick (milliseconds) while another core idles. So each worker is started
// on a core of its own, and lets go of it as soon as it runs: from then on
// the system places it as any other thread.
class WorkerPlacement {
 public:
  // Reads the cores this process may use and the one the caller runs on.
  WorkerPlacement();
  // Right after `thread` (worker 1, 2, ...) is made: puts it on a core of
  // its own where there is one, then sets `placed`.
  void place(std::thread& thread, int worker, std::atomic<bool>& placed) const;
  // The worker's first step: waits for `placed`, then lets it run on every
  // core the process may use again.
  void let_go(const std::atomic<bool>& placed) const;

 private:
  cpu_set_t allowed_{};
  bool known_ = false;
  std::vector<int> other_cores_;  // allowed, other than the caller's
};

// The cores a quota allows: "QUOTA PERIOD" (cpu.max), rounded up; nothing
// for "max" or text that is not a quota.
std::optional<int> cores_of_cpu_max(const std::string& text);
// The same from the two numbers of an older control group (-1: no quota).
std::optional<int> cores_of_cfs_quota(std::int64_t quota_us, std::int64_t period_us);

}  // namespace kadrix
