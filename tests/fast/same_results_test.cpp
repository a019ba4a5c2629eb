// The fast build and the straightforward one, run on the same sample night,
// must leave the same transcript and the same bytes in every file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_support.h"

namespace {

using kadrix_test::Bytes;
using kadrix_test::TempDir;

// A sample night in dir, with one frame cut off inside its pixel rows so the
// sequence of that object ends early.
void make_night(const TempDir& dir) {
  const auto made = kadrix_test::run_program(
      KADRIX_DEMO_BIN, {"--objects", "3", "--frames", "12", "--width", "157", "--height", "101", "--seed", "11",
                        dir.prefix()});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  const std::string list = dir.file("lista.list");
  ASSERT_TRUE(kadrix_test::exists(list));
  // The second object's frame 07 loses the second half of its rows.
  std::string second;
  {
    const Bytes names = kadrix_test::read_file(list);
    std::string text(names.begin(), names.end());
    const auto first_end = text.find('\n');
    const auto second_end = text.find('\n', first_end + 1);
    second = text.substr(first_end + 1, second_end - first_end - 1);
  }
  const std::string frame = dir.file(second + "07.BMP");
  const std::uintmax_t stride = (157 + 3) / 4 * 4;
  std::filesystem::resize_file(frame, 54 + 1024 + stride * 50 + 3);
}

TEST(FastBuild, GivesTheStraightforwardBuildsBytesOnASampleNight) {
  TempDir fast_dir;
  TempDir plain_dir;
  make_night(fast_dir);
  make_night(plain_dir);

  const auto fast = kadrix_test::run_program(KADRIX_BIN, {fast_dir.prefix(), fast_dir.file("lista.list")});
  const auto plain =
      kadrix_test::run_program(KADRIX_STRAIGHTFORWARD_BIN, {plain_dir.prefix(), plain_dir.file("lista.list")});
  ASSERT_EQ(fast.exit_status, 0);
  ASSERT_EQ(plain.exit_status, 0);
  // The cut frame shows in the transcript, and every object got its results.
  EXPECT_NE(fast.out.find("Zly plik"), std::string::npos);

  std::string fast_text = fast.out;
  std::string plain_text = plain.out;
  // The directories differ; the rest of the transcript must not.
  for (std::size_t at; (at = fast_text.find(fast_dir.prefix())) != std::string::npos;)
    fast_text.replace(at, fast_dir.prefix().size(), "DIR/");
  for (std::size_t at; (at = plain_text.find(plain_dir.prefix())) != std::string::npos;)
    plain_text.replace(at, plain_dir.prefix().size(), "DIR/");
  EXPECT_EQ(fast_text, plain_text);

  const auto names = kadrix_test::list_dir(fast_dir.path().string());
  ASSERT_EQ(names, kadrix_test::list_dir(plain_dir.path().string()));
  int results = 0;
  for (const std::string& name : names) {
    if (name.size() > 6 && (name.ends_with("SR.BMP") || name.ends_with("SS.BMP"))) ++results;
    EXPECT_EQ(kadrix_test::read_file(fast_dir.file(name)), kadrix_test::read_file(plain_dir.file(name))) << name;
  }
  EXPECT_EQ(results, 6);
}

}  // namespace
