// The same nights computed by 1, 2, 3 and 8 workers, by kadrix on every
// core and pinned to one: every run leaves the same transcript, byte for
// byte, and the same result files; no temporary is left.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bmp/frame_files.h"
#include "test_support.h"

namespace {

using kadrix_test::Bytes;
using kadrix_test::TempDir;

void write_frames(const std::string& dir, const std::string& name, std::int32_t width, std::int32_t height,
                  int frames, int seed) {
  for (int k = 1; k <= frames; ++k) {
    std::vector<std::uint8_t> pixels;
    for (std::int32_t i = 0; i < width * height; ++i)
      pixels.push_back(static_cast<std::uint8_t>((i * 37 + k * 11 + seed * 5) % 61 + (i % 97 == 3 ? 150 : 20)));
    kadrix_test::write_file(kadrix::frame_path(dir, name, k), kadrix_test::frame_bmp(width, height, pixels));
  }
}

// A night with objects of many kinds: sample star fields, one large enough
// to be computed in bands of rows (with padded file rows), images with fewer rows than
// workers, one pixel (its line stays open), a frame cut short, a bad frame
// 01, one frame only, no frames at all, and names listed twice.
std::string make_night(const TempDir& dir) {
  const auto made = kadrix_test::run_program(
      KADRIX_DEMO_BIN, {"--objects", "5", "--width", "97", "--height", "61", "--seed", "3", dir.prefix()});
  EXPECT_EQ(made.exit_status, 0) << made.err;
  const std::string p = dir.prefix();
  write_frames(p, "BIG", 301, 257, 4, 1);
  write_frames(p, "ROWS3", 40, 3, 3, 2);
  write_frames(p, "ROW1", 17, 1, 2, 3);
  write_frames(p, "DOT", 1, 1, 3, 4);
  write_frames(p, "CUT", 33, 20, 5, 5);
  std::filesystem::resize_file(kadrix::frame_path(p, "CUT", 4), 1078 + 36 * 10);
  write_frames(p, "BAD", 12, 9, 3, 6);
  kadrix_test::write_file(kadrix::frame_path(p, "BAD", 1), std::string("not a frame"));
  write_frames(p, "ONE", 12, 9, 1, 7);
  const std::string list = dir.file("workers.list");
  kadrix_test::write_file(list, std::string("M42 BIG ROWS3 DOT M51 ROW1 CUT NGC253 BAD ONE NONE M42 DOT M31 BIG\n"
                                            "M13 CUT\n"));
  return list;
}

// Every file of the directory but the frames and the lists.
std::map<std::string, Bytes> results(const TempDir& dir) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : kadrix_test::list_dir(dir.path().string()))
    if (name.find("SR.BMP") != std::string::npos || name.find("SS.BMP") != std::string::npos ||
        name.find(".tmp.") != std::string::npos)
      files[name] = kadrix_test::read_file(dir.file(name));
  return files;
}

struct Way {
  std::string title;
  std::string program;
  std::vector<std::string> before;  // arguments before DIR LIST
};

TEST(Workers, EveryWayOfRunningANightGivesTheSameTranscriptAndFiles) {
  TempDir dir;
  const std::string list = make_night(dir);
  const std::vector<Way> ways = {
      {"1 worker", KADRIX_WORKERS_BIN, {"1"}},      {"2 workers", KADRIX_WORKERS_BIN, {"2"}},
      {"3 workers", KADRIX_WORKERS_BIN, {"3"}},     {"8 workers", KADRIX_WORKERS_BIN, {"8"}},
      {"every core", KADRIX_BIN, {}},               {"pinned to one core", "/usr/bin/taskset", {"-c", "0", KADRIX_BIN}},
  };
  std::string first_out;
  std::map<std::string, Bytes> first_files;
  for (const Way& way : ways) {
    SCOPED_TRACE(way.title);
    // Each run starts from no results, so each writes every pair itself.
    for (const auto& [name, bytes] : results(dir)) std::filesystem::remove(dir.file(name));
    std::vector<std::string> args = way.before;
    args.push_back(dir.prefix());
    args.push_back(list);
    const kadrix_test::RunResult run = kadrix_test::run_program(way.program, args);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 0);
    const std::map<std::string, Bytes> files = results(dir);
    if (first_out.empty()) {
      first_out = run.out;
      first_files = files;
      // What the night must show, so that the comparison means something.
      for (const char* text : {"Obr: BIG Kl: 4 Sr: ", "Obr: DOT Kl: 3 Sr: ", "Zly plik ", "za malo klatek",
                               "Obr: NONE Kl: 0 ", "17 obrazkow do analizy"})
        EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << run.out;
      // The pairs of M42 BIG ROWS3 DOT M51 ROW1 CUT NGC253 M31 M13.
      EXPECT_EQ(files.size(), 20u);
      continue;
    }
    EXPECT_EQ(run.out, first_out);
    ASSERT_EQ(files.size(), first_files.size());
    for (const auto& [name, bytes] : first_files) EXPECT_TRUE(files.at(name) == bytes) << name;
  }
}

}  // namespace
