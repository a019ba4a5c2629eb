// How many cores and how much memory a run may use.

#include "driver/machine.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

namespace {

TEST(Machine, CoresOfAControlGroupQuota) {
  struct Case {
    const char* cpu_max;
    std::optional<int> cores;
  };
  const Case cases[] = {
      {"max 100000", std::nullopt}, {"100000 100000", 1}, {"150000 100000", 2}, {"50000 100000", 1},
      {"200000 100000", 2},         {"250000 50000", 5},  {"", std::nullopt},   {"junk", std::nullopt},
      {"0 100000", std::nullopt},   {"100000 0", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(kadrix::cores_of_cpu_max(c.cpu_max), c.cores) << c.cpu_max;
  EXPECT_EQ(kadrix::cores_of_cfs_quota(-1, 100000), std::nullopt);
  EXPECT_EQ(kadrix::cores_of_cfs_quota(250000, 100000), 3);
}

// Runs check() in a child process (so that limits set there stay there)
// and says whether it returned true.
template <class Check>
bool in_child(Check check) {
  const pid_t pid = fork();
  if (pid == 0) _exit(check() ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Machine, APinnedProcessUsesOneCore) {
  EXPECT_GE(kadrix::usable_cores(), 1);
  EXPECT_TRUE(in_child([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    return sched_setaffinity(0, sizeof one, &one) == 0 && kadrix::usable_cores() == 1;
  }));
}

// The cores worker `worker` may run on as it starts, and once it has let go.
struct WorkerCores {
  cpu_set_t starting;
  cpu_set_t after;
};
WorkerCores start_worker(const kadrix::WorkerPlacement& placement, int worker) {
  WorkerCores seen{};
  std::atomic<bool> placed{false};
  std::thread thread([&] {
    while (!placed.load()) std::this_thread::yield();
    sched_getaffinity(0, sizeof seen.starting, &seen.starting);
    placement.let_go(placed);
    sched_getaffinity(0, sizeof seen.after, &seen.after);
  });
  placement.place(thread, worker, placed);
  thread.join();
  return seen;
}

TEST(Machine, WorkersStartOnCoresOfTheirOwnAndThenLetGo) {
  cpu_set_t process;
  ASSERT_EQ(sched_getaffinity(0, sizeof process, &process), 0);
  const int caller = sched_getcpu();
  const kadrix::WorkerPlacement placement;
  const int cores = CPU_COUNT(&process);
  for (int worker = 1; worker <= cores; ++worker) {
    const WorkerCores seen = start_worker(placement, worker);
    EXPECT_TRUE(CPU_EQUAL(&seen.after, &process)) << "worker " << worker << " stayed pinned";
    if (worker < cores) {
      // One core, allowed, not the caller's, and another for each worker.
      EXPECT_EQ(CPU_COUNT(&seen.starting), 1) << worker;
      EXPECT_FALSE(CPU_ISSET(caller, &seen.starting)) << worker;
      cpu_set_t within;
      CPU_AND(&within, &seen.starting, &process);
      EXPECT_EQ(CPU_COUNT(&within), 1) << worker;
    } else {
      // More workers than other cores: the system places the rest.
      EXPECT_TRUE(CPU_EQUAL(&seen.starting, &process)) << worker;
    }
  }
  if (cores >= 3) {
    const WorkerCores first = start_worker(placement, 1);
    const WorkerCores second = start_worker(placement, 2);
    EXPECT_FALSE(CPU_EQUAL(&first.starting, &second.starting));
  }
  // Pinned to one core, a process has no other to start a worker on.
  EXPECT_TRUE(in_child([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) return false;
    const kadrix::WorkerPlacement pinned;
    const WorkerCores seen = start_worker(pinned, 1);
    return CPU_EQUAL(&seen.starting, &one) && CPU_EQUAL(&seen.after, &one);
  }));
}

TEST(Machine, AnAddressSpaceLimitBoundsTheBudget) {
#ifdef KADRIX_SANITIZED
  GTEST_SKIP() << "the sanitizers reserve terabytes of address space, so no address-space limit can be set";
#endif
  EXPECT_GT(kadrix::memory_budget(0), 0u);
  EXPECT_TRUE(in_child([] {
    const rlimit limit{std::uint64_t{4} << 30, std::uint64_t{4} << 30};
    if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
    const std::uint64_t budget = kadrix::memory_budget(0);
    // Each thread still to start takes its stack and arena off the budget.
    return budget > 0 && budget < (std::uint64_t{4} << 30) && kadrix::memory_budget(2) < budget;
  }));
}

}  // namespace
