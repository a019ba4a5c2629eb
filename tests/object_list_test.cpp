// The list reader: text-mode reading, token echo, stored names, capacity.

#include "driver/object_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/transcript.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;
using kadrix_test::TempDir;
using kadrix_test::write_file;

struct ListRead {
  std::optional<std::int32_t> count;  // names to analyse; nothing for a missing list
  std::vector<std::string> stored;
  std::string out;                    // what kadrix prints of the list, line ends as CR LF
};

ListRead read_list(const std::string& path, int capacity = kadrix::kNameCapacity) {
  ListRead r;
  const kadrix::ObjectList list = kadrix::read_object_list(path, capacity);
  if (!list.missing) r.count = static_cast<std::int32_t>(list.names.size());
  r.stored = list.names;
  r.out = kadrix_test::crlf(kadrix::list_text(list, path));
  return r;
}

struct ListCase {
  const char* title;
  std::string contents;
  std::string echo;
  std::vector<std::string> stored;
};

class ListContents : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListContents, EchoesAndStoresEveryName) {
  const ListCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("lista.list");
  write_file(path, c.contents);
  const ListRead r = read_list(path);
  ASSERT_TRUE(r.count.has_value());
  EXPECT_EQ(*r.count, static_cast<std::int32_t>(c.stored.size()));
  EXPECT_EQ(r.out, c.echo);
  EXPECT_EQ(r.stored, c.stored);
}

const std::string kLongToken(5000, 'Q');

INSTANTIATE_TEST_SUITE_P(
    TextMode, ListContents,
    ::testing::Values(
        ListCase{"empty", "", "", {}}, ListCase{"only_white_space", " \n\t\r\n\v\f  \r", "", {}},
        ListCase{"one_name_a_line", "M31\nNGC7\n", "M31 0\r\nNGC7 1\r\n", {"M31", "NGC7"}},
        ListCase{"no_final_line_end", "A\nB", "A 0\r\nB 1\r\n", {"A", "B"}},
        ListCase{"several_on_one_line",
                 "A B\tC\vD\fE",
                 "A 0\r\nB 1\r\nC 2\r\nD 3\r\nE 4\r\n",
                 {"A", "B", "C", "D", "E"}},
        ListCase{"windows_line_ends", "A\r\nB\r\n", "A 0\r\nB 1\r\n", {"A", "B"}},
        // A CR inside a token is dropped, joining the two halves into one name.
        ListCase{"cr_inside_a_token", "AB\rCD\r\nE\r\rF\n", "ABCD 0\r\nEF 1\r\n", {"ABCD", "EF"}},
        ListCase{"lone_cr_between_names", "X\r\rY", "XY 0\r\n", {"XY"}},
        // Byte 0x1A ends the data, even in the middle of a token.
        ListCase{"ctrl_z_ends_data",
                 "A\nB\x1a"
                 "C\nD\n",
                 "A 0\r\nB 1\r\n",
                 {"A", "B"}},
        ListCase{"ctrl_z_first",
                 "\x1a"
                 "A B\n",
                 "",
                 {}},
        ListCase{"ctrl_z_after_white_space", "A \x1a B", "A 0\r\n", {"A"}},
        // Echoed in full, stored as the first 6 characters.
        ListCase{"long_names",
                 "ABCDEFGH\nXYZ123456789012345678901234567890 UVWXYZ\n",
                 "ABCDEFGH 0\r\nXYZ123456789012345678901234567890 1\r\nUVWXYZ 2\r\n",
                 {"ABCDEF", "XYZ123", "UVWXYZ"}},
        ListCase{"very_long_name", kLongToken + "\nB", kLongToken + " 0\r\nB 1\r\n", {"QQQQQQ", "B"}},
        // A NUL ends the token's text; the rest up to white space is dropped.
        ListCase{"nul_in_token", "AB\0CD EF\nG\0\0H\n"s, "AB 0\r\nEF 1\r\nG 2\r\n", {"AB", "EF", "G"}},
        ListCase{"nul_after_six", "ABCDEFG\0XY Z"s, "ABCDEFG 0\r\nZ 1\r\n", {"ABCDEF", "Z"}},
        ListCase{"duplicates_kept", "A\nA\nAB\n", "A 0\r\nA 1\r\nAB 2\r\n", {"A", "A", "AB"}},
        // A UTF-8 byte-order mark is skipped at the very start only; a part
        // of one, or one anywhere else, is text of a name.
        ListCase{"byte_order_mark", "\xEF\xBB\xBFM42\r\nM51\r\n", "M42 0\r\nM51 1\r\n", {"M42", "M51"}},
        ListCase{"byte_order_mark_then_space", "\xEF\xBB\xBF A", "A 0\r\n", {"A"}},
        ListCase{"byte_order_mark_alone", "\xEF\xBB\xBF", "", {}},
        ListCase{"two_byte_order_marks", "\xEF\xBB\xBF\xEF\xBB\xBF" "AB", "\xEF\xBB\xBF" "AB 0\r\n",
                 {"\xEF\xBB\xBF" "AB"}},
        ListCase{"byte_order_mark_later", "A \xEF\xBB\xBF" "B", "A 0\r\n\xEF\xBB\xBF" "B 1\r\n",
                 {"A", "\xEF\xBB\xBF" "B"}},
        ListCase{"part_of_a_mark", "\xEF\xBBX Y", "\xEF\xBBX 0\r\nY 1\r\n", {"\xEF\xBBX", "Y"}},
        ListCase{"part_of_a_mark_at_the_end", "\xEF\xBB", "\xEF\xBB 0\r\n", {"\xEF\xBB"}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.title); });

// The capacity of kadrix itself, 200, is tested on whole runs
// (e2e_list_test.cpp); here the reader follows the capacity it is given.
TEST(ListCapacity, FollowsTheCapacityGiven) {
  TempDir dir;
  write_file(dir.file("l"), "A B C");
  EXPECT_EQ(read_list(dir.file("l"), 4).count, std::optional<std::int32_t>(3));
  const ListRead r = read_list(dir.file("l"), 3);
  EXPECT_EQ(r.count, std::optional<std::int32_t>(0));
  EXPECT_EQ(r.out, "A 0\r\nB 1\r\nC 2\r\nZa duzo linii w pliku. Popraw zawartosc pliku.\r\n");
}

}  // namespace

// ---- adding a name to a list (kadrix-import --list) ---------------------

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <ostream>

namespace {

using kadrix_test::numbered_names;

using kadrix::ListAddition;

std::optional<std::string> contents(const std::string& path) {
  if (!kadrix_test::exists(path)) return std::nullopt;
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

struct AdditionCase {
  const char* title;
  std::optional<std::string> before;  // none: no list
  std::string name;
  ListAddition outcome;
  std::optional<std::string> after;  // none: still no list
};

void PrintTo(const AdditionCase& c, std::ostream* os) { *os << c.title; }

class ListAdditions : public ::testing::TestWithParam<AdditionCase> {};

TEST_P(ListAdditions, WriteTheListKadrixWillRead) {
  const AdditionCase& c = GetParam();
  kadrix_test::TempDir dir;
  const std::string path = dir.file("noc.list");
  if (c.before) kadrix_test::write_file(path, *c.before);
  // A check alone writes nothing, and foresees the outcome.
  const ListAddition foreseen = kadrix::add_to_object_list(path, c.name, true);
  EXPECT_EQ(contents(path), c.before);
  EXPECT_EQ(foreseen, c.outcome == ListAddition::write_failed ? ListAddition::added : c.outcome);

  EXPECT_EQ(kadrix::add_to_object_list(path, c.name), c.outcome);
  EXPECT_EQ(contents(path), c.after);
  std::vector<std::string> entries = kadrix_test::list_dir(dir.path().string());
  EXPECT_EQ(entries, c.after ? std::vector<std::string>{"noc.list"} : std::vector<std::string>{}) << "leftovers";
}

INSTANTIATE_TEST_SUITE_P(
    Add, ListAdditions,
    ::testing::Values(
        AdditionCase{"created", std::nullopt, "M42", ListAddition::added, "M42\n"},
        AdditionCase{"empty_list", "", "M42", ListAddition::added, "M42\n"},
        AdditionCase{"appended", "A\nB\n", "M42", ListAddition::added, "A\nB\nM42\n"},
        AdditionCase{"final_line_end_added", "A\nB", "M42", ListAddition::added, "A\nB\nM42\n"},
        AdditionCase{"windows_line_ends", "A\r\nB\r\n", "M42", ListAddition::added, "A\r\nB\r\nM42\r\n"},
        AdditionCase{"windows_final_line_end_added", "A\r\nB", "M42", ListAddition::added, "A\r\nB\r\nM42\r\n"},
        AdditionCase{"ends_in_cr", "A\r", "M42", ListAddition::added, "A\r\nM42\n"},
        AdditionCase{"byte_order_mark_kept", "\xEF\xBB\xBF" "A\n", "M42", ListAddition::added,
                     "\xEF\xBB\xBF" "A\nM42\n"},
        AdditionCase{"stored_as_six_characters", "A\n", "ANDROMEDA", ListAddition::added, "A\nANDROM\n"},
        AdditionCase{"present", "M31 M42\n", "M42", ListAddition::present, "M31 M42\n"},
        AdditionCase{"present_as_stored", "NGC2537\n", "NGC253999", ListAddition::present, "NGC2537\n"},
        AdditionCase{"a_shorter_name_is_another", "NGC25\n", "NGC253", ListAddition::added, "NGC25\nNGC253\n"},
        AdditionCase{"present_on_a_full_list", numbered_names(199), "N17", ListAddition::present, numbered_names(199)},
        AdditionCase{"full_at_199", numbered_names(199), "M42", ListAddition::full, numbered_names(199)},
        AdditionCase{"added_as_199th", numbered_names(198), "M42", ListAddition::added, numbered_names(198) + "M42\n"},
        AdditionCase{"over_capacity", numbered_names(230), "N3", ListAddition::full, numbered_names(230)},
        AdditionCase{"end_of_text", "A\n\x1a", "M42", ListAddition::end_of_text, "A\n\x1a"},
        AdditionCase{"present_before_end_of_text", "M42\x1a", "M42", ListAddition::present, "M42\x1a"},
        AdditionCase{"name_empty", std::nullopt, "", ListAddition::bad_name, std::nullopt},
        AdditionCase{"name_with_space", "A\n", "M 42", ListAddition::bad_name, "A\n"},
        AdditionCase{"name_with_end_of_text", "A\n", "M\x1a", ListAddition::bad_name, "A\n"}),
    [](const ::testing::TestParamInfo<AdditionCase>& info) { return std::string(info.param.title); });

TEST(ListAddition, KeepsTheListsPermissionsAndItsLink) {
  kadrix_test::TempDir dir;
  const std::string target = dir.file("real.list");
  kadrix_test::write_file(target, std::string("A\n"));
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  const std::string link = dir.file("noc.list");
  ASSERT_EQ(::symlink("real.list", link.c_str()), 0);
  EXPECT_EQ(kadrix::add_to_object_list(link, "M42"), ListAddition::added);
  struct stat info {};
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced by a file";
  EXPECT_EQ(contents(target), std::optional<std::string>("A\nM42\n"));
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), (std::vector<std::string>{"noc.list", "real.list"}));
}

TEST(ListAddition, RefusesWhatIsNoListAndReportsAFailedWrite) {
  kadrix_test::TempDir dir;
  EXPECT_EQ(kadrix::add_to_object_list(dir.path().string(), "M42"), ListAddition::not_a_file);
  ASSERT_EQ(::mkfifo(dir.file("pipe.list").c_str(), 0600), 0);
  EXPECT_EQ(kadrix::add_to_object_list(dir.file("pipe.list"), "M42"), ListAddition::not_a_file);
  EXPECT_EQ(kadrix::add_to_object_list(dir.file("none/noc.list"), "M42"), ListAddition::write_failed);
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), std::vector<std::string>{"pipe.list"});
}

}  // namespace
