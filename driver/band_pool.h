#pragma once
// The band pool: rows of a banded job shared out among the workers of a
// run, and the one lock and signal every wait of the run goes through. The
// memory gate and the ordered transcript keep their state under this lock
// and wait with wait_helping(), so a worker that waits for memory or for
// its turn computes other objects' bands meanwhile.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "stats/background.h"

namespace kadrix {

class BandPool {
 public:
  explicit BandPool(int workers) : workers_(workers) {}
  BandPool(const BandPool&) = delete;
  BandPool& operator=(const BandPool&) = delete;

  int workers() const { return workers_; }

  // Runs work over rows [0, rows) in `bands` bands, on this worker and on any
  // worker that would otherwise wait; returns when all are done. An
  // exception in any band is thrown here once all have ended.
  void for_each_band(std::int32_t rows, int bands, const std::function<void(RowRange)>& work);

  // The lock of the pool, which also guards what the parts waiting through
  // it share.
  std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
  // Waits for ready() under `lock` (which it checks with the lock held),
  // computing bands meanwhile. Whatever makes ready() true must call
  // changed() under the lock, or no waiter may see it.
  template <class Ready>
  void wait_helping(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) {
      if (!help_once(lock)) changed_.wait(lock);
    }
  }
  // Wakes every waiter to check again; called under the lock.
  void changed() { changed_.notify_all(); }

 private:
  struct BandJob {
    const std::function<void(RowRange)>* work = nullptr;
    std::int32_t rows = 0;
    int bands = 0;
    int handed_out = 0;
    int done = 0;
    std::exception_ptr failure;
  };

  // Runs one band of any job, if one is waiting; false when none is.
  bool help_once(std::unique_lock<std::mutex>& lock);
  void run_band(std::unique_lock<std::mutex>& lock, BandJob& job, int band);

  std::mutex mutex_;
  std::condition_variable changed_;
  const int workers_;
  std::vector<BandJob*> jobs_;  // jobs with bands not yet handed out
};

}  // namespace kadrix
