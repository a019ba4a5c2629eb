// The GNU parallel line of docs/many-machines.md, which spreads lists over several hosts,
// run here as it stands with this machine as the only host: every list of
// two sample nights gets its transcript file, the same as a run of kadrix
// by hand, and its results.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

using kadrix_test::TempDir;

constexpr char kNights[] = "/shared/nights";

// The page's line that starts "parallel ".
std::string page_line() {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(KADRIX_MANY_MACHINES);
  const std::string text(bytes.begin(), bytes.end());
  const std::size_t at = text.find("\nparallel ");
  if (at == std::string::npos) return "";
  return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

std::string text_of(const std::string& path) {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(SeveralHosts, ThePagesParallelLineGivesEveryListItsTranscript) {
  std::string line = page_line();
  ASSERT_NE(line, "") << "no line starting with \"parallel \" in " KADRIX_MANY_MACHINES;
  ASSERT_NE(line.find("--sshlogin \"$HOSTS\""), std::string::npos) << line;
  ASSERT_NE(line.find(kNights), std::string::npos) << line;
  TempDir dir;
  line.replace(line.find(kNights), std::string(kNights).size(), dir.path().string());
  for (const char* night : {"first", "second"}) {
    const auto made = kadrix_test::run_program(
        KADRIX_DEMO_BIN, {"--objects", night[0] == 'f' ? "3" : "2", "--seed", night[0] == 'f' ? "5" : "6",
                          dir.file(night)});
    ASSERT_EQ(made.exit_status, 0) << made.err;
  }
  // ":" is GNU parallel's name for this machine; kadrix is found on PATH.
  const std::string bin = std::filesystem::path(KADRIX_BIN).parent_path().string();
  const std::string command = "HOSTS=:; PATH='" + bin + "':\"$PATH\"; " + line;
  // The line's job log lands in the working directory.
  kadrix_test::RunOptions options;
  options.cwd = dir.path().string();
  const auto run = kadrix_test::run_program("/bin/bash", {"-c", command}, options);
  ASSERT_EQ(run.exit_status, 0) << line << "\n" << run.out << run.err;

  for (const char* night : {"first", "second"}) {
    SCOPED_TRACE(night);
    const std::string prefix = dir.file(night) + "/";
    const std::string transcript = prefix + "lista.txt";
    ASSERT_TRUE(kadrix_test::exists(transcript));
    EXPECT_FALSE(kadrix_test::exists(transcript + ".part"));
    const std::string from_parallel = text_of(transcript);
    const kadrix_test::Bytes results = kadrix_test::read_file(prefix + "M42SS.BMP");
    const auto by_hand = kadrix_test::run_program(KADRIX_BIN, {prefix, prefix + "lista.list"});
    EXPECT_EQ(by_hand.exit_status, 0);
    EXPECT_EQ(from_parallel, by_hand.out);
    EXPECT_NE(from_parallel.find("obrazkow do analizy\r\nObr: M42 Kl: "), std::string::npos) << from_parallel;
    EXPECT_EQ(kadrix_test::read_file(prefix + "M42SS.BMP"), results);
  }
}

}  // namespace
