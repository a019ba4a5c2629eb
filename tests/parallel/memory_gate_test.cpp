// The memory gate in-process: an object waits until its claim fits, runs
// alone when it fits nowhere, and after running out of memory beside
// others runs again alone, with no other object started meanwhile.

#include "driver/memory_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

using kadrix::BandPool;
using kadrix::MemoryGate;

TEST(MemoryGate, AnObjectWaitsUntilItsClaimFits) {
  std::uint64_t claim_a = 0;
  std::uint64_t claim_b = 0;
  const auto nothing = [] {};
  // Object 1 claims 60 beside a worker that holds 60 of a budget of 100.
  BandPool pool(2);
  MemoryGate second(pool, 100);
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

TEST(MemoryGate, AnObjectThatFitsNowhereRunsAlone) {
  BandPool pool(2);
  MemoryGate gate(pool, 10);
  std::uint64_t claim_a = 0;
  std::uint64_t claim_b = 0;
  const auto nothing = [] {};
  EXPECT_TRUE(gate.start_object(0, claim_a, 50, nothing));
  std::atomic<bool> started{false};
  bool alone = false;
  std::thread waiting([&] {
    alone = gate.start_object(1, claim_b, 50, nothing);
    started = true;
  });
  while (!gate.memory_wanted()) std::this_thread::yield();
  EXPECT_FALSE(started.load());
  gate.computed(0);  // object 0 no longer computes, though it still holds its claim
  waiting.join();
  EXPECT_TRUE(alone);
}

TEST(MemoryGate, AnObjectOutOfMemoryBesideOthersRunsAgainAlone) {
  // Objects 0 and 1 compute side by side; 1 runs out of memory and must
  // start again alone: not before 0 is computed, and object 2 may not
  // start meanwhile.
  BandPool pool(3);
  MemoryGate gate(pool, 1000);
  const auto nothing = [] {};
  std::uint64_t claims[3] = {0, 0, 0};
  EXPECT_TRUE(gate.start_object(0, claims[0], 100, nothing));
  EXPECT_FALSE(gate.start_object(1, claims[1], 100, nothing));
  std::atomic<bool> restarted{false};
  std::atomic<bool> third_started{false};
  std::thread second([&] {
    gate.restart_alone(1, claims[1], 400);
    restarted = true;
  });
  while (!gate.memory_wanted()) std::this_thread::yield();
  std::thread third([&] {
    gate.start_object(2, claims[2], 100, nothing);
    third_started = true;
  });
  EXPECT_FALSE(restarted.load());
  gate.computed(0);
  second.join();
  EXPECT_TRUE(restarted.load());
  EXPECT_EQ(claims[1], 400u);
  EXPECT_FALSE(third_started.load()) << "object 1 runs alone";
  gate.computed(1);
  third.join();
  EXPECT_TRUE(third_started.load());
}

}  // namespace
