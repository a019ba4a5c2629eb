// Whole runs: the command line, the order of objects, exit statuses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace kadrix_e2e;
using kadrix_test::exists;
using kadrix_test::list_dir;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::write_file;

const char kUsage[] =
    "\r\nZle wywolanie programu.\r\n"
    "Prawidlowe wywolanie: nazwa_programu sciezka_do_klatek plik_do_listy_klatek\r\n"
    "np. kadrix.exe c:\\dane\\ lista.list\r\n";

TEST(CommandLine, AnyOtherArgumentCountGivesOnlyTheUsageMessage) {
  const std::vector<std::vector<std::string>> calls = {
      {}, {"./"}, {"lista.list"}, {"./", "lista.list", "extra"}, {"./", "lista.list", "", ""}};
  for (const auto& args : calls) {
    TempDir dir;
    // A complete object, so that a run that went ahead would leave files.
    write_flat_object(dir.prefix(), "A", 2);
    write_file(dir.file("lista.list"), "A\n");
    const std::vector<std::string> before = list_dir(dir.path().string());
    kadrix_test::RunOptions options;
    options.cwd = dir.path().string();
    const RunResult r = run_kadrix(args, options);
    EXPECT_EQ(r.out, kUsage) << args.size() << " arguments";
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(list_dir(dir.path().string()), before);
  }
}

TEST(CommandLine, AnEmptyListEndsTheRunCleanly) {
  for (const char* contents : {"", "  \r\n\t\n"}) {
    TempDir dir;
    write_file(dir.file("lista.list"), contents);
    const RunResult r = run_kadrix({dir.prefix(), dir.file("lista.list")});
    EXPECT_EQ(r.out, dir.prefix() + " sciezka do plikow BMP\r\n0 obrazkow do analizy\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
  }
}

TEST(ObjectLoop, ObjectsRunInListOrderAndDuplicatesRunAgain) {
  TempDir dir;
  write_flat_object(dir.prefix(), "B", 2);
  write_flat_object(dir.prefix(), "A", 3);
  write_file(dir.file("lista.list"), "B\nA\nB\n");
  const RunResult r = run_kadrix({dir.prefix(), dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(dir.prefix(), {"B", "A", "B"}) +                        //
                       "Obr: B Kl: 2 " + kFlatLine + "Obr: A Kl: 3 " + kFlatLine +  //
                       "Obr: B Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(temporaries(dir.path().string()).empty());
}

TEST(ObjectLoop, TheDirectoryArgumentIsAPlainPrefix) {
  // Without a trailing separator the directory text and the name are
  // joined as they stand: "<dir>/pre" + "A" + "01.BMP".
  TempDir dir;
  const std::string prefix = dir.file("pre");
  write_flat_object(prefix, "A", 2);
  write_file(dir.file("lista.list"), "A\n");
  const RunResult r = run_kadrix({prefix, dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(prefix, {"A"}) + "Obr: A Kl: 2 " + kFlatLine);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(exists(dir.file("preASR.BMP")));
  EXPECT_TRUE(exists(dir.file("preASS.BMP")));
}

TEST(ObjectLoop, AClosedStandardOutputDoesNotStopTheRun) {
  TempDir dir;
  write_flat_object(dir.prefix(), "A", 2);
  write_flat_object(dir.prefix(), "B", 2);
  write_file(dir.file("lista.list"), "A\nB\n");
  kadrix_test::RunOptions options;
  options.close_stdout_early = true;
  const RunResult r = run_kadrix({dir.prefix(), dir.file("lista.list")}, options);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const Bytes ss = result_file(8, 7, kadrix_test::flat(8, 7, 0), 10.0f, 0.0f, 2);
  EXPECT_TRUE(exists(dir.file("BSR.BMP")));
  ASSERT_TRUE(exists(dir.file("BSS.BMP")));
  EXPECT_TRUE(same_bytes(read_file(dir.file("BSS.BMP")), ss));
}

}  // namespace
