// The night report as a browser shows it: the page of a demo night, with a
// small script added to a copy of it, loaded in headless Chromium. Every
// preview must decode and the summary must have a row per listed object.
// Under CI=true a browser that cannot start fails the test; elsewhere the
// test is skipped with the reason.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"

namespace {

using kadrix_test::RunResult;
using kadrix_test::TempDir;

// Writes into the page, once everything has loaded, what the browser made
// of it.
const char* const kProbe =
    "<script>\n"
    "window.addEventListener('load', function () {\n"
    "  var widths = [];\n"
    "  document.querySelectorAll('img.podglad').forEach(function (img) { widths.push(img.naturalWidth); });\n"
    "  var rows = document.querySelectorAll('#podsumowanie tbody tr').length;\n"
    "  var out = document.createElement('pre');\n"
    "  out.id = 'probe';\n"
    "  out.textContent = 'widths=' + widths.join(' ') + ';rows=' + rows + ';';\n"
    "  document.body.appendChild(out);\n"
    "});\n"
    "</script>\n";

std::string find_in_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// A browser that cannot be used: a failure in CI, a skip elsewhere.
#define BROWSER_UNAVAILABLE(reason)                                  \
  do {                                                               \
    if (in_ci()) FAIL() << "Chromium cannot run the page: " << reason; \
    GTEST_SKIP() << "Chromium cannot run the page: " << reason;      \
  } while (false)

TEST(InspectBrowser, EveryPreviewDecodesAndTheSummaryHasEveryObject) {
  TempDir dir;
  const std::string d = dir.prefix();
  ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, {"--objects", "3", "--seed", "5", dir.path().string()})
                .exit_status,
            0);
  ASSERT_EQ(kadrix_test::run_program(KADRIX_BIN, {d, d + "lista.list"}).exit_status, 0);
  // One listed object without a pair: a row, but no preview.
  kadrix_test::write_file(d + "lista.list", inspect_test::text_of(d + "lista.list") + "NOPE\n");
  const std::string page = d + "night.html";
  const RunResult run = kadrix_test::run_program(KADRIX_INSPECT_BIN, {"--night", d, d + "lista.list", "--html", page});
  ASSERT_EQ(run.exit_status, 1) << run.out;

  std::string html = inspect_test::text_of(page);
  const std::size_t body_end = html.rfind("</body>");
  ASSERT_NE(body_end, std::string::npos);
  html.insert(body_end, kProbe);
  const std::string probed = d + "probed.html";
  kadrix_test::write_file(probed, html);

  const std::string timeout = find_in_path("timeout");
  const std::string chromium = find_in_path("chromium");
  if (timeout.empty()) BROWSER_UNAVAILABLE("no timeout program in PATH");
  if (chromium.empty()) BROWSER_UNAVAILABLE("no chromium in PATH (Debian's package chromium)");
  TempDir profile;
  kadrix_test::RunOptions options;
  options.timeout_seconds = 120;
  const RunResult browser = kadrix_test::run_program(
      timeout, {"60", chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                "--user-data-dir=" + profile.path().string(), "--dump-dom", probed},
      options);
  if (browser.exit_status != 0 || browser.out.find("</html>") == std::string::npos) {
    BROWSER_UNAVAILABLE("exit status " + std::to_string(browser.exit_status) + ", signal " +
                        std::to_string(browser.signal) + "; " + browser.err.substr(0, 2000));
  }

  const std::size_t probe = browser.out.find("<pre id=\"probe\">");
  ASSERT_NE(probe, std::string::npos) << "the page's load event never ran the probe";
  const std::string result = browser.out.substr(probe + 16, browser.out.find("</pre>", probe) - probe - 16);
  EXPECT_EQ(result, "widths=203 203 203;rows=4;");
}

}  // namespace
