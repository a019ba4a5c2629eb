// Runs of the built kadrix-inspect on result pairs the tests write.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"

namespace {

using kadrix_test::Bytes;
using kadrix_test::RunOptions;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

RunResult inspect(const std::vector<std::string>& args, const RunOptions& options = {}) {
  return kadrix_test::run_program(KADRIX_INSPECT_BIN, args, options);
}

using kadrix_test::crlf;

using inspect_test::kUsage;

using inspect_test::sample_object;

// The report's lines before the catalogue.
const std::string kSampleHead = crlf(
    "Rozmiar: 5 x 4\n"
    "Kl: 12\n"
    "Sr: 10.500000\n"
    "Var: 2.250000\n"
    "Wykryte piksele: 5\n"
    "Zrodla: 3\n");

// The report: its head, then the catalogue; what follows the catalogue's
// four lines is returned.
std::string expect_sample_report(const std::string& out) {
  EXPECT_EQ(out.substr(0, kSampleHead.size()), kSampleHead);
  if (out.size() < kSampleHead.size()) return "";
  std::size_t end = kSampleHead.size();
  for (int line = 0; line < 4 && end != std::string::npos; ++line) {
    end = out.find('\n', end);
    if (end != std::string::npos) ++end;
  }
  if (end == std::string::npos) end = out.size();
  inspect_test::expect_sample_catalogue(out.substr(kSampleHead.size(), end - kSampleHead.size()));
  return out.substr(end);
}

struct SampleDir {
  TempDir dir;
  std::string prefix = dir.prefix() + "OBJ";
  SampleDir() { inspect_test::write_pair(dir.prefix(), "OBJ", sample_object()); }
};

TEST(InspectRun, ReportsStatisticsAndSources) {
  SampleDir sample;
  const RunResult run = inspect({sample.prefix});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(expect_sample_report(run.out), "");
  EXPECT_EQ(run.err, "");
}

TEST(InspectRun, CsvAloneWithTheOptionAnywhere) {
  SampleDir sample;
  for (const auto& args : {std::vector<std::string>{sample.prefix, "--csv"},
                           std::vector<std::string>{"--csv", sample.prefix}}) {
    const RunResult run = inspect(args);
    EXPECT_EQ(run.exit_status, 0);
    inspect_test::expect_sample_catalogue(run.out);
  }
}

TEST(InspectRun, NoSourcesGivesTheHeaderOnly) {
  TempDir dir;
  inspect_test::ObjectResult result = inspect_test::drawn({"...", "..."});
  inspect_test::write_pair(dir.prefix(), "E", result);
  const RunResult run = inspect({dir.prefix() + "E", "--csv"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, std::string(inspect_test::kCatalogueHeader) + "\r\n");
}

TEST(InspectRun, PrefixAfterDoubleDashMayStartWithADash) {
  TempDir dir;
  inspect_test::write_pair(dir.prefix(), "-x", sample_object());
  RunOptions options;
  options.cwd = dir.path().string();
  const RunResult run = inspect({"--csv", "--", "-x"}, options);
  EXPECT_EQ(run.exit_status, 0);
  inspect_test::expect_sample_catalogue(run.out);
}

TEST(InspectRun, HelpEndsWell) {
  for (const auto& args : {std::vector<std::string>{"--help"}, std::vector<std::string>{"-h"},
                           std::vector<std::string>{"PREFIX", "--bogus", "--help"},
                           std::vector<std::string>{"--night", "--version", "--help"}}) {
    const RunResult run = inspect(args);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out.rfind("Wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\r\n", 0), 0u);
    for (const char* option : {"--overlay plik.BMP", "--fits plik.fits", "--regions plik.reg", "--night",
                               "--html plik.html", "--version"})
      EXPECT_NE(run.out.find(option), std::string::npos) << option;
    // Every line end is CR LF.
    std::size_t bare = 0;
    for (std::size_t i = 0; i < run.out.size(); ++i)
      if (run.out[i] == '\n' && (i == 0 || run.out[i - 1] != '\r')) ++bare;
    EXPECT_EQ(bare, 0u);
  }
}

TEST(InspectRun, VersionIsPrintedAlone) {
  for (const auto& args : {std::vector<std::string>{"--version"}, std::vector<std::string>{"A", "B", "--version"}}) {
    const RunResult run = inspect(args);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "kadrix-inspect " KADRIX_VERSION "\r\n");
  }
}

TEST(InspectRun, WrongCallsShowTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {{}, "brak prefiksu plikow"},
      {{"--csv"}, "brak prefiksu plikow"},
      {{"A", "B"}, "za duzo argumentow (B)"},
      {{"--bogus", "A"}, "nieznana opcja --bogus"},
      {{"A", "-c"}, "nieznana opcja -c"},
      {{"A", "--overlay"}, "brak nazwy pliku po --overlay"},
      {{"A", "--overlay="}, "brak nazwy pliku po --overlay"},
      {{"A", "--overlay", "x.bmp", "--overlay=y.bmp"}, "opcja --overlay podana dwa razy"},
      {{"A", "--fits"}, "brak nazwy pliku po --fits"},
      {{"--regions=", "A"}, "brak nazwy pliku po --regions"},
      {{"A", "--fits", "a", "--fits=b"}, "opcja --fits podana dwa razy"},
      {{"A", "--regions=a", "--regions", "b"}, "opcja --regions podana dwa razy"},
      {{"A", "--fitsx=a"}, "nieznana opcja --fitsx=a"},
      {{"A", "--html", "x.html"}, "opcja --html wymaga --night"},
      {{"--night"}, "brak katalogu i pliku listy"},
      {{"D", "--night"}, "brak pliku listy"},
      {{"D", "L", "X", "--night"}, "za duzo argumentow (X)"},
      {{"--night", "D", "L", "--csv"}, "opcja --csv nie dotyczy --night"},
      {{"--night", "D", "L", "--fits", "f"}, "opcja --fits nie dotyczy --night"},
      {{"--regions=r", "--night", "D", "L"}, "opcja --regions nie dotyczy --night"},
      {{"--night", "D", "L", "--overlay", "o.bmp"}, "opcja --overlay nie dotyczy --night"},
      {{"--night", "D", "L", "--html"}, "brak nazwy pliku po --html"},
      // After "--" even --night is an operand, and after --fits a file name.
      {{"A", "--", "--night"}, "za duzo argumentow (--night)"},
      {{"A", "B", "--fits", "--night"}, "za duzo argumentow (B)"},
  };
  for (const Case& c : cases) {
    const RunResult run = inspect(c.args);
    EXPECT_EQ(run.exit_status, 2) << c.reason;
    EXPECT_EQ(run.out, "Zle wywolanie programu: " + c.reason + ".\r\n" + kUsage);
  }
}

void put_float(Bytes& bytes, std::size_t at, float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, 4);
  kadrix_test::put_le32(bytes, at, bits);
}

TEST(InspectRun, BadInputIsNamedWithItsReason) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    // Changes the good pair in dir (PSR.BMP, PSS.BMP) into a bad one.
    std::function<void(const TempDir& dir)> spoil;
    std::string message;  // with "@" for the directory prefix
  };
  auto spoil_ss = [](const TempDir& dir, const std::function<void(Bytes&)>& change) {
    Bytes ss = kadrix_test::read_file(dir.file("PSS.BMP"));
    change(ss);
    kadrix_test::write_file(dir.file("PSS.BMP"), ss);
  };
  const Case cases[] = {
      {"no pair", [](const TempDir& dir) { fs::remove(dir.file("PSR.BMP")); fs::remove(dir.file("PSS.BMP")); },
       "Brak pliku @PSR.BMP"},
      {"no SS", [](const TempDir& dir) { fs::remove(dir.file("PSS.BMP")); }, "Brak pliku @PSS.BMP"},
      {"SR a directory",
       [](const TempDir& dir) { fs::remove(dir.file("PSR.BMP")); fs::create_directory(dir.file("PSR.BMP")); },
       "Brak pliku @PSR.BMP"},
      {"SR 24-bit",
       [](const TempDir& dir) {
         kadrix_test::BmpShape bmp;
         bmp.width = 5;
         bmp.height = 4;
         bmp.bits = 24;
         bmp.palette_entries = 0;
         bmp.pixels.assign(60, 9);
         kadrix_test::write_file(dir.file("PSR.BMP"), kadrix_test::build_bmp(bmp));
       },
       "Zly plik @PSR.BMP (glebia bitowa 24, wymagana 8)"},
      {"SR text", [](const TempDir& dir) { kadrix_test::write_file(dir.file("PSR.BMP"), std::string(80, 'x')); },
       "Zly plik @PSR.BMP (brak sygnatury BM)"},
      {"SR empty", [](const TempDir& dir) { kadrix_test::write_file(dir.file("PSR.BMP"), std::string()); },
       "Zly plik @PSR.BMP (plik krotszy niz naglowek)"},
      {"SS cut short",
       [&](const TempDir& dir) { spoil_ss(dir, [](Bytes& b) { b.resize(b.size() - 9); }); },
       "Zly plik @PSS.BMP (plik urwany)"},
      {"SS compressed",
       [&](const TempDir& dir) { spoil_ss(dir, [](Bytes& b) { kadrix_test::put_le32(b, 30, 1); }); },
       "Zly plik @PSS.BMP (kompresja 1, wymagany brak)"},
      {"SS with a grey palette",
       [](const TempDir& dir) { fs::copy_file(dir.file("PSR.BMP"), dir.file("PSS.BMP"), fs::copy_options::overwrite_existing); },
       "Zly plik @PSS.BMP (brak statystyk kadrix w palecie)"},
      {"SS with 101 frames",
       [&](const TempDir& dir) { spoil_ss(dir, [](Bytes& b) { kadrix_test::put_le32(b, 62, 101); }); },
       "Zly plik @PSS.BMP (brak statystyk kadrix w palecie)"},
      {"SS with a NaN level",
       [&](const TempDir& dir) {
         spoil_ss(dir, [](Bytes& b) { put_float(b, 54, std::numeric_limits<float>::quiet_NaN()); });
       },
       "Zly plik @PSS.BMP (brak statystyk kadrix w palecie)"},
      {"SS without palette room",
       [&](const TempDir& dir) { spoil_ss(dir, [](Bytes& b) { kadrix_test::put_le32(b, 10, 54 + 8); }); },
       "Zly plik @PSS.BMP (brak statystyk kadrix w palecie)"},
      {"SS transposed: same pixel count, other shape",
       [&](const TempDir& dir) {
         spoil_ss(dir, [](Bytes& b) {
           kadrix_test::put_le32(b, 18, 4);
           kadrix_test::put_le32(b, 22, 5);
         });
       },
       "Pliki @PSR.BMP i @PSS.BMP maja rozne rozmiary"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    inspect_test::write_pair(dir.prefix(), "P", sample_object());
    c.spoil(dir);
    std::string expected = c.message;
    for (std::size_t at; (at = expected.find('@')) != std::string::npos;) expected.replace(at, 1, dir.prefix());
    const RunResult run = inspect({dir.prefix() + "P", "--overlay", dir.file("over.bmp")});
    EXPECT_EQ(run.exit_status, 1) << c.what;
    EXPECT_EQ(run.out, expected + "\r\n") << c.what;
    EXPECT_FALSE(kadrix_test::exists(dir.file("over.bmp"))) << c.what;
  }
}

// Pixel (x, y) of a 24-bit file as blue, green, red.
std::vector<int> bgr_at(const Bytes& file, int width, int height, int x, int y) {
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
  const std::size_t at = 54 + stride * static_cast<std::size_t>(height - 1 - y) + 3 * static_cast<std::size_t>(x);
  return {file.at(at), file.at(at + 1), file.at(at + 2)};
}

TEST(InspectRun, OverlayReplacesAnOldFileWhole) {
  SampleDir sample;
  const std::string out = sample.dir.file("over.bmp");
  kadrix_test::write_file(out, std::string("an old picture"));
  const RunResult run = inspect({sample.prefix, "--overlay", out});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(expect_sample_report(run.out), "");

  // The rings: radius sqrt(pixels / pi) + 1 around each centre the CSV
  // gives, one pixel wide.
  struct Ring {
    double x, y, r;
  };
  std::vector<Ring> rings;
  const std::vector<std::string> lines = inspect_test::lines_of(run.out);
  for (std::size_t i = 7; i < lines.size(); ++i) {
    const std::vector<std::string> f = inspect_test::fields_of(lines[i]);
    ASSERT_GE(f.size(), 3u);
    rings.push_back({std::stod(f[0]), std::stod(f[1]), std::sqrt(std::stod(f[2]) / M_PI) + 1});
  }
  ASSERT_EQ(rings.size(), 3u);

  // Sorted means: 10 11 12 12.59 13 ... 25 30.25 40; indices 0 and
  // floor(0.999 * 19) = 18 give lo 10 and hi 30.25.
  const Bytes file = kadrix_test::read_file(out);
  ASSERT_EQ(file.size(), 54u + 16 * 4);  // 15 bytes a row, padded to 16
  EXPECT_EQ(kadrix_test::get_le32(file, 18), 5u);
  EXPECT_EQ(kadrix_test::get_le32(file, 22), 4u);
  EXPECT_EQ(file[28], 24);
  const std::vector<int> red = {0, 0, 255};
  const std::vector<int> green = {0, 255, 0};
  const int grey[4][5] = {
      {0, 12, 25, 37, -1},  // (m - 10) * 255 / 20.25, rounded down; -1 flagged
      {50, -1, -1, 62, 75},
      {88, 100, -1, 113, 188},
      {-1, 138, 151, 163, 176},
  };
  int ringed = 0;
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      bool on_ring = false;
      for (const Ring& r : rings) on_ring = on_ring || std::fabs(std::hypot(x - r.x, y - r.y) - r.r) < 0.5;
      ringed += on_ring ? 1 : 0;
      const bool flagged = sample_object().flags[static_cast<std::size_t>(y * 5 + x)] == 1;
      const int g = grey[y][x];
      const std::vector<int> want = on_ring ? green : flagged ? red : std::vector<int>{g, g, g};
      EXPECT_EQ(bgr_at(file, 5, 4, x, y), want) << x << "," << y;
    }
  }
  EXPECT_GT(ringed, 0);
  EXPECT_LT(ringed, 20);
  EXPECT_EQ(kadrix_test::list_dir(sample.dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "over.bmp"}));
}

TEST(InspectRun, OutputNamingAnInputIsRefused) {
  namespace fs = std::filesystem;
  struct Case {
    const char* what;
    const char* option;
    std::function<std::string(const TempDir& dir)> output;  // makes the name, returns it
  };
  const Case cases[] = {
      {"the SR name", "--overlay", [](const TempDir& dir) { return dir.prefix() + "OBJSR.BMP"; }},
      {"the SS name", "--overlay", [](const TempDir& dir) { return dir.prefix() + "OBJSS.BMP"; }},
      {"SS spelled otherwise", "--overlay", [](const TempDir& dir) { return dir.prefix() + "./OBJSS.BMP"; }},
      {"a hard link to SR", "--overlay",
       [](const TempDir& dir) {
         fs::create_hard_link(dir.file("OBJSR.BMP"), dir.file("link.bmp"));
         return dir.file("link.bmp");
       }},
      {"a symbolic link to SS", "--overlay",
       [](const TempDir& dir) {
         fs::create_symlink("OBJSS.BMP", dir.file("sym.bmp"));
         return dir.file("sym.bmp");
       }},
      {"FITS over SS", "--fits", [](const TempDir& dir) { return dir.prefix() + "OBJSS.BMP"; }},
      {"FITS over SR through ..", "--fits=", [](const TempDir& dir) {
         fs::create_directory(dir.file("sub"));
         return dir.prefix() + "sub/../OBJSR.BMP";
       }},
      {"regions over a hard link to SS", "--regions",
       [](const TempDir& dir) {
         fs::create_hard_link(dir.file("OBJSS.BMP"), dir.file("link.reg"));
         return dir.file("link.reg");
       }},
  };
  for (const Case& c : cases) {
    SampleDir sample;
    const std::string output = c.output(sample.dir);
    const Bytes sr = kadrix_test::read_file(sample.dir.file("OBJSR.BMP"));
    const Bytes ss = kadrix_test::read_file(sample.dir.file("OBJSS.BMP"));
    const auto before = kadrix_test::list_dir(sample.dir.path().string());
    const std::string option = c.option;
    const std::vector<std::string> args =
        option.back() == '=' ? std::vector<std::string>{sample.prefix, option + output}
                             : std::vector<std::string>{sample.prefix, option, output};
    const RunResult run = inspect(args);
    EXPECT_EQ(run.exit_status, 2) << c.what;
    EXPECT_EQ(run.out, "Zle wywolanie programu: plik " + output + " jest plikiem wejsciowym.\r\n" + kUsage)
        << c.what;
    EXPECT_EQ(kadrix_test::read_file(sample.dir.file("OBJSR.BMP")), sr) << c.what;
    EXPECT_EQ(kadrix_test::read_file(sample.dir.file("OBJSS.BMP")), ss) << c.what;
    EXPECT_EQ(kadrix_test::list_dir(sample.dir.path().string()), before) << c.what;
  }
}

TEST(InspectRun, TwoOutputsNamingOneFileAreRefused) {
  SampleDir sample;
  struct Case {
    std::vector<std::string> args;
    std::string reason;
  };
  const std::string a = sample.dir.file("a.out");
  const Case cases[] = {
      {{"--fits", a, "--regions", a}, "ten sam plik " + a + " po --fits i --regions"},
      {{"--regions", a, "--overlay", sample.dir.prefix() + "./a.out"},
       "ten sam plik " + a + " po --overlay i --regions"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {sample.prefix};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult run = inspect(args);
    EXPECT_EQ(run.exit_status, 2) << c.reason;
    EXPECT_EQ(run.out, "Zle wywolanie programu: " + c.reason + ".\r\n" + kUsage);
  }
  EXPECT_EQ(kadrix_test::list_dir(sample.dir.path().string()), (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP"}));
}

TEST(InspectRun, NightPageNamingAnInputIsRefused) {
  TempDir dir;
  const std::string d = dir.prefix();
  inspect_test::write_pair(d, "OBJ", sample_object());
  inspect_test::write_pair(d, "TWO", sample_object());
  kadrix_test::write_file(d + "n.list", std::string("OBJ\nTWO\n"));
  for (const std::string& page : {d + "n.list", d + "./TWOSS.BMP", d + "OBJSR.BMP"}) {
    const auto before = kadrix_test::list_dir(dir.path().string());
    const Bytes list = kadrix_test::read_file(d + "n.list");
    const RunResult run = inspect({"--night", d, d + "n.list", "--html", page});
    EXPECT_EQ(run.exit_status, 2) << page;
    EXPECT_EQ(run.out, "Zle wywolanie programu: plik " + page + " jest plikiem wejsciowym.\r\n" + kUsage);
    EXPECT_EQ(kadrix_test::read_file(d + "n.list"), list);
    EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), before);
  }
}

TEST(InspectRun, OverlayNamedPngIsTheSamePictureAsPng) {
  SampleDir sample;
  const std::string bmp = sample.dir.file("over.bmp");
  ASSERT_EQ(inspect({sample.prefix, "--overlay", bmp}).exit_status, 0);
  const inspect_test::RgbPicture expected = inspect_test::decode_bmp24(kadrix_test::read_file(bmp));
  for (const std::string name : {"over.png", "OVER.PNG"}) {
    const std::string png = sample.dir.file(name);
    kadrix_test::write_file(png, std::string("an old picture"));
    const RunResult run = inspect({"--overlay=" + png, sample.prefix});
    EXPECT_EQ(run.exit_status, 0) << name;
    EXPECT_EQ(expect_sample_report(run.out), "") << name;
    const Bytes file = kadrix_test::read_file(png);
    ASSERT_GT(file.size(), 8u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) << name;
    EXPECT_EQ(inspect_test::decode_png(file), expected) << name;
  }
  // The red of (4, 0) the BMP test worked out by hand; (0, 1), grey there
  // before, now lies on the ring of the source at (0, 3).
  EXPECT_EQ(std::vector<int>(expected.rgb.begin() + 12, expected.rgb.begin() + 18), (std::vector<int>{255, 0, 0, 0, 255, 0}));
  EXPECT_EQ(kadrix_test::list_dir(sample.dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "OVER.PNG", "over.bmp", "over.png"}));
}

TEST(InspectRun, OverlayThatCannotBeWrittenFailsAfterTheReport) {
  SampleDir sample;
  std::filesystem::create_directory(sample.dir.file("taken"));
  for (const std::string& overlay : {sample.dir.file("taken"), sample.dir.file("missing/over.bmp")}) {
    const RunResult run = inspect({sample.prefix, "--overlay", overlay});
    EXPECT_EQ(run.exit_status, 1) << overlay;
    EXPECT_EQ(expect_sample_report(run.out), "Blad zapisu pliku " + overlay + "\r\n");
  }
  EXPECT_TRUE(std::filesystem::is_directory(sample.dir.file("taken")));
  EXPECT_EQ(kadrix_test::list_dir(sample.dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "taken"}));
}

}  // namespace
