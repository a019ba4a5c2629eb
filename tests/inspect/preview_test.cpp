// The night report's preview (shrink factor, block means, red rings) and
// the PNG writer, read back through libpng.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <utility>
#include <vector>

#include "inspect_support.h"
#include "test_support.h"
#include "tools/inspect/night_report.h"
#include "tools/inspect/png_writer.h"
#include "tools/inspect/preview.h"

namespace {

using kadrix::inspect::make_preview;
using kadrix::inspect::preview_factor;
using kadrix::inspect::RgbImage;
using kadrix::inspect::Source;

kadrix::ResultPair pair_of(const inspect_test::ObjectResult& result) {
  kadrix::ResultPair pair;
  pair.width = result.width;
  pair.height = result.height;
  pair.codes = inspect_test::codes_of(result);
  return pair;
}

inspect_test::ObjectResult blank(std::int32_t width, std::int32_t height) {
  inspect_test::ObjectResult result;
  result.width = width;
  result.height = height;
  result.means.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0.0);
  result.flags.assign(result.means.size(), 0);
  return result;
}

std::set<std::pair<int, int>> red_pixels(const RgbImage& image) {
  std::set<std::pair<int, int>> red;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.rgb.data() + 3 * static_cast<std::size_t>(y * image.width + x);
      if (p[0] == 255 && p[1] == 0 && p[2] == 0) red.insert({x, y});
      // Anything else is grey: the red is never mixed into it.
      else EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
    }
  }
  return red;
}

TEST(InspectPreview, SmallestWholeFactorThatFitsBothSides) {
  struct Case {
    std::int32_t width, height, factor;
  };
  const Case cases[] = {
      {1, 1, 1},       {800, 800, 1},     {801, 10, 2},      {10, 801, 2},
      {1600, 1600, 2}, {1601, 5, 3},      {203, 2400, 3},    {2401, 2400, 4},
      {2147483647, 1, 2684355},  // 2684355 x 800 >= 2^31 - 1 > 2684354 x 800
  };
  for (const Case& c : cases) EXPECT_EQ(preview_factor(c.width, c.height), c.factor) << c.width << "x" << c.height;
}

TEST(InspectPreview, BlocksAverageTheStretchedGreyEdgesIncluded) {
  // 803 x 3 shrinks by 2 to 402 x 2. Five pixels of 200 and the rest at or
  // near 0 put the stretch at lo 0 (index 24), hi 200 (index 2405 of 2409):
  // grey = floor(m * 255 / 200).
  inspect_test::ObjectResult result = blank(803, 3);
  const auto set = [&](int x, int y, double mean, int flag = 0) {
    result.means[static_cast<std::size_t>(y * 803 + x)] = mean;
    result.flags[static_cast<std::size_t>(y * 803 + x)] = flag;
  };
  set(1, 0, 200);
  set(0, 1, 200);
  set(1, 1, 200, 1);  // flagged pixels are not painted
  set(0, 2, 100);     // grey 127
  set(1, 2, 50);      // grey 63
  set(802, 0, 200);
  set(802, 2, 200);
  const RgbImage image = make_preview(pair_of(result), {});
  ASSERT_EQ(image.width, 402);
  ASSERT_EQ(image.height, 2);
  const auto grey = [&](int x, int y) { return image.rgb.at(3 * static_cast<std::size_t>(y * 402 + x)); };
  EXPECT_EQ(grey(0, 0), 191);    // (0 + 255 + 255 + 255) / 4 = 191.25
  EXPECT_EQ(grey(0, 1), 95);     // (127 + 63) / 2, the bottom block one row high
  EXPECT_EQ(grey(401, 0), 128);  // (255 + 0) / 2 = 127.5 rounds up, the right block one column wide
  EXPECT_EQ(grey(401, 1), 255);  // one pixel
  EXPECT_EQ(grey(1, 0), 0);
  EXPECT_TRUE(red_pixels(image).empty());
}

TEST(InspectPreview, RingsArePureRedOnePixelCircles) {
  struct Case {
    const char* what;
    std::int32_t width, height;
    Source source;
    std::set<std::pair<int, int>> red;
  };
  Source small;  // R = sqrt(4 / pi) + 1 = 2.128: the pixels at 2 and sqrt(5)
  small.x = 10;
  small.y = 10;
  small.pixels = 4;
  Source single;  // R = 1.564 raised to the least radius, 2
  single.x = 3;
  single.y = 0;
  single.pixels = 1;
  Source shrunk;  // R = sqrt(100 / pi) + 1 = 6.642, / 3 = 2.214; centre (1000 - 1) / 3, (4 - 1) / 3
  shrunk.x = 1000;
  shrunk.y = 4;
  shrunk.pixels = 100;
  const Case cases[] = {
      {"radius 2.128 at (10, 10)", 21, 21, small,
       {{8, 10}, {12, 10}, {10, 8}, {10, 12}, {8, 9}, {8, 11}, {12, 9}, {12, 11}, {9, 8}, {11, 8}, {9, 12}, {11, 12}}},
      {"radius 2 at the top edge, cut", 8, 4, single, {{1, 0}, {5, 0}, {1, 1}, {5, 1}, {2, 2}, {3, 2}, {4, 2}}},
      {"shrunk by 3, cut to 3 rows", 2400, 9, shrunk, {{331, 0}, {331, 1}, {331, 2}, {335, 0}, {335, 1}, {335, 2}}},
  };
  for (const Case& c : cases) {
    const RgbImage image = make_preview(pair_of(blank(c.width, c.height)), std::vector<Source>{c.source});
    EXPECT_EQ(red_pixels(image), c.red) << c.what;
  }
}

TEST(InspectPng, EncodedImagesDecodeToTheirPixels) {
  const std::vector<std::uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 1, 2, 3, 250, 251, 252, 7, 7, 7};
  const auto rows = [&rgb](std::int32_t y, std::span<std::uint8_t> row) {
    std::copy(rgb.begin() + 9 * y, rgb.begin() + 9 * y + 9, row.begin());
  };
  const auto encoded = kadrix::inspect::encode_png(3, 2, rows);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(inspect_test::decode_png(*encoded), (inspect_test::RgbPicture{3, 2, rgb}));

  kadrix_test::TempDir dir;
  const std::string path = dir.file("p.png");
  ASSERT_TRUE(kadrix::inspect::write_png_file(path, 3, 2, rows));
  EXPECT_EQ(kadrix_test::read_file(path), *encoded);
  EXPECT_FALSE(kadrix::inspect::write_png_file(dir.file("missing/p.png"), 3, 2, rows));
  EXPECT_FALSE(kadrix::inspect::encode_png(0, 2, rows));
}

TEST(InspectHtml, EscapingAndBase64) {
  EXPECT_EQ(kadrix::inspect::html_escape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
  struct Case {
    std::string bytes, text;
  };
  const Case cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                        {std::string("\xFB\xFF\x00", 3), "+/8A"}};
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> bytes(c.bytes.begin(), c.bytes.end());
    EXPECT_EQ(kadrix::inspect::base64(bytes), c.text) << c.text;
  }
}

}  // namespace
