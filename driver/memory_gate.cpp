#include "driver/memory_gate.h"

#include <algorithm>

namespace kadrix {

bool MemoryGate::start_object(std::size_t object, std::uint64_t& claim, std::uint64_t bytes,
                              const std::function<void()>& release) {
  auto lock = pool_.lock();
  auto give_back_all = [&] {
    release();
    claimed_ -= claim;
    claim = 0;
    pool_.changed();
  };
  // Buffers too small for this object go before larger ones are taken.
  if (bytes > claim) give_back_all();
  bool alone = false;
  bool waiting = false;
  pool_.wait_helping(lock, [&] {
    const bool next = object == next_to_start_ && alone_queue_.empty() && !running_alone_;
    const std::uint64_t more = bytes > claim ? bytes - claim : 0;
    if (next) alone = computing_ == 0;
    if (next && (alone || claimed_ + more <= budget_)) return true;
    // Waiting: what this worker holds may be what another object waits for.
    if (claim > 0 && waiting_for_memory_ > (waiting ? 1 : 0)) give_back_all();
    if (next && !waiting) {
      waiting = true;
      ++waiting_for_memory_;
      pool_.changed();
    }
    return false;
  });
  if (waiting) --waiting_for_memory_;
  const std::uint64_t more = bytes > claim ? bytes - claim : 0;
  claimed_ += more;
  claim += more;
  ++next_to_start_;
  ++computing_;
  pool_.changed();
  return alone;
}

void MemoryGate::restart_alone(std::size_t object, std::uint64_t& claim, std::uint64_t bytes) {
  auto lock = pool_.lock();
  claimed_ -= claim;
  claim = 0;
  --computing_;
  alone_queue_.push_back(object);
  std::sort(alone_queue_.begin(), alone_queue_.end());
  ++waiting_for_memory_;
  pool_.changed();
  pool_.wait_helping(lock,
                     [&] { return computing_ == 0 && !running_alone_ && alone_queue_.front() == object; });
  --waiting_for_memory_;
  alone_queue_.erase(alone_queue_.begin());
  running_alone_ = object;
  claimed_ += bytes;
  claim = bytes;
  ++computing_;
  pool_.changed();
}

void MemoryGate::computed(std::size_t object) {
  auto lock = pool_.lock();
  if (running_alone_ == object) running_alone_.reset();
  --computing_;
  pool_.changed();
}

bool MemoryGate::memory_wanted() {
  auto lock = pool_.lock();
  return waiting_for_memory_ > 0;
}

void MemoryGate::give_back(std::uint64_t& claim, std::uint64_t bytes) {
  auto lock = pool_.lock();
  bytes = std::min(bytes, claim);
  claim -= bytes;
  claimed_ -= bytes;
  pool_.changed();
}

}  // namespace kadrix
