// The call of kadrix-import: wrong calls, help and version, the transcript,
// the object's name, which frames are taken, and kadrix itself reading an
// imported object.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "import_support.h"

namespace {

using import_test::Bytes;
using import_test::crlf;
using import_test::SerVideo;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

const std::string kUsage = crlf(
    "Prawidlowe wywolanie: kadrix-import [opcje] katalog/ NAZWA ZRODLO...\n"
    "np. kadrix-import dane/ M42 m42.ser\n"
    "(kadrix-import --help opisuje program i opcje)\n");

// A MONO SER of frames of one value each: frame k holds values[k].
Bytes flat_ser(std::int32_t width, std::int32_t height, std::int32_t depth, const std::vector<std::uint32_t>& values) {
  SerVideo s;
  s.width = width;
  s.height = height;
  s.depth = depth;
  for (const std::uint32_t v : values)
    s.frames.emplace_back(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), v);
  return import_test::ser_bytes(s);
}

std::vector<std::uint32_t> counting(int count) {
  std::vector<std::uint32_t> v;
  for (int i = 0; i < count; ++i) v.push_back(static_cast<std::uint32_t>(i));
  return v;
}

struct WrongCall {
  const char* title;
  std::vector<std::string> args;
  std::string reason;
};

void PrintTo(const WrongCall& c, std::ostream* os) { *os << c.title; }

class WrongCalls : public ::testing::TestWithParam<WrongCall> {};

TEST_P(WrongCalls, GetTheReasonAndTheUsage) {
  const WrongCall& c = GetParam();
  TempDir dir;
  kadrix_test::RunOptions options;
  options.cwd = dir.path().string();
  const RunResult r = import_test::run_import(c.args, options);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, crlf("Zle wywolanie programu: " + c.reason + ".\n") + kUsage);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(kadrix_test::list_dir(dir.path().string()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Call, WrongCalls,
    ::testing::Values(
        WrongCall{"nothing", {}, "brak katalogu, nazwy obiektu i zrodel"},
        WrongCall{"directory_only", {"d/"}, "brak nazwy obiektu i zrodel"},
        WrongCall{"no_source", {"d/", "M42", "--replace"}, "brak plikow zrodlowych"},
        WrongCall{"name_with_slash", {"d/", "M/42", "a.ser"}, "nazwa obiektu M/42 zawiera separator sciezki"},
        WrongCall{"name_with_backslash", {"d/", "M\\42", "a.ser"}, "nazwa obiektu M\\42 zawiera separator sciezki"},
        WrongCall{"name_with_space", {"d/", "M 42", "a.ser"}, "nazwa obiektu M 42 zawiera bialy znak"},
        WrongCall{"name_with_tab", {"d/", "M\t42", "a.ser"}, "nazwa obiektu M\t42 zawiera bialy znak"},
        WrongCall{"name_with_control", {"d/", "M\x1a", "a.ser"}, "nazwa obiektu zawiera znak sterujacy"},
        WrongCall{"name_empty", {"d/", "", "a.ser"}, "pusta nazwa obiektu"},
        WrongCall{"unknown_option", {"d/", "M", "a.ser", "--frist", "2"}, "nieznana opcja --frist"},
        WrongCall{"first_zero", {"--first", "0", "d/", "M", "a.ser"}, "zla wartosc --first 0 (oczekiwano liczby od 1)"},
        WrongCall{"every_text", {"d/", "M", "a.ser", "--every=x"}, "zla wartosc --every x (oczekiwano liczby od 1)"},
        WrongCall{"first_without_value", {"d/", "M", "a.ser", "--first"}, "brak wartosci po --first"},
        WrongCall{"list_empty", {"d/", "M", "a.ser", "--list="}, "brak wartosci po --list"},
        WrongCall{"range_reversed", {"--range", "5:1", "d/", "M", "a.ser"},
                  "zla wartosc --range 5:1 (oczekiwano LO:HI, LO < HI)"},
        WrongCall{"range_one_number", {"--range", "5", "d/", "M", "a.ser"},
                  "zla wartosc --range 5 (oczekiwano LO:HI, LO < HI)"},
        WrongCall{"depth_7", {"--depth", "7", "d/", "M", "a.ser"}, "zla wartosc --depth 7 (oczekiwano liczby od 8 do 53)"},
        WrongCall{"depth_54", {"--depth=54", "d/", "M", "a.ser"}, "zla wartosc --depth 54 (oczekiwano liczby od 8 do 53)"},
        WrongCall{"byte_order", {"--byte-order", "middle", "d/", "M", "a.ser"},
                  "zla wartosc --byte-order middle (oczekiwano little albo big)"},
        WrongCall{"range_and_depth", {"--range", "0:1", "--depth", "12", "d/", "M", "a.ser"},
                  "opcje --range i --depth wykluczaja sie"},
        WrongCall{"list_twice", {"--list", "a", "d/", "M", "a.ser", "--list", "b"}, "opcja --list podana dwa razy"},
        WrongCall{"pedestal_text", {"--pedestal", "x", "--dark", "d.ser", "d/", "M", "a.ser"},
                  "zla wartosc --pedestal x (oczekiwano liczby)"},
        WrongCall{"saturation_infinite", {"--saturation", "inf", "d/", "M", "a.ser"},
                  "zla wartosc --saturation inf (oczekiwano liczby)"},
        WrongCall{"pedestal_twice", {"--pedestal", "1", "--pedestal", "2", "d/", "M", "a.ser"},
                  "opcja --pedestal podana dwa razy"},
        WrongCall{"dark_without_value", {"d/", "M", "a.ser", "--dark"}, "brak wartosci po --dark"},
        WrongCall{"masters_of_nothing", {"--save-masters", "m/", "d/", "M", "a.ser"},
                  "--save-masters bez --dark, --flat, --bias ani --flat-dark"},
        WrongCall{"flat_dark_without_flat", {"--flat-dark", "fd.fits", "d/", "M", "a.ser"}, "--flat-dark bez --flat"},
        WrongCall{"reference_without_align", {"--reference", "2", "d/", "M", "a.ser"},
                  "--reference bez --align ani --align-whole"},
        WrongCall{"shifts_without_align", {"--shifts", "s.csv", "d/", "M", "a.ser"},
                  "--shifts bez --align ani --align-whole"},
        WrongCall{"reference_zero", {"--align", "--reference", "0", "d/", "M", "a.ser"},
                  "zla wartosc --reference 0 (oczekiwano liczby od 1)"},
        WrongCall{"shifts_twice", {"--align-whole", "--shifts", "a.csv", "--shifts=b.csv", "d/", "M", "a.ser"},
                  "opcja --shifts podana dwa razy"},
        // The first fault is the one named.
        WrongCall{"first_fault_named", {"--bad", "d/", "M 1", "a.ser"}, "nieznana opcja --bad"}),
    [](const ::testing::TestParamInfo<WrongCall>& info) { return std::string(info.param.title); });

TEST(Call, ADirectoryWithoutItsSlashIsAWrongCall) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 1, 8, {1, 2}));
  const std::string plain = dir.path().string();
  const RunResult r = import_test::run_import({plain, "M42", dir.file("a.ser")});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.out, crlf("Zle wywolanie programu: katalog " + plain + " bez koncowego / (klatki nazywalyby sie " +
                        plain + "M4201.BMP).\n") +
                       kUsage);
  EXPECT_EQ(kadrix_test::list_dir(plain), std::vector<std::string>{"a.ser"});
}

TEST(Call, HelpAndVersion) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"d/", "--bad", "--help"}}) {
    const RunResult r = import_test::run_import(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(r.out.starts_with("Wywolanie: kadrix-import [opcje] katalog/ NAZWA ZRODLO...\r\n")) << r.out;
    for (const char* option : {"--byte-order little|big", "--dark ZRODLO", "--bias ZRODLO", "--flat ZRODLO",
                               "--flat-dark ZRODLO", "--pedestal P", "--saturation L", "--save-masters KATALOG/"})
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
    for (std::size_t at = r.out.find('\n'); at != std::string::npos; at = r.out.find('\n', at + 1))
      ASSERT_EQ(r.out[at - 1], '\r') << "a bare line feed at " << at;
  }
  const RunResult r = import_test::run_import({"--version"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "kadrix-import " KADRIX_VERSION "\r\n");
}

TEST(Transcript, SaysWhatWasReadWhichMapAndWhatWasWritten) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 1, 12, {16, 32, 4095}));
  // Options may stand anywhere, also after the sources.
  const RunResult r = import_test::run_import({dir.prefix(), "--first", "1", "OBJ", dir.file("a.ser"), "--every", "1"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, crlf(dir.file("a.ser") + ": SER 2 x 1, MONO, 12 bitow, klatek: 3\n"
                        "Klatki do zapisu: 3 (w zrodlach: 3)\n"
                        "Mapa: glebia 12 bitow, wartosc = v >> 4 (dla nastepnego obiektu: --depth 12)\n"
                        "Zapisano klatki " +
                        dir.prefix() + "OBJ01.BMP ... " + dir.prefix() + "OBJ03.BMP\n"));
  const std::vector<std::uint8_t> values = {1, 2, 255};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(kadrix_test::read_file(dir.prefix() + "OBJ0" + std::to_string(k + 1) + ".BMP"),
              import_test::frame_file(2, 1, {values[static_cast<std::size_t>(k)], values[static_cast<std::size_t>(k)]}));
  }
}

TEST(Transcript, AClosedStandardOutputDoesNotStopTheImport) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 1, 8, {1, 2}));
  kadrix_test::RunOptions options;
  options.close_stdout_early = true;
  const RunResult r = import_test::run_import({dir.prefix(), "OBJ", dir.file("a.ser")}, options);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(kadrix_test::read_file(dir.file("OBJ02.BMP")), import_test::frame_file(2, 1, {2, 2}));
}

TEST(Name, ALongNameIsWrittenUnderItsFirstSixCharacters) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 1, 8, {1, 2}));
  const RunResult r = import_test::run_import({"--", dir.prefix(), "NGC2537", dir.file("a.ser")});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(r.out.starts_with(
      crlf("Nazwa NGC2537 ma wiecej niz 6 znakow: klatki dostana nazwe NGC253, bo tak szuka ich kadrix\n")))
      << r.out;
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"NGC25301.BMP", "NGC25302.BMP", "a.ser"}));
}

TEST(Name, MayStartWithADashAfterTheEndOfOptions) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 1, 8, {1, 2}));
  const RunResult r = import_test::run_import({dir.prefix(), "--", "-M", dir.file("a.ser")});
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_TRUE(kadrix_test::exists(dir.file("-M02.BMP")));
}

TEST(Name, AMissingDirectoryIsNamed) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 1, 8, {1, 2}));
  const RunResult r = import_test::run_import({dir.file("none") + "/", "OBJ", dir.file("a.ser")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, crlf("Brak katalogu " + dir.file("none") + "\n"));
}

// ---- which frames ------------------------------------------------------

struct Selection {
  const char* title;
  std::vector<std::string> options;
  std::vector<std::uint8_t> values;  // of the frames written, one value each
  std::string lines;                 // what is said about the choice
};

void PrintTo(const Selection& c, std::ostream* os) { *os << c.title; }

class Selections : public ::testing::TestWithParam<Selection> {};

// 105 frames, frame k (from 0) of value k.
TEST_P(Selections, TakeTheFramesAsked) {
  const Selection& c = GetParam();
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(1, 1, 8, counting(105)));
  std::vector<std::string> args = c.options;
  args.insert(args.end(), {dir.prefix(), "OBJ", dir.file("a.ser")});
  const RunResult r = import_test::run_import(args);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  EXPECT_NE(r.out.find(crlf(c.lines)), std::string::npos) << r.out;
  std::vector<std::string> expected = {"a.ser"};
  for (std::size_t k = 0; k < c.values.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "OBJ%02zu.BMP", k + 1);
    expected.push_back(name);
    ASSERT_EQ(kadrix_test::read_file(dir.file(name)), import_test::frame_file(1, 1, {c.values[k]})) << name;
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), expected);
}

std::vector<std::uint8_t> from_to_by(int from, int to, int by) {
  std::vector<std::uint8_t> v;
  for (int i = from; i <= to; i += by) v.push_back(static_cast<std::uint8_t>(i));
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Selections,
    ::testing::Values(
        Selection{"first_hundred",
                  {},
                  from_to_by(0, 99, 1),
                  "Klatki do zapisu: 100 (w zrodlach: 105)\n"
                  "Pominieto klatek: 5 (kadrix laczy najwyzej 100; wybierz inne opcjami --first i --every)\n"},
        Selection{"last_hundred", {"--first", "6"}, from_to_by(5, 104, 1), "Klatki do zapisu: 100 (w zrodlach: 105)\nMapa"},
        Selection{"every_second", {"--every", "2"}, from_to_by(0, 104, 2), "Klatki do zapisu: 53 (w zrodlach: 105)\nMapa"},
        Selection{"from_the_tenth_every_thirtieth", {"--first=10", "--every=30"}, {9, 39, 69, 99},
                  "Klatki do zapisu: 4 (w zrodlach: 105)\n"},
        Selection{"the_last_only", {"--first", "105"}, {104},
                  "OBJ01.BMP\nUwaga: kadrix potrzebuje co najmniej 2 klatek\n"}),
    [](const ::testing::TestParamInfo<Selection>& info) { return std::string(info.param.title); });

TEST(Frames, NoFrameToTakeIsRefused) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(1, 1, 8, counting(5)));
  kadrix_test::write_file(dir.file("empty.ser"), flat_ser(1, 1, 8, {}));
  RunResult r = import_test::run_import({"--first", "6", dir.prefix(), "OBJ", dir.file("a.ser")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.ends_with(crlf("Zrodla maja klatek 5: --first 6 wskazuje poza nie\n"))) << r.out;
  r = import_test::run_import({dir.prefix(), "OBJ", dir.file("empty.ser")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.ends_with(crlf("Zrodla nie maja zadnej klatki\n"))) << r.out;
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), (std::vector<std::string>{"a.ser", "empty.ser"}));
}

TEST(Frames, TheFirstFrameOfAnotherSizeIsNamed) {
  TempDir dir;
  kadrix_test::write_file(dir.file("a.ser"), flat_ser(2, 2, 8, {1, 2}));
  kadrix_test::write_file(dir.file("b.ser"), flat_ser(2, 2, 8, {3}));
  kadrix_test::write_file(dir.file("c.ser"), flat_ser(3, 2, 8, {4, 5}));
  const std::vector<std::string> sources = {dir.file("a.ser"), dir.file("b.ser"), dir.file("c.ser")};
  std::vector<std::string> args = {dir.prefix(), "OBJ"};
  args.insert(args.end(), sources.begin(), sources.end());
  const auto before = import_test::snapshot(dir.path().string());
  RunResult r = import_test::run_import(args);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.ends_with(crlf("Klatka 4 (" + dir.file("c.ser") + ", klatka 1 pliku) ma rozmiar 3 x 2, a klatka 1 ma 2 x 2\n")))
      << r.out;
  EXPECT_EQ(import_test::snapshot(dir.path().string()), before);

  // Only the frames taken must agree: from the fourth on they do.
  args.insert(args.begin(), {"--first", "4"});
  r = import_test::run_import(args);
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_EQ(kadrix_test::read_file(dir.file("OBJ02.BMP")), import_test::frame_file(3, 2, {5, 5, 5, 5, 5, 5}));
}

TEST(Depth, TheDepthOptionRefusesFloatData) {
  TempDir dir;
  import_test::FitsImage f;
  f.bitpix = -32;
  f.axes = {2, 1};
  f.values = {1.5, 2.5};
  kadrix_test::write_file(dir.file("a.fits"), import_test::fits_bytes(f));
  const RunResult r = import_test::run_import({"--depth", "12", dir.prefix(), "OBJ", dir.file("a.fits")});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_TRUE(r.out.ends_with(crlf("Dane pliku " + dir.file("a.fits") +
                                   " nie sa liczbami calkowitymi: --depth ich nie obejmuje, sluzy do tego --range\n")))
      << r.out;
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), std::vector<std::string>{"a.fits"});
}

// ---- kadrix reads what was imported ------------------------------------

TEST(Kadrix, CombinesAnImportedObject) {
  TempDir dir;
  // Frame k (1 to 3) holds x + 16 y + 10 k at 12 bits, stored 16 times
  // larger; the import brings back x + 16 y + 10 k. kadrix drops the
  // brightest of three and averages the rest: x + 16 y + 15, whose mean
  // over 16 x 12 pixels is 7.5 + 88 + 15 = 110.5.
  SerVideo s;
  s.width = 16;
  s.height = 12;
  s.depth = 12;
  std::vector<std::uint8_t> combined;
  for (int k = 1; k <= 3; ++k) {
    std::vector<std::uint32_t> frame;
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 16; ++x) frame.push_back(static_cast<std::uint32_t>(16 * (x + 16 * y + 10 * k) + 7));
    s.frames.push_back(frame);
  }
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) combined.push_back(static_cast<std::uint8_t>(x + 16 * y + 15));
  kadrix_test::write_file(dir.file("m.ser"), import_test::ser_bytes(s));
  const std::string list = dir.file("noc.list");
  const RunResult imported = import_test::run_import({dir.prefix(), "OBJ", dir.file("m.ser"), "--list", list});
  ASSERT_EQ(imported.exit_status, 0) << imported.out;

  const RunResult run = kadrix_test::run_program(KADRIX_BIN, {dir.prefix(), list});
  EXPECT_EQ(run.exit_status, 0) << run.out;
  EXPECT_NE(run.out.find("OBJ 0\r\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Obr: OBJ Kl: 3 Sr: 110.500000, Var: "), std::string::npos) << run.out;
  // The whole part of the mean, as kadrix writes it, is the combined image.
  EXPECT_TRUE(kadrix_test::same_bytes(kadrix_test::read_file(dir.file("OBJSR.BMP")),
                                      import_test::frame_file(16, 12, combined)));
}

}  // namespace
