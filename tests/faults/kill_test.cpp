// kadrix killed at any moment of a run. A second night of frames is
// analysed over the results of a first; the run is killed when the k-th
// new name appears in the directory (k over every such moment of a whole
// run), or after the k-th "new Var" line has been read. Afterwards every
// file carrying a result name is, byte for byte, a complete result of one
// of the two nights, the two files of a pair come from the same night, and
// an object that had results still has them.

#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <set>
#include <string>
#include <vector>

#include "fault_support.h"

namespace {

using kadrix_faults::KillWhen;
using kadrix_faults::ChildRun;
using kadrix_test::Bytes;
using kadrix_test::TempDir;

struct Object {
  const char* name;
  std::int32_t width;
  std::int32_t height;
  bool has_old;  // results of the first night lie there when the second starts
};

// Sizes with and without row padding; objects with and without old results.
constexpr std::array<Object, 5> kObjects = {{{"K1", 64, 48, true},
                                            {"K2", 171, 101, true},
                                            {"K3", 40, 30, false},
                                            {"K4", 129, 96, true},
                                            {"K5", 50, 40, false}}};

// Night n (1 or 2) has n + 2 frames per object and frames of its own, so
// both the SR pixels and the SS palette tell the nights apart.
void write_night(const std::string& prefix, int night) {
  for (std::size_t i = 0; i < kObjects.size(); ++i)
    kadrix_faults::write_object(prefix, kObjects[i].name, kObjects[i].width, kObjects[i].height, night + 2,
                                night * 10 + static_cast<int>(i));
}

std::vector<std::string> object_names() {
  std::vector<std::string> names;
  for (const Object& o : kObjects) names.push_back(o.name);
  return names;
}

std::string result_name(const Object& o, const char* suffix) { return std::string(o.name) + suffix + ".BMP"; }

struct Pair {
  Bytes sr;
  Bytes ss;
};

class KilledRun : public ::testing::Test {
 protected:
  // The results of each night, run whole, once.
  void SetUp() override {
    TempDir dir;
    const std::string list = kadrix_faults::write_list(dir, object_names());
    for (int night = 1; night <= 2; ++night) {
      write_night(dir.prefix(), night);
      const ChildRun run = kadrix_faults::run_kadrix(dir.prefix(), list);
      ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
      for (std::size_t i = 0; i < kObjects.size(); ++i) {
        Pair& pair = nights_[night - 1][i];
        pair.sr = kadrix_test::read_file(dir.file(result_name(kObjects[i], "SR")));
        pair.ss = kadrix_test::read_file(dir.file(result_name(kObjects[i], "SS")));
        std::string why;
        const auto sr = kadrix_faults::parse_result(pair.sr, why);
        ASSERT_TRUE(sr) << why;
        ASSERT_TRUE(sr->grey_palette);
        const auto ss = kadrix_faults::parse_result(pair.ss, why);
        ASSERT_TRUE(ss) << why;
        ASSERT_EQ(ss->frame_count, night + 2);
        ASSERT_EQ(ss->width, kObjects[i].width);
        ASSERT_EQ(ss->height, kObjects[i].height);
      }
    }
    for (std::size_t i = 0; i < kObjects.size(); ++i) {
      ASSERT_NE(nights_[0][i].sr, nights_[1][i].sr) << kObjects[i].name << ": the nights must differ";
      ASSERT_NE(nights_[0][i].ss, nights_[1][i].ss) << kObjects[i].name;
    }
  }

  // A directory ready for the second night: its frames, the list, and the
  // first night's results of the objects that have old ones.
  struct Trial {
    TempDir dir;
    std::string list;
  };
  void prepare(Trial& trial) const {
    write_night(trial.dir.prefix(), 2);
    trial.list = kadrix_faults::write_list(trial.dir, object_names());
    for (std::size_t i = 0; i < kObjects.size(); ++i) {
      if (!kObjects[i].has_old) continue;
      kadrix_test::write_file(trial.dir.file(result_name(kObjects[i], "SR")), nights_[0][i].sr);
      kadrix_test::write_file(trial.dir.file(result_name(kObjects[i], "SS")), nights_[0][i].ss);
    }
  }

  // 1 or 2: the night whose file this is; 0: neither (damaged or foreign).
  int night_of(const Bytes& bytes, std::size_t object, bool sr) const {
    for (int night = 1; night <= 2; ++night) {
      const Pair& pair = nights_[night - 1][object];
      if (bytes == (sr ? pair.sr : pair.ss)) return night;
    }
    return 0;
  }

  struct Tally {
    int killed = 0;           // runs ended by the SIGKILL
    int with_temporaries = 0; // runs that left a temporary behind
    int between_renames = 0;  // pairs caught between their two renames
  };

  // Everything on disk after a run that may have been killed. The first
  // `finished` objects had completed before the kill was sent.
  void check(const Trial& trial, const ChildRun& run, std::size_t finished, Tally& tally) const {
    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.err, "");
    if (run.signal == SIGKILL) ++tally.killed;
    else EXPECT_EQ(run.exit_status, 0) << "a run not killed ends normally:\n" << run.out;

    const std::string temp_suffix = ".tmp." + std::to_string(run.pid);
    std::set<std::string> allowed = {"lista.list"};
    for (const Object& o : kObjects) {
      for (int k = 1; k <= 4; ++k) allowed.insert(kadrix_test::frame_file("", o.name, k));
      for (const char* suffix : {"SR", "SS"}) {
        allowed.insert(result_name(o, suffix));
        allowed.insert(result_name(o, suffix) + temp_suffix);
      }
    }
    for (const std::string& name : kadrix_test::list_dir(trial.dir.path().string()))
      EXPECT_TRUE(allowed.count(name)) << "unexpected file " << name;
    if (!kadrix_faults::temporaries(trial.dir.path().string()).empty()) ++tally.with_temporaries;

    for (std::size_t i = 0; i < kObjects.size(); ++i) {
      const Object& o = kObjects[i];
      SCOPED_TRACE(o.name);
      // -1: absent; 0: a file of neither night; else the night.
      int night[2] = {-1, -1};
      for (int s = 0; s < 2; ++s) {
        const std::string path = trial.dir.file(result_name(o, s == 0 ? "SR" : "SS"));
        if (!kadrix_test::exists(path)) continue;
        const Bytes bytes = kadrix_test::read_file(path);
        night[s] = night_of(bytes, i, s == 0);
        std::string why;
        EXPECT_NE(night[s], 0) << path << " is no complete result of either night"
                               << (kadrix_faults::parse_result(bytes, why) ? "" : ": " + why);
      }
      if (o.has_old) {
        EXPECT_NE(night[0], -1) << "the SR result was lost";
        EXPECT_NE(night[1], -1) << "the SS result was lost";
      }
      if (i < finished) {
        EXPECT_EQ(night[0], 2) << "an object finished before the kill";
        EXPECT_EQ(night[1], 2) << "an object finished before the kill";
      }
      if (night[0] == night[1]) continue;
      // The one window left: killed between the two renames of the pair,
      // the new SR in place and the new SS, complete, still under its
      // temporary name.
      const std::string ss_temp = trial.dir.file(result_name(o, "SS") + temp_suffix);
      const bool between_renames = night[0] == 2 && night[1] != 2 && kadrix_test::exists(ss_temp) &&
                                   kadrix_test::read_file(ss_temp) == nights_[1][i].ss;
      EXPECT_TRUE(between_renames) << "SR of night " << night[0] << " paired with SS of night " << night[1];
      if (between_renames) ++tally.between_renames;
    }
  }

  std::array<std::array<Pair, kObjects.size()>, 2> nights_;
};

TEST_F(KilledRun, WhenTheKthNewNameAppears) {
  // A whole run first: how many names appear, and the result it leaves.
  int names = 0;
  {
    Trial trial;
    prepare(trial);
    const ChildRun run = kadrix_faults::run_kadrix_killed(trial.dir.prefix(), trial.list, KillWhen::new_name, 0,
                                                     trial.dir.path().string(), names);
    Tally tally;
    check(trial, run, kObjects.size(), tally);
    ASSERT_EQ(run.exit_status, 0);
    EXPECT_EQ(tally.with_temporaries, 0);
  }
  // Temporaries are created and renamed for every object: at least four
  // names a pair.
  ASSERT_GE(names, 4 * static_cast<int>(kObjects.size()));

  Tally tally;
  for (int k = 1; k <= names; ++k) {
    SCOPED_TRACE("killed at name " + std::to_string(k) + " of " + std::to_string(names));
    Trial trial;
    prepare(trial);
    int seen = 0;
    const ChildRun run = kadrix_faults::run_kadrix_killed(trial.dir.prefix(), trial.list, KillWhen::new_name, k,
                                                     trial.dir.path().string(), seen);
    check(trial, run, 0, tally);
    if (HasFailure()) break;
  }
  EXPECT_GT(tally.killed, 0) << "no run was killed: the test proves nothing";
  std::cout << names << " kills: " << tally.killed << " killed, " << tally.with_temporaries
            << " left temporaries, " << tally.between_renames << " between the two renames\n";
}

TEST_F(KilledRun, AfterTheKthNewVarLine) {
  Tally tally;
  for (std::size_t k = 1; k <= kObjects.size(); ++k) {
    SCOPED_TRACE("killed after line " + std::to_string(k));
    Trial trial;
    prepare(trial);
    int lines = 0;
    const ChildRun run = kadrix_faults::run_kadrix_killed(trial.dir.prefix(), trial.list, KillWhen::new_var_line,
                                                     static_cast<int>(k), trial.dir.path().string(), lines);
    ASSERT_GE(lines, static_cast<int>(k)) << run.out;
    // The k-th line is printed once the objects before it are on disk.
    check(trial, run, k - 1, tally);
    if (HasFailure()) break;
  }
  EXPECT_GT(tally.killed, 0) << "no run was killed: the test proves nothing";
}

}  // namespace
