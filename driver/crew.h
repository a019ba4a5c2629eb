#pragma once
// What the workers of a run share. Objects are taken in list order and
// computed side by side; everything a user sees keeps the one-core order:
// an object's text reaches standard output only once every object before
// it is finished (its own text as it comes, from then on), and its result
// pair is written in its turn. Memory is claimed against a budget before
// an object starts, and any worker that would otherwise wait computes bands
// of another object's background map meanwhile.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stats/background.h"

namespace kadrix {

class Crew {
 public:
  // memory_budget: what the run's objects may claim at once.
  Crew(std::size_t objects, int workers, std::uint64_t memory_budget);

  int workers() const { return workers_; }

  // The next object of the list for a worker, or nothing when all are taken.
  std::optional<std::size_t> next_object();

  // ---- memory -------------------------------------------------------------
  // A worker's claim is what it holds for its objects; claims are counted
  // against the budget. Before object `object` starts, its worker claims
  // `bytes` in all (giving back what it held first when that is less).
  // Waits until the object is the next to start and the claim fits beside
  // the others', or until no other object is being computed (it then runs
  // alone, whatever it needs). Returns whether it runs alone. release()
  // frees the worker's buffers; it is called, under the crew's lock, when
  // the worker gives back its claim before it starts.
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

  // ---- transcript and turn ------------------------------------------------
  // Text of the object, in order. After a restart the object says again what
  // it said before; that repeats nothing.
  void say(std::size_t object, std::string_view text);
  void restart_text(std::size_t object);
  // Waits (helping with bands) until every object before this one is finished.
  void wait_for_turn(std::size_t object);
  // The object is done: the next one's turn comes.
  void finish(std::size_t object);
  // For a worker with no object left: helps with bands until every object
  // of the run is finished.
  void help_until_done();

  // ---- bands ----------------------------------------------------------------
  // Runs work over rows [0, rows) in `bands` bands, on this worker and on any
  // worker that would otherwise wait; returns when all are done. An
  // exception in any band is thrown here once all have ended.
  void for_each_band(std::int32_t rows, int bands, const std::function<void(RowRange)>& work);

 private:
  struct Slot {
    std::string text;         // everything the object said
    std::size_t repeated = 0;  // bytes of it said again since a restart
  };
  struct BandJob {
    const std::function<void(RowRange)>* work = nullptr;
    std::int32_t rows = 0;
    int bands = 0;
    int handed_out = 0;
    int done = 0;
    std::exception_ptr failure;
  };

  // Waits for ready() under the lock, computing bands meanwhile.
  template <class Ready>
  void wait_helping(std::unique_lock<std::mutex>& lock, Ready ready);
  // Runs one band of any job, if one is waiting; false when none is.
  bool help_once(std::unique_lock<std::mutex>& lock);
  void run_band(std::unique_lock<std::mutex>& lock, BandJob& job, int band);

  std::mutex mutex_;
  std::condition_variable changed_;
  const int workers_;
  std::size_t objects_;
  std::size_t next_object_ = 0;
  // memory
  const std::uint64_t budget_;
  std::uint64_t claimed_ = 0;
  std::size_t next_to_start_ = 0;
  int computing_ = 0;
  int waiting_for_memory_ = 0;
  std::vector<std::size_t> alone_queue_;  // objects waiting to run alone, in list order
  std::optional<std::size_t> running_alone_;  // started again alone, not yet computed
  // transcript
  std::vector<Slot> slots_;
  std::size_t turn_ = 0;
  // bands
  std::vector<BandJob*> jobs_;  // jobs with bands not yet handed out
};

}  // namespace kadrix
