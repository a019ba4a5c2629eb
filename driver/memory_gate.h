#pragma once
// The memory gate: objects start in list order, each once its worker's
// claim fits beside the others' within the run's budget, or alone when
// nothing else is being computed. A worker's claim is what it holds for
// its objects. Waiting is done through the band pool, helping with bands.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "driver/band_pool.h"

namespace kadrix {

class MemoryGate {
 public:
  // budget: what the run's objects may claim at once.
  MemoryGate(BandPool& pool, std::uint64_t budget) : pool_(pool), budget_(budget) {}
  MemoryGate(const MemoryGate&) = delete;
  MemoryGate& operator=(const MemoryGate&) = delete;

  // Before object `object` starts, its worker claims `bytes` in all (giving
  // back what it held first when that is less). Waits until the object is
  // the next to start and the claim fits beside the others', or until no
  // other object is being computed (it then runs alone, whatever it
  // needs). Returns whether it runs alone. release() frees the worker's
  // buffers; it is called, under the pool's lock, when the worker gives
  // back its claim before it starts.
  bool start_object(std::size_t object, std::uint64_t& claim, std::uint64_t bytes,
                    const std::function<void()>& release);
  // An object that ran out of memory beside others gives back its claim and
  // waits to run alone: no other object being computed, none started
  // meanwhile. Then it claims `bytes` and starts again.
  void restart_alone(std::size_t object, std::uint64_t& claim, std::uint64_t bytes);
  // The object is computed (it may still wait for its turn to write).
  void computed(std::size_t object);
  // Whether some object waits for memory that held buffers would free.
  bool memory_wanted();
  // The worker gives back all or part of its claim.
  void give_back(std::uint64_t& claim, std::uint64_t bytes);

 private:
  BandPool& pool_;
  const std::uint64_t budget_;
  std::uint64_t claimed_ = 0;
  std::size_t next_to_start_ = 0;
  int computing_ = 0;
  int waiting_for_memory_ = 0;
  std::vector<std::size_t> alone_queue_;  // objects waiting to run alone, in list order
  std::optional<std::size_t> running_alone_;  // started again alone, not yet computed
};

}  // namespace kadrix
