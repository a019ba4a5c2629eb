#include "driver/crew.h"

#include <algorithm>

#include "driver/console.h"

namespace kadrix {

Crew::Crew(std::size_t objects, int workers, std::uint64_t memory_budget)
    : workers_(workers), objects_(objects), budget_(memory_budget), slots_(objects) {}

std::optional<std::size_t> Crew::next_object() {
  std::lock_guard lock(mutex_);
  if (next_object_ == objects_) return std::nullopt;
  return next_object_++;
}

template <class Ready>
void Crew::wait_helping(std::unique_lock<std::mutex>& lock, Ready ready) {
  while (!ready()) {
    if (!help_once(lock)) changed_.wait(lock);
  }
}

bool Crew::start_object(std::size_t object, std::uint64_t& claim, std::uint64_t bytes,
                        const std::function<void()>& release) {
  std::unique_lock lock(mutex_);
  auto give_back_all = [&] {
    release();
    claimed_ -= claim;
    claim = 0;
    changed_.notify_all();
  };
  // Buffers too small for this object go before larger ones are taken.
  if (bytes > claim) give_back_all();
  bool alone = false;
  bool waiting = false;
  wait_helping(lock, [&] {
    const bool next = object == next_to_start_ && alone_queue_.empty() && !running_alone_;
    const std::uint64_t more = bytes > claim ? bytes - claim : 0;
    if (next) alone = computing_ == 0;
    if (next && (alone || claimed_ + more <= budget_)) return true;
    // Waiting: what this worker holds may be what another object waits for.
    if (claim > 0 && waiting_for_memory_ > (waiting ? 1 : 0)) give_back_all();
    if (next && !waiting) {
      waiting = true;
      ++waiting_for_memory_;
      changed_.notify_all();
    }
    return false;
  });
  if (waiting) --waiting_for_memory_;
  const std::uint64_t more = bytes > claim ? bytes - claim : 0;
  claimed_ += more;
  claim += more;
  ++next_to_start_;
  ++computing_;
  changed_.notify_all();
  return alone;
}

void Crew::restart_alone(std::size_t object, std::uint64_t& claim, std::uint64_t bytes) {
  std::unique_lock lock(mutex_);
  claimed_ -= claim;
  claim = 0;
  --computing_;
  alone_queue_.push_back(object);
  std::sort(alone_queue_.begin(), alone_queue_.end());
  ++waiting_for_memory_;
  changed_.notify_all();
  wait_helping(lock, [&] { return computing_ == 0 && !running_alone_ && alone_queue_.front() == object; });
  --waiting_for_memory_;
  alone_queue_.erase(alone_queue_.begin());
  running_alone_ = object;
  claimed_ += bytes;
  claim = bytes;
  ++computing_;
  changed_.notify_all();
}

void Crew::computed(std::size_t object) {
  std::lock_guard lock(mutex_);
  if (running_alone_ == object) running_alone_.reset();
  --computing_;
  changed_.notify_all();
}

bool Crew::memory_wanted() {
  std::lock_guard lock(mutex_);
  return waiting_for_memory_ > 0;
}

void Crew::give_back(std::uint64_t& claim, std::uint64_t bytes) {
  std::lock_guard lock(mutex_);
  bytes = std::min(bytes, claim);
  claim -= bytes;
  claimed_ -= bytes;
  changed_.notify_all();
}

void Crew::say(std::size_t object, std::string_view text) {
  std::lock_guard lock(mutex_);
  Slot& slot = slots_[object];
  if (slot.repeated < slot.text.size()) {
    // Said before the restart; the same computation says the same again.
    slot.repeated += text.size();
    return;
  }
  slot.text += text;
  slot.repeated = slot.text.size();
  if (object == turn_) console_write(text);
}

void Crew::restart_text(std::size_t object) {
  std::lock_guard lock(mutex_);
  slots_[object].repeated = 0;
}

void Crew::wait_for_turn(std::size_t object) {
  std::unique_lock lock(mutex_);
  wait_helping(lock, [&] { return turn_ == object; });
}

void Crew::finish(std::size_t object) {
  std::lock_guard lock(mutex_);
  slots_[object] = Slot{};
  turn_ = object + 1;
  if (turn_ < slots_.size()) console_write(slots_[turn_].text);
  changed_.notify_all();
}

void Crew::help_until_done() {
  std::unique_lock lock(mutex_);
  wait_helping(lock, [&] { return turn_ == slots_.size(); });
}

void Crew::run_band(std::unique_lock<std::mutex>& lock, BandJob& job, int band) {
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

bool Crew::help_once(std::unique_lock<std::mutex>& lock) {
  if (jobs_.empty()) return false;
  BandJob& job = *jobs_.front();
  const int band = job.handed_out++;
  if (job.handed_out == job.bands) jobs_.erase(jobs_.begin());
  run_band(lock, job, band);
  return true;
}

void Crew::for_each_band(std::int32_t rows, int bands, const std::function<void(RowRange)>& work) {
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
