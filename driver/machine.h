#pragma once
// What this process may use of the machine: how many cores, how much memory.

#include <cstdint>
#include <optional>
#include <string>

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

// The cores a quota allows: "QUOTA PERIOD" (cpu.max), rounded up; nothing
// for "max" or text that is not a quota.
std::optional<int> cores_of_cpu_max(const std::string& text);
// The same from the two numbers of an older control group (-1: no quota).
std::optional<int> cores_of_cfs_quota(std::int64_t quota_us, std::int64_t period_us);

}  // namespace kadrix
