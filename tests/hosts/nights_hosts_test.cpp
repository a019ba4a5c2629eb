// kadrix-nights over real ssh: a private sshd on 127.0.0.1, a key made for
// the test, and an ssh config that gives three host aliases (a fourth
// whose PATH lacks kadrix, a fifth that does not see the directory
// "noc" of the test), used through --ssh. The daemon is stopped by
// its pid whatever happens. Under CI=true a daemon that cannot start fails
// the test; elsewhere the test skips with the reason.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
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

constexpr char kSshd[] = "/usr/sbin/sshd";
constexpr char kKeygen[] = "/usr/bin/ssh-keygen";

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

bool accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// The private daemon and the files around it; stopped by its pid when the
// object goes away.
class PrivateSshd {
 public:
  // Empty when it runs; else why not.
  std::string start(const TempDir& dir) {
    if (!kadrix_test::exists(kSshd) || !kadrix_test::exists(kKeygen)) return "openssh-server is not installed";
    std::error_code ec;
    std::filesystem::create_directories("/run/sshd", ec);  // privilege separation wants it
    for (const char* key : {"host_key", "id_good", "id_bare", "id_island"}) {
      const auto made = kadrix_test::run_program(kKeygen, {"-q", "-t", "ed25519", "-N", "", "-f", dir.file(key)});
      if (made.exit_status != 0) return "ssh-keygen failed: " + made.out + made.err;
    }
    // The aliases' PATH: kadrix and kadrix-nights for the good key, the
    // system's alone for the bare one.
    // The island runs every command in a mount namespace of its own, an
    // empty file system over "noc": a host without the shared one.
    const std::string good_path = nights_test::path_variable();
    kadrix_test::write_file(dir.file("authorized_keys"),
                            "environment=\"" + good_path + "\" " + text_of(dir.file("id_good.pub")) +
                                "environment=\"PATH=/usr/bin:/bin\" " + text_of(dir.file("id_bare.pub")) +
                                "environment=\"" + good_path + "\",command=\"unshare -m sh -c 'mkdir -p " +
                                dir.file("noc") + " && mount -t tmpfs none " + dir.file("noc") +
                                " && exec sh -c \\\"$SSH_ORIGINAL_COMMAND\\\"'\" " + text_of(dir.file("id_island.pub")));
    port_ = free_port();
    if (port_ < 0) return "no free port on 127.0.0.1";
    pid_file_ = dir.file("sshd.pid");
    kadrix_test::write_file(dir.file("sshd_config"),
                            "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " +
                                dir.file("host_key") + "\nAuthorizedKeysFile " + dir.file("authorized_keys") +
                                "\nPidFile " + pid_file_ +
                                "\nPermitRootLogin prohibit-password\nPubkeyAuthentication yes\n"
                                "PasswordAuthentication no\nKbdInteractiveAuthentication no\nUsePAM no\n"
                                "StrictModes no\nPermitUserEnvironment yes\nLogLevel ERROR\n");
    const passwd* user = getpwuid(getuid());
    if (user == nullptr) return "no user name";
    std::string config;
    for (const std::string alias : {"n1", "n2", "n3", "bare", "island"}) {
      config += "Host " + alias + "\n  HostName 127.0.0.1\n  Port " + std::to_string(port_) +
                "\n  User " + user->pw_name + "\n  IdentityFile " +
                dir.file(alias == "bare" || alias == "island" ? "id_" + alias : "id_good") +
                "\n  IdentitiesOnly yes\n  BatchMode yes\n  StrictHostKeyChecking no\n"
                "  UserKnownHostsFile /dev/null\n  LogLevel ERROR\n";
    }
    kadrix_test::write_file(dir.file("ssh_config"), config);
    // sshd forks into the background and names itself in its pid file.
    const auto started = kadrix_test::run_program(kSshd, {"-f", dir.file("sshd_config"), "-E", dir.file("sshd.log")});
    if (started.exit_status != 0) return "sshd did not start: " + started.out + started.err + text_of(dir.file("sshd.log"));
    for (int i = 0; i < 1000 && (pid_ <= 0 || !accepts(port_)); ++i) {
      if (pid_ <= 0 && kadrix_test::exists(pid_file_)) pid_ = std::atoi(text_of(pid_file_).c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (pid_ <= 0 || !accepts(port_)) return "sshd does not listen: " + text_of(dir.file("sshd.log"));
    ssh_ = "ssh -F " + dir.file("ssh_config");
    const auto login = kadrix_test::run_program("/bin/sh", {"-c", ssh_ + " n1 true"});
    if (login.exit_status != 0) return "ssh n1 failed: " + login.out + login.err + text_of(dir.file("sshd.log"));
    return "";
  }
  ~PrivateSshd() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  const std::string& ssh() const { return ssh_; }

 private:
  int port_ = -1;
  pid_t pid_ = -1;
  std::string pid_file_;
  std::string ssh_;
};

#define START_SSHD(sshd, dir)                                                \
  do {                                                                       \
    const std::string why = (sshd).start(dir);                               \
    if (!why.empty()) {                                                      \
      if (under_ci()) FAIL() << "the private sshd could not start: " << why; \
      GTEST_SKIP() << "the private sshd could not start: " << why;           \
    }                                                                        \
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

std::vector<std::string> six_nights(const TempDir& dir) {
  std::vector<std::string> lists;
  for (int i = 0; i < 6; ++i)
    lists.push_back(make_night(dir.file("noc" + std::to_string(i)), 1 + i % 3, 40 + i, 300, 200));
  return lists;
}

TEST(NightsOverSsh, SixNightsOnThreeHostsGiveKadrixAlonesBytes) {
  TempDir dir;
  PrivateSshd sshd;
  START_SSHD(sshd, dir);
  const auto lists = six_nights(dir);
  std::vector<std::string> args = {"--hosts", "n1,n2,n3", "--ssh", sshd.ssh()};
  args.insert(args.end(), lists.begin(), lists.end());
  const auto run = nights_test::run_nights(args);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_TRUE(run.out.ends_with("Nocy: 6, ok: 6, uwagi: 0, utracone: 0, blad: 0, zajete: 0\r\n")) << run.out;
  for (const std::string& list : lists) expect_as_kadrix_alone(list);
}

TEST(NightsOverSsh, AKillOfKadrixNightsIsFinishedByResume) {
  TempDir dir;
  PrivateSshd sshd;
  START_SSHD(sshd, dir);
  const auto lists = six_nights(dir);
  // kadrix-nights alone is killed once a night has begun; its nights in
  // flight go on, and --resume waits for them and runs the rest.
  std::string script = "\"$0\" --hosts n1,n2,n3 --ssh \"$1\" \"${@:3}\" > \"$2\" 2>&1 & pid=$!\n"
                       "for i in $(seq 6000); do for l in \"${@:3}\"; do [ -e \"${l%.list}.txt.part\" ] && break 2; done; sleep 0.01; done\n"
                       "kill -9 $pid\n";
  std::vector<std::string> args = {"-c", script, KADRIX_NIGHTS_BIN, sshd.ssh(), dir.file("first.txt")};
  args.insert(args.end(), lists.begin(), lists.end());
  kadrix_test::RunOptions options;
  options.environment.push_back(nights_test::path_variable());
  const auto killed = kadrix_test::run_program("/bin/bash", args, options);
  ASSERT_EQ(killed.exit_status, 0) << killed.err;
  EXPECT_FALSE(text_of(dir.file("first.txt")).find("Nocy: 6") != std::string::npos) << "the kill came too late";

  std::vector<std::string> again = {"--resume", "--hosts", "n1,n2,n3", "--ssh", sshd.ssh()};
  again.insert(again.end(), lists.begin(), lists.end());
  const auto resumed = nights_test::run_nights(again);
  ASSERT_EQ(resumed.exit_status, 0) << resumed.out << resumed.err;
  EXPECT_TRUE(resumed.out.ends_with("Nocy: 6, ok: 6, uwagi: 0, utracone: 0, blad: 0, zajete: 0\r\n")) << resumed.out;
  for (const std::string& list : lists) expect_as_kadrix_alone(list);
}

TEST(NightsOverSsh, AHostThatDoesNotShareTheNightsIsNamedBeforeAnythingStarts) {
  if (geteuid() != 0) {
    if (under_ci()) FAIL() << "the island's mount namespace needs root";
    GTEST_SKIP() << "the island's mount namespace needs root";
  }
  TempDir dir;
  PrivateSshd sshd;
  START_SSHD(sshd, dir);
  const std::string list = make_night(dir.file("noc"), 1, 51);
  const auto before = kadrix_test::list_dir(dir.file("noc"));
  const auto run = nights_test::run_nights({"--hosts", "n1,island", "--ssh", sshd.ssh(), list});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "Komputer island nie widzi katalogu " + dir.file("noc") +
                         "/ (wymagany wspolny system plikow)\r\n"
                         "Zadna noc nie zostala uruchomiona\r\n");
  auto after = kadrix_test::list_dir(dir.file("noc"));
  std::erase(after, "lista.list.lock");
  EXPECT_EQ(after, before);
}

TEST(NightsOverSsh, AHostWithoutKadrixIsNamedBeforeAnythingStarts) {
  TempDir dir;
  PrivateSshd sshd;
  START_SSHD(sshd, dir);
  const std::string list = make_night(dir.file("noc"), 1, 50);
  const auto before = kadrix_test::list_dir(dir.file("noc"));
  const auto run = nights_test::run_nights({"--hosts", "n1,bare", "--ssh", sshd.ssh(), list});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out,
            "Na komputerze bare brak programu kadrix w PATH\r\n"
            "Na komputerze bare brak programu kadrix-nights w PATH\r\n"
            "Zadna noc nie zostala uruchomiona\r\n");
  // Nothing ran: no transcript, status or probe left; only the lock file
  // the check of locks made.
  auto after = kadrix_test::list_dir(dir.file("noc"));
  std::erase(after, "lista.list.lock");
  EXPECT_EQ(after, before);
}

// The page's raw GNU parallel line, as it stands, over the three aliases
// (PARALLEL_SSH gives parallel the test's ssh command).
TEST(NightsOverSsh, ThePagesRawParallelLineRunsOverSsh) {
  TempDir dir;
  PrivateSshd sshd;
  START_SSHD(sshd, dir);
  const std::string text = text_of(KADRIX_MANY_MACHINES);
  const std::size_t at = text.find("\nparallel ");
  ASSERT_NE(at, std::string::npos);
  std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
  const std::string nights = "/shared/nights";
  ASSERT_NE(line.find(nights), std::string::npos) << line;
  line.replace(line.find(nights), nights.size(), dir.file("shared"));
  std::vector<std::string> lists;
  for (int i = 0; i < 3; ++i)
    lists.push_back(make_night(dir.file("shared/n" + std::to_string(i)), 1 + i, 90 + i));
  kadrix_test::RunOptions options;
  options.cwd = dir.path().string();
  options.environment = {"PARALLEL_SSH=" + sshd.ssh(), nights_test::path_variable()};
  const auto run = kadrix_test::run_program("/bin/bash", {"-c", "HOSTS=n1,n2,n3\n" + line}, options);
  ASSERT_EQ(run.exit_status, 0) << line << "\n" << run.out << run.err;
  for (const std::string& list : lists) expect_as_kadrix_alone(list);
}

}  // namespace
