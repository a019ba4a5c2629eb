// The catalogue options of the built kadrix-inspect: their wrong calls,
// detection above a threshold of one's own, the flat background's line,
// the gain and mesh size in the FITS header, the options with --night.

#include <fitsio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"

namespace {

using inspect_test::crlf;
using inspect_test::fields_of;
using inspect_test::lines_of;
using inspect_test::ObjectResult;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

RunResult inspect(const std::vector<std::string>& args) { return kadrix_test::run_program(KADRIX_INSPECT_BIN, args); }

using inspect_test::kUsage;

// A field on a sky of level 20 and sigma 2 (the palette's), its mean at
// (x, y) given, its pixels flagged where the mean is above flag_above.
ObjectResult field_of(std::int32_t width, std::int32_t height, const std::function<double(int, int)>& mean,
                      double flag_above = std::numeric_limits<double>::infinity()) {
  ObjectResult result;
  result.width = width;
  result.height = height;
  result.level = 20;
  result.sigma = 2;
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      result.means.push_back(mean(x, y));
      result.flags.push_back(result.means.back() > flag_above ? 1 : 0);
    }
  }
  return result;
}

// The catalogue's rows after the CSV header.
std::vector<std::vector<std::string>> rows_of(const std::string& csv) {
  std::vector<std::vector<std::string>> rows;
  const std::vector<std::string> lines = lines_of(csv);
  for (std::size_t i = 1; i < lines.size(); ++i) rows.push_back(fields_of(lines[i]));
  return rows;
}

TEST(CatalogueRun, WrongValuesAreRefusedWithTheirReason) {
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {{"--threshold", "0"}, "zla wartosc --threshold 0 (oczekiwano liczby wiekszej od 0)"},
      {{"--threshold", "3x"}, "zla wartosc --threshold 3x (oczekiwano liczby wiekszej od 0)"},
      {{"--threshold=inf"}, "zla wartosc --threshold inf (oczekiwano liczby wiekszej od 0)"},
      {{"--gain", "-2"}, "zla wartosc --gain -2 (oczekiwano liczby wiekszej od 0)"},
      {{"--min-snr", "-0.5"}, "zla wartosc --min-snr -0.5 (oczekiwano liczby nie mniejszej od 0)"},
      {{"--min-snr", "nan"}, "zla wartosc --min-snr nan (oczekiwano liczby nie mniejszej od 0)"},
      {{"--saturate", "full"}, "zla wartosc --saturate full (oczekiwano liczby)"},
      {{"--back-size", "0"}, "zla wartosc --back-size 0 (oczekiwano liczby calkowitej od 1 do 4096)"},
      {{"--back-size", "4097"}, "zla wartosc --back-size 4097 (oczekiwano liczby calkowitej od 1 do 4096)"},
      {{"--back-size", "32.5"}, "zla wartosc --back-size 32.5 (oczekiwano liczby calkowitej od 1 do 4096)"},
      {{"--min-pixels", "0"}, "zla wartosc --min-pixels 0 (oczekiwano liczby calkowitej od 1 do 2147483647)"},
      {{"--min-pixels", "99999999999"},
       "zla wartosc --min-pixels 99999999999 (oczekiwano liczby calkowitej od 1 do 2147483647)"},
      {{"--deblend", "32"}, "zla wartosc --deblend 32 (oczekiwano N,C: N od 1 do 64, C od 0 do 1)"},
      {{"--deblend", "0,0.1"}, "zla wartosc --deblend 0,0.1 (oczekiwano N,C: N od 1 do 64, C od 0 do 1)"},
      {{"--deblend", "65,0.1"}, "zla wartosc --deblend 65,0.1 (oczekiwano N,C: N od 1 do 64, C od 0 do 1)"},
      {{"--deblend", "32,1.5"}, "zla wartosc --deblend 32,1.5 (oczekiwano N,C: N od 1 do 64, C od 0 do 1)"},
      {{"--deblend", "32,"}, "zla wartosc --deblend 32, (oczekiwano N,C: N od 1 do 64, C od 0 do 1)"},
      {{"--deblend", "32,0.005", "--no-deblend"}, "opcje --deblend i --no-deblend wykluczaja sie"},
      {{"--no-deblend", "--deblend", "8,0.1"}, "opcje --deblend i --no-deblend wykluczaja sie"},
      {{"--no-deblend", "--no-deblend"}, "opcja --no-deblend podana dwa razy"},
      {{"--clean"}, "opcja --clean wymaga --threshold"},
      {{"--clean", "--deblend", "8,0.1"}, "opcja --clean wymaga --threshold"},
      {{"--threshold", "3", "--clean", "--clean"}, "opcja --clean podana dwa razy"},
      {{"--gain", "2", "--gain", "3"}, "opcja --gain podana dwa razy"},
      {{"--threshold="}, "brak wartosci po --threshold"},
      {{"--min-snr"}, "brak wartosci po --min-snr"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"PREFIX"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = inspect(args);
    EXPECT_EQ(run.exit_status, 2) << c.reason;
    EXPECT_EQ(run.out, crlf("Zle wywolanie programu: " + c.reason + ".\n") + kUsage) << c.reason;
  }
  // --help names every option.
  const RunResult help = inspect({"--help"});
  for (const char* option : {"--threshold K", "--clean", "--deblend N,C", "--no-deblend", "--min-pixels N", "--min-snr S",
                             "--back-size N", "--saturate L", "--gain G"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

// A noisy sky (mean 20, RMS 2, from a fixed sequence) with Gaussian stars
// that kadrix did not flag: the default finds nothing, a threshold of 5
// RMS finds each star where it was put, and only those.
TEST(CatalogueRun, ThresholdDetectsOnTheImageItself) {
  TempDir dir;
  struct Star {
    double x, y, peak;
  };
  const std::vector<Star> stars = {{20.3, 20.6, 120}, {60.2, 45.1, 60}, {95.7, 70.4, 30}, {30.1, 70.2, 40}};
  std::uint64_t state = 99;
  const auto uniform = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
  };
  const ObjectResult result = field_of(120, 90, [&](int x, int y) {
    double v = 20 + 2 * std::sqrt(-2 * std::log(uniform())) * std::cos(2 * M_PI * uniform());
    for (const Star& s : stars) v += s.peak * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / 4.5);
    return v;
  });
  inspect_test::write_pair(dir.prefix(), "N", result);
  const std::string prefix = dir.prefix() + "N";

  EXPECT_EQ(inspect({prefix, "--csv"}).out, std::string(inspect_test::kCatalogueHeader) + "\r\n");
  const RunResult run = inspect({prefix, "--csv", "--threshold", "5"});
  ASSERT_EQ(run.exit_status, 0) << run.out;
  const auto rows = rows_of(run.out);
  ASSERT_EQ(rows.size(), stars.size()) << run.out;
  // Brightest first, each within 0.1 pixel of its star, at least 5 pixels.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(std::stod(rows[i][0]), stars[i < 2 ? i : 5 - i].x, 0.1);
    EXPECT_NEAR(std::stod(rows[i][1]), stars[i < 2 ? i : 5 - i].y, 0.1);
    EXPECT_GE(std::stoi(rows[i][2]), 5);
    EXPECT_EQ(rows[i][17], "0");
  }
  // --min-pixels below the default lets smaller detections in; above the
  // stars' sizes it leaves them out.
  const RunResult big = inspect({prefix, "--csv", "--threshold", "5", "--min-pixels", "1000"});
  EXPECT_EQ(rows_of(big.out).size(), 0u);
}

// A bright star with broad (Moffat) wings, and a faint bump on those wings
// 21 pixels out, past the star's isophote: above a threshold of 3 RMS the
// bump is a detection of its own, though it stands above the threshold
// only with the wings' help. --clean merges it into the star, as
// SExtractor's cleaning does, and leaves the star where it was.
TEST(CatalogueRun, CleanMergesADetectionOnABrighterSourcesWings) {
  TempDir dir;
  const double sx = 40.2, sy = 40.4, bx = 61.2, by = 40.6;
  const ObjectResult result = field_of(100, 80, [&](int x, int y) {
    const double rs = (x - sx) * (x - sx) + (y - sy) * (y - sy);
    const double rb = (x - bx) * (x - bx) + (y - by) * (y - by);
    // A sky with a slight ripple, so that the background's RMS map is not 0.
    const double sky = 20 + 2 * std::sin(1.7 * x + 0.3 * y) * std::cos(0.9 * y);
    return sky + 200 / std::pow(1 + rs / 16, 1.5) + 4 * std::exp(-rb / 8);
  });
  inspect_test::write_pair(dir.prefix(), "C", result);
  const std::string prefix = dir.prefix() + "C";
  const auto near = [](const std::vector<std::string>& row, double x, double y, double within) {
    return std::hypot(std::stod(row[0]) - x, std::stod(row[1]) - y) < within;
  };

  const RunResult unclean = inspect({prefix, "--csv", "--threshold", "3"});
  ASSERT_EQ(unclean.exit_status, 0) << unclean.out;
  const auto both = rows_of(unclean.out);
  ASSERT_EQ(both.size(), 2u) << unclean.out;
  EXPECT_TRUE(near(both[0], sx, sy, 0.1)) << unclean.out;
  // The wings pull the bump's centroid toward the star.
  EXPECT_TRUE(near(both[1], bx, by, 2.5)) << unclean.out;

  const RunResult clean = inspect({prefix, "--csv", "--threshold", "3", "--clean"});
  ASSERT_EQ(clean.exit_status, 0) << clean.out;
  const auto one = rows_of(clean.out);
  ASSERT_EQ(one.size(), 1u) << clean.out;
  EXPECT_TRUE(near(one[0], sx, sy, 0.1)) << clean.out;
}

// A field of 144 stars, enough for the sources to be measured on several
// threads: where the system starts no thread, the catalogue is the same,
// in both modes, and nothing fails.
TEST(CatalogueRun, SameCatalogueWhenNoThreadCanStart) {
  if (geteuid() != 0) GTEST_SKIP() << "only a user other than root can be refused threads: needs root to be one";
  TempDir dir;
  const auto mean = [](int x, int y) {
    double v = 20 + 1.5 * std::sin(1.3 * x + 0.7 * y) * std::cos(0.4 * x - 1.1 * y);
    for (int sy = 0; sy < 12; ++sy) {
      for (int sx = 0; sx < 12; ++sx) {
        const double cx = 12.3 + 16 * sx + 0.1 * sy, cy = 11.7 + 16 * sy + 0.07 * sx;
        v += (30 + 5 * ((sx * 7 + sy * 3) % 11)) * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 4.5);
      }
    }
    return v;
  };
  const ObjectResult result = field_of(200, 200, mean, 26.0);
  inspect_test::write_pair(dir.prefix(), "S", result);
  // The child runs as nobody: everything it reads, itself included, is
  // readable by all.
  namespace fs = std::filesystem;
  const std::string program = dir.file("kadrix-inspect");
  fs::copy_file(KADRIX_INSPECT_BIN, program);
  for (const auto& entry : fs::directory_iterator(dir.path()))
    fs::permissions(entry.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read |
                                      fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  const std::string prefix = dir.prefix() + "S";
  kadrix_test::RunOptions alone;
  alone.no_new_threads = true;
  for (const std::vector<std::string>& mode : {std::vector<std::string>{}, std::vector<std::string>{"--threshold", "3"}}) {
    std::vector<std::string> args = {prefix, "--csv"};
    args.insert(args.end(), mode.begin(), mode.end());
    SCOPED_TRACE(mode.empty() ? "from the flags" : "above a threshold");
    const RunResult usual = inspect(args);
    ASSERT_EQ(usual.exit_status, 0) << usual.out;
    ASSERT_GE(rows_of(usual.out).size(), 128u) << usual.out;
    const RunResult one = kadrix_test::run_program(program, args, alone);
    EXPECT_EQ(one.signal, 0) << one.err;
    EXPECT_EQ(one.exit_status, 0) << one.out << one.err;
    EXPECT_EQ(one.out, usual.out);
  }
}

TEST(CatalogueRun, FlatSkyIsReportedAndGainAndMeshGoToTheHeader) {
  TempDir dir;
  ObjectResult result = inspect_test::drawn({"......", ".##...", ".##...", "......"});
  for (std::size_t i = 0; i < result.means.size(); ++i) result.means[i] = result.flags[i] ? 30.0 : 10.5;
  inspect_test::write_pair(dir.prefix(), "F", result);
  const std::string fits = dir.file("f.fits");
  const RunResult run = inspect({dir.prefix() + "F", "--gain", "4", "--back-size", "2", "--fits", fits});
  ASSERT_EQ(run.exit_status, 0) << run.out;
  // The flat sky equals the palette's level, 10.5, its sigma 2.25 stands
  // for the RMS: flux 4 x 19.5 = 78, error sqrt(4 x 2.25^2 + 78 / 4).
  const std::vector<std::string> lines = lines_of(run.out);
  ASSERT_EQ(lines.size(), 9u) << run.out;
  EXPECT_EQ(lines[6], "Tlo: plaskie, poziom i sigma z palety SS (brak uzytecznej siatki)");
  const std::vector<std::string> f = fields_of(lines[8]);
  ASSERT_EQ(f.size(), 18u);
  EXPECT_EQ(f[6], "10.500000");
  EXPECT_EQ(f[7], "78.000000");
  char error[32];
  std::snprintf(error, sizeof error, "%f", std::sqrt(4 * 2.25 * 2.25 + 78 / 4.0));
  EXPECT_EQ(f[8], error);

  fitsfile* file = nullptr;
  int status = 0;
  ASSERT_EQ(fits_open_diskfile(&file, fits.c_str(), READONLY, &status), 0);
  double gain = 0;
  long back = 0;
  fits_read_key_dbl(file, "GAIN", &gain, nullptr, &status);
  fits_read_key_lng(file, "KDXBACK", &back, nullptr, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(gain, 4.0);
  EXPECT_EQ(back, 2);
  // Without --gain there is no GAIN card.
  fits_close_file(file, &status);
  ASSERT_EQ(inspect({dir.prefix() + "F", "--fits", fits}).exit_status, 0);
  status = 0;
  ASSERT_EQ(fits_open_diskfile(&file, fits.c_str(), READONLY, &status), 0);
  fits_read_key_dbl(file, "GAIN", &gain, nullptr, &status);
  EXPECT_EQ(status, KEY_NO_EXIST);
  status = 0;
  fits_close_file(file, &status);
}

TEST(CatalogueRun, OptionsApplyToTheNight) {
  TempDir dir;
  const std::string d = dir.prefix();
  inspect_test::write_pair(d, "OBJ", inspect_test::sample_object());
  kadrix_test::write_file(d + "n.list", std::string("OBJ\n"));
  // The sample's sources have 3, 1 and 1 pixels.
  EXPECT_EQ(fields_of(lines_of(inspect({"--night", d, d + "n.list"}).out).at(1)).at(7), "3");
  const RunResult run = inspect({"--night", d, d + "n.list", "--min-pixels", "2"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(fields_of(lines_of(run.out).at(1)).at(7), "1");
  const RunResult wrong = inspect({"--night", d, d + "n.list", "--min-pixels", "x"});
  EXPECT_EQ(wrong.exit_status, 2);
}

}  // namespace
