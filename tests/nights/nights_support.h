#pragma once
// What the runs of the built kadrix-nights share: demo nights the tests
// write, kadrix run alone on a night for comparison, and the environment
// that finds the programs on PATH.

#include <string>
#include <vector>

#include "test_support.h"

namespace nights_test {

// Writes a demo night of `objects` objects into dir (created); returns its
// list's path.
std::string make_night(const std::string& dir, int objects, int seed, int width = 203, int height = 157);

std::string text_of(const std::string& path);

// "PATH=<kadrix's dir>:<kadrix-nights' dir>:$PATH".
std::string path_variable();

// kadrix-nights with args, programs found on PATH.
kadrix_test::RunResult run_nights(const std::vector<std::string>& args, kadrix_test::RunOptions options = {});

// What kadrix alone gives on a night: its transcript, then the bytes of
// each result pair of the list's objects (SR then SS), in list order.
struct Alone {
  std::string transcript;
  std::vector<kadrix_test::Bytes> results;
};
Alone kadrix_alone(const std::string& list);
// The result pairs as they are now.
std::vector<kadrix_test::Bytes> results_now(const std::string& list);

// The transcript a night's list gets: its path without ".list", plus ".txt".
std::string transcript_of(const std::string& list);

}  // namespace nights_test
