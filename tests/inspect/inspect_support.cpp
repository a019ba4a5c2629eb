#include "inspect_support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "bmp/result_pair.h"

namespace inspect_test {

void write_pair(const std::string& dir, const std::string& name, const ObjectResult& result) {
  const std::vector<std::uint8_t> flags(result.flags.begin(), result.flags.end());
  const kadrix::ResultImages images{result.width, result.height, result.means, flags,
                                    result.level,  result.sigma,  result.frames};
  if (kadrix::write_result_images(dir + name, images)) throw std::runtime_error("cannot write " + dir + name);
}

ObjectResult drawn(const std::vector<std::string>& rows) {
  ObjectResult result;
  result.height = static_cast<std::int32_t>(rows.size());
  result.width = static_cast<std::int32_t>(rows.at(0).size());
  for (const std::string& row : rows) {
    if (static_cast<std::int32_t>(row.size()) != result.width) throw std::invalid_argument("ragged picture");
    for (const char c : row) {
      const bool flagged = c != '.';
      result.means.push_back(c == '#' ? 1.0 : (c >= '0' && c <= '9') ? c - '0' : 0.0);
      result.flags.push_back(flagged ? 1 : 0);
    }
  }
  return result;
}

ObjectResult sample_object() {
  ObjectResult result;
  result.width = 5;
  result.height = 4;
  result.means = {10, 11, 12, 13, 12.6, 14, 40, 20, 15, 16, 17, 18, 20, 19, 25, 30.25, 21, 22, 23, 24};
  result.flags = {0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0};
  result.level = 10.5;
  result.sigma = 2.25;
  result.frames = 12;
  return result;
}

std::vector<std::uint16_t> codes_of(const ObjectResult& result) {
  std::vector<std::uint16_t> codes;
  for (std::size_t i = 0; i < result.means.size(); ++i)
    codes.push_back(static_cast<std::uint16_t>(kadrix::result_code(result.means[i], result.flags[i])));
  return codes;
}


std::string text_of(const std::string& path) {
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields(1);
  for (const char c : line) {
    if (c == ',') fields.emplace_back();
    else fields.back() += c;
  }
  return fields;
}

std::optional<RgbPicture> decode_png(const kadrix_test::Bytes& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return std::nullopt;
  image.format = PNG_FORMAT_RGB;
  RgbPicture picture;
  picture.width = static_cast<std::int32_t>(image.width);
  picture.height = static_cast<std::int32_t>(image.height);
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
    png_image_free(&image);
    return std::nullopt;
  }
  return picture;
}

RgbPicture decode_bmp24(const kadrix_test::Bytes& bytes) {
  RgbPicture picture;
  picture.width = static_cast<std::int32_t>(kadrix_test::get_le32(bytes, 18));
  picture.height = static_cast<std::int32_t>(kadrix_test::get_le32(bytes, 22));
  const std::size_t width = static_cast<std::size_t>(picture.width);
  const std::size_t stride = (width * 3 + 3) / 4 * 4;
  for (std::int32_t y = 0; y < picture.height; ++y) {
    const std::size_t row = 54 + stride * static_cast<std::size_t>(picture.height - 1 - y);
    for (std::size_t x = 0; x < width; ++x) {
      picture.rgb.push_back(bytes.at(row + 3 * x + 2));
      picture.rgb.push_back(bytes.at(row + 3 * x + 1));
      picture.rgb.push_back(bytes.at(row + 3 * x));
    }
  }
  return picture;
}

kadrix_test::RunResult run_with_file_limit(const std::string& program, const std::vector<std::string>& args,
                                           int blocks) {
  std::vector<std::string> shell_args = {"-c", "ulimit -f " + std::to_string(blocks) + " && exec \"$@\"", "sh",
                                         program};
  shell_args.insert(shell_args.end(), args.begin(), args.end());
  return kadrix_test::run_program("/bin/sh", shell_args);
}

void expect_sample_catalogue(const std::string& csv) {
  for (std::size_t i = 0; i < csv.size(); ++i) {
    if (csv[i] == '\n') {
      EXPECT_TRUE(i > 0 && csv[i - 1] == '\r') << "bare LF at " << i;
    }
  }
  const std::vector<std::string> lines = lines_of(csv);
  ASSERT_EQ(lines.size(), 4u) << csv;
  EXPECT_EQ(lines[0], kCatalogueHeader);
  struct Want {
    const char* pixels;
    const char* peak;
    const char* sum;
    double x, y;
    double reach;  // how far the centre may lie from (x, y)
    bool border;
  };
  const Want want[3] = {{"3", "40.000000", "80.000000", 1.5, 1.5, 0.5, false},
                        {"1", "30.250000", "30.250000", 0, 3, 0.0005, true},
                        {"1", "12.593750", "12.593750", 4, 0, 0.0005, true}};
  std::vector<std::vector<std::string>> rows;
  for (std::size_t i = 1; i < lines.size(); ++i) rows.push_back(fields_of(lines[i]));
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    const std::vector<std::string>& f = rows[i];
    ASSERT_EQ(f.size(), 18u) << lines[i + 1];
    EXPECT_EQ(f[2], want[i].pixels);
    EXPECT_EQ(f[3], want[i].peak);
    EXPECT_EQ(f[4], want[i].sum);
    EXPECT_EQ(f[5], std::to_string(i + 1));
    EXPECT_LE(std::fabs(std::stod(f[0]) - want[i].x), want[i].reach);
    EXPECT_LE(std::fabs(std::stod(f[1]) - want[i].y), want[i].reach);
    // A single pixel has no direction: theta 0, never printed as -0.00.
    if (f[2] == "1") {
      EXPECT_EQ(f[15], "0.00");
    }
    const int flags = std::stoi(f[17]);
    EXPECT_EQ((flags & 8) != 0, want[i].border);
    EXPECT_EQ(f[6], rows[0][6]);  // one background everywhere
    const double flux = std::stod(f[4]) - std::stod(f[2]) * std::stod(f[6]);
    EXPECT_NEAR(std::stod(f[7]), flux, 2e-5);
    const double error = std::stod(f[8]);
    EXPECT_NEAR(error / std::stod(rows[1][8]), std::sqrt(std::stod(f[2])), 1e-5);
    char snr[32];
    std::snprintf(snr, sizeof snr, "%.2f", std::stod(f[7]) / error);
    // The printed values are rounded: a quotient on a rounding edge may differ by one step.
    EXPECT_NEAR(std::stod(f[9]), std::stod(snr), 0.011);
  }
}

}  // namespace inspect_test
