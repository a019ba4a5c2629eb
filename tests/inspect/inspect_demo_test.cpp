// The whole chain on a sample night: kadrix-demo places stars, kadrix
// detects them, kadrix-inspect lists them; the list is checked against the
// stars placed.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"

namespace {

using kadrix_test::RunResult;
using kadrix_test::TempDir;

struct Point {
  double x = 0.0;
  double y = 0.0;
  double peak = 0.0;
  int pixels = 0;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) {
    if (!part.empty() && part.back() == '\r') part.pop_back();
    parts.push_back(part);
  }
  return parts;
}

// Rows of "x,y,peak" (stars) or "x,y,pixels,peak,sum" (sources) after the
// header line.
std::vector<Point> read_points(const std::vector<std::string>& lines, std::size_t header, bool sources) {
  std::vector<Point> points;
  for (std::size_t i = header + 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const std::vector<std::string> f = split(lines[i], ',');
    Point p;
    p.x = std::stod(f.at(0));
    p.y = std::stod(f.at(1));
    p.pixels = sources ? std::stoi(f.at(2)) : 0;
    p.peak = std::stod(f.at(sources ? 3 : 2));
    points.push_back(p);
  }
  return points;
}

std::string text_of(const std::string& path) {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

double distance(const Point& a, const Point& b) { return std::hypot(a.x - b.x, a.y - b.y); }

double nearest(const Point& p, const std::vector<Point>& others, const Point* self = nullptr) {
  double best = 1e9;
  for (const Point& o : others)
    if (&o != self) best = std::min(best, distance(p, o));
  return best;
}

// The value after "key" in text, up to white space or a comma.
double value_after(const std::string& text, const std::string& key) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) throw std::runtime_error("no " + key + " in " + text);
  return std::stod(text.substr(at + key.size()));
}

TEST(InspectDemo, BrightIsolatedStarsAreFoundWhereTheyWerePlaced) {
  TempDir dir;
  const int width = 203;
  const int height = 157;
  const RunResult demo = kadrix_test::run_program(
      KADRIX_DEMO_BIN, {"--objects", "3", "--seed", "3", "--width", std::to_string(width), "--height",
                        std::to_string(height), dir.path().string()});
  ASSERT_EQ(demo.exit_status, 0) << demo.err;
  const RunResult kadrix = kadrix_test::run_program(KADRIX_BIN, {dir.prefix(), dir.file("lista.list")});
  ASSERT_EQ(kadrix.exit_status, 0) << kadrix.out;

  int bright_stars = 0;
  std::istringstream list(text_of(dir.file("lista.list")));
  for (std::string name; list >> name;) {
    SCOPED_TRACE(name);
    const RunResult run = kadrix_test::run_program(KADRIX_INSPECT_BIN, {dir.prefix() + name});
    ASSERT_EQ(run.exit_status, 0) << run.out;
    const std::vector<std::string> lines = split(run.out, '\n');
    ASSERT_EQ(lines.at(0), "Rozmiar: " + std::to_string(width) + " x " + std::to_string(height));

    // The palette statistics are those of the transcript (single precision).
    const std::size_t object = kadrix.out.find("Obr: " + name + " ");
    ASSERT_NE(object, std::string::npos);
    const std::string line = kadrix.out.substr(object, kadrix.out.find('\n', object) - object);
    EXPECT_EQ(value_after(run.out, "Kl: "), value_after(line, "Kl: "));
    EXPECT_NEAR(value_after(run.out, "Sr: "), value_after(line, "Sr: "), 1e-4);
    const double sigma = value_after(run.out, "Var: ");
    EXPECT_NEAR(sigma, value_after(line, "new Var: "), 1e-4);

    std::size_t header = 0;
    while (header < lines.size() && lines[header] != inspect_test::kCatalogueHeader) ++header;
    ASSERT_LT(header, lines.size());
    const std::vector<Point> sources = read_points(lines, header, true);
    EXPECT_EQ(value_after(run.out, "Zrodla: "), static_cast<double>(sources.size()));

    const std::vector<std::string> star_lines = split(text_of(dir.file(name + "_stars.csv")), '\n');
    ASSERT_EQ(star_lines.at(0), "x,y,peak");
    const std::vector<Point> stars = read_points(star_lines, 0, false);

    // Every star well above the noise, with no other star within 8 pixels
    // and away from the edges, has a source within a pixel and a half.
    for (const Point& star : stars) {
      const bool bright = star.peak >= 10 * sigma;
      const bool isolated = nearest(star, stars, &star) >= 8;
      const bool inside = star.x >= 3 && star.y >= 3 && star.x <= width - 4 && star.y <= height - 4;
      if (!bright || !isolated || !inside) continue;
      ++bright_stars;
      EXPECT_LE(nearest(star, sources), 1.5) << "star at " << star.x << "," << star.y << " peak " << star.peak;
    }
    // A source far from every star can only be the residue of a cosmic-ray
    // hit, a hot pixel or a noise peak: one or two pixels.
    for (const Point& source : sources) {
      if (nearest(source, stars) <= 5) continue;
      EXPECT_LE(source.pixels, 2) << "source at " << source.x << "," << source.y;
    }
  }
  // The check above must have had stars to look at.
  EXPECT_GE(bright_stars, 20);
}

}  // namespace
