// The crew of workers in-process: text in list order whoever computes
// first, every row of a banded job done exactly once whoever helps, and
// memory claims that make an object wait until it fits.

#include "driver/crew.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using kadrix::Crew;
using kadrix::RowRange;

TEST(Crew, TextReachesStandardOutputInListOrder) {
  // Three workers; each object says two pieces, the later objects first.
  const std::string out = kadrix_test::capture_stdout([] {
    Crew crew(3, 3, 0);
    auto object = [&](std::size_t i, const std::string& a, const std::string& b) {
      crew.say(i, a);
      crew.say(i, b);
      crew.wait_for_turn(i);
      crew.say(i, "end " + std::to_string(i) + "\n");
      crew.finish(i);
    };
    std::thread third([&] { object(2, "C1 ", "C2\n"); });
    std::thread second([&] { object(1, "B1 ", "B2 "); });
    object(0, "A1 ", "A2\n");
    third.join();
    second.join();
  });
  EXPECT_EQ(out, "A1 A2\r\nend 0\r\nB1 B2 end 1\r\nC1 C2\r\nend 2\r\n");
}

TEST(Crew, TextSaidAgainAfterARestartIsNotRepeated) {
  const std::string out = kadrix_test::capture_stdout([] {
    Crew crew(2, 1, 0);
    crew.say(1, "Obr: B ");  // kept: object 0 is not finished
    crew.restart_text(1);
    crew.say(1, "Obr: B ");
    crew.say(1, "Sr: 1\n");
    crew.say(0, "Obr: A ");
    crew.restart_text(0);
    crew.say(0, "Obr: A ");  // already printed, not again
    crew.say(0, "new\n");
    crew.finish(0);
    crew.finish(1);
  });
  EXPECT_EQ(out, "Obr: A new\r\nObr: B Sr: 1\r\n");
}

TEST(Crew, EveryRowOfABandedJobIsDoneOnceWhoeverHelps) {
  // One worker runs the jobs; two more wait for a turn that comes last
  // and help meanwhile.
  for (const int rows : {1, 2, 3, 7, 8, 31, 100, 257}) {
    for (const int bands : {1, 2, 3, 8, 32, 300}) {
      SCOPED_TRACE(std::to_string(rows) + " rows, " + std::to_string(bands) + " bands");
      Crew crew(3, 3, 0);
      std::mutex mutex;
      std::vector<int> done(static_cast<std::size_t>(rows), 0);
      std::set<std::thread::id> workers;
      std::thread helpers[2];
      for (std::size_t h = 0; h < 2; ++h) helpers[h] = std::thread([&crew, h] { crew.wait_for_turn(h + 1); });
      crew.for_each_band(rows, bands, [&](RowRange range) {
        ASSERT_LT(range.first, range.end);
        std::lock_guard lock(mutex);
        workers.insert(std::this_thread::get_id());
        for (int y = range.first; y < range.end; ++y) ++done[static_cast<std::size_t>(y)];
      });
      EXPECT_EQ(done, std::vector<int>(static_cast<std::size_t>(rows), 1));
      crew.finish(0);
      helpers[0].join();
      crew.finish(1);
      helpers[1].join();
    }
  }
}

TEST(Crew, AFailedBandIsReportedToTheJobsOwner) {
  Crew crew(1, 2, 0);
  std::atomic<int> ran{0};
  EXPECT_THROW(crew.for_each_band(40, 4,
                                  [&](RowRange range) {
                                    ++ran;
                                    if (range.first == 20) throw std::bad_alloc();
                                  }),
               std::bad_alloc);
  EXPECT_EQ(ran.load(), 4) << "every band ends before the failure is reported";
}

TEST(Crew, AnObjectWaitsUntilItsClaimFits) {
  std::uint64_t claim_a = 0;
  std::uint64_t claim_b = 0;
  const auto nothing = [] {};
  // Object 1 claims 60 beside a worker that holds 60 of a budget of 100.
  Crew second(3, 2, 100);
  EXPECT_TRUE(second.start_object(0, claim_a, 60, nothing));  // alone: nothing else computes
  std::atomic<bool> started{false};
  bool alone = true;
  std::thread waiting([&] {
    alone = second.start_object(1, claim_b, 60, nothing);
    started = true;
  });
  while (!second.memory_wanted()) std::this_thread::yield();
  EXPECT_FALSE(started.load()) << "60 + 60 does not fit in 100";
  second.give_back(claim_a, 30);  // 30 + 60 fits
  waiting.join();
  EXPECT_TRUE(started.load());
  EXPECT_FALSE(alone) << "object 0 is still being computed";
  EXPECT_EQ(claim_a, 30u);
  EXPECT_EQ(claim_b, 60u);
}

TEST(Crew, AnObjectThatFitsNowhereRunsAlone) {
  Crew crew(2, 2, 10);
  std::uint64_t claim_a = 0;
  std::uint64_t claim_b = 0;
  const auto nothing = [] {};
  EXPECT_TRUE(crew.start_object(0, claim_a, 50, nothing));
  std::atomic<bool> started{false};
  bool alone = false;
  std::thread waiting([&] {
    alone = crew.start_object(1, claim_b, 50, nothing);
    started = true;
  });
  while (!crew.memory_wanted()) std::this_thread::yield();
  EXPECT_FALSE(started.load());
  crew.computed(0);  // object 0 no longer computes, though it still holds its claim
  waiting.join();
  EXPECT_TRUE(alone);
}

TEST(Crew, AnObjectOutOfMemoryBesideOthersRunsAgainAlone) {
  // Objects 0 and 1 compute side by side; 1 runs out of memory and must
  // start again alone: not before 0 is computed, and object 2 may not
  // start meanwhile.
  Crew crew(3, 3, 1000);
  const auto nothing = [] {};
  std::uint64_t claims[3] = {0, 0, 0};
  EXPECT_TRUE(crew.start_object(0, claims[0], 100, nothing));
  EXPECT_FALSE(crew.start_object(1, claims[1], 100, nothing));
  std::atomic<bool> restarted{false};
  std::atomic<bool> third_started{false};
  std::thread second([&] {
    crew.restart_alone(1, claims[1], 400);
    restarted = true;
  });
  while (!crew.memory_wanted()) std::this_thread::yield();
  std::thread third([&] {
    crew.start_object(2, claims[2], 100, nothing);
    third_started = true;
  });
  EXPECT_FALSE(restarted.load());
  crew.computed(0);
  second.join();
  EXPECT_TRUE(restarted.load());
  EXPECT_EQ(claims[1], 400u);
  EXPECT_FALSE(third_started.load()) << "object 1 runs alone";
  crew.computed(1);
  third.join();
  EXPECT_TRUE(third_started.load());
}

}  // namespace
