// The built kadrix-nights on demo nights the tests write, through GNU
// parallel on this machine: the same bytes as kadrix run alone, each
// night's state in the summary, a kill that loses nothing and --resume
// that finishes exactly what was left, and a locked night left alone.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nights_support.h"
#include "test_support.h"

namespace {

using kadrix_test::TempDir;
using nights_test::make_night;
using nights_test::run_nights;
using nights_test::text_of;
using nights_test::transcript_of;

std::string totals(int nights, int ok, int remarks, int lost, int failed, int busy) {
  return "Nocy: " + std::to_string(nights) + ", ok: " + std::to_string(ok) + ", uwagi: " + std::to_string(remarks) +
         ", utracone: " + std::to_string(lost) + ", blad: " + std::to_string(failed) +
         ", zajete: " + std::to_string(busy) + "\r\n";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(NightsRun, EveryNightGetsWhatKadrixAloneGivesIt) {
  TempDir dir;
  const std::vector<std::string> lists = {make_night(dir.file("pierwsza"), 3, 5), make_night(dir.file("druga"), 2, 6),
                                          make_night(dir.file("trzecia"), 1, 7)};
  // The first night named relative to the working directory.
  kadrix_test::RunOptions options;
  options.cwd = dir.path().string();
  const auto run = run_nights({"--jobs", "2", "pierwsza/lista.list", lists[1], lists[2]}, options);
  ASSERT_EQ(run.exit_status, 0) << run.out;
  for (const std::string& list : lists) EXPECT_TRUE(contains(run.out, "\r\n" + list + ": ok\r\n")) << run.out;
  EXPECT_TRUE(run.out.ends_with(totals(3, 3, 0, 0, 0, 0))) << run.out;

  for (const std::string& list : lists) {
    SCOPED_TRACE(list);
    const std::string from_nights = text_of(transcript_of(list));
    const auto pairs = nights_test::results_now(list);
    EXPECT_FALSE(kadrix_test::exists(transcript_of(list) + ".part"));
    const auto alone = nights_test::kadrix_alone(list);
    EXPECT_EQ(from_nights, alone.transcript);
    ASSERT_EQ(pairs.size(), alone.results.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      EXPECT_FALSE(pairs[i].empty());
      EXPECT_TRUE(kadrix_test::same_bytes(pairs[i], alone.results[i])) << i;
    }
  }
}

TEST(NightsRun, EachNightsStateStandsInTheSummary) {
  TempDir dir;
  const std::string ok = make_night(dir.file("ok"), 1, 2);
  // A directory where kadrix must write M51's result: that object is lost.
  const std::string lost = make_night(dir.file("lost"), 2, 3);
  std::filesystem::create_directory(dir.file("lost/M51SR.BMP"));
  // An object with one frame only: a remark.
  const std::string remark = make_night(dir.file("remark"), 1, 4);
  std::filesystem::copy_file(dir.file("remark/M4201.BMP"), dir.file("remark/X01.BMP"));
  kadrix_test::write_file(remark, std::string("M42\nX\n"));
  // A list that is not there: no object analysed, though kadrix exits 0.
  std::filesystem::create_directory(dir.file("empty"));
  const std::string missing = dir.file("empty/lista.list");

  const auto run = run_nights({ok, lost, remark, missing});
  EXPECT_EQ(run.exit_status, 1) << run.out;
  const std::string expected = ok + ": ok\r\n" + lost + ": utracone (M51)\r\n" + remark + ": uwagi (X)\r\n" +
                               missing + ": blad (zaden obiekt nie zostal przeanalizowany)\r\n" +
                               totals(4, 1, 1, 1, 1, 0);
  EXPECT_TRUE(run.out.ends_with(expected)) << run.out;
  // The lost night's transcript still names what failed.
  EXPECT_TRUE(contains(text_of(dir.file("lost/lista.txt")), "Blad zapisu pliku " + dir.file("lost/M51SR.BMP")));
  // Only the nights that are not done run again.
  const auto again = run_nights({"--resume", ok, lost, remark, missing});
  EXPECT_EQ(again.exit_status, 1);
  EXPECT_FALSE(contains(again.out, "Noc " + ok + "\r\n")) << again.out;
  EXPECT_FALSE(contains(again.out, "Noc " + remark + "\r\n")) << again.out;
  EXPECT_TRUE(contains(again.out, "Noc " + lost + "\r\n")) << again.out;
  EXPECT_TRUE(again.out.ends_with(expected)) << again.out;
}

TEST(NightsRun, AKillLeavesEarlierTranscriptsAndResumeFinishesExactlyTheRest) {
  TempDir dir;
  const std::vector<std::string> lists = {make_night(dir.file("n1"), 1, 11), make_night(dir.file("n2"), 2, 12),
                                          make_night(dir.file("n3"), 2, 13)};
  const std::string old_text = "zapis poprzedniego przebiegu\r\n";
  for (const std::string& list : lists) kadrix_test::write_file(transcript_of(list), old_text);
  // Night 2's list is a pipe nobody writes: its kadrix waits in mid-run
  // until it is killed.
  std::filesystem::rename(lists[1], lists[1] + ".kept");
  ASSERT_EQ(mkfifo(lists[1].c_str(), 0644), 0);
  // Killed, with every process of its session, once the second night's
  // kadrix has started: night 1 is done, night 3 not begun.
  const std::string script =
      "setsid \"$0\" --jobs 1 \"$1\" \"$2\" \"$3\" > \"$4\" 2>&1 & pid=$!\n"
      "for i in $(seq 6000); do [ -e \"$5\" ] && break; kill -0 $pid 2>/dev/null || break; sleep 0.01; done\n"
      // parallel starts each job in a process group of its own: every
      // process of the session is killed by its id, until none is left.
      "while p=$(ps -o pid= -s $pid); [ -n \"$p\" ]; do kill -9 $p 2>/dev/null; sleep 0.01; done\n";
  const std::string part2 = transcript_of(lists[1]) + ".part";
  kadrix_test::RunOptions options;
  options.environment.push_back(nights_test::path_variable());
  const auto killed = kadrix_test::run_program(
      "/bin/bash", {"-c", script, KADRIX_NIGHTS_BIN, lists[0], lists[1], lists[2], dir.file("out.txt"), part2},
      options);
  ASSERT_EQ(killed.exit_status, 0) << killed.err;

  EXPECT_NE(text_of(transcript_of(lists[0])), old_text);
  const std::string status1 = text_of(lists[0] + ".status");
  EXPECT_TRUE(status1.starts_with("stan=ok\n")) << status1;
  EXPECT_EQ(text_of(transcript_of(lists[2])), old_text);
  EXPECT_FALSE(kadrix_test::exists(lists[2] + ".status"));
  EXPECT_FALSE(kadrix_test::exists(transcript_of(lists[2]) + ".part"));
  // Night 2, killed in mid-run, keeps its old transcript beside the part.
  EXPECT_TRUE(kadrix_test::exists(part2));
  EXPECT_EQ(text_of(transcript_of(lists[1])), old_text);
  EXPECT_FALSE(kadrix_test::exists(lists[1] + ".status"));
  std::filesystem::rename(lists[1] + ".kept", lists[1]);
  // A temporary kadrix left is named, not deleted.
  const std::string leftover = dir.file("n3/M42SR.BMP.tmp.99999");
  kadrix_test::write_file(leftover, std::string("x"));

  const auto resumed = run_nights({"--resume", lists[0], lists[1], lists[2]});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out;
  EXPECT_TRUE(contains(resumed.out, "Pozostalosc przerwanego zapisu: " + leftover + " (do usuniecia)\r\n"))
      << resumed.out;
  EXPECT_TRUE(kadrix_test::exists(leftover));
  EXPECT_FALSE(contains(resumed.out, "Noc " + lists[0] + "\r\n")) << resumed.out;
  EXPECT_TRUE(contains(resumed.out, "Noc " + lists[2] + "\r\n")) << resumed.out;
  EXPECT_TRUE(contains(resumed.out, "Noc " + lists[1] + "\r\n")) << resumed.out;
  EXPECT_TRUE(resumed.out.ends_with(totals(3, 3, 0, 0, 0, 0))) << resumed.out;
  // Night 1 was not run again: its status is the first run's, byte for byte.
  EXPECT_EQ(text_of(lists[0] + ".status"), status1);
  kadrix_test::write_file(leftover, std::string());
  std::filesystem::remove(leftover);
  for (const std::string& list : lists) {
    SCOPED_TRACE(list);
    EXPECT_FALSE(kadrix_test::exists(transcript_of(list) + ".part"));
    const std::string from_nights = text_of(transcript_of(list));
    const auto pairs = nights_test::results_now(list);
    const auto alone = nights_test::kadrix_alone(list);
    EXPECT_EQ(from_nights, alone.transcript);
    EXPECT_EQ(pairs, alone.results);
  }
}

TEST(NightsRun, ALockedNightIsLeftAloneAndCountedBusy) {
  TempDir dir;
  const std::string free_night = make_night(dir.file("wolna"), 1, 21);
  const std::string held_night = make_night(dir.file("zajeta"), 1, 22);
  kadrix_test::write_file(transcript_of(held_night), std::string("stary\r\n"));
  {
    // Another run holds the night.
    const int fd = open((held_night + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const auto run = run_nights({free_night, held_night});
    close(fd);
    EXPECT_EQ(run.exit_status, 1) << run.out;
    EXPECT_TRUE(run.out.ends_with(free_night + ": ok\r\n" + held_night + ": zajeta\r\n" + totals(2, 1, 0, 0, 0, 1)))
        << run.out;
    EXPECT_EQ(text_of(transcript_of(held_night)), "stary\r\n");
    EXPECT_FALSE(kadrix_test::exists(held_night + ".status"));
    EXPECT_FALSE(kadrix_test::exists(transcript_of(held_night) + ".part"));
  }
  // A night's own task, started while another holds it, says so.
  const int fd = open((held_night + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  const auto task = run_nights({"--task", held_night});
  close(fd);
  EXPECT_EQ(task.exit_status, 3);
  EXPECT_EQ(task.out, "Noc " + held_night + " jest zajeta przez inny przebieg, pominieta\r\n");
  // Released, --resume runs it and only it.
  const auto resumed = run_nights({"--resume", free_night, held_night});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out;
  EXPECT_EQ(text_of(transcript_of(held_night)), nights_test::kadrix_alone(held_night).transcript);
}

TEST(NightsRun, AFileSystemThatCannotLockIsNamedAndNoNightRuns) {
  struct Case {
    const char* error;
    const char* text;  // strerror's words for it
  } cases[] = {{"ENOLCK", "No locks available"}, {"EOPNOTSUPP", "Operation not supported"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    TempDir dir;
    const std::string first = make_night(dir.file("a"), 1, 35);
    const std::string second = make_night(dir.file("b"), 1, 36);
    const auto before = kadrix_test::list_dir(dir.file("a"));
    kadrix_test::RunOptions options;
    options.environment = {std::string("KADRIX_FLOCK_ERRNO=") + c.error, nights_test::path_variable()};
    for (const bool resume : {false, true}) {
      std::vector<std::string> args = {first, second};
      if (resume) args.insert(args.begin(), "--resume");
      const auto run = kadrix_test::run_program(KADRIX_NIGHTS_NOFLOCK_BIN, args, options);
      EXPECT_EQ(run.exit_status, 1);
      EXPECT_EQ(run.out, "System plikow pliku " + first + ".lock nie obsluguje blokad (flock: " + c.text +
                             "); zadna noc nie zostala uruchomiona\r\n");
    }
    // A night's own task refuses alike.
    const auto task = kadrix_test::run_program(KADRIX_NIGHTS_NOFLOCK_BIN, {"--task", second}, options);
    EXPECT_EQ(task.exit_status, 1);
    EXPECT_EQ(task.out, "System plikow pliku " + second + ".lock nie obsluguje blokad (flock: " + c.text +
                            "); zadna noc nie zostala uruchomiona\r\n");
    auto after = kadrix_test::list_dir(dir.file("a"));
    std::erase(after, "lista.list.lock");
    EXPECT_EQ(after, before);
    EXPECT_FALSE(kadrix_test::exists(transcript_of(second)));
  }
}

TEST(NightsRun, ASlurmTaskRunsTheNightOfItsLineAndFailsWithoutOne) {
  TempDir dir;
  const std::string first = make_night(dir.file("a"), 1, 31);
  const std::string second = make_night(dir.file("b"), 1, 32);
  const std::string lines = dir.file("job.lists");
  kadrix_test::write_file(lines, first + "\n" + second + "\n");
  kadrix_test::RunOptions options;
  options.environment = {"SLURM_ARRAY_TASK_ID=1"};
  const auto task = run_nights({"--task-line", lines, "--run", "r7"}, options);
  EXPECT_EQ(task.exit_status, 0) << task.out;
  EXPECT_TRUE(task.out.starts_with("Noc " + second + "\r\n")) << task.out;
  EXPECT_FALSE(kadrix_test::exists(transcript_of(first)));
  EXPECT_EQ(text_of(second + ".status"), "stan=ok\nwyjscie=0\nobiekty=\nprzebieg=r7\n");
  options.environment = {"SLURM_ARRAY_TASK_ID=0"};
  const auto zero = run_nights({"--task-line", lines, "--run", "r8"}, options);
  EXPECT_TRUE(zero.out.starts_with("Noc " + first + "\r\n")) << zero.out;
  EXPECT_EQ(text_of(first + ".status"), "stan=ok\nwyjscie=0\nobiekty=\nprzebieg=r8\n");
  for (const char* bad : {"SLURM_ARRAY_TASK_ID=-1", "SLURM_ARRAY_TASK_ID=x", "SLURM_ARRAY_TASK_ID="}) {
    options.environment = {bad};
    const auto refused = run_nights({"--task-line", lines}, options);
    EXPECT_EQ(refused.exit_status, 2) << bad;
    EXPECT_EQ(refused.out, "Brak numeru zadania w SLURM_ARRAY_TASK_ID\r\n") << bad;
  }

  options.environment = {"SLURM_ARRAY_TASK_ID=2"};
  const auto past = run_nights({"--task-line", lines}, options);
  EXPECT_EQ(past.exit_status, 2);
  EXPECT_EQ(past.out, "Brak nocy nr 3 w pliku " + lines + "\r\n");
}

TEST(NightsRun, AWrongCallIsNamedWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {{}, "brak pliku listy"},
      {{"--jobs", "0", "a.list"}, "--jobs wymaga liczby calkowitej od 1, podano 0"},
      {{"--hosts", "h", "--slurm", "a.list"}, "opcje --hosts i --slurm wykluczaja sie"},
      {{"--ssh", "ssh -p 2", "a.list"}, "opcja --ssh wymaga --hosts"},
      {{"--cpus", "4", "a.list"}, "opcja --cpus wymaga --slurm"},
      {{"--slurm", "--jobs", "2", "a.list"}, "opcja --jobs nie dotyczy --slurm"},
      {{"--mem", "", "--slurm", "a.list"}, "brak wartosci po --mem"},
      {{"--bogus", "a.list"}, "nieznana opcja --bogus"},
      {{"--hosts", ",", "a.list"}, "brak wartosci po --hosts"},
      {{"--task", "a.list", "b.list"}, "--task wymaga dokladnie jednej listy"},
      {{"/x/a.list", "/x/b/../a.list"}, "lista /x/a.list podana dwa razy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    const auto run = run_nights(c.args);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_TRUE(run.out.starts_with(std::string("Zle wywolanie programu: ") + c.reason + ".\r\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "Prawidlowe wywolanie: kadrix-nights")) << run.out;
  }
}

}  // namespace
