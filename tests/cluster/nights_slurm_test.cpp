// kadrix-nights under a real single-node Slurm, started by the test as
// root without systemd (Debian's slurm-wlm and munge): the daemons run on
// ports and files of the test's own and are stopped by their pids whatever
// happens. Under CI=true a cluster that cannot start fails the test;
// elsewhere the test skips with the reason.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nights_support.h"
#include "test_support.h"

namespace {

using kadrix_test::TempDir;
using nights_test::make_night;
using nights_test::text_of;
using nights_test::transcript_of;

bool under_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

std::string totals(int nights, int ok, int lost, int failed, int busy) {
  return "Nocy: " + std::to_string(nights) + ", ok: " + std::to_string(ok) + ", uwagi: 0, utracone: " +
         std::to_string(lost) + ", blad: " + std::to_string(failed) + ", zajete: " + std::to_string(busy) + "\r\n";
}

// munged, slurmctld and slurmd on files under the test's directory.
class PrivateSlurm {
 public:
  // Empty when the node is up; else why not.
  std::string start(const TempDir& dir, int max_array_size) {
    for (const char* program : {"/usr/sbin/munged", "/usr/sbin/slurmctld", "/usr/sbin/slurmd", "/usr/bin/sbatch"})
      if (!kadrix_test::exists(program)) return std::string(program) + " is not installed (slurm-wlm, munge)";
    if (geteuid() != 0) return "the daemons are started as root";
    dir_ = dir.path().string();
    std::error_code ec;
    std::filesystem::create_directories("/run/munge", ec);
    for (const char* sub : {"state", "spool"}) std::filesystem::create_directory(dir.file(sub), ec);
    kadrix_test::Bytes key(128);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 11);
    kadrix_test::write_file(dir.file("munge.key"), key);
    std::filesystem::permissions(dir.file("munge.key"), std::filesystem::perms::owner_read);
    const auto munged = kadrix_test::run_program(
        "/usr/sbin/munged", {"--force", "--socket=" + dir.file("munge.sock"), "--key-file=" + dir.file("munge.key"),
                             "--pid-file=" + dir.file("munged.pid"), "--log-file=" + dir.file("munged.log"),
                             "--seed-file=" + dir.file("munged.seed")});
    pid_files_.push_back(dir.file("munged.pid"));
    if (munged.exit_status != 0) return "munged did not start: " + munged.out + munged.err;

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string short_host = std::string(host).substr(0, std::string(host).find('.'));
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const std::string conf =
        "ClusterName=kadrix\nSlurmctldHost=" + short_host + "(127.0.0.1)\nSlurmUser=root\nSlurmdUser=root\n" +
        "SlurmctldPort=" + std::to_string(free_port()) + "\nSlurmdPort=" + std::to_string(free_port()) +
        "\nAuthType=auth/munge\nCredType=cred/munge\nAuthInfo=socket=" + dir.file("munge.sock") +
        "\nStateSaveLocation=" + dir.file("state") + "\nSlurmdSpoolDir=" + dir.file("spool") +
        "\nSlurmctldPidFile=" + dir.file("slurmctld.pid") + "\nSlurmdPidFile=" + dir.file("slurmd.pid") +
        "\nSlurmctldLogFile=" + dir.file("slurmctld.log") + "\nSlurmdLogFile=" + dir.file("slurmd.log") +
        "\nProctrackType=proctrack/linuxproc\nTaskPlugin=task/none\nSelectType=select/cons_tres\n"
        "SelectTypeParameters=CR_Core_Memory\nAccountingStorageType=accounting_storage/none\n"
        "JobAcctGatherType=jobacct_gather/none\nJobCompType=jobcomp/none\nMpiDefault=none\nReturnToService=2\n"
        "SchedulerParameters=batch_sched_delay=0,sched_min_interval=0\nKillWait=5\n"
        "MaxArraySize=" + std::to_string(max_array_size) + "\n" +
        "NodeName=kadrixnode NodeAddr=127.0.0.1 CPUs=" + std::to_string(cpus) + " RealMemory=2000 State=UNKNOWN\n" +
        "PartitionName=nocne Nodes=kadrixnode Default=YES MaxTime=INFINITE State=UP\n";
    conf_ = dir.file("slurm.conf");
    kadrix_test::write_file(conf_, conf);
    const auto ctld = kadrix_test::run_program("/usr/sbin/slurmctld", {"-f", conf_, "-i"});
    pid_files_.push_back(dir.file("slurmctld.pid"));
    if (ctld.exit_status != 0) return "slurmctld did not start: " + ctld.out + ctld.err;
    const auto slurmd = kadrix_test::run_program("/usr/sbin/slurmd", {"-f", conf_, "-N", "kadrixnode"});
    pid_files_.push_back(dir.file("slurmd.pid"));
    if (slurmd.exit_status != 0) return "slurmd did not start: " + slurmd.out + slurmd.err;
    for (int i = 0; i < 300; ++i) {
      const auto info = run_shell("sinfo -h -o %T");
      if (info.out.starts_with("idle")) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "the node did not come up: " + text_of(dir.file("slurmctld.log")) + text_of(dir.file("slurmd.log"));
  }

  ~PrivateSlurm() {
    // Jobs first, then the daemons, newest first, each by its pid.
    if (!conf_.empty()) run_shell("scancel --user=$(id -un)");
    for (auto it = pid_files_.rbegin(); it != pid_files_.rend(); ++it) {
      const int pid = kadrix_test::exists(*it) ? std::atoi(text_of(*it).c_str()) : 0;
      if (pid <= 0) continue;
      kill(pid, SIGTERM);
      for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::vector<std::string> environment() const { return {"SLURM_CONF=" + conf_, nights_test::path_variable()}; }

  kadrix_test::RunResult run_shell(const std::string& script, const std::vector<std::string>& args = {}) const {
    kadrix_test::RunOptions options;
    options.environment = environment();
    options.cwd = dir_;
    options.timeout_seconds = 240;
    std::vector<std::string> all = {"-c", script, KADRIX_NIGHTS_BIN};
    all.insert(all.end(), args.begin(), args.end());
    return kadrix_test::run_program("/bin/bash", all, options);
  }

  kadrix_test::RunResult nights(const std::vector<std::string>& args) const {
    kadrix_test::RunOptions options;
    options.environment = environment();
    options.cwd = dir_;
    options.timeout_seconds = 240;
    return kadrix_test::run_program(KADRIX_NIGHTS_BIN, args, options);
  }

  // Waits until the job has left the queue.
  void wait_for(const std::string& id) const {
    run_shell("while [ -n \"$(squeue -h -j " + id + " 2>/dev/null)\" ]; do sleep 0.1; done");
  }

 private:
  std::string dir_;
  std::string conf_;
  std::vector<std::string> pid_files_;
};

#define START_SLURM(slurm, dir, max_array)                                \
  do {                                                                    \
    const std::string why = (slurm).start(dir, max_array);                \
    if (!why.empty()) {                                                   \
      if (under_ci()) FAIL() << "the private Slurm could not start: " << why; \
      GTEST_SKIP() << "the private Slurm could not start: " << why;      \
    }                                                                     \
  } while (0)

void expect_as_kadrix_alone(const std::string& list) {
  SCOPED_TRACE(list);
  EXPECT_FALSE(kadrix_test::exists(transcript_of(list) + ".part"));
  const std::string from_nights = text_of(transcript_of(list));
  const auto pairs = nights_test::results_now(list);
  const auto alone = nights_test::kadrix_alone(list);
  EXPECT_EQ(from_nights, alone.transcript);
  EXPECT_EQ(pairs, alone.results);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The job id of "Zadanie Slurm ID: N nocy".
std::string job_id(const std::string& out) {
  const std::string head = "Zadanie Slurm ";
  const std::size_t at = out.find(head);
  if (at == std::string::npos) return "";
  return out.substr(at + head.size(), out.find(':', at) - at - head.size());
}

std::vector<std::string> job_list_files(const TempDir& dir) {
  std::vector<std::string> files;
  for (const std::string& name : kadrix_test::list_dir(dir.path().string()))
    if (name.ends_with(".lists")) files.push_back(dir.file(name));
  return files;
}

TEST(NightsUnderSlurm, ThreeNightsGiveKadrixAlonesBytesAndANightAddedLaterIsNotTaken) {
  TempDir dir;
  PrivateSlurm slurm;
  START_SLURM(slurm, dir, 2);  // three nights: two arrays
  const std::vector<std::string> lists = {make_night(dir.file("a"), 2, 61), make_night(dir.file("b"), 1, 62),
                                          make_night(dir.file("c"), 3, 63)};
  // A night is written once the job's files of lists are there.
  const auto run = slurm.run_shell(
      "\"$0\" --slurm --wait \"$1\" \"$2\" \"$3\" & pid=$!\n"
      "until ls *.lists >/dev/null 2>&1; do sleep 0.01; done\n"
      "\"$4\" --objects 1 --seed 64 --frames 6 d >/dev/null\n"
      "wait $pid",
      {lists[0], lists[1], lists[2], KADRIX_DEMO_BIN});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_TRUE(run.out.ends_with(lists[0] + ": ok\r\n" + lists[1] + ": ok\r\n" + lists[2] + ": ok\r\n" +
                                totals(3, 3, 0, 0, 0)))
      << run.out;
  const auto files = job_list_files(dir);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(text_of(files[0]) + text_of(files[1]), lists[0] + "\n" + lists[1] + "\n" + lists[2] + "\n");
  for (const std::string& list : lists) expect_as_kadrix_alone(list);
  // Every task named its night in its log.
  std::string logs;
  for (const std::string& name : kadrix_test::list_dir(dir.path().string()))
    if (name.ends_with(".log") && name.starts_with("kadrix-nights-")) logs += text_of(dir.file(name));
  for (const std::string& list : lists) EXPECT_TRUE(contains(logs, "Noc " + list + "\r\n")) << logs;
  EXPECT_TRUE(kadrix_test::exists(dir.file("d/lista.list")));
  EXPECT_FALSE(kadrix_test::exists(dir.file("d/lista.txt")));
  EXPECT_FALSE(kadrix_test::exists(dir.file("d/lista.list.status")));
}

TEST(NightsUnderSlurm, ANightThatCannotWriteAResultIsLostWhileTheOthersAreOk) {
  TempDir dir;
  PrivateSlurm slurm;
  START_SLURM(slurm, dir, 1000);
  const std::vector<std::string> lists = {make_night(dir.file("a"), 1, 71), make_night(dir.file("b"), 2, 72),
                                          make_night(dir.file("c"), 1, 73)};
  std::filesystem::create_directory(dir.file("b/M42SS.BMP"));
  const auto run = slurm.nights(
      {"--slurm", "--wait", "--cpus", "1", "--partition", "nocne", "--time", "10", lists[0], lists[1], lists[2]});
  EXPECT_EQ(run.exit_status, 1) << run.out;
  EXPECT_TRUE(run.out.ends_with(lists[0] + ": ok\r\n" + lists[1] + ": utracone (M42)\r\n" + lists[2] + ": ok\r\n" +
                                totals(3, 2, 1, 0, 0)))
      << run.out;
}

TEST(NightsUnderSlurm, ScancelLeavesPartsAndEarlierTranscriptsAndResumeFinishesTheRest) {
  TempDir dir;
  PrivateSlurm slurm;
  START_SLURM(slurm, dir, 1000);
  // The whole node a task: the nights run one after another.
  const std::vector<std::string> lists = {make_night(dir.file("a"), 1, 81), make_night(dir.file("b"), 2, 82),
                                          make_night(dir.file("c"), 1, 83)};
  const std::string old_text = "zapis poprzedniego przebiegu\r\n";
  for (const std::string& list : lists) kadrix_test::write_file(transcript_of(list), old_text);
  // Night b's list is a pipe nobody writes: its kadrix waits in mid-run
  // until it is cancelled.
  std::filesystem::rename(lists[1], lists[1] + ".kept");
  ASSERT_EQ(mkfifo(lists[1].c_str(), 0644), 0);
  const auto submitted = slurm.nights({"--slurm", lists[0], lists[1], lists[2]});
  ASSERT_EQ(submitted.exit_status, 0) << submitted.out;
  const std::string id = job_id(submitted.out);
  ASSERT_NE(id, "") << submitted.out;
  EXPECT_EQ(submitted.out, "Zadanie Slurm " + id + ": 3 nocy\r\n");
  // A second submission of a night that runs is left alone.
  const std::string part_b = transcript_of(lists[1]) + ".part";
  slurm.run_shell("for i in $(seq 12000); do [ -e \"$1\" ] && break; sleep 0.01; done", {part_b});
  ASSERT_TRUE(kadrix_test::exists(part_b));
  const auto second = slurm.nights({"--slurm", "--wait", lists[1]});
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_EQ(second.out, lists[1] + ": zajeta\r\n" + totals(1, 0, 0, 0, 1));
  slurm.run_shell("scancel " + id);
  slurm.wait_for(id);

  EXPECT_NE(text_of(transcript_of(lists[0])), old_text);
  const std::string status_a = text_of(lists[0] + ".status");
  EXPECT_TRUE(status_a.starts_with("stan=ok\n")) << status_a;
  EXPECT_TRUE(kadrix_test::exists(part_b));
  EXPECT_EQ(text_of(transcript_of(lists[1])), old_text);
  EXPECT_FALSE(text_of(lists[1] + ".status").starts_with("stan=ok"));
  std::filesystem::rename(lists[1] + ".kept", lists[1]);
  EXPECT_EQ(text_of(transcript_of(lists[2])), old_text);
  EXPECT_FALSE(kadrix_test::exists(transcript_of(lists[2]) + ".part"));

  const auto resumed = slurm.nights({"--slurm", "--wait", "--resume", lists[0], lists[1], lists[2]});
  EXPECT_EQ(resumed.exit_status, 0) << resumed.out;
  EXPECT_TRUE(resumed.out.ends_with(totals(3, 3, 0, 0, 0))) << resumed.out;
  EXPECT_EQ(text_of(lists[0] + ".status"), status_a);  // not run again
  for (const std::string& list : lists) expect_as_kadrix_alone(list);
}

// The text of the page's code block that starts with `first`.
std::string page_block(const std::string& page, const std::string& first) {
  const std::size_t at = page.find("```sh\n" + first);
  if (at == std::string::npos) return "";
  const std::size_t from = at + 6;
  return page.substr(from, page.find("```", from) - from);
}

// The page's raw Slurm script and submission, as they stand.
TEST(NightsUnderSlurm, ThePagesRawSlurmScriptGivesKadrixAlonesBytes) {
  TempDir dir;
  PrivateSlurm slurm;
  START_SLURM(slurm, dir, 1000);
  const std::string page = text_of(KADRIX_MANY_MACHINES);
  const std::string script = page_block(page, "#!/bin/bash\n");
  std::string submit = page_block(page, "printf ");
  ASSERT_NE(script, "");
  ASSERT_NE(submit.find("kadrix.sbatch"), std::string::npos) << submit;
  const std::string nights = "/shared/nights";
  ASSERT_NE(submit.find(nights), std::string::npos) << submit;
  submit.replace(submit.find(nights), nights.size(), dir.file("shared"));
  kadrix_test::write_file(dir.file("kadrix.sbatch"), script);
  const std::vector<std::string> lists = {make_night(dir.file("shared/a"), 1, 95), make_night(dir.file("shared/b"), 2, 96)};
  const auto run = slurm.run_shell(submit);
  ASSERT_EQ(run.exit_status, 0) << submit << run.out << run.err;
  for (const std::string& list : lists) expect_as_kadrix_alone(list);
}

}  // namespace
