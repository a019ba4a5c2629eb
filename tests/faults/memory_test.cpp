// An object too large for the memory kadrix may use. The child's address
// space is held to a limit, swept from a few MiB (below what a 1000 x 1000
// object needs for its frames) to 64 MiB (more than it needs), so that
// the allocation fails at every stage of the object in turn: while its
// frames are read, while it is combined, while its background is made.
// Wherever it fails, kadrix says "brak pamieci, obiekt pominiety" once,
// writes nothing for the object (its old pair stays, no temporary is
// left), goes on with the next object, and ends with status 1.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fault_support.h"

namespace {

using kadrix_faults::ChildRun;
using kadrix_test::Bytes;
using kadrix_test::TempDir;

TEST(OutOfMemory, SkipsTheObjectAndGoesOn) {
  if (kadrix_faults::kSanitized)
    GTEST_SKIP() << "an address-space limit cannot work under the sanitizers, which reserve terabytes at start";

  TempDir dir;
  kadrix_faults::write_object(dir.prefix(), "HUGE", 1000, 1000, 2, 1);
  kadrix_faults::write_object(dir.prefix(), "SMALL", 16, 12, 3, 2);
  const std::string list = kadrix_faults::write_list(dir, {"HUGE", "SMALL"});
  const std::string head = dir.prefix() + " sciezka do plikow BMP\r\nHUGE 0\r\nSMALL 1\r\n2 obrazkow do analizy\r\n";
  const std::string message = "brak pamieci, obiekt pominiety\r\n";
  // Results of an earlier night, which must survive a failed object.
  const Bytes old_sr(500, 0x11);
  const Bytes old_ss(500, 0x22);

  int skipped = 0;
  int done = 0;
  for (std::uint64_t mib = 4; mib <= 64; mib += 2) {
    SCOPED_TRACE("address space " + std::to_string(mib) + " MiB");
    kadrix_test::write_file(dir.file("HUGESR.BMP"), old_sr);
    kadrix_test::write_file(dir.file("HUGESS.BMP"), old_ss);
    for (const char* name : {"SMALLSR.BMP", "SMALLSS.BMP"}) std::remove(dir.file(name).c_str());

    const ChildRun run = kadrix_faults::run_kadrix(dir.prefix(), list, {.address_space = mib << 20});
    // Below some size the program cannot even be loaded; nothing to see.
    if (run.out.empty()) continue;

    ASSERT_FALSE(run.timed_out);
    ASSERT_EQ(run.signal, 0) << run.out;
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.substr(0, head.size()), head) << run.out;
    EXPECT_EQ(run.out.find("Zly plik"), std::string::npos) << "a valid frame is never a bad file:\n" << run.out;
    const std::size_t small = run.out.find("Obr: SMALL Kl: 3 Sr: ");
    ASSERT_NE(small, std::string::npos) << "the next object was not processed:\n" << run.out;
    EXPECT_NE(run.out.find("new Var: ", small), std::string::npos) << run.out;
    EXPECT_EQ(kadrix_faults::temporaries(dir.path().string()), std::vector<std::string>{});
    for (const char* name : {"SMALLSR.BMP", "SMALLSS.BMP"}) {
      std::string why;
      ASSERT_TRUE(kadrix_test::exists(dir.file(name))) << name;
      EXPECT_TRUE(kadrix_faults::parse_result(kadrix_test::read_file(dir.file(name)), why)) << name << ": " << why;
    }

    const std::size_t at = run.out.find(message);
    if (at == std::string::npos) {
      // Enough memory: the object is done and its pair replaced.
      ++done;
      EXPECT_EQ(run.exit_status, 0) << run.out;
      std::string why;
      const auto ss = kadrix_faults::parse_result(kadrix_test::read_file(dir.file("HUGESS.BMP")), why);
      ASSERT_TRUE(ss) << why;
      EXPECT_EQ(ss->frame_count, 2);
      continue;
    }
    ++skipped;
    EXPECT_EQ(run.exit_status, 1) << "a lost result must show in the exit status";
    EXPECT_EQ(run.out.find(message, at + 1), std::string::npos) << run.out;
    EXPECT_LT(at, small);
    EXPECT_EQ(kadrix_test::read_file(dir.file("HUGESR.BMP")), old_sr);
    EXPECT_EQ(kadrix_test::read_file(dir.file("HUGESS.BMP")), old_ss);
    if (HasFailure()) break;
  }
  // The sweep must cross the line between too little and enough.
  EXPECT_GT(skipped, 0) << "no limit was too small for the object";
  EXPECT_GT(done, 0) << "no limit was large enough for the object";
}

}  // namespace
