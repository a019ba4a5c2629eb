// The band pool in-process: every row of a banded job done exactly once
// whoever helps, a failed band reported to the job's owner, and a worker
// that waits in the memory gate or the ordered transcript computing bands
// meanwhile.

#include "driver/band_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/memory_gate.h"
#include "driver/ordered_transcript.h"

namespace {

using kadrix::BandPool;
using kadrix::MemoryGate;
using kadrix::OrderedTranscript;
using kadrix::RowRange;

TEST(BandPool, EveryRowOfABandedJobIsDoneOnceWhoeverHelps) {
  // One worker runs the jobs; two more wait for a turn that comes last
  // and help meanwhile.
  for (const int rows : {1, 2, 3, 7, 8, 31, 100, 257}) {
    for (const int bands : {1, 2, 3, 8, 32, 300}) {
      SCOPED_TRACE(std::to_string(rows) + " rows, " + std::to_string(bands) + " bands");
      BandPool pool(3);
      OrderedTranscript transcript(pool, 3, [](std::string_view) {});
      std::mutex mutex;
      std::vector<int> done(static_cast<std::size_t>(rows), 0);
      std::set<std::thread::id> workers;
      std::thread helpers[2];
      for (std::size_t h = 0; h < 2; ++h) helpers[h] = std::thread([&transcript, h] { transcript.wait_for_turn(h + 1); });
      pool.for_each_band(rows, bands, [&](RowRange range) {
        ASSERT_LT(range.first, range.end);
        std::lock_guard lock(mutex);
        workers.insert(std::this_thread::get_id());
        for (int y = range.first; y < range.end; ++y) ++done[static_cast<std::size_t>(y)];
      });
      EXPECT_EQ(done, std::vector<int>(static_cast<std::size_t>(rows), 1));
      transcript.finish(0);
      helpers[0].join();
      transcript.finish(1);
      helpers[1].join();
    }
  }
}

TEST(BandPool, AFailedBandIsReportedToTheJobsOwner) {
  BandPool pool(2);
  std::atomic<int> ran{0};
  EXPECT_THROW(pool.for_each_band(40, 4,
                                  [&](RowRange range) {
                                    ++ran;
                                    if (range.first == 20) throw std::bad_alloc();
                                  }),
               std::bad_alloc);
  EXPECT_EQ(ran.load(), 4) << "every band ends before the failure is reported";
}

// The job's owner holds its first band until another worker has run the
// second; only a worker that helps while it waits can run it.
TEST(BandPool, AWorkerWaitingInAnyPartComputesBands) {
  struct Parts {
    BandPool pool{2};
    MemoryGate gate{pool, 100};
    OrderedTranscript transcript{pool, 2, [](std::string_view) {}};
    std::uint64_t claims[2] = {0, 0};
  };
  struct Wait {
    const char* what;
    std::function<void(Parts&)> before;  // on the job's owner, first
    std::function<void(Parts&)> wait;    // on the waiting worker
    std::function<void(Parts&)> end;     // on the owner: lets the wait end
  };
  const auto nothing = [] {};
  const Wait waits[] = {
      {"its turn", [](Parts&) {}, [](Parts& p) { p.transcript.wait_for_turn(1); },
       [](Parts& p) { p.transcript.finish(0); }},
      {"every object to finish", [](Parts&) {}, [](Parts& p) { p.transcript.wait_until_all_finished(); },
       [](Parts& p) {
         p.transcript.finish(0);
         p.transcript.finish(1);
       }},
      {"memory", [&](Parts& p) { p.gate.start_object(0, p.claims[0], 60, nothing); },
       [&](Parts& p) { p.gate.start_object(1, p.claims[1], 60, nothing); },
       [](Parts& p) { p.gate.give_back(p.claims[0], 60); }},
      {"to run alone",
       [&](Parts& p) { p.gate.start_object(0, p.claims[0], 10, nothing); },
       [&](Parts& p) {
         p.gate.start_object(1, p.claims[1], 10, nothing);
         p.gate.restart_alone(1, p.claims[1], 10);
       },
       [](Parts& p) { p.gate.computed(0); }},
  };
  for (const Wait& w : waits) {
    SCOPED_TRACE(std::string("waiting for ") + w.what);
    Parts parts;
    w.before(parts);
    std::thread waiter([&] { w.wait(parts); });
    std::mutex mutex;
    std::condition_variable second_done;
    bool done = false;
    std::thread::id second_ran_on;
    parts.pool.for_each_band(2, 2, [&](RowRange rows) {
      std::unique_lock lock(mutex);
      if (rows.first == 0) {
        second_done.wait_for(lock, std::chrono::seconds(20), [&] { return done; });
      } else {
        second_ran_on = std::this_thread::get_id();
        done = true;
        second_done.notify_all();
      }
    });
    EXPECT_EQ(second_ran_on, waiter.get_id()) << "the waiting worker ran no band";
    w.end(parts);
    waiter.join();
  }
}

}  // namespace
