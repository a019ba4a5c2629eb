// A result file that cannot be written because the file-size limit is
// reached half-way through it, as on a full disk. The object's old pair
// stays as it was, byte for byte, nothing is left behind, the next object
// is still done and the run ends with 1. (A directory standing where a
// result goes is tested with the other result files, in e2e_results_test.)

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fault_support.h"

namespace {

using kadrix_faults::ChildRun;
using kadrix_test::Bytes;
using kadrix_test::TempDir;

// BIG is written first; its files (200 x 150: 31078 bytes each) are far
// larger than NEXT's (16 x 12: 1270 bytes), so a limit between the two
// stops BIG's write and lets NEXT's through.
constexpr std::uint64_t kLimit = 4096;

class WriteFault : public ::testing::Test {
 protected:
  void SetUp() override {
    kadrix_faults::write_object(dir_.prefix(), "BIG", 200, 150, 3, 1);
    kadrix_faults::write_object(dir_.prefix(), "NEXT", 16, 12, 3, 2);
    list_ = kadrix_faults::write_list(dir_, {"BIG", "NEXT"});
  }

  std::string path(const std::string& name) const { return dir_.file(name); }

  // An old result of an earlier night; kadrix never reads it.
  void put_old(const std::string& name) {
    old_[name] = Bytes(name.begin(), name.end());
    old_[name].resize(333, 0x5A);
    kadrix_test::write_file(path(name), old_[name]);
  }

  void expect_old_kept() const {
    for (const auto& [name, bytes] : old_) {
      ASSERT_TRUE(kadrix_test::exists(path(name))) << name << " is gone";
      EXPECT_EQ(kadrix_test::read_file(path(name)), bytes) << name << " changed";
    }
  }

  // The run met exactly one failed write, of `failed`, reported after
  // BIG's line and before NEXT's; NEXT was still done.
  void expect_reported_and_went_on(const ChildRun& run, const std::string& failed) const {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 1) << "a lost result must show in the exit status";
    const std::string message = "Blad zapisu pliku " + path(failed) + "\r\n";
    const std::size_t at = run.out.find(message);
    ASSERT_NE(at, std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Blad zapisu pliku"), at) << "one failure only:\n" << run.out;
    EXPECT_EQ(run.out.find("Blad zapisu pliku", at + 1), std::string::npos) << run.out;
    const std::size_t big_line = run.out.find("Obr: BIG Kl: 3 Sr: ");
    ASSERT_NE(big_line, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("new Var: ", big_line), std::string::npos) << run.out;
    EXPECT_LT(big_line, at) << run.out;
    const std::size_t next_line = run.out.find("Obr: NEXT Kl: 3 Sr: ");
    ASSERT_NE(next_line, std::string::npos) << "NEXT was not processed:\n" << run.out;
    EXPECT_LT(at, next_line) << run.out;
  }

  void expect_next_written() const {
    for (const char* suffix : {"SR", "SS"}) {
      const std::string name = std::string("NEXT") + suffix + ".BMP";
      ASSERT_TRUE(kadrix_test::exists(path(name))) << name;
      std::string why;
      const auto image = kadrix_faults::parse_result(kadrix_test::read_file(path(name)), why);
      ASSERT_TRUE(image) << name << ": " << why;
      EXPECT_EQ(image->width, 16);
      EXPECT_EQ(image->height, 12);
      if (std::string(suffix) == "SS") EXPECT_EQ(image->frame_count, 3);
      else EXPECT_TRUE(image->grey_palette);
    }
  }

  void expect_no_temporaries() const {
    EXPECT_EQ(kadrix_faults::temporaries(dir_.path().string()), std::vector<std::string>{});
  }

  TempDir dir_;
  std::string list_;
  std::map<std::string, Bytes> old_;
};

// Which file of BIG's pair runs into the limit. The SR file is written
// first, so a limit present from the start stops it; for the SS file the
// limit is set at the moment kadrix opens the SS temporary, after the SR
// temporary is complete.
struct FullCase {
  const char* title;
  const char* failing;
};
void PrintTo(const FullCase& c, std::ostream* os) { *os << c.title; }

class DiskFull : public WriteFault, public ::testing::WithParamInterface<FullCase> {};

TEST_P(DiskFull, KeepsTheOldPairAndGoesOn) {
  const std::string failing = GetParam().failing;
  for (const char* name : {"BIGSR.BMP", "BIGSS.BMP", "NEXTSR.BMP", "NEXTSS.BMP"}) put_old(name);

  ChildRun run;
  if (failing == "SR") {
    run = kadrix_faults::run_kadrix(dir_.prefix(), list_, {.file_size = kLimit});
  } else {
    bool limited = false;
    bool available = true;
    run = kadrix_faults::run_kadrix_limited_from(dir_.prefix(), list_, path("BIGSS.BMP") + ".tmp.", kLimit,
                                                 limited, available);
    if (!available) GTEST_SKIP() << "this machine does not let a test trace its child (ptrace)";
    ASSERT_TRUE(limited) << "kadrix never opened " << path("BIGSS.BMP") << ".tmp.<pid>:\n" << run.out;
  }

  expect_reported_and_went_on(run, "BIG" + failing + ".BMP");
  old_.erase("NEXTSR.BMP");
  old_.erase("NEXTSS.BMP");
  expect_old_kept();
  expect_next_written();
  expect_no_temporaries();
}

INSTANTIATE_TEST_SUITE_P(Faults, DiskFull,
                         ::testing::Values(FullCase{"sr_write", "SR"}, FullCase{"ss_write", "SS"}),
                         [](const auto& info) { return std::string(info.param.title); });

}  // namespace
