// The call of kadrix-demo: wrong calls, help and version, the transcript
// of a night against the files it wrote, and a failed write that leaves an
// object's older files as they were.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using kadrix_test::crlf;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

const std::string kUsage =
    "Prawidlowe wywolanie: kadrix-demo [opcje] katalog\n"
    "np. kadrix-demo dane/\n"
    "(kadrix-demo --help opisuje program i opcje)\n";

RunResult run_demo(const std::vector<std::string>& args, const TempDir& cwd) {
  kadrix_test::RunOptions options;
  options.cwd = cwd.path().string();
  return kadrix_test::run_program(KADRIX_DEMO_BIN, args, options);
}

std::string text_of(const std::string& path) {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

struct WrongCall {
  const char* title;
  std::vector<std::string> args;
  std::string reason;
};

void PrintTo(const WrongCall& c, std::ostream* os) { *os << c.title; }

class DemoWrongCalls : public ::testing::TestWithParam<WrongCall> {};

TEST_P(DemoWrongCalls, GetTheReasonAndTheUsageAndWriteNothing) {
  const WrongCall& c = GetParam();
  TempDir dir;
  const RunResult r = run_demo(c.args, dir);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, crlf("Zle wywolanie programu: " + c.reason + ".\n" + kUsage));
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(kadrix_test::list_dir(dir.path().string()).empty());
}

// The limits: 199 names are the most kadrix analyses from a list, 100
// frames the most it combines.
INSTANTIATE_TEST_SUITE_P(
    Calls, DemoWrongCalls,
    ::testing::Values(
        WrongCall{"nothing", {}, "brak katalogu"},
        WrongCall{"only_options", {"--objects", "2"}, "brak katalogu"},
        WrongCall{"empty_directory", {""}, "pusta nazwa katalogu"},
        WrongCall{"two_directories", {"a", "b"}, "za duzo argumentow (b)"},
        WrongCall{"unknown_option", {"--colour", "d"}, "nieznana opcja --colour"},
        WrongCall{"value_missing", {"d", "--objects"}, "brak wartosci po --objects"},
        WrongCall{"value_empty", {"--seed=", "d"}, "brak wartosci po --seed"},
        WrongCall{"given_twice", {"--width", "9", "d", "--width=10"}, "opcja --width podana dwa razy"},
        WrongCall{"raw_twice", {"--raw", "d", "--raw"}, "opcja --raw podana dwa razy"},
        WrongCall{"raw_with_a_value", {"--raw=yes", "d"}, "nieznana opcja --raw=yes"},
        WrongCall{"no_objects", {"--objects", "0", "d"}, "zla wartosc --objects 0 (oczekiwano liczby od 1 do 199)"},
        WrongCall{"too_many_objects", {"--objects=200", "d"},
                  "zla wartosc --objects 200 (oczekiwano liczby od 1 do 199)"},
        WrongCall{"too_many_frames", {"--frames", "101", "d"},
                  "zla wartosc --frames 101 (oczekiwano liczby od 1 do 100)"},
        WrongCall{"narrow", {"--width", "7", "d"}, "zla wartosc --width 7 (oczekiwano liczby od 8 do 4096)"},
        WrongCall{"tall", {"--height", "4097", "d"}, "zla wartosc --height 4097 (oczekiwano liczby od 8 do 4096)"},
        WrongCall{"signed_number", {"--height", "+9", "d"}, "zla wartosc --height +9 (oczekiwano liczby od 8 do 4096)"},
        WrongCall{"seed_negative", {"--seed", "-1", "d"}, "zla wartosc --seed -1 (oczekiwano liczby od 0 do 2^64-1)"},
        WrongCall{"seed_beyond_64_bits", {"--seed", "18446744073709551616", "d"},
                  "zla wartosc --seed 18446744073709551616 (oczekiwano liczby od 0 do 2^64-1)"},
        WrongCall{"list_in_a_folder", {"--list", "x/l.list", "d"},
                  "zla wartosc --list x/l.list (oczekiwano nazwy pliku bez /)"},
        WrongCall{"list_dot_dot", {"--list", "..", "d"}, "zla wartosc --list .. (oczekiwano nazwy pliku bez /)"},
        WrongCall{"first_fault_named", {"--objects", "0", "--colour", "a", "b"},
                  "zla wartosc --objects 0 (oczekiwano liczby od 1 do 199)"}),
    [](const ::testing::TestParamInfo<WrongCall>& info) { return std::string(info.param.title); });

TEST(DemoCall, HelpAndVersionWinOverAWrongCall) {
  TempDir dir;
  const RunResult help = run_demo({"--objects", "0", "a", "b", "-h"}, dir);
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.rfind("Wywolanie: kadrix-demo [opcje] katalog\r\n", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("1 do 199"), std::string::npos);
  // Every line end is CR LF.
  for (std::size_t at = help.out.find('\n'); at != std::string::npos; at = help.out.find('\n', at + 1))
    ASSERT_EQ(help.out.at(at - 1), '\r') << "line end at " << at;

  const RunResult version = run_demo({"--colour", "--version"}, dir);
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, "kadrix-demo " KADRIX_VERSION "\r\n");
  EXPECT_TRUE(kadrix_test::list_dir(dir.path().string()).empty());
}

// A directory named like an option, after "--": the transcript names each
// object with the frames and stars its files hold.
TEST(DemoCall, TranscriptTellsWhatTheFilesHold) {
  TempDir cwd;
  const RunResult r = run_demo({"--objects", "2", "--frames=3", "--width", "9", "--height", "8", "--seed", "0x2a",
                                "--list", "noc.list", "--", "-night"},
                               cwd);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  const std::string dir = cwd.file("-night");
  EXPECT_EQ(text_of(dir + "/noc.list"), "M42\nM51\n");
  std::string expected;
  for (const std::string name : {"M42", "M51"}) {
    for (int k = 1; k <= 3; ++k) {
      const kadrix_test::Bytes frame = kadrix_test::read_file(dir + "/" + name + "0" + std::to_string(k) + ".BMP");
      ASSERT_GE(frame.size(), 26u);
      EXPECT_EQ(kadrix_test::get_le32(frame, 18), 9u);
      EXPECT_EQ(kadrix_test::get_le32(frame, 22), 8u);
    }
    EXPECT_FALSE(kadrix_test::exists(dir + "/" + name + "04.BMP"));
    std::istringstream stars(text_of(dir + "/" + name + "_stars.csv"));
    std::string line;
    std::getline(stars, line);
    ASSERT_EQ(line, "x,y,peak");
    int count = 0;
    while (std::getline(stars, line)) ++count;
    char row[96];
    std::snprintf(row, sizeof row, "Zapisano %-6s klatek %3d, 9x8, gwiazd %d\n", name.c_str(), 3, count);
    expected += row;
  }
  expected += "Lista obiektow: -night/noc.list\n";
  EXPECT_EQ(r.out, crlf(expected));
}

TEST(DemoCall, AFailedWriteLeavesTheObjectsOlderFiles) {
  TempDir dir;
  kadrix_test::write_file(dir.file("M4201.BMP"), std::string("old frame"));
  kadrix_test::write_file(dir.file("lista.list"), std::string("OLD\n"));
  // The star table cannot take its name: a directory stands there.
  std::filesystem::create_directory(dir.file("M42_stars.csv"));
  const RunResult r = run_demo({"--objects", "1", "--frames", "2", dir.path().string()}, dir);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, crlf("Blad zapisu pliku " + dir.prefix() + "M42_stars.csv\n"));
  EXPECT_EQ(text_of(dir.file("M4201.BMP")), "old frame");
  EXPECT_EQ(text_of(dir.file("lista.list")), "OLD\n");
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"M4201.BMP", "M42_stars.csv", "lista.list"}));
}

TEST(DemoCall, ADirectoryThatCannotBeMadeIsNamed) {
  TempDir dir;
  kadrix_test::write_file(dir.file("plain"), std::string("x"));
  const RunResult r = run_demo({dir.file("plain")}, dir);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, crlf("Nie da sie utworzyc katalogu " + dir.file("plain") + "\n"));
}

}  // namespace
