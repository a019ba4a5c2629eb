#include "nights_support.h"

#include <cstdlib>
#include <filesystem>

namespace nights_test {

std::string make_night(const std::string& dir, int objects, int seed, int width, int height) {
  const auto made = kadrix_test::run_program(
      KADRIX_DEMO_BIN, {"--objects", std::to_string(objects), "--seed", std::to_string(seed), "--frames", "6",
                        "--width", std::to_string(width), "--height", std::to_string(height), dir});
  EXPECT_EQ(made.exit_status, 0) << made.out;
  return dir + "/lista.list";
}

std::string text_of(const std::string& path) {
  if (!kadrix_test::exists(path)) return "<absent>";
  const kadrix_test::Bytes bytes = kadrix_test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string path_variable() {
  const char* path = std::getenv("PATH");
  return "PATH=" + std::filesystem::path(KADRIX_BIN).parent_path().string() + ":" +
         std::filesystem::path(KADRIX_NIGHTS_BIN).parent_path().string() + ":" + (path ? path : "/usr/bin:/bin");
}

kadrix_test::RunResult run_nights(const std::vector<std::string>& args, kadrix_test::RunOptions options) {
  options.environment.push_back(path_variable());
  if (options.timeout_seconds == 60) options.timeout_seconds = 120;
  return kadrix_test::run_program(KADRIX_NIGHTS_BIN, args, options);
}

namespace {

std::vector<std::string> objects_of(const std::string& list) {
  std::vector<std::string> names;
  const std::string text = text_of(list);
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(" \t\r\n", at);
    if (start == std::string::npos) break;
    const std::size_t end = std::min(text.find_first_of(" \t\r\n", start), text.size());
    names.push_back(text.substr(start, end - start));
    at = end;
  }
  return names;
}

}  // namespace

std::vector<kadrix_test::Bytes> results_now(const std::string& list) {
  const std::string dir = std::filesystem::path(list).parent_path().string() + "/";
  std::vector<kadrix_test::Bytes> results;
  for (const std::string& name : objects_of(list))
    for (const char* kind : {"SR", "SS"}) {
      const std::string path = dir + name + kind + ".BMP";
      results.push_back(kadrix_test::exists(path) ? kadrix_test::read_file(path) : kadrix_test::Bytes{});
    }
  return results;
}

Alone kadrix_alone(const std::string& list) {
  const std::string dir = std::filesystem::path(list).parent_path().string() + "/";
  const auto run = kadrix_test::run_program(KADRIX_BIN, {dir, list});
  EXPECT_EQ(run.exit_status, 0) << run.out;
  return {run.out, results_now(list)};
}

std::string transcript_of(const std::string& list) {
  return list.ends_with(".list") ? list.substr(0, list.size() - 5) + ".txt" : list + ".txt";
}

}  // namespace nights_test
