// Whole runs: the numbers of an object, its SR and SS files, and how the
// pair replaces older results, or keeps them when it cannot be written.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace kadrix_e2e;
using kadrix_test::exists;
using kadrix_test::flat;
using kadrix_test::frame_bmp;
using kadrix_test::list_dir;
using kadrix_test::read_file;
using kadrix_test::same_bytes;
using kadrix_test::write_file;

const char kSkipped[] = "za malo klatek, obiekt pominiety\r\n";

// A 9 x 7 field of 10 (stride 12: three padding bytes a row) seen in
// three frames:
//   (0, 0): 11 12 12     -> (35 - 12) / 2 = 11.5
//   (4, 2): 100 101 103  -> (304 - 103) / 2 = 100.5, a star
//   (7, 6): 9 9 9        -> 9
//   (1, 5): 10 250 10    -> (270 - 250) / 2 = 10, a cosmic-ray hit in frame 2
// every other pixel 10 10 10 -> 10. The third file lacks its last 3 padding bytes.
std::vector<Bytes> star_frames() {
  const int w = 9;
  std::vector<Bytes> frames;
  const int corner[] = {11, 12, 12};
  const int star[] = {100, 101, 103};
  for (int k = 0; k < 3; ++k) {
    std::vector<std::uint8_t> pixels = flat(9, 7, 10);
    pixels[0] = static_cast<std::uint8_t>(corner[k]);
    pixels[2 * w + 4] = static_cast<std::uint8_t>(star[k]);
    pixels[6 * w + 7] = 9;
    if (k == 1) pixels[5 * w + 1] = 250;
    frames.push_back(frame_bmp(9, 7, pixels));
    // The last frame ends where its last row's pixels end, without the
    // row's padding: still a whole frame.
    if (k == 2) frames.back().resize(frames.back().size() - 3);
  }
  return frames;
}

// Mean image: 60 pixels of 10, 11.5, 100.5 and 9; sum 721 over 63 pixels.
//   level = 721 / 63 = 11.4444444
//   squares about the level: sum of squares 16313.5 - 721^2 / 63 = 8062.0555556;
//   sigma = sqrt(8062.0555556 / 62) = 11.4032081
// Threshold 11.444 + 3 * 11.403 = 45.65: only the star is flagged.
// Usable window area: rows 2..3, columns 3..5, every window reaches all of
// it; without the star it holds five 10s, so the background is 10 everywhere.
// Residual over the 62 unflagged pixels: 1.5^2 + (-1)^2 = 3.25;
//   new sigma = sqrt(3.25 / 61) = 0.2308218
// Detection at 10 + 3 * 0.2308 = 10.69: (0,0) and the star are flagged.
// Codes: 10 -> 2560 (SR 10, SS 0); 11.5 flagged -> 2945 (SR 11, SS 129);
//   100.5 flagged -> 25729 (SR 100, SS 129); 9 -> 2304 (SR 9, SS 0).
const char kStarLine[] = "Obr: STAR Kl: 3 Sr: 11.444444, Var: 11.403208 new Var: 0.230822\r\n";

std::vector<std::uint8_t> star_sr() {
  std::vector<std::uint8_t> sr = flat(9, 7, 10);
  sr[0] = 11;
  sr[2 * 9 + 4] = 100;
  sr[6 * 9 + 7] = 9;
  return sr;
}

std::vector<std::uint8_t> star_ss() {
  std::vector<std::uint8_t> ss = flat(9, 7, 0);
  ss[0] = 129;
  ss[2 * 9 + 4] = 129;
  return ss;
}

TEST(ResultFiles, AStarFieldByteForByte) {
  TempDir dir;
  const std::string p = dir.prefix();
  write_frames(p, "STAR", star_frames());
  write_file(dir.file("lista.list"), "STAR\n");
  // Older, longer results are replaced whole.
  write_file(dir.file("STARSR.BMP"), Bytes(4000, 0x55));
  write_file(dir.file("STARSS.BMP"), Bytes(4000, 0x55));
  kadrix_test::RunOptions options;
  options.umask_value = 002;
  const RunResult r = run_kadrix({p, dir.file("lista.list")}, options);
  EXPECT_EQ(r.out, preamble(p, {"STAR"}) + kStarLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 0);

  const Bytes sr = read_file(dir.file("STARSR.BMP"));
  const Bytes ss = read_file(dir.file("STARSS.BMP"));
  EXPECT_TRUE(same_bytes(sr, result_file(9, 7, star_sr())));
  // Palette entries 0 and 1: float(721 / 63) = 0x41371C72,
  // float(sqrt(3.25 / 61)) = 0x3E6C5C8B; entry 2: 3 frames.
  const Bytes palette_head = {0x72, 0x1C, 0x37, 0x41, 0x8B, 0x5C, 0x6C, 0x3E, 0x03, 0x00, 0x00, 0x00};
  ASSERT_EQ(ss.size(), 1078u + 12 * 7);  // stride 12, 7 rows
  EXPECT_EQ(Bytes(ss.begin() + 54, ss.begin() + 66), palette_head);
  Bytes expected_ss = result_file(9, 7, star_ss());
  std::copy(palette_head.begin(), palette_head.end(), expected_ss.begin() + 54);
  EXPECT_TRUE(same_bytes(ss, expected_ss));
  // The bottom image row is stored first: 10 ... 9 10 and three zeros.
  EXPECT_EQ(Bytes(sr.begin() + 1078, sr.begin() + 1090), (Bytes{10, 10, 10, 10, 10, 10, 10, 9, 10, 0, 0, 0}));

  // Created as a plain create would: 0666 less the umask.
  struct stat st;
  ASSERT_EQ(stat(dir.file("STARSS.BMP").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
  EXPECT_EQ(list_dir(dir.path().string()),
            (std::vector<std::string>{"STAR01.BMP", "STAR02.BMP", "STAR03.BMP", "STARSR.BMP", "STARSS.BMP",
                                      "lista.list"}));
}

TEST(ResultFiles, AOnePixelObjectLeavesItsLineOpen) {
  // 1 x 1 frames 7, 9, 8: mean (24 - 9) / 2 = 7.5, sigma 0 for one pixel.
  // No window is usable, so its background is 255, one unflagged pixel
  // gives no new sigma, and the next text continues the same line.
  // Code: trunc(7.5 * 128) = 960, 1920: SR 7, SS 128.
  TempDir dir;
  const std::string p = dir.prefix();
  write_frames(p, "ONE", {frame_bmp(1, 1, {7}), frame_bmp(1, 1, {9}), frame_bmp(1, 1, {8})});
  write_file(frame_file(p, "BAD", 1), Bytes{'B', 'M', 0, 0});
  write_flat_object(p, "FLAT", 2);
  write_file(dir.file("lista.list"), "ONE BAD FLAT ONE");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  const std::string one = "Obr: ONE Kl: 3 Sr: 7.500000, Var: 0.000000 ";
  EXPECT_EQ(r.out, preamble(p, {"ONE", "BAD", "FLAT", "ONE"}) + one + "Zly plik " + frame_file(p, "BAD", 1) +
                       ": plik krotszy niz naglowek\r\nObr: BAD Kl: 0 " + kSkipped + "Obr: FLAT Kl: 2 " + kFlatLine + one);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(same_bytes(read_file(dir.file("ONESR.BMP")), result_file(1, 1, {7})));
  // 7.5 as a float is 0x40F00000; sigma 0.
  EXPECT_TRUE(same_bytes(read_file(dir.file("ONESS.BMP")), result_file(1, 1, {128}, 7.5f, 0.0f, 3)));
  const Bytes ss = read_file(dir.file("ONESS.BMP"));
  EXPECT_EQ(Bytes(ss.begin() + 54, ss.begin() + 62), (Bytes{0x00, 0x00, 0xF0, 0x40, 0, 0, 0, 0}));
}

// A directory stands where one result file of A goes; the other file of
// the pair may have an older version, which must survive. The directory
// and what it holds are left alone, and B is written as usual.
struct Blocked {
  const char* title;
  const char* directory_at;
  const char* older;  // an older result, or nullptr
};

class WriteFailure : public ::testing::TestWithParam<Blocked> {};

TEST_P(WriteFailure, IsReportedAndReplacesNothing) {
  const Blocked& c = GetParam();
  TempDir dir;
  const std::string p = dir.prefix();
  write_flat_object(p, "A", 2);
  write_flat_object(p, "B", 3);
  ASSERT_EQ(mkdir(dir.file(c.directory_at).c_str(), 0755), 0);
  const std::string inside = dir.file(c.directory_at) + "/keep";
  write_file(inside, "a user's file");
  const std::string older_text = "older result of A";
  if (c.older != nullptr) write_file(dir.file(c.older), older_text);
  write_file(dir.file("lista.list"), "A\nB\n");
  const RunResult r = run_kadrix({p, dir.file("lista.list")});
  EXPECT_EQ(r.out, preamble(p, {"A", "B"}) + "Obr: A Kl: 2 " + kFlatLine + "Blad zapisu pliku " +
                       dir.file(c.directory_at) + "\r\nObr: B Kl: 3 " + kFlatLine);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(temporaries(dir.path().string()).empty());

  struct stat info {};
  ASSERT_EQ(lstat(dir.file(c.directory_at).c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(list_dir(dir.file(c.directory_at)), std::vector<std::string>{"keep"});
  EXPECT_EQ(text(read_file(inside)), "a user's file");
  const std::string other = std::string(c.directory_at) == "ASS.BMP" ? "ASR.BMP" : "ASS.BMP";
  if (c.older != nullptr) {
    EXPECT_EQ(text(read_file(dir.file(other))), older_text);
  } else {
    EXPECT_FALSE(exists(dir.file(other)));
  }
  EXPECT_TRUE(same_bytes(read_file(dir.file("BSR.BMP")), result_file(8, 7, flat(8, 7, 10))));
  EXPECT_TRUE(same_bytes(read_file(dir.file("BSS.BMP")), result_file(8, 7, flat(8, 7, 0), 10.0f, 0.0f, 3)));
}

INSTANTIATE_TEST_SUITE_P(Pairs, WriteFailure,
                         ::testing::Values(Blocked{"ss_blocked_older_sr_kept", "ASS.BMP", "ASR.BMP"},
                                           Blocked{"ss_blocked_no_older_sr", "ASS.BMP", nullptr},
                                           Blocked{"sr_blocked_older_ss_kept", "ASR.BMP", "ASS.BMP"},
                                           Blocked{"sr_blocked_no_older_ss", "ASR.BMP", nullptr}),
                         [](const ::testing::TestParamInfo<Blocked>& info) {
                           return std::string(info.param.title);
                         });

TEST(ResultFiles, AnObjectOfOneFrameWritesNothingAndLeavesOlderResults) {
  for (const bool older : {false, true}) {
    SCOPED_TRACE(older ? "older results" : "no older results");
    TempDir dir;
    const std::string p = dir.prefix();
    write_flat_object(p, "A", 1);
    if (older) {
      write_file(dir.file("ASR.BMP"), "older SR");
      write_file(dir.file("ASS.BMP"), "older SS");
    }
    write_file(dir.file("lista.list"), "A\n");
    const RunResult r = run_kadrix({p, dir.file("lista.list")});
    EXPECT_EQ(r.out, preamble(p, {"A"}) + "Obr: A Kl: 1 " + kSkipped);
    EXPECT_EQ(r.exit_status, 0);
    if (older) {
      EXPECT_EQ(text(read_file(dir.file("ASR.BMP"))), "older SR");
      EXPECT_EQ(text(read_file(dir.file("ASS.BMP"))), "older SS");
    } else {
      EXPECT_FALSE(exists(dir.file("ASR.BMP")));
      EXPECT_FALSE(exists(dir.file("ASS.BMP")));
    }
  }
}

}  // namespace
