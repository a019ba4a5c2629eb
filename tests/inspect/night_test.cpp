// The night: a list read as kadrix reads it, one CSV line per object, and
// the HTML report, from the built tool on nights the tests write.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"

namespace {

using inspect_test::crlf;
using inspect_test::lines_of;
using inspect_test::ObjectResult;
using kadrix_test::Bytes;
using kadrix_test::RunResult;
using kadrix_test::TempDir;

RunResult inspect(const std::vector<std::string>& args) { return kadrix_test::run_program(KADRIX_INSPECT_BIN, args); }

const std::string kHeader = "name,width,height,frames,level,sigma,detected,sources,fwhm,status\n";

using inspect_test::sample_object;

void truncate(const std::string& path, std::size_t drop) {
  Bytes bytes = kadrix_test::read_file(path);
  bytes.resize(bytes.size() - drop);
  kadrix_test::write_file(path, bytes);
}

// The values of "Key: value" lines of a single-object report.
std::string report_value(const std::string& report, const std::string& key) {
  for (const std::string& line : lines_of(report))
    if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
  return "?";
}

// Base64 back to bytes.
Bytes unbase64(const std::string& text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes bytes;
  std::uint32_t bits = 0;
  int have = 0;
  for (const char c : text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<std::uint32_t>(digits.find(c));
    have += 6;
    if (have >= 8) {
      have -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> have));
    }
  }
  return bytes;
}

// Every preview embedded in a page, decoded.
std::vector<inspect_test::RgbPicture> previews_of(const std::string& page) {
  std::vector<inspect_test::RgbPicture> pictures;
  const std::string uri = "src=\"data:image/png;base64,";
  for (std::size_t at = page.find(uri); at != std::string::npos; at = page.find(uri, at + 1)) {
    const std::size_t start = at + uri.size();
    const auto picture = inspect_test::decode_png(unbase64(page.substr(start, page.find('"', start) - start)));
    if (picture) pictures.push_back(*picture);
    else pictures.push_back({-1, -1, {}});
  }
  return pictures;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// The night's FWHM from an object's report: the median FWHM of the
// sources with flags 0 and S/N above 20, empty with fewer than 5.
std::string seeing(const std::string& report) {
  const std::vector<std::string> lines = lines_of(report);
  std::size_t header = 0;
  while (header < lines.size() && lines[header] != inspect_test::kCatalogueHeader) ++header;
  std::vector<double> fwhm;
  for (std::size_t i = header + 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = inspect_test::fields_of(lines[i]);
    if (f.size() == 18 && f[17] == "0" && !f[9].empty() && std::stod(f[9]) > 20 && !f[12].empty())
      fwhm.push_back(std::stod(f[12]));
  }
  if (fwhm.size() < 5) return "";
  std::sort(fwhm.begin(), fwhm.end());
  const std::size_t m = fwhm.size() / 2;
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", fwhm.size() % 2 == 1 ? fwhm[m] : (fwhm[m - 1] + fwhm[m]) / 2);
  return text;
}

TEST(InspectNight, ListReadAsKadrixReadsItWithEveryStatus) {
  TempDir dir;
  const std::string d = dir.prefix();
  inspect_test::write_pair(d, "OBJ", sample_object());
  inspect_test::write_pair(d, "LONGNA", inspect_test::drawn({"...", "..."}));  // stored name of LONGNAME7
  inspect_test::write_pair(d, "A,B\"C", sample_object());
  inspect_test::write_pair(d, "BAD", sample_object());
  truncate(d + "BADSS.BMP", 9);
  inspect_test::write_pair(d, "MIX", sample_object());
  inspect_test::write_pair(d, "SMALL", inspect_test::drawn({"...", "..."}));
  std::filesystem::rename(d + "SMALLSS.BMP", d + "MIXSS.BMP");
  inspect_test::write_pair(d, "NOSS", sample_object());
  std::filesystem::remove(d + "NOSSSS.BMP");
  // A byte-order mark, CR LF line ends, two names on a line, a name over
  // six characters.
  kadrix_test::write_file(d + "night.list",
                          std::string("\xEF\xBB\xBFOBJ\r\nNOPE NOSS\r\nLONGNAME7\r\nA,B\"C\r\nBAD\r\nMIX\r\n"));

  const RunResult run = inspect({"--night", d, d + "night.list"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, crlf(kHeader +
                          "OBJ,5,4,12,10.500000,2.250000,5,3,,ok\n"
                          "NOPE,,,,,,,,,brak pliku\n"
                          "NOSS,,,,,,,,,brak pliku\n"
                          "LONGNA,3,2,12,10.500000,2.250000,0,0,,ok\n"
                          "\"A,B\"\"C\",5,4,12,10.500000,2.250000,5,3,,ok\n"
                          "BAD,,,,,,,,,uszkodzony\n"
                          "MIX,,,,,,,,,rozne rozmiary\n"));
  EXPECT_EQ(run.err, "");
}

TEST(InspectNight, ExitStatusAndListFaults) {
  TempDir dir;
  const std::string d = dir.prefix();
  inspect_test::write_pair(d, "OBJ", sample_object());
  kadrix_test::write_file(d + "one.list", std::string("OBJ\nOBJ\n"));
  kadrix_test::write_file(d + "empty.list", std::string(" \n"));
  std::string many;
  for (int i = 0; i < 200; ++i) many += "OBJ\n";
  kadrix_test::write_file(d + "many.list", many);
  kadrix_test::write_file(d + "most.list", many.substr(4));

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const std::string ok_line = "OBJ,5,4,12,10.500000,2.250000,5,3,,ok\n";
  std::string most;
  for (int i = 0; i < 199; ++i) most += ok_line;
  const Case cases[] = {
      {"every pair read, options after the operands", {d, d + "one.list", "--night"}, 0,
       crlf(kHeader + ok_line + ok_line)},
      {"an empty list", {"--night", d, d + "empty.list"}, 0, crlf(kHeader)},
      {"199 names, the most kadrix analyses", {"--night", d, d + "most.list"}, 0, crlf(kHeader + most)},
      {"200 names", {"--night", d, d + "many.list"}, 1,
       crlf("Za duzo linii w pliku " + d + "many.list. Popraw zawartosc pliku.\n")},
      {"no list", {"--night", d, d + "none.list"}, 1, crlf("Brak pliku " + d + "none.list\n")},
      {"a directory as the list", {"--night", d, d}, 1, crlf("Brak pliku " + d + "\n")},
      // The directory is a prefix, as for kadrix: without its '/' the pair
      // is looked for under another name.
      {"directory without its slash", {"--night", dir.path().string(), d + "one.list"}, 1,
       crlf(kHeader + "OBJ,,,,,,,,,brak pliku\nOBJ,,,,,,,,,brak pliku\n")},
  };
  for (const Case& c : cases) {
    const RunResult run = inspect(c.args);
    EXPECT_EQ(run.exit_status, c.status) << c.what;
    EXPECT_EQ(run.out, c.out) << c.what;
  }
}

TEST(InspectNight, DemoNightWithAMissingAndADamagedPair) {
  TempDir dir;
  const std::string d = dir.prefix();
  ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, {"--objects", "4", "--seed", "11", dir.path().string()})
                .exit_status,
            0);
  ASSERT_EQ(kadrix_test::run_program(KADRIX_BIN, {d, d + "lista.list"}).exit_status, 0);
  const std::vector<std::string> names = lines_of(inspect_test::text_of(d + "lista.list"));
  ASSERT_EQ(names, (std::vector<std::string>{"M42", "M51", "NGC253", "M31"}));
  // The reports of the pairs that stay whole, before two are spoilt.
  const RunResult m42 = inspect({d + "M42"});
  const RunResult m31 = inspect({d + "M31"});
  std::filesystem::remove(d + "M51SS.BMP");
  truncate(d + "NGC253SR.BMP", 100);

  const std::string page = d + "night.html";
  const RunResult run = inspect({"--night", d, d + "lista.list", "--html", page});
  EXPECT_EQ(run.exit_status, 1);
  const auto line_of = [](const std::string& name, const RunResult& report) {
    const std::string size = report_value(report.out, "Rozmiar");
    return name + "," + size.substr(0, size.find(' ')) + "," + size.substr(size.rfind(' ') + 1) + "," +
           report_value(report.out, "Kl") + "," + report_value(report.out, "Sr") + "," +
           report_value(report.out, "Var") + "," + report_value(report.out, "Wykryte piksele") + "," +
           report_value(report.out, "Zrodla") + "," + seeing(report.out) + ",ok\n";
  };
  // The FWHM worked out from the printed values may differ in the last
  // place from the one worked out before rounding.
  const std::vector<std::string> got = lines_of(run.out);
  const std::vector<std::string> want = lines_of(kHeader + line_of("M42", m42) + "M51,,,,,,,,,brak pliku\n" +
                                                 "NGC253,,,,,,,,,uszkodzony\n" + line_of("M31", m31));
  EXPECT_EQ(run.out.find("\n"), run.out.find("\r\n") + 1);
  ASSERT_EQ(got.size(), want.size()) << run.out;
  for (std::size_t i = 0; i < got.size(); ++i) {
    std::vector<std::string> g = inspect_test::fields_of(got[i]), w = inspect_test::fields_of(want[i]);
    ASSERT_EQ(g.size(), 10u) << got[i];
    ASSERT_EQ(w.size(), 10u) << want[i];
    if (i > 0 && !g[8].empty() && !w[8].empty()) {
      EXPECT_NEAR(std::stod(g[8]), std::stod(w[8]), 0.0011) << got[i];
      g[8] = w[8];
    }
    EXPECT_EQ(g, w);
  }
  EXPECT_FALSE(inspect_test::fields_of(got[1])[8].empty());

  // The page: one summary row per object, a preview for each pair read.
  const std::string html = inspect_test::text_of(page);
  EXPECT_EQ(count_of(html, "<tr><td><a href=\"#obiekt-") + count_of(html, "<tr class=\"blad\"><td><a href"), 4u);
  const auto previews = previews_of(html);
  ASSERT_EQ(previews.size(), 2u);
  for (const auto& p : previews) {
    EXPECT_EQ(p.width, 203);
    EXPECT_EQ(p.height, 157);
  }
  EXPECT_NE(html.find("Para plikow nieodczytana: brak pliku (<code>" + d + "M51SS.BMP</code>)"), std::string::npos);
  EXPECT_NE(html.find("Para plikow nieodczytana: uszkodzony (<code>" + d + "NGC253SR.BMP</code>)"),
            std::string::npos);
  // Ten brightest sources for each, listed as the CSV lists them.
  const std::vector<std::string> csv = lines_of(inspect({d + "M42", "--csv"}).out);
  ASSERT_GT(csv.size(), 11u);
  for (std::size_t i = 1; i <= 10; ++i) {
    const std::vector<std::string> f = inspect_test::fields_of(csv[i]);
    std::string row = "<tr><td class=\"n\">" + std::to_string(i) + "</td>";
    for (const std::size_t field : {0, 1, 2, 3, 4, 7, 9, 12, 17}) row += "<td class=\"n\">" + f.at(field) + "</td>";
    row += "</tr>";
    EXPECT_NE(html.find(row), std::string::npos) << row;
  }
  EXPECT_EQ(count_of(html, "<td class=\"n\">11</td><td class=\"n\">"), 0u);
}

TEST(InspectNight, PageIsSelfContainedAndEscaped) {
  TempDir dir;
  const std::string d = dir.prefix() + "a&b<c>/";
  std::filesystem::create_directory(d);
  inspect_test::write_pair(d, "<b>&x", sample_object());
  // 1700 x 3: shrunk by 3 to 567 x 1, the last block of one column.
  ObjectResult wide;
  wide.width = 1700;
  wide.height = 3;
  wide.means.assign(1700 * 3, 20.0);
  wide.flags.assign(1700 * 3, 0);
  inspect_test::write_pair(d, "WIDE", wide);
  kadrix_test::write_file(d + "n.list", std::string("<b>&x\nWIDE\n"));
  const std::string page = dir.file("night.html");
  const RunResult run = inspect({"--html=" + page, "--night", d, d + "n.list"});
  ASSERT_EQ(run.exit_status, 0) << run.out;
  EXPECT_EQ(run.out, crlf(kHeader + "<b>&x,5,4,12,10.500000,2.250000,5,3,,ok\n" +
                          "WIDE,1700,3,12,10.500000,2.250000,0,0,,ok\n"));

  const std::string html = inspect_test::text_of(page);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>\n<html lang=\"pl\">", 0), 0u);
  EXPECT_NE(html.find("&lt;b&gt;&amp;x"), std::string::npos);
  EXPECT_EQ(html.find("<b>&x"), std::string::npos);
  EXPECT_NE(html.find("a&amp;b&lt;c&gt;/"), std::string::npos);
  EXPECT_EQ(html.find("a&b<c>"), std::string::npos);
  // Nothing to fetch, nothing to run.
  for (const char* outside : {"<script", "http:", "https:", "<link", "url(", "@import", "<iframe"})
    EXPECT_EQ(html.find(outside), std::string::npos) << outside;
  EXPECT_EQ(count_of(html, "src="), count_of(html, "src=\"data:image/png;base64,"));
  const auto previews = previews_of(html);
  ASSERT_EQ(previews.size(), 2u);
  EXPECT_EQ(previews[0].width, 5);
  EXPECT_EQ(previews[0].height, 4);
  EXPECT_EQ(previews[1].width, 567);
  EXPECT_EQ(previews[1].height, 1);
  EXPECT_NE(html.find("pomniejszenie 3 razy"), std::string::npos);
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()), (std::vector<std::string>{"a&b<c>", "night.html"}));
}

TEST(InspectNight, PageIsReplacedWholeOrNotAtAll) {
  TempDir dir;
  const std::string d = dir.prefix();
  inspect_test::write_pair(d, "OBJ", sample_object());
  kadrix_test::write_file(d + "n.list", std::string("OBJ\n"));
  const std::string page = d + "night.html";
  kadrix_test::write_file(page, std::string("old page"));

  // Too large for a 512-byte limit: the old page stays, the CSV is out.
  const RunResult limited =
      inspect_test::run_with_file_limit(KADRIX_INSPECT_BIN, {"--night", d, d + "n.list", "--html", page}, 1);
  EXPECT_EQ(limited.exit_status, 1);
  EXPECT_EQ(limited.out, crlf(kHeader + "OBJ,5,4,12,10.500000,2.250000,5,3,,ok\nBlad zapisu pliku " + page + "\n"));
  EXPECT_EQ(inspect_test::text_of(page), "old page");

  const RunResult run = inspect({"--night", d, d + "n.list", "--html", page});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(inspect_test::text_of(page).rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_EQ(kadrix_test::list_dir(dir.path().string()),
            (std::vector<std::string>{"OBJSR.BMP", "OBJSS.BMP", "n.list", "night.html"}));
}

}  // namespace
