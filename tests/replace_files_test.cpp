// Replacing a pair of files as a whole: on any failure both old files stay,
// whether or not the file system can exchange two names.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "bmp/replace_files.h"
#include "test_support.h"

namespace {

using kadrix_test::exists;
using kadrix_test::list_dir;
using kadrix_test::TempDir;
using kadrix_test::write_file;

std::string text_of(const std::string& path) {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

class ReplaceFiles : public ::testing::TestWithParam<bool> {};

TEST_P(ReplaceFiles, ReplacesBothWhenBothAreComplete) {
  const bool use_exchange = GetParam();
  TempDir dir;
  const kadrix::PendingFile files[2] = {kadrix::pending_file(dir.file("ASR.BMP")),
                                        kadrix::pending_file(dir.file("ASS.BMP"))};
  write_file(files[0].final_path, std::string("old SR"));
  write_file(files[0].temp_path, std::string("new SR"));
  write_file(files[1].temp_path, std::string("new SS"));  // no old SS yet
  std::vector<kadrix::FileHandle> replaced;
  EXPECT_EQ(kadrix::replace_files(files, use_exchange, &replaced), -1);
  EXPECT_EQ(text_of(dir.file("ASR.BMP")), "new SR");
  EXPECT_EQ(text_of(dir.file("ASS.BMP")), "new SS");
  EXPECT_EQ(list_dir(dir.path().string()), (std::vector<std::string>{"ASR.BMP", "ASS.BMP"}));
  // The old SR is held, without a name left, until the caller lets go.
  ASSERT_EQ(replaced.size(), 1u);
  struct stat old {};
  ASSERT_EQ(fstat(replaced[0].get(), &old), 0);
  EXPECT_EQ(old.st_nlink, 0u);
  EXPECT_EQ(old.st_size, 6);
}

TEST_P(ReplaceFiles, PutsTheFirstBackWhenTheSecondCannotMove) {
  const bool use_exchange = GetParam();
  for (const bool old_sr : {true, false}) {
    SCOPED_TRACE(old_sr ? "old SR present" : "no old SR");
    TempDir dir;
    const kadrix::PendingFile files[2] = {kadrix::pending_file(dir.file("ASR.BMP")),
                                          kadrix::pending_file(dir.file("ASS.BMP"))};
    if (old_sr) write_file(files[0].final_path, std::string("old SR"));
    write_file(files[1].final_path, std::string("old SS"));
    write_file(files[0].temp_path, std::string("new SR"));
    // The SS temporary is missing: its move fails after the SR has moved.
    EXPECT_EQ(kadrix::replace_files(files, use_exchange), 1);
    if (old_sr) EXPECT_EQ(text_of(dir.file("ASR.BMP")), "old SR");
    else EXPECT_FALSE(exists(dir.file("ASR.BMP")));
    EXPECT_EQ(text_of(dir.file("ASS.BMP")), "old SS");
    const std::vector<std::string> left =
        old_sr ? std::vector<std::string>{"ASR.BMP", "ASS.BMP"} : std::vector<std::string>{"ASS.BMP"};
    EXPECT_EQ(list_dir(dir.path().string()), left);
  }
}

INSTANTIATE_TEST_SUITE_P(Moves, ReplaceFiles, ::testing::Bool(), [](const auto& info) {
  return info.param ? std::string("Exchange") : std::string("LinkAndRename");
});

}  // namespace
