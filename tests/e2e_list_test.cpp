// Whole runs: how the list file is read and echoed.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace kadrix_e2e;
using namespace std::string_literals;
using kadrix_test::exists;
using kadrix_test::numbered_echo;
using kadrix_test::numbered_names;
using kadrix_test::write_file;

TEST(ListFile, TextModeNamesAndTheirObjects) {
  TempDir dir;
  const std::string p = dir.prefix();
  // Stored names: "LONGNA" (cut to 6), "AB" (a CR inside dropped), "C" (a
  // NUL ends the text), "E"; the 0x1A ends the data before "F".
  write_flat_object(p, "LONGNA", 2);
  write_flat_object(p, "AB", 3);
  write_flat_object(p, "E", 2);
  write_flat_object(p, "F", 2);
  write_flat_object(p, "CD", 2);
  write_file(dir.file("lista.list"), "LONGNAME123\r\nA\rB\r\nC\0D E\x1a F\n"s);
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, p + " sciezka do plikow BMP\r\n" +
                       "LONGNAME123 0\r\nAB 1\r\nC 2\r\nE 3\r\n4 obrazkow do analizy\r\n" +
                       "Obr: LONGNA Kl: 2 " + kFlatLine +  //
                       "Obr: AB Kl: 3 " + kFlatLine +      //
                       "Obr: C Kl: 0 za malo klatek, obiekt pominiety\r\n" + "Obr: E Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(exists(dir.file("LONGNASR.BMP")));
  EXPECT_TRUE(exists(dir.file("ABSS.BMP")));
  EXPECT_FALSE(exists(dir.file("FSR.BMP")));
  EXPECT_FALSE(exists(dir.file("CDSR.BMP")));
}

TEST(ListFile, LongTokensAreEchoedInFullAndShareTheirFirstSix) {
  TempDir dir;
  const std::string p = dir.prefix();
  const std::string very_long = std::string("ABCDEF") + std::string(4000, 'x');
  write_flat_object(p, "ABCDEF", 2);
  write_file(dir.file("lista.list"), very_long + "\nABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, p + " sciezka do plikow BMP\r\n" + very_long + " 0\r\n" +
                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 1\r\n2 obrazkow do analizy\r\n" +
                       "Obr: ABCDEF Kl: 2 " + kFlatLine + "Obr: ABCDEF Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.exit_status, 0);
}

// The capacity: 199 names are all analysed; the 200th name is echoed, then
// the message, nothing after it is read, and no object is analysed.
TEST(ListCapacity, OneHundredNinetyNineNamesAreAllAnalysed) {
  TempDir dir;
  write_flat_object(dir.prefix(), "N198", 2);
  write_file(dir.file("lista.list"), numbered_names(199));
  const RunResult r = run_kadrix({dir.prefix(), dir.file("lista.list")});
  std::string expected =
      dir.prefix() + " sciezka do plikow BMP\r\n" + numbered_echo(199) + "199 obrazkow do analizy\r\n";
  for (int i = 0; i < 198; ++i)
    expected += std::string("Obr: N") + std::to_string(i) + " Kl: 0 za malo klatek, obiekt pominiety\r\n";
  expected += "Obr: N198 Kl: 2 "s + kFlatLine;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(exists(dir.file("N198SR.BMP")));
}

TEST(ListCapacity, TheTwoHundredthNameEndsTheListWithNoObjects) {
  for (const int names : {200, 250}) {
    SCOPED_TRACE(std::to_string(names) + " names");
    TempDir dir;
    write_flat_object(dir.prefix(), "N0", 2);
    write_file(dir.file("lista.list"), numbered_names(names));
    const RunResult r = run_kadrix({dir.prefix(), dir.file("lista.list")});
    EXPECT_EQ(r.out, dir.prefix() + " sciezka do plikow BMP\r\n" + numbered_echo(200) +
                         "Za duzo linii w pliku. Popraw zawartosc pliku.\r\n0 obrazkow do analizy\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_FALSE(exists(dir.file("N0SR.BMP")));
  }
}

TEST(ListFile, AMissingListOrADirectoryIsReported) {
  TempDir dir;
  mkdir(dir.file("katalog").c_str(), 0755);
  for (const std::string& list : {dir.file("brak.list"), dir.file("katalog"), dir.file("katalog") + "/"}) {
    const RunResult r = run_kadrix({dir.prefix(), list});
    EXPECT_EQ(r.out, dir.prefix() + " sciezka do plikow BMP\r\nBrak pliku " + list + "\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
  }
}

TEST(ListFile, AListCanBeReadFromAPipe) {
  TempDir dir;
  write_flat_object(dir.prefix(), "P", 2);
  kadrix_test::RunOptions options;
  options.stdin_data = "P\r\nQ\n";
  const RunResult r = run_kadrix({dir.prefix(), "/dev/stdin"}, options);
  EXPECT_EQ(r.out, preamble(dir.prefix(), {"P", "Q"}) + "Obr: P Kl: 2 " + kFlatLine +
                       "Obr: Q Kl: 0 za malo klatek, obiekt pominiety\r\n");
  EXPECT_EQ(r.exit_status, 0);
}

}  // namespace
