// An object's frames already there: refused without --replace; replaced
// as a whole with it; a failed write, a directory in the way or a kill at
// any moment never leaves a readable frame 01 beside frames of the other
// series.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::crlf;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

std::string frame_name(int number) {
  char name[32];
  std::snprintf(name, sizeof name, "OBJ%02d.BMP", number);
  return name;
}

// An old series: frame n of 2 x 2 pixels of value 200 + n.
void write_old(const TempDir& dir, const std::vector<int>& numbers) {
  for (const int n : numbers) {
    const auto v = static_cast<std::uint8_t>(200 + n);
    kadrix_test::write_file(dir.file(frame_name(n)), import_test::frame_file(2, 2, {v, v, v, v}));
  }
}

// The new series: frames of side x side pixels, frame k of value k.
void write_source(const TempDir& dir, int frames, std::int32_t side = 2) {
  import_test::SerVideo s;
  s.width = side;
  s.height = side;
  for (int k = 1; k <= frames; ++k)
    s.frames.emplace_back(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), static_cast<std::uint32_t>(k));
  kadrix_test::write_file(dir.file("new.ser"), import_test::ser_bytes(s));
}

Bytes new_frame(int k, std::int32_t side = 2) {
  return import_test::frame_file(side, side,
                                 std::vector<std::uint8_t>(static_cast<std::size_t>(side * side), static_cast<std::uint8_t>(k)));
}

// What kadrix would read: frames 01, 02, ... up to the first that is not a
// regular file.
std::vector<Bytes> readable_series(const TempDir& dir) {
  std::vector<Bytes> series;
  for (int n = 1; n <= 100; ++n) {
    struct stat info {};
    const std::string path = dir.file(frame_name(n));
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) break;
    series.push_back(kadrix_test::read_file(path));
  }
  return series;
}

TEST(Replace, WithoutTheOptionAnyFrameOfTheObjectStopsTheImport) {
  // Frame 01, or only a stray higher frame that the new series would reach.
  for (const std::vector<int>& old : {std::vector<int>{1, 2}, {7}}) {
    TempDir dir;
    write_old(dir, old);
    write_source(dir, 9);
    const auto before = import_test::snapshot(dir.path().string());
    const RunResult r = import_test::run_import({dir.prefix(), "OBJ", dir.file("new.ser")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(r.out.ends_with(crlf("Plik " + dir.file(frame_name(old[0])) + " juz istnieje: --replace zastapi serie OBJ\n")))
        << r.out;
    EXPECT_EQ(import_test::snapshot(dir.path().string()), before);
  }
}

struct ReplaceCase {
  const char* title;
  std::vector<int> old;
  int new_frames;
};

void PrintTo(const ReplaceCase& c, std::ostream* os) { *os << c.title; }

class Replacing : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(Replacing, LeavesExactlyTheNewSeries) {
  const ReplaceCase& c = GetParam();
  TempDir dir;
  write_old(dir, c.old);
  write_source(dir, c.new_frames);
  // Files of other objects and the object's results stay as they are.
  kadrix_test::write_file(dir.file("OBJSR.BMP"), Bytes{1, 2, 3});
  kadrix_test::write_file(dir.file("OBJX01.BMP"), Bytes{4, 5});
  const RunResult r = import_test::run_import({"--replace", dir.prefix(), "OBJ", dir.file("new.ser")});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  std::map<std::string, Bytes> expected = {
      {"new.ser", kadrix_test::read_file(dir.file("new.ser"))}, {"OBJSR.BMP", {1, 2, 3}}, {"OBJX01.BMP", {4, 5}}};
  for (int k = 1; k <= c.new_frames; ++k) expected[frame_name(k)] = new_frame(k);
  EXPECT_EQ(import_test::snapshot(dir.path().string()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replace, Replacing,
    ::testing::Values(ReplaceCase{"longer_old_series", {1, 2, 3, 4, 5, 6}, 4},
                      // Frames beyond a gap are old frames of the object too.
                      ReplaceCase{"old_frames_beyond_a_gap", {1, 2, 3, 5, 9, 100}, 4},
                      ReplaceCase{"shorter_old_series", {1, 2}, 4},
                      ReplaceCase{"no_old_frame_01", {2, 3, 50}, 3},
                      ReplaceCase{"nothing_there", {}, 3}),
    [](const ::testing::TestParamInfo<ReplaceCase>& info) { return std::string(info.param.title); });

// A full disk (the file-size limit) stops the first temporary: nothing of
// the old series, the list or anything else changes, nothing is left over.
TEST(Replace, AFailedWriteLeavesTheDirectoryAsItWas) {
  TempDir dir;
  write_old(dir, {1, 2, 3, 4, 5});
  write_source(dir, 3, 64);  // frames of 5174 bytes
  kadrix_test::write_file(dir.file("noc.list"), std::string("A\nB\n"));
  const auto before = import_test::snapshot(dir.path().string());
  kadrix_test::RunOptions limited;
  limited.file_size_limit = 4096;
  const RunResult r =
      import_test::run_import({"--replace", "--list", dir.file("noc.list"), dir.prefix(), "OBJ", dir.file("new.ser")},
                              limited);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.signal, 0);
  EXPECT_TRUE(r.out.ends_with(crlf("Blad zapisu pliku " + dir.file("OBJ01.BMP") + "\n"))) << r.out;
  EXPECT_EQ(import_test::snapshot(dir.path().string()), before);
}

// A directory where frame 03 goes is found only once frame 01 and frame 05
// have been moved aside; both come back.
TEST(Replace, ADirectoryInTheWayPutsEverythingBack) {
  TempDir dir;
  write_old(dir, {1, 2, 4, 5});
  std::filesystem::create_directory(dir.file(frame_name(3)));
  write_source(dir, 4);
  const auto before = import_test::snapshot(dir.path().string());
  const RunResult r = import_test::run_import({"--replace", dir.prefix(), "OBJ", dir.file("new.ser")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.ends_with(
      crlf("Blad zapisu pliku " + dir.file(frame_name(3)) + "; katalog zostaje bez zmian\n")))
      << r.out;
  EXPECT_EQ(import_test::snapshot(dir.path().string()), before);
}

// Killed after the n-th change in the directory, for every change a whole
// run makes: whenever kadrix would read a series, it is the whole old one
// or the whole new one. (Where each kill lands depends on the machine; the
// rule must hold wherever it does.)
TEST(Replace, AKillAtAnyMomentNeverMixesTheSeries) {
  const auto prepare = [](const TempDir& dir) {
    write_old(dir, {1, 2, 3, 4, 5, 6});
    write_source(dir, 4);
  };
  const auto args = [](const TempDir& dir) {
    return std::vector<std::string>{"--replace", dir.prefix(), "OBJ", dir.file("new.ser")};
  };
  std::vector<Bytes> old_series;
  std::vector<Bytes> new_series;
  int changes = 0;
  {
    TempDir dir;
    prepare(dir);
    old_series = readable_series(dir);
    const import_test::KilledRun whole = import_test::run_import_killed(args(dir), dir.path().string(), 0);
    ASSERT_EQ(whole.exit_status, 0);
    new_series = readable_series(dir);
    ASSERT_EQ(new_series.size(), 4u);
    changes = whole.events;
    ASSERT_GT(changes, 10);
  }
  int killed = 0;
  int between = 0;  // kills that left no frame 01
  for (int n = 1; n <= changes; ++n) {
    TempDir dir;
    prepare(dir);
    const import_test::KilledRun run = import_test::run_import_killed(args(dir), dir.path().string(), n);
    if (run.killed) ++killed;
    else EXPECT_EQ(run.exit_status, 0);
    const std::vector<Bytes> series = readable_series(dir);
    if (series.empty()) ++between;
    EXPECT_TRUE(series.empty() || series == old_series || series == new_series)
        << "after change " << n << ": a readable frame 01 beside " << series.size() << " frames of mixed series";
  }
  std::printf("%d changes, %d kills, %d of them between the two series\n", changes, killed, between);
}

}  // namespace
