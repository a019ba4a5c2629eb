#include "driver/band_pool.h"

#include <algorithm>

namespace kadrix {

void BandPool::run_band(std::unique_lock<std::mutex>& lock, BandJob& job, int band) {
  const auto first = static_cast<std::int32_t>(std::int64_t{job.rows} * band / job.bands);
  const auto end = static_cast<std::int32_t>(std::int64_t{job.rows} * (band + 1) / job.bands);
  lock.unlock();
  std::exception_ptr failure;
  try {
    (*job.work)({first, end});
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  if (failure && !job.failure) job.failure = failure;
  if (++job.done == job.bands) changed_.notify_all();
}

bool BandPool::help_once(std::unique_lock<std::mutex>& lock) {
  if (jobs_.empty()) return false;
  BandJob& job = *jobs_.front();
  const int band = job.handed_out++;
  if (job.handed_out == job.bands) jobs_.erase(jobs_.begin());
  run_band(lock, job, band);
  return true;
}

void BandPool::for_each_band(std::int32_t rows, int bands, const std::function<void(RowRange)>& work) {
  bands = std::max(1, std::min<int>(bands, rows));
  if (bands == 1) {
    work({0, rows});
    return;
  }
  BandJob job;
  job.work = &work;
  job.rows = rows;
  job.bands = bands;
  std::unique_lock lock(mutex_);
  jobs_.push_back(&job);
  changed_.notify_all();
  // Its own bands first, then whatever else is waiting, until all of its
  // bands have ended.
  while (job.done < job.bands) {
    if (job.handed_out < job.bands) {
      const int band = job.handed_out++;
      if (job.handed_out == job.bands) jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
      run_band(lock, job, band);
    } else if (!help_once(lock)) {
      changed_.wait(lock);
    }
  }
  if (job.failure) std::rethrow_exception(job.failure);
}

}  // namespace kadrix
