// --list: the object's name added to kadrix's list through the list
// module; a list kadrix could not use with it is refused before any frame
// is written.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::crlf;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

void write_source(const TempDir& dir) {
  import_test::SerVideo s;
  s.width = 2;
  s.height = 1;
  s.frames = {{1, 2}, {3, 4}};
  kadrix_test::write_file(dir.file("a.ser"), import_test::ser_bytes(s));
}

struct ListCase {
  const char* title;
  std::optional<std::string> before;  // none: no list yet
  std::string name;
  std::string after;
  std::string line;  // the last line printed; LIST stands for the list's path
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.title; }

class ListOption : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListOption, AddsTheNameOnce) {
  const ListCase& c = GetParam();
  TempDir dir;
  write_source(dir);
  const std::string list = dir.file("noc.list");
  if (c.before) kadrix_test::write_file(list, *c.before);
  const RunResult r = import_test::run_import({dir.prefix(), c.name, dir.file("a.ser"), "--list", list});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  std::string line = c.line;
  line.replace(line.find("LIST"), 4, list);
  EXPECT_TRUE(r.out.ends_with(crlf(line + "\n"))) << r.out;
  const Bytes text = kadrix_test::read_file(list);
  EXPECT_EQ(std::string(text.begin(), text.end()), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    List, ListOption,
    ::testing::Values(ListCase{"created", std::nullopt, "M42", "M42\n", "Dodano M42 do listy LIST"},
                      ListCase{"appended", "M31\nM51\n", "M42", "M31\nM51\nM42\n", "Dodano M42 do listy LIST"},
                      ListCase{"final_line_end_added", "M31\nM51", "M42", "M31\nM51\nM42\n", "Dodano M42 do listy LIST"},
                      ListCase{"windows_line_ends", "M31\r\nM51\r\n", "M42", "M31\r\nM51\r\nM42\r\n",
                               "Dodano M42 do listy LIST"},
                      // The name is written as kadrix stores it.
                      ListCase{"long_name_stored_cut", "M31\n", "NGC2537", "M31\nNGC253\n", "Dodano NGC253 do listy LIST"},
                      // Compared as stored: NGC2537 on the list is NGC253.
                      ListCase{"present_by_six_characters", "NGC2537 M31\n", "NGC253", "NGC2537 M31\n",
                               "NGC253 jest juz na liscie LIST"},
                      ListCase{"present_before_end_of_text", "M42\n\x1a junk", "M42", "M42\n\x1a junk",
                               "M42 jest juz na liscie LIST"}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.title); });

struct RefusedList {
  const char* title;
  std::string before;
  std::string message;  // LIST stands for the list's path
};

void PrintTo(const RefusedList& c, std::ostream* os) { *os << c.title; }

class RefusedLists : public ::testing::TestWithParam<RefusedList> {};

TEST_P(RefusedLists, StopTheImportBeforeAnyFrame) {
  const RefusedList& c = GetParam();
  TempDir dir;
  write_source(dir);
  const std::string list = dir.file("noc.list");
  kadrix_test::write_file(list, c.before);
  const auto before = import_test::snapshot(dir.path().string());
  const RunResult r = import_test::run_import({"--list=" + list, dir.prefix(), "OBJ", dir.file("a.ser")});
  EXPECT_EQ(r.exit_status, 1);
  std::string message = c.message;
  message.replace(message.find("LIST"), 4, list);
  EXPECT_TRUE(r.out.ends_with(crlf(message + "\n"))) << r.out;
  EXPECT_EQ(import_test::snapshot(dir.path().string()), before);
}

INSTANTIATE_TEST_SUITE_P(
    List, RefusedLists,
    ::testing::Values(
        RefusedList{"holds_199_names", kadrix_test::numbered_names(199),
                    "Lista LIST ma juz 199 nazw: z kolejna kadrix nie przeanalizowalby zadnego obiektu"},
        RefusedList{"holds_250_names", kadrix_test::numbered_names(250),
                    "Lista LIST ma juz 199 nazw: z kolejna kadrix nie przeanalizowalby zadnego obiektu"},
        RefusedList{"holds_end_of_text", "M31\n\x1aM51\n",
                    "Lista LIST zawiera bajt 0x1A: kadrix nie zobaczylby nazw dopisanych za nim"}),
    [](const ::testing::TestParamInfo<RefusedList>& info) { return std::string(info.param.title); });

TEST(ListOption, ADirectoryIsNoList) {
  TempDir dir;
  write_source(dir);
  std::filesystem::create_directory(dir.file("noc.list"));
  const RunResult r = import_test::run_import({dir.prefix(), "OBJ", dir.file("a.ser"), "--list", dir.file("noc.list")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.ends_with(crlf("Lista " + dir.file("noc.list") + " nie jest zwyklym plikiem\n"))) << r.out;
  EXPECT_FALSE(kadrix_test::exists(dir.file("OBJ01.BMP")));
}

// The 199th name is the last kadrix analyses: added, and kadrix reads it.
TEST(ListOption, The199thNameIsAddedAndAnalysed) {
  TempDir dir;
  write_source(dir);
  const std::string list = dir.file("noc.list");
  kadrix_test::write_file(list, kadrix_test::numbered_names(198));
  const RunResult r = import_test::run_import({dir.prefix(), "OBJ", dir.file("a.ser"), "--list", list});
  ASSERT_EQ(r.exit_status, 0) << r.out;
  const Bytes text = kadrix_test::read_file(list);
  EXPECT_EQ(std::string(text.begin(), text.end()), kadrix_test::numbered_names(198) + "OBJ\n");

  const RunResult run = kadrix_test::run_program(KADRIX_BIN, {dir.prefix(), list});
  EXPECT_NE(run.out.find("\r\nOBJ 198\r\n199 obrazkow do analizy\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Obr: OBJ Kl: 2 "), std::string::npos);
  EXPECT_EQ(run.out.find("Za duzo linii"), std::string::npos);
}

}  // namespace
