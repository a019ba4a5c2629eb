// The FITS file and the DS9 region file, written by the built tool and
// read back: the FITS file through cfitsio, pixel for pixel, flag for flag,
// card for card; the table and the regions against the CSV.

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bmp/result_pair.h"
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

// The sample object of the run tests, its level and sigma chosen so that
// fewer than 17 digits would not give them back.
ObjectResult sample_object() {
  ObjectResult result = inspect_test::sample_object();
  result.level = 10.3;  // as float 10.30000019073486328125
  result.sigma = 0.1;   // as float 0.100000001490116119384765625
  result.frames = 17;
  return result;
}

// The sample's decoded means, FITS rows first (bottom row of the picture
// first); 12.6 is stored as 1612 / 128.
const std::vector<float> kSampleFitsPixels = {30.25f, 21, 22, 23, 24, 17, 18, 20, 19, 25,
                                               14,     40, 20, 15, 16, 10, 11, 12, 13, 12.59375f};
const std::vector<unsigned char> kSampleFitsFlags = {1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 1};

// One source of the SOURCES table, X and Y in FITS coordinates.
struct TableRow {
  double x, y;
  int npix;
  double peak, sum;
  int id;
  double measured[11];  // BACKGROUND to ELONGATION, in table order
  int flags;
};

const std::vector<std::string> kTableNames = {
    "X",        "Y",         "NPIX",          "PEAK", "SUM", "ID", "BACKGROUND", "FLUX_ISO", "FLUX_ISO_ERR",
    "SNR",      "FLUX_AUTO", "FLUX_AUTO_ERR", "FWHM", "A",   "B",  "THETA",      "ELONGATION", "FLAGS"};
const std::vector<std::string> kTableForms = {"1D", "1D", "1J", "1D", "1D", "1J", "1D", "1D", "1D",
                                              "1D", "1D", "1D", "1D", "1D", "1D", "1D", "1D", "1I"};

// ---- reading back through cfitsio ---------------------------------------

class FitsReader {
 public:
  explicit FitsReader(const std::string& path) {
    if (fits_open_diskfile(&file_, path.c_str(), READONLY, &status_) != 0) file_ = nullptr;
  }
  ~FitsReader() {
    int status = 0;
    if (file_) fits_close_file(file_, &status);
  }
  FitsReader(const FitsReader&) = delete;
  FitsReader& operator=(const FitsReader&) = delete;

  bool ok() const { return file_ != nullptr && status_ == 0; }
  int status() const { return status_; }

  int hdu_count() {
    int count = 0;
    fits_get_num_hdus(file_, &count, &status_);
    return count;
  }
  int move_to(int hdu) {
    int type = 0;
    fits_movabs_hdu(file_, hdu, &type, &status_);
    return type;
  }
  // Keyword names and the text of every card of the current header.
  std::vector<std::pair<std::string, std::string>> cards() {
    int count = 0;
    fits_get_hdrspace(file_, &count, nullptr, &status_);
    std::vector<std::pair<std::string, std::string>> cards;
    for (int i = 1; i <= count; ++i) {
      char card[FLEN_CARD] = {};
      fits_read_record(file_, i, card, &status_);
      std::string text = card;
      cards.emplace_back(text.substr(0, std::min<std::size_t>(8, text.size())), text);
    }
    for (auto& c : cards) c.first.erase(c.first.find_last_not_of(' ') + 1);
    return cards;
  }
  double key_double(const char* name) {
    double value = 0;
    fits_read_key_dbl(file_, name, &value, nullptr, &status_);
    return value;
  }
  long long key_long(const char* name) {
    long long value = 0;
    fits_read_key_lnglng(file_, name, &value, nullptr, &status_);
    return value;
  }
  std::string key_string(const char* name) {
    char value[FLEN_VALUE] = {};
    fits_read_key_str(file_, name, value, nullptr, &status_);
    return value;
  }
  // The value text of a card as written, before any conversion.
  std::string key_text(const char* name) {
    char value[FLEN_VALUE] = {};
    fits_read_keyword(file_, name, value, nullptr, &status_);
    std::string text = value;
    text.erase(0, text.find_first_not_of(' '));
    return text;
  }
  // BITPIX and the axes of the current image.
  std::vector<long> image_shape(int& bitpix) {
    int naxis = 0;
    long axes[3] = {};
    fits_get_img_param(file_, 3, &bitpix, &naxis, axes, &status_);
    return std::vector<long>(axes, axes + naxis);
  }
  template <typename T>
  std::vector<T> pixels(int type, long long count) {
    std::vector<T> values(static_cast<std::size_t>(count));
    int any_null = 0;
    if (count > 0) fits_read_img(file_, type, 1, count, nullptr, values.data(), &any_null, &status_);
    return values;
  }
  std::vector<TableRow> table(std::vector<std::string>& names, std::vector<std::string>& forms) {
    long rows = 0;
    int columns = 0;
    fits_get_num_rows(file_, &rows, &status_);
    fits_get_num_cols(file_, &columns, &status_);
    for (int c = 1; c <= columns; ++c) {
      const std::string n = std::to_string(c);
      names.push_back(key_string(("TTYPE" + n).c_str()));
      forms.push_back(key_string(("TFORM" + n).c_str()));
    }
    std::vector<TableRow> table(static_cast<std::size_t>(rows));
    for (long r = 0; r < rows && columns == 18; ++r) {
      TableRow& row = table[static_cast<std::size_t>(r)];
      int any_null = 0;
      fits_read_col(file_, TDOUBLE, 1, r + 1, 1, 1, nullptr, &row.x, &any_null, &status_);
      fits_read_col(file_, TDOUBLE, 2, r + 1, 1, 1, nullptr, &row.y, &any_null, &status_);
      fits_read_col(file_, TINT, 3, r + 1, 1, 1, nullptr, &row.npix, &any_null, &status_);
      fits_read_col(file_, TDOUBLE, 4, r + 1, 1, 1, nullptr, &row.peak, &any_null, &status_);
      fits_read_col(file_, TDOUBLE, 5, r + 1, 1, 1, nullptr, &row.sum, &any_null, &status_);
      fits_read_col(file_, TINT, 6, r + 1, 1, 1, nullptr, &row.id, &any_null, &status_);
      for (int c = 0; c < 11; ++c)
        fits_read_col(file_, TDOUBLE, 7 + c, r + 1, 1, 1, nullptr, &row.measured[c], &any_null, &status_);
      fits_read_col(file_, TINT, 18, r + 1, 1, 1, nullptr, &row.flags, &any_null, &status_);
    }
    return table;
  }

 private:
  fitsfile* file_ = nullptr;
  int status_ = 0;
};

std::vector<std::string> keywords(const std::vector<std::pair<std::string, std::string>>& cards) {
  std::vector<std::string> names;
  for (const auto& c : cards) names.push_back(c.first);
  return names;
}

// The texts of the HISTORY cards, a text continued over several cards
// joined again (cfitsio fills every card but the last with 72 characters).
std::vector<std::string> history(const std::vector<std::pair<std::string, std::string>>& cards) {
  std::vector<std::string> texts;
  bool continued = false;
  for (const auto& [name, card] : cards) {
    if (name != "HISTORY") {
      continued = false;
      continue;
    }
    std::string text = card.size() > 8 ? card.substr(8) : "";
    if (continued) texts.back() += text;
    else texts.push_back(text);
    continued = text.size() == 72;
  }
  return texts;
}

std::time_t utc_seconds(const std::string& date) {
  std::tm t{};
  if (std::sscanf(date.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                  &t.tm_sec) != 6)
    return -1;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return timegm(&t);
}

// The rows of the tool's CSV for prefix, as text fields.
std::vector<std::vector<std::string>> csv_rows(const std::string& prefix,
                                               const std::vector<std::string>& options = {}) {
  std::vector<std::string> args = {prefix, "--csv"};
  args.insert(args.end(), options.begin(), options.end());
  const RunResult run = inspect(args);
  EXPECT_EQ(run.exit_status, 0) << run.out;
  std::vector<std::vector<std::string>> rows;
  const std::vector<std::string> lines = lines_of(run.out);
  for (std::size_t i = 1; i < lines.size(); ++i) rows.push_back(fields_of(lines[i]));
  return rows;
}

// A value as the CSV prints it: empty when it is undefined (NaN).
std::string fixed(const char* format, double value) {
  if (std::isnan(value)) return "";
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// The table holds what the CSV lists, row for row, column for column, in
// FITS coordinates.
void expect_table_matches_csv(const std::vector<TableRow>& table, const std::vector<std::vector<std::string>>& csv,
                              int height) {
  ASSERT_EQ(table.size(), csv.size());
  static const char* const kFormats[11] = {"%f", "%f", "%f", "%.2f", "%f", "%f", "%.3f", "%.3f", "%.3f", "%.2f",
                                           "%.3f"};
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    ASSERT_EQ(csv[i].size(), 18u);
    EXPECT_EQ(fixed("%.3f", table[i].x - 1), csv[i][0]);
    EXPECT_EQ(fixed("%.3f", height - table[i].y), csv[i][1]);
    EXPECT_EQ(std::to_string(table[i].npix), csv[i][2]);
    EXPECT_EQ(fixed("%f", table[i].peak), csv[i][3]);
    EXPECT_EQ(fixed("%f", table[i].sum), csv[i][4]);
    EXPECT_EQ(std::to_string(table[i].id), csv[i][5]);
    for (int c = 0; c < 11; ++c) EXPECT_EQ(fixed(kFormats[c], table[i].measured[c]), csv[i][6 + c]) << kTableNames[6 + c];
    EXPECT_EQ(std::to_string(table[i].flags), csv[i][17]);
  }
}

// ---- the tests -------------------------------------------------------------

TEST(InspectFits, SampleReadsBackPixelFlagAndCardExact) {
  TempDir dir;
  inspect_test::write_pair(dir.prefix(), "OBJ", sample_object());
  const std::string out = dir.file("obj.fits");
  const std::time_t before = std::time(nullptr);
  const RunResult run = inspect({dir.prefix() + "OBJ", "--fits", out});
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(run.exit_status, 0) << run.out;
  EXPECT_EQ(run.out.substr(0, run.out.find("x,y")),
            crlf("Rozmiar: 5 x 4\nKl: 17\nSr: 10.300000\nVar: 0.100000\nWykryte piksele: 5\nZrodla: 3\n"));

  inspect_test::expect_sample_catalogue(run.out.substr(run.out.find("x,y")));
  FitsReader fits(out);
  ASSERT_TRUE(fits.ok()) << fits.status();
  EXPECT_EQ(fits.hdu_count(), 5);

  // Primary image: the decoded mean, bottom row first.
  EXPECT_EQ(fits.move_to(1), IMAGE_HDU);
  int bitpix = 0;
  EXPECT_EQ(fits.image_shape(bitpix), (std::vector<long>{5, 4}));
  EXPECT_EQ(bitpix, FLOAT_IMG);
  EXPECT_EQ(fits.pixels<float>(TFLOAT, 20), kSampleFitsPixels);

  const auto cards = fits.cards();
  std::vector<std::string> expected_keywords = {"SIMPLE",   "BITPIX",   "NAXIS",   "NAXIS1",  "NAXIS2",
                                                "EXTEND",   "COMMENT",  "COMMENT", "NCOMBINE", "KDXLEVEL",
                                                "KDXSIGMA", "KDXNDET",  "KDXNSRC", "SATURATE", "KDXBACK",
                                                "KDXCATV",  "DATE",     "CREATOR"};
  // Each path takes as many HISTORY cards of 72 characters as it needs.
  const std::size_t history_text = std::string("plik SR: ").size() + dir.prefix().size() + 9;
  expected_keywords.insert(expected_keywords.end(), 2 * ((history_text + 71) / 72), "HISTORY");
  EXPECT_EQ(keywords(cards), expected_keywords);
  EXPECT_EQ(fits.key_long("NCOMBINE"), 17);
  EXPECT_EQ(fits.key_text("KDXLEVEL"), "10.300000190734863");
  EXPECT_EQ(fits.key_text("KDXSIGMA"), "0.10000000149011612");
  EXPECT_EQ(fits.key_double("KDXLEVEL"), static_cast<double>(10.3f));
  EXPECT_EQ(fits.key_double("KDXSIGMA"), static_cast<double>(0.1f));
  EXPECT_EQ(fits.key_long("KDXNDET"), 5);
  EXPECT_EQ(fits.key_long("KDXNSRC"), 3);
  EXPECT_EQ(fits.key_double("SATURATE"), 254.5);
  EXPECT_EQ(fits.key_long("KDXBACK"), 64);
  EXPECT_EQ(fits.key_long("KDXCATV"), 2);
  const std::time_t written = utc_seconds(fits.key_string("DATE"));
  EXPECT_GE(written, before);
  EXPECT_LE(written, after);
  EXPECT_EQ(fits.key_string("CREATOR"), "kadrix-inspect " KADRIX_VERSION);
  EXPECT_EQ(history(cards), (std::vector<std::string>{"plik SR: " + dir.prefix() + "OBJSR.BMP",
                                                      "plik SS: " + dir.prefix() + "OBJSS.BMP"}));

  // DETECT: the flags, same size and row order.
  EXPECT_EQ(fits.move_to(2), IMAGE_HDU);
  EXPECT_EQ(fits.image_shape(bitpix), (std::vector<long>{5, 4}));
  EXPECT_EQ(bitpix, BYTE_IMG);
  EXPECT_EQ(fits.key_string("EXTNAME"), "DETECT");
  EXPECT_EQ(fits.pixels<unsigned char>(TBYTE, 20), kSampleFitsFlags);

  // SOURCES: the sources in the CSV's order, FITS coordinates.
  EXPECT_EQ(fits.move_to(3), BINARY_TBL);
  EXPECT_EQ(fits.key_string("EXTNAME"), "SOURCES");
  std::vector<std::string> names, forms;
  const std::vector<std::vector<std::string>> csv = csv_rows(dir.prefix() + "OBJ");
  expect_table_matches_csv(fits.table(names, forms), csv, 4);
  EXPECT_EQ(names, kTableNames);
  EXPECT_EQ(forms, kTableForms);

  // BACKGROUND and RMS: single-precision maps, one mesh over the whole
  // picture and so one value each; the CSV's background is that value, and
  // the error of a source of n pixels is the RMS times the root of n.
  for (const int hdu : {4, 5}) {
    EXPECT_EQ(fits.move_to(hdu), IMAGE_HDU);
    EXPECT_EQ(fits.image_shape(bitpix), (std::vector<long>{5, 4}));
    EXPECT_EQ(bitpix, FLOAT_IMG);
  }
  fits.move_to(4);
  EXPECT_EQ(fits.key_string("EXTNAME"), "BACKGROUND");
  const std::vector<float> sky = fits.pixels<float>(TFLOAT, 20);
  EXPECT_EQ(sky, std::vector<float>(20, sky[0]));
  EXPECT_EQ(fixed("%f", sky[0]), csv.at(0).at(6));
  fits.move_to(5);
  EXPECT_EQ(fits.key_string("EXTNAME"), "RMS");
  const std::vector<float> rms = fits.pixels<float>(TFLOAT, 20);
  EXPECT_EQ(rms, std::vector<float>(20, rms[0]));
  EXPECT_GT(rms[0], 0.0f);
  EXPECT_NEAR(std::stod(csv.at(0).at(8)), rms[0] * std::sqrt(3.0), 2e-6);
  EXPECT_NEAR(std::stod(csv.at(1).at(8)), rms[0], 2e-6);
  EXPECT_EQ(fits.status(), 0);
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "obj.fits"}));
}

TEST(InspectFits, PathsInTheHistoryAreEscapedToPrintableAscii) {
  TempDir dir;
  // A tab, a byte of a UTF-8 letter and a backslash in the directory name.
  const std::string sub = dir.prefix() + "n\t\xC5\\";
  std::filesystem::create_directory(sub);
  inspect_test::write_pair(sub + "/", "P", sample_object());
  const std::string out = dir.file("p.fits");
  ASSERT_EQ(inspect({sub + "/P", "--fits", out}).exit_status, 0);
  FitsReader fits(out);
  ASSERT_TRUE(fits.ok());
  const std::string escaped = dir.prefix() + "n\\x09\\xC5\\\\/P";
  EXPECT_EQ(history(fits.cards()), (std::vector<std::string>{"plik SR: " + escaped + "SR.BMP",
                                                             "plik SS: " + escaped + "SS.BMP"}));
}

TEST(InspectFits, PairWithoutSourcesGivesAZeroRowTable) {
  TempDir dir;
  ObjectResult result = inspect_test::drawn({"...", "..."});
  result.means = {1, 2, 3, 4, 5, 6};
  inspect_test::write_pair(dir.prefix(), "E", result);
  const std::string out = dir.file("e.fits");
  const std::string regions = dir.file("e.reg");
  ASSERT_EQ(inspect({dir.prefix() + "E", "--fits", out, "--regions", regions}).exit_status, 0);
  FitsReader fits(out);
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(fits.key_long("KDXNDET"), 0);
  EXPECT_EQ(fits.key_long("KDXNSRC"), 0);
  int bitpix = 0;
  fits.move_to(1);
  EXPECT_EQ(fits.pixels<float>(TFLOAT, 6), (std::vector<float>{4, 5, 6, 1, 2, 3}));
  fits.move_to(2);
  EXPECT_EQ(fits.image_shape(bitpix), (std::vector<long>{3, 2}));
  EXPECT_EQ(fits.pixels<unsigned char>(TBYTE, 6), std::vector<unsigned char>(6, 0));
  EXPECT_EQ(fits.move_to(3), BINARY_TBL);
  std::vector<std::string> names, forms;
  EXPECT_TRUE(fits.table(names, forms).empty());
  EXPECT_EQ(names, kTableNames);
  for (const int hdu : {4, 5}) {
    EXPECT_EQ(fits.move_to(hdu), IMAGE_HDU);
    EXPECT_EQ(fits.image_shape(bitpix), (std::vector<long>{3, 2}));
  }
  EXPECT_EQ(fits.status(), 0);
  EXPECT_EQ(inspect_test::text_of(regions), "# Region file format: DS9 version 4.1\nimage\n");
}

TEST(InspectFits, DemoObjectMatchesTheDecodedPairAndTheCsv) {
  TempDir dir;
  ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, {"--objects", "1", "--seed", "7", dir.path().string()})
                .exit_status,
            0);
  ASSERT_EQ(kadrix_test::run_program(KADRIX_BIN, {dir.prefix(), dir.file("lista.list")}).exit_status, 0);
  const std::string prefix = dir.prefix() + "M42";
  const std::string out = dir.file("M42.fits");
  const std::string regions = dir.file("M42.reg");
  const RunResult run = inspect({prefix, "--fits", out, "--regions", regions});
  ASSERT_EQ(run.exit_status, 0) << run.out;

  kadrix::ResultPair pair;
  ASSERT_EQ(kadrix::read_result_pair(prefix, pair).fault, kadrix::PairFault::none);
  const long long w = pair.width, h = pair.height;
  FitsReader fits(out);
  ASSERT_TRUE(fits.ok());
  const std::vector<float> means = fits.pixels<float>(TFLOAT, w * h);
  long long flagged = 0;
  fits.move_to(2);
  const std::vector<unsigned char> flags = fits.pixels<unsigned char>(TBYTE, w * h);
  for (long long j = 0; j < h; ++j) {
    for (long long x = 0; x < w; ++x) {
      const std::uint16_t code = pair.codes[static_cast<std::size_t>((h - 1 - j) * w + x)];
      const auto at = static_cast<std::size_t>(j * w + x);
      ASSERT_EQ(means[at], static_cast<float>(kadrix::steps_to_mean(kadrix::mean_steps(code)))) << x << "," << j;
      ASSERT_EQ(flags[at], kadrix::is_flagged(code) ? 1 : 0) << x << "," << j;
      flagged += flags[at];
    }
  }
  fits.move_to(1);
  EXPECT_EQ(fits.key_long("KDXNDET"), flagged);
  EXPECT_EQ(fits.key_double("KDXLEVEL"), static_cast<double>(pair.stats.level));
  EXPECT_EQ(fits.key_double("KDXSIGMA"), static_cast<double>(pair.stats.sigma));
  EXPECT_EQ(fits.key_long("NCOMBINE"), pair.stats.frame_count);

  const auto csv = csv_rows(prefix);
  EXPECT_GE(csv.size(), 10u);
  EXPECT_EQ(fits.key_long("KDXNSRC"), static_cast<long long>(csv.size()));
  fits.move_to(3);
  std::vector<std::string> names, forms;
  const std::vector<TableRow> table = fits.table(names, forms);
  expect_table_matches_csv(table, csv, pair.height);
  EXPECT_EQ(fits.status(), 0);

  // The region file, parsed back: the table's centres, ranks in order, and
  // a radius that grows with the pixel count.
  const std::vector<std::string> lines = lines_of(inspect_test::text_of(regions));
  ASSERT_EQ(lines.size(), table.size() + 2);
  EXPECT_EQ(lines[0], "# Region file format: DS9 version 4.1");
  EXPECT_EQ(lines[1], "image");
  for (std::size_t i = 0; i < table.size(); ++i) {
    double x = 0, y = 0, r = 0;
    unsigned rank = 0;
    char end = 0;
    ASSERT_EQ(std::sscanf(lines[i + 2].c_str(), "circle(%lf,%lf,%lf) # text={%u%c", &x, &y, &r, &rank, &end), 5)
        << lines[i + 2];
    EXPECT_EQ(end, '}');
    EXPECT_EQ(rank, i + 1);
    EXPECT_EQ(fixed("%.3f", x), fixed("%.3f", table[i].x));
    EXPECT_EQ(fixed("%.3f", y), fixed("%.3f", table[i].y));
    EXPECT_EQ(fixed("%.3f", r), fixed("%.3f", std::sqrt(table[i].npix / M_PI) + 1));
  }
}

TEST(InspectRegions, SampleFileByteForByte) {
  TempDir dir;
  inspect_test::write_pair(dir.prefix(), "OBJ", sample_object());
  const std::string out = dir.file("obj.reg");
  kadrix_test::write_file(out, std::string("old regions"));
  const RunResult run = inspect({"--regions=" + out, dir.prefix() + "OBJ", "--csv"});
  ASSERT_EQ(run.exit_status, 0);
  // R = sqrt(3 / pi) + 1 = 1.97721 and sqrt(1 / pi) + 1 = 1.56419; the
  // group's centre is the CSV's (x + 1, 4 - y); the single pixels (0, 3)
  // and (4, 0) stay on their pixels.
  const std::vector<std::string> first = fields_of(lines_of(run.out).at(1));
  const double x = std::stod(first.at(0)) + 1, y = 4 - std::stod(first.at(1));
  EXPECT_EQ(inspect_test::text_of(out),
            "# Region file format: DS9 version 4.1\n"
            "image\n"
            "circle(" + fixed("%.3f", x) + "," + fixed("%.3f", y) + ",1.977) # text={1}\n"
            "circle(1.000,1.000,1.564) # text={2}\n"
            "circle(5.000,4.000,1.564) # text={3}\n");
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "obj.reg"}));
}

TEST(InspectFits, NamesAreTakenLiterallyAndOldFilesReplacedWhole) {
  TempDir dir;
  inspect_test::write_pair(dir.prefix(), "OBJ", sample_object());
  // cfitsio's own name syntax would read these as "overwrite" and an
  // extension number.
  for (const std::string name : {"!bang.fits", "ext[1].fits", "plain.fits"}) {
    const std::string out = dir.file(name);
    if (name == "plain.fits") kadrix_test::write_file(out, std::string("an old file"));
    const RunResult run = inspect({dir.prefix() + "OBJ", "--fits", out});
    EXPECT_EQ(run.exit_status, 0) << name << run.out;
    FitsReader fits(out);
    ASSERT_TRUE(fits.ok()) << name;
    EXPECT_EQ(fits.pixels<float>(TFLOAT, 20), kSampleFitsPixels) << name;
  }
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"!bang.fits", "OBJSR.BMP", "OBJSS.BMP", "ext[1].fits", "plain.fits"}));
}

TEST(InspectFits, FailedWritesKeepOldFilesAndReportEach) {
  TempDir dir;
  inspect_test::write_pair(dir.prefix(), "OBJ", sample_object());
  const std::string fits = dir.file("obj.fits");
  const std::string regions = dir.file("obj.reg");
  kadrix_test::write_file(fits, std::string("old fits"));

  // A file-size limit of 2 KiB: the FITS file needs three 2880-byte blocks
  // and fails; the region file fits and is written.
  const RunResult limited =
      inspect_test::run_with_file_limit(KADRIX_INSPECT_BIN, {dir.prefix() + "OBJ", "--csv", "--fits", fits,
                                                             "--regions", regions}, 4);
  EXPECT_EQ(limited.exit_status, 1);
  const std::string failed = crlf("Blad zapisu pliku " + fits + "\n");
  ASSERT_GT(limited.out.size(), failed.size());
  EXPECT_EQ(limited.out.substr(limited.out.size() - failed.size()), failed);
  inspect_test::expect_sample_catalogue(limited.out.substr(0, limited.out.size() - failed.size()));
  EXPECT_EQ(inspect_test::text_of(fits), "old fits");
  EXPECT_EQ(lines_of(inspect_test::text_of(regions)).size(), 5u);

  // Outputs that cannot be created at all: each named, the others written.
  std::filesystem::create_directory(dir.file("taken"));
  const std::string missing = dir.file("missing/obj.reg");
  const RunResult run = inspect({dir.prefix() + "OBJ", "--csv", "--fits", dir.file("taken"), "--regions", missing,
                                 "--overlay", dir.file("obj.png")});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find(crlf("Blad zapisu pliku " + dir.file("taken") + "\nBlad zapisu pliku " + missing + "\n")),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken")));
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "obj.fits", "obj.png", "obj.reg", "taken"}));
}

TEST(InspectFits, EveryOutputTakesExtremeShapes) {
  // Wider than libpng's default limit of a million columns, and one pixel.
  struct Case {
    std::int32_t width, height;
  };
  for (const Case c : {Case{1000001, 1}, Case{1, 1}}) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    TempDir dir;
    ObjectResult result;
    result.width = c.width;
    result.height = c.height;
    result.means.assign(static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height), 7.5);
    result.flags.assign(result.means.size(), 0);
    result.flags.back() = 1;
    inspect_test::write_pair(dir.prefix(), "X", result);
    kadrix_test::write_file(dir.file("x.list"), std::string("X\n"));
    const RunResult run = inspect({dir.prefix() + "X", "--csv", "--overlay", dir.file("x.png"), "--fits",
                                   dir.file("x.fits"), "--regions", dir.file("x.reg")});
    ASSERT_EQ(run.exit_status, 0) << run.out;
    // The PNG header's IHDR: width and height, big-endian, at bytes 16 to 23.
    const kadrix_test::Bytes png = kadrix_test::read_file(dir.file("x.png"));
    ASSERT_GT(png.size(), 24u);
    const auto be32 = [&png](std::size_t at) {
      return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 |
             png[at + 3];
    };
    EXPECT_EQ(be32(16), static_cast<std::uint32_t>(c.width));
    EXPECT_EQ(be32(20), static_cast<std::uint32_t>(c.height));
    FitsReader fits(dir.file("x.fits"));
    ASSERT_TRUE(fits.ok());
    int bitpix = 0;
    EXPECT_EQ(fits.image_shape(bitpix), (std::vector<long>{c.width, c.height}));
    EXPECT_EQ(fits.key_long("KDXNSRC"), 1);
    EXPECT_EQ(lines_of(inspect_test::text_of(dir.file("x.reg"))).size(), 3u);

    const RunResult night = inspect({"--night", dir.prefix(), dir.file("x.list"), "--html", dir.file("x.html")});
    ASSERT_EQ(night.exit_status, 0) << night.out;
    const std::string html = inspect_test::text_of(dir.file("x.html"));
    const std::string preview_size = c.width > 1 ? "width=\"800\" height=\"1\"" : "width=\"4\" height=\"4\"";
    EXPECT_NE(html.find(preview_size), std::string::npos) << preview_size;
  }
}

}  // namespace
