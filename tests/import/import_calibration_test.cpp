// Runs of the built kadrix-import with calibration frames: masters, the
// dark-or-bias choice, the flat and its unusable pixels, the pedestal and
// saturation, each frame compared with pixels worked out by hand; masters
// saved and used again; bad calibration input refused before anything is
// written.

#include <gtest/gtest.h>
#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::crlf;
using kadrix_test::TempDir;

using Pixels = std::vector<std::uint8_t>;
// Files of a case: name and bytes, written beside each other.
using Files = std::vector<std::pair<std::string, Bytes>>;

// A 2 x 2 FITS image of these values, given top row first.
Bytes fits2x2(std::vector<double> top_first, int bitpix = 16, std::vector<std::string> cards = {}) {
  import_test::FitsImage f;
  f.bitpix = bitpix;
  f.axes = {2, 2};
  // FITS stores the bottom row first.
  f.values = {top_first[2], top_first[3], top_first[0], top_first[1]};
  f.cards = std::move(cards);
  return import_test::fits_bytes(f);
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string shift_line(int depth, const std::string& pedestal) {
  return "Mapa: glebia " + std::to_string(depth) + " bitow, wartosc = (c + " + pedestal + ") >> " +
         std::to_string(depth - 8) + " (dla nastepnego obiektu: --depth " + std::to_string(depth) + " --pedestal " +
         pedestal + ")";
}

struct CalibrationCase {
  const char* title;
  Files files;
  std::vector<std::string> args;  // before DIR/ NAME; the lights follow
  std::vector<std::string> lights;
  Pixels expected;  // the one frame written, top row first
  std::vector<std::string> lines;  // printed, each on a line of its own
};

void PrintTo(const CalibrationCase& c, std::ostream* os) { *os << c.title; }

class Calibrate : public ::testing::TestWithParam<CalibrationCase> {};

TEST_P(Calibrate, WritesTheFrameWorkedOutByHand) {
  const CalibrationCase& c = GetParam();
  TempDir in, out;
  for (const auto& [name, bytes] : c.files) kadrix_test::write_file(in.file(name), bytes);
  std::vector<std::string> args = c.args;
  args.push_back(out.prefix());
  args.push_back("OBJ");
  args.insert(args.end(), c.lights.begin(), c.lights.end());
  kadrix_test::RunOptions options;
  options.cwd = in.path().string();
  const kadrix_test::RunResult r = import_test::run_import(args, options);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  for (const std::string& line : c.lines) EXPECT_NE(r.out.find(crlf(line + "\n")), std::string::npos) << line << "\n" << r.out;
  EXPECT_EQ(kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", 1)),
            import_test::frame_file(2, 2, c.expected));
}

// Lights of 400 to 700 need 10 bits: the map divides c + P by 4.
const Bytes kLights = fits2x2({400, 500, 600, 700});

INSTANTIATE_TEST_SUITE_P(
    ImportCalibration, Calibrate,
    ::testing::Values(
        // Master dark per pixel (sum - max) / 2: the largest sample of
        // -5, -7, -6 is -5 (not 0): -6.5; 10 30 20: 15; 20 20 20: 20;
        // 0 0 3: 0. P = lower median of -6.5 0 15 20 = 0. The lights need
        // 9 bits: c / 2 = 106.5/2, 185/2, 280/2, 400/2.
        CalibrationCase{"dark_master_drops_the_largest_sample",
                        {{"l.fits", fits2x2({100, 200, 300, 400})},
                         {"d1.fits", fits2x2({-5, 10, 20, 0})},
                         {"d2.fits", fits2x2({-7, 30, 20, 0})},
                         {"d3.fits", fits2x2({-6, 20, 20, 3})},
                         {"darks.txt", text("d1.fits\nd2.fits\r\n\nd3.fits")}},
                        {"--dark", "@darks.txt"},
                        {"l.fits"},
                        {53, 92, 140, 200},
                        {"Kalibracja: ciemna z 3 klatek", shift_line(9, "0")}},
        // D 10 20 30 40, P = 20. F 1000 0 2000 3000, m = 2000; the 0 is
        // left unflattened: (390*2000)/1000 = 780, 480, 570, (660*2000)/3000
        // = 440; + 20, / 4.
        CalibrationCase{"flat_leaves_its_dead_pixel_unflattened",
                        {{"l.fits", kLights}, {"d.fits", fits2x2({10, 20, 30, 40})},
                         {"f.fits", fits2x2({1000, 0, 2000, 3000})}},
                        {"--dark", "d.fits", "--flat", "f.fits"},
                        {"l.fits"},
                        {200, 125, 147, 115},
                        {"Kalibracja: ciemna z 1 klatek, plaska z 1 klatek",
                         "Uwaga: bez --flat-dark i --bias plaska zachowuje swoje przesuniecie",
                         "Pikseli bez korekcji plaskiej: 1 (plaska nieokreslona lub nie wieksza niz 0.05 sredniej)",
                         shift_line(10, "20")}},
        CalibrationCase{"pedestal_given",
                        {{"l.fits", kLights}, {"d.fits", fits2x2({10, 20, 30, 40})},
                         {"f.fits", fits2x2({1000, 0, 2000, 3000})}},
                        {"--dark", "d.fits", "--flat", "f.fits", "--pedestal", "0"},
                        {"l.fits"},
                        {195, 120, 142, 110},
                        {shift_line(10, "0")}},
        // Master bias (sum - max) / 1: 100 100 100 90, used as the dark; P =
        // 100. F = flat - bias = 1000 2000 1000 2000, m = 1500: 450, 300,
        // 750, 457.5; + 100, / 4.
        CalibrationCase{"bias_stands_for_the_dark_and_comes_off_the_flat",
                        {{"l.fits", kLights}, {"b1.fits", fits2x2({100, 110, 100, 90})},
                         {"b2.fits", fits2x2({104, 100, 100, 90})}, {"f.fits", fits2x2({1100, 2100, 1100, 2090})}},
                        {"--bias", "b1.fits", "--flat", "f.fits", "--bias", "b2.fits"},
                        {"l.fits"},
                        {137, 100, 212, 139},
                        {"Kalibracja: plaska z 1 klatek, bias z 2 klatek", shift_line(10, "100")}},
        // The dark (50) holds the bias: the lights lose 50 only. F = 1000
        // 2000 1000 2000, m = 1500: 525, 337.5, 825, 487.5; + 50, / 4.
        CalibrationCase{"dark_holds_the_bias",
                        {{"l.fits", kLights}, {"d.fits", fits2x2({50, 50, 50, 50})},
                         {"b.fits", fits2x2({100, 100, 100, 100})}, {"f.fits", fits2x2({1100, 2100, 1100, 2100})}},
                        {"--dark", "d.fits", "--bias", "b.fits", "--flat", "f.fits"},
                        {"l.fits"},
                        {143, 96, 218, 134},
                        {"Kalibracja: ciemna z 1 klatek, plaska z 1 klatek, bias z 1 klatek", shift_line(10, "50")}},
        // The flat-dark (600), not the bias, comes off the flat: F = 500
        // 1500 500 1500, m = 1000: 700, 300, 1100, 433.33; + 50, / 4, the
        // third beyond 10 bits.
        CalibrationCase{"flat_dark_comes_off_the_flat",
                        {{"l.fits", kLights}, {"d.fits", fits2x2({50, 50, 50, 50})},
                         {"b.fits", fits2x2({100, 100, 100, 100})}, {"f.fits", fits2x2({1100, 2100, 1100, 2100})},
                         {"fd.fits", fits2x2({600, 600, 600, 600})}},
                        {"--dark", "d.fits", "--bias", "b.fits", "--flat", "f.fits", "--flat-dark", "fd.fits"},
                        {"l.fits"},
                        {187, 87, 255, 120},
                        {"Kalibracja: ciemna z 1 klatek, plaska z 1 klatek, bias z 1 klatek, ciemna plaskiej z 1 klatek"}},
        // 1023 is the top of 10 bits: saturated, 255 although 1023 - 500
        // maps to 130. P = lower median of 500 0 0 0 = 0.
        CalibrationCase{"saturated_sample_stays_saturated",
                        {{"l.fits", fits2x2({1023, 500, 600, 700})}, {"d.fits", fits2x2({500, 0, 0, 0})}},
                        {"--dark", "d.fits"},
                        {"l.fits"},
                        {255, 125, 150, 175},
                        {shift_line(10, "0")}},
        CalibrationCase{"saturation_level_given",
                        {{"l.fits", fits2x2({1023, 500, 600, 700})}, {"d.fits", fits2x2({500, 0, 0, 0})}},
                        {"--dark", "d.fits", "--saturation", "600"},
                        {"l.fits"},
                        {255, 125, 255, 255},
                        {}},
        // 100 - 300 + 0 is below 0.
        CalibrationCase{"below_zero_gives_zero",
                        {{"l.fits", fits2x2({100, 500, 600, 700})}, {"d.fits", fits2x2({300, 40, 40, 40})}},
                        {"--dark", "d.fits", "--pedestal", "0"},
                        {"l.fits"},
                        {0, 115, 140, 165},
                        {shift_line(10, "0")}},
        // c + P = 0.5 1.5 2.5 2.5 (P = 0.5): the map spans those, not the
        // raw 0.5 to 3.5.
        CalibrationCase{"linear_map_spans_the_calibrated_values",
                        {{"l.fits", fits2x2({0.5, 1.5, 2.5, 3.5}, -32)},
                         {"d.fits", fits2x2({0.5, 0.5, 0.5, 1.5}, -32)}},
                        {"--dark", "d.fits"},
                        {"l.fits"},
                        {0, 127, 255, 255},
                        {"Mapa: liniowa, wartosc = (c + 0.5 - 0.5) * 255 / (2.5 - 0.5) (dla nastepnego obiektu: "
                         "--range 0.5:2.5 --pedestal 0.5)"}},
        // An undefined dark sample makes its master pixel NaN, and so the
        // light's: 0, not the 191 of 3.5 in the range 2 to 4 the others span.
        CalibrationCase{"undefined_dark_sample",
                        {{"l.fits", fits2x2({3.5, 2, 3, 4}, -32)},
                         {"d1.fits", fits2x2({std::nan(""), 0, 0, 0}, -32)},
                         {"d2.fits", fits2x2({0, 0, 0, 0}, -32)}},
                        {"--dark", "d1.fits", "--dark", "d2.fits"},
                        {"l.fits"},
                        {0, 0, 127, 255},
                        {"Mapa: liniowa, wartosc = (c + 0 - 2) * 255 / (4 - 2) (dla nastepnego obiektu: --range 2:4 "
                         "--pedestal 0)"}},
        // 10.2 s is 2 % off 10 s, 3 C more than 2 C off -10 C; the flat's
        // 5 s is compared with its flat-dark only. A dark of 0: c = v.
        CalibrationCase{"exposure_and_temperature_differ",
                        {{"l.fits", fits2x2({400, 500, 600, 700}, 16, {"EXPTIME = 10.0", "CCD-TEMP = -10.0"})},
                         {"d.fits", fits2x2({0, 0, 0, 0}, 16, {"EXPTIME = 10.2", "CCD-TEMP = -7.0"})}},
                        {"--dark", "d.fits"},
                        {"l.fits"},
                        {100, 125, 150, 175},
                        {"Uwaga: EXPTIME pliku d.fits to 10.2, a pliku l.fits to 10 (roznica ponad 1 procent; "
                         "ekspozycja nie jest skalowana)",
                         "Uwaga: CCD-TEMP pliku d.fits to -7, a pliku l.fits to -10 (roznica ponad 2 C)"}},
        // m = 93: (78 * 93) / 234 is exactly 31, where 78 * (93 / 234)
        // falls just short of it.
        CalibrationCase{"flat_divides_after_multiplying",
                        {{"L01.BMP", kadrix_test::frame_bmp(2, 2, {78, 22, 88, 28})},
                         {"F01.BMP", kadrix_test::frame_bmp(2, 2, {234, 22, 88, 28})}},
                        {"--flat", "F01.BMP"},
                        {"L01.BMP"},
                        {31, 93, 93, 93},
                        {"Mapa: 8 bitow, wartosc = c + 0 (dla nastepnego obiektu: --depth 8 --pedestal 0)"}},
        // kadrix frames: lights 100 150 200 255, dark 10 20 30 255, P = 20:
        // 110, 150, 190, and 20 where the dark is saturated too: a hot pixel
        // stuck at the top holds no light, so it is not kept as 255.
        CalibrationCase{"bmp_frames",
                        {{"L01.BMP", kadrix_test::frame_bmp(2, 2, {100, 150, 200, 255})},
                         {"D01.BMP", kadrix_test::frame_bmp(2, 2, {10, 20, 30, 255})}},
                        {"--dark", "D01.BMP"},
                        {"L01.BMP"},
                        {110, 150, 190, 20},
                        {"L01.BMP: BMP 2 x 2, 8 bitow, klatek: 1", "D01.BMP (--dark): BMP 2 x 2, 8 bitow, klatek: 1",
                         "Mapa: 8 bitow, wartosc = c + 20 (dla nastepnego obiektu: --depth 8 --pedestal 20)"}}));

// The values and NCOMBINE of a saved master, top row first.
std::vector<double> read_master(const std::string& path, long& ncombine) {
  fitsfile* f = nullptr;
  int status = 0;
  std::vector<double> values(4);
  int bitpix = 0;
  if (fits_open_diskfile(&f, path.c_str(), READONLY, &status) != 0) return {};
  fits_get_img_type(f, &bitpix, &status);
  fits_read_key_lng(f, "NCOMBINE", &ncombine, nullptr, &status);
  LONGLONG first[2] = {1, 1};
  fits_read_pixll(f, TDOUBLE, first, 4, nullptr, values.data(), nullptr, &status);
  fits_close_file(f, &status);
  if (status != 0 || bitpix != DOUBLE_IMG) return {};
  return {values[2], values[3], values[0], values[1]};
}

TEST(SavedMasters, HoldTheMastersAndGiveTheSameFramesNextNight) {
  TempDir in, out, again, masters;
  kadrix_test::write_file(in.file("l.fits"), kLights);
  kadrix_test::write_file(in.file("d1.fits"), fits2x2({10, 20, 30, 40}));
  kadrix_test::write_file(in.file("d2.fits"), fits2x2({12, 20, 36, 40}));
  kadrix_test::write_file(in.file("d3.fits"), fits2x2({14, 26, 30, 40}));
  kadrix_test::write_file(in.file("b.fits"), fits2x2({100, 100, 100, 100}));
  kadrix_test::write_file(in.file("f.fits"), fits2x2({1100, 100, 2100, 3100}));
  // An old master is replaced.
  kadrix_test::write_file(masters.file("master_dark.fits"), std::string("old"));
  const kadrix_test::RunResult first = import_test::run_import(
      {"--dark", in.file("d1.fits"), "--dark", in.file("d2.fits"), "--dark", in.file("d3.fits"), "--bias",
       in.file("b.fits"), "--flat", in.file("f.fits"), "--save-masters", masters.prefix(), out.prefix(), "OBJ",
       in.file("l.fits")});
  ASSERT_EQ(first.exit_status, 0) << first.out;
  EXPECT_NE(first.out.find(crlf("Zapisano " + masters.prefix() + "master_dark.fits (klatek: 3)\n")),
            std::string::npos)
      << first.out;

  long ncombine = 0;
  // (sum - max) / 2 per pixel: 11, 20, 30, 40.
  EXPECT_EQ(read_master(masters.file("master_dark.fits"), ncombine), (std::vector<double>{11, 20, 30, 40}));
  EXPECT_EQ(ncombine, 3);
  EXPECT_EQ(read_master(masters.file("master_bias.fits"), ncombine), (std::vector<double>{100, 100, 100, 100}));
  EXPECT_EQ(ncombine, 1);
  // The flat less the bias.
  EXPECT_EQ(read_master(masters.file("master_flat.fits"), ncombine), (std::vector<double>{1000, 0, 2000, 3000}));
  EXPECT_EQ(ncombine, 1);
  EXPECT_EQ(std::filesystem::directory_iterator(masters.path())->path().filename().string().find(".tmp"),
            std::string::npos);

  const kadrix_test::RunResult second =
      import_test::run_import({"--dark", masters.file("master_dark.fits"), "--flat", masters.file("master_flat.fits"),
                               again.prefix(), "OBJ", in.file("l.fits")});
  ASSERT_EQ(second.exit_status, 0) << second.out;
  EXPECT_EQ(kadrix_test::read_file(kadrix_test::frame_file(again.prefix(), "OBJ", 1)),
            kadrix_test::read_file(kadrix_test::frame_file(out.prefix(), "OBJ", 1)));
}

struct RefusalCase {
  const char* title;
  Files files;
  std::vector<std::string> args;
  std::string message;  // {} stands for the directory of the files
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.title; }

class RefuseCalibration : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefuseCalibration, BeforeAnythingIsWritten) {
  const RefusalCase& c = GetParam();
  TempDir in, out;
  kadrix_test::write_file(in.file("l.fits"), kLights);
  for (const auto& [name, bytes] : c.files) kadrix_test::write_file(in.file(name), bytes);
  kadrix_test::write_file(in.file("master_dark.fits"), std::string("old master"));
  const auto before_in = import_test::snapshot(in.path().string());
  const auto before_out = import_test::snapshot(out.path().string());
  std::vector<std::string> args = c.args;
  // Where the masters would go, unless the case says.
  if (std::find(args.begin(), args.end(), "--save-masters") == args.end())
    args.insert(args.end(), {"--save-masters", in.prefix()});
  args.insert(args.end(), {out.prefix(), "OBJ", "l.fits"});
  kadrix_test::RunOptions options;
  options.cwd = in.path().string();
  const kadrix_test::RunResult r = import_test::run_import(args, options);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_NE(r.out.find(crlf(c.message + "\n")), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Zapisano"), std::string::npos) << r.out;
  EXPECT_EQ(import_test::snapshot(in.path().string()), before_in);
  EXPECT_EQ(import_test::snapshot(out.path().string()), before_out);
}

Bytes truncated_fits() {
  Bytes b = fits2x2({1, 2, 3, 4});
  b.resize(2880 + 4);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    ImportCalibration, RefuseCalibration,
    ::testing::Values(
        RefusalCase{"dark_of_another_size",
                    {{"d.fits", [] {
                        import_test::FitsImage f;
                        f.bitpix = 16;
                        f.axes = {3, 2};
                        f.values = {1, 2, 3, 4, 5, 6};
                        return import_test::fits_bytes(f);
                      }()}},
                    {"--dark", "d.fits"},
                    "Klatka 1 pliku d.fits (--dark) ma rozmiar 3 x 2, a klatki do zapisu 2 x 2"},
        RefusalCase{"missing_flat", {}, {"--flat", "f.fits"}, "Brak pliku f.fits"},
        RefusalCase{"truncated_bias",
                    {{"b.fits", truncated_fits()}},
                    {"--bias", "b.fits"},
                    "Zly plik b.fits (plik urwany: dane obrazu siegaja poza koniec pliku)"},
        RefusalCase{"damaged_bmp_dark",
                    {{"D01.BMP", text("BM not a frame")}},
                    {"--dark", "D01.BMP"},
                    "Zly plik D01.BMP (plik krotszy niz naglowek)"},
        // Checked after good cubes of darks and flats: the flat-dark's size.
        RefusalCase{"flat_dark_of_another_size",
                    {{"c.fits",
                      [] {
                        import_test::FitsImage f;
                        f.bitpix = 16;
                        f.axes = {2, 2, 2};
                        f.values = {1, 2, 3, 4, 5, 6, 7, 8};
                        return import_test::fits_bytes(f);
                      }()},
                     {"FD01.BMP", kadrix_test::frame_bmp(3, 2, {1, 2, 3, 4, 5, 6})}},
                    {"--dark", "c.fits", "--flat", "c.fits", "--flat-dark", "FD01.BMP"},
                    "Klatka 1 pliku FD01.BMP (--flat-dark) ma rozmiar 3 x 2, a klatki do zapisu 2 x 2"},
        RefusalCase{"flat_without_a_usable_pixel",
                    {{"f1.fits", fits2x2({0, 0, 0, 0})}, {"f2.fits", fits2x2({0, -1, 0, 0})}},
                    {"--flat", "f1.fits", "--flat", "f2.fits"},
                    "Plaska (f1.fits, klatek: 2) nie ma piksela zdatnego do korekcji (kazdy nieokreslony lub nie "
                    "wiekszy niz 0.05 sredniej)"},
        RefusalCase{"masters_directory_missing",
                    {{"d.fits", fits2x2({1, 2, 3, 4})}},
                    {"--dark", "d.fits", "--save-masters", "nowhere"},
                    "Brak katalogu nowhere"},
        RefusalCase{"missing_source_list", {}, {"--dark", "@darks.txt"}, "Nie da sie odczytac listy zrodel darks.txt"},
        RefusalCase{"empty_source_list",
                    {{"darks.txt", text("\r\n\n")}},
                    {"--dark", "@darks.txt"},
                    "Lista zrodel darks.txt nie podaje zadnego pliku"}));

}  // namespace

namespace {

// Killed after the n-th change in the directory, for every change a whole
// run makes: each master is its old file or its whole new one, never a
// part, and no frame appears before the masters are all in place.
TEST(SavedMasters, AKillAtAnyMomentLeavesEachMasterWhole) {
  const auto prepare = [](const TempDir& dir) {
    kadrix_test::write_file(dir.file("l.fits"), kLights);
    kadrix_test::write_file(dir.file("d.fits"), fits2x2({10, 20, 30, 40}));
    kadrix_test::write_file(dir.file("f.fits"), fits2x2({1000, 1100, 2000, 3000}));
    kadrix_test::write_file(dir.file("master_dark.fits"), std::string("old dark"));
    kadrix_test::write_file(dir.file("master_flat.fits"), std::string("old flat"));
  };
  const auto args = [](const TempDir& dir) {
    return std::vector<std::string>{"--dark",         dir.file("d.fits"), "--flat", dir.file("f.fits"),
                                    "--save-masters", dir.prefix(),       dir.prefix(), "OBJ", dir.file("l.fits")};
  };
  std::map<std::string, Bytes> before;
  std::map<std::string, Bytes> after;
  int changes = 0;
  {
    TempDir dir;
    prepare(dir);
    before = import_test::snapshot(dir.path().string());
    const import_test::KilledRun whole = import_test::run_import_killed(args(dir), dir.path().string(), 0);
    ASSERT_EQ(whole.exit_status, 0);
    after = import_test::snapshot(dir.path().string());
    changes = whole.events;
    ASSERT_GT(changes, 4);
  }
  for (int n = 1; n <= changes; ++n) {
    TempDir dir;
    prepare(dir);
    const import_test::KilledRun run = import_test::run_import_killed(args(dir), dir.path().string(), n);
    if (!run.killed) {
      EXPECT_EQ(run.exit_status, 0);
    }
    const auto now = import_test::snapshot(dir.path().string());
    for (const char* master : {"master_dark.fits", "master_flat.fits"}) {
      ASSERT_TRUE(now.contains(master)) << "after change " << n;
      EXPECT_TRUE(now.at(master) == before.at(master) || now.at(master) == after.at(master))
          << master << " after change " << n;
    }
    if (now.contains("OBJ01.BMP")) {
      EXPECT_EQ(now.at("master_dark.fits"), after.at("master_dark.fits")) << "after change " << n;
      EXPECT_EQ(now.at("master_flat.fits"), after.at("master_flat.fits")) << "after change " << n;
    }
  }
}

// The workers read, sum and write frames side by side: masters summed a
// band of rows each, frames calibrated and written each by whichever
// worker takes it. On random series (odd sizes, undefined and saturated
// samples, a flat with dead pixels) the frames, the transcript and the
// saved masters are the same bytes on one thread as on two or three, with
// and without alignment.
TEST(CalibratedSeries, SameBytesOnAnyNumberOfThreads) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::int64_t width = 37 + seed, height = 23;
    // A cube of `planes` frames of 16-bit values: a pattern the frames
    // share (so that they line up) with values around level spread by
    // spread, and noise of its own in each; now and then a sample at 65535
    // or left undefined (BLANK).
    const auto cube = [&](std::int64_t planes, double level, double spread, double noise) {
      import_test::FitsImage f;
      f.bitpix = 16;
      f.axes = {width, height, planes};
      f.cards = {"BZERO = 32768", "BLANK = -32768"};
      std::uniform_real_distribution<double> value(level - spread, level + spread);
      std::uniform_real_distribution<double> jitter(-noise, noise);
      std::uniform_int_distribution<int> odd(0, 199);
      std::vector<double> pattern(static_cast<std::size_t>(width * height));
      for (double& p : pattern) p = value(random);
      for (std::int64_t i = 0; i < width * height * planes; ++i) {
        const int pick = odd(random);
        const double v = pick == 0 ? 65535
                                   : std::round(std::clamp(pattern[static_cast<std::size_t>(i % (width * height))] +
                                                               jitter(random),
                                                           0.0, 65534.0));
        f.values.push_back(pick == 1 ? -32768 : v - 32768);
      }
      return import_test::fits_bytes(f);
    };
    TempDir in;
    kadrix_test::write_file(in.file("lights.fits"), cube(9, 3000, 2500, 100));
    kadrix_test::write_file(in.file("darks.fits"), cube(5, 300, 50, 20));
    kadrix_test::write_file(in.file("bias.fits"), cube(3, 100, 10, 5));
    // The flat: half of its pixels near 0, some of them unusable.
    kadrix_test::write_file(in.file("flats.fits"), cube(4, 700, 690, 10));
    for (const bool aligned : {false, true}) {
      SCOPED_TRACE(aligned ? "aligned" : "not aligned");
      std::map<std::string, Bytes> first;
      std::string first_out;
      for (const int threads : {1, 2, 3}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        TempDir out;
        std::vector<std::string> args = {"--dark", in.file("darks.fits"), "--flat", in.file("flats.fits"),
                                         "--bias", in.file("bias.fits"), "--save-masters", out.prefix()};
        if (aligned) args.push_back("--align");
        for (const std::string& a : {out.prefix(), std::string("OBJ"), in.file("lights.fits")}) args.push_back(a);
        kadrix_test::RunOptions options;
        options.environment = {"KADRIX_IMPORT_THREADS=" + std::to_string(threads)};
        const kadrix_test::RunResult r = import_test::run_import(args, options);
        ASSERT_EQ(r.exit_status, 0) << r.out;
        std::map<std::string, Bytes> files;
        for (const auto& entry : std::filesystem::directory_iterator(out.path()))
          files[entry.path().filename().string()] = kadrix_test::read_file(entry.path().string());
        std::string transcript = r.out;
        for (std::size_t at; (at = transcript.find(out.prefix())) != std::string::npos;)
          transcript.replace(at, out.prefix().size(), "OUT/");
        if (threads == 1) {
          first = files;
          first_out = transcript;
          EXPECT_GE(files.size(), 3u + (aligned ? 1u : 9u));
          continue;
        }
        EXPECT_EQ(transcript, first_out);
        EXPECT_TRUE(files == first) << "the files differ from those of one thread";
      }
    }
  }
}

}  // namespace
