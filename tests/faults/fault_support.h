#pragma once
// Running the built kadrix while something goes wrong around it, through
// the tests' one way of starting a process (kadrix_test::run_program):
// resource limits set in the child, a file-size limit that takes effect
// the moment a given file is opened, a SIGKILL sent when the k-th new name
// appears in a directory or when the k-th "new Var" line has been read.
// Also a reader of the result files that checks every header field, so a
// file can be told apart from a truncated or foreign one.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace kadrix_faults {

using kadrix_test::Bytes;
using kadrix_test::kSanitized;
using kadrix_test::temporaries;
using ChildRun = kadrix_test::RunResult;

struct Limits {
  std::uint64_t file_size = 0;      // RLIMIT_FSIZE in bytes; 0: none
  std::uint64_t address_space = 0;  // RLIMIT_AS in bytes; 0: none
  // Under the sanitizers: the largest single allocation, in MiB, that the
  // child may make before it is stopped with a report; 0: the default.
  std::uint64_t largest_allocation_mib = 0;
};

// kadrix DIRECTORY LIST, run to its end.
ChildRun run_kadrix(const std::string& directory, const std::string& list, const Limits& limits = {});

// As run_kadrix, but the child runs without a file-size limit until it
// opens a file whose path starts with path_prefix; at that moment (the
// child held at the entry of the open call) its limit becomes file_size.
// limited tells whether that open happened. Uses ptrace; false in
// `available` when this machine does not allow it.
ChildRun run_kadrix_limited_from(const std::string& directory, const std::string& list,
                                 const std::string& path_prefix, std::uint64_t file_size, bool& limited,
                                 bool& available);

// What makes the test send SIGKILL.
enum class KillWhen {
  new_name,      // the n-th name created in or moved into watched_dir
  new_var_line,  // the n-th complete "new Var: " line read from standard output
};

// Runs kadrix and kills it when the n-th event of that kind happens
// (n = 0: never). events receives how many such events were seen (the
// count of a whole run when it is not killed).
ChildRun run_kadrix_killed(const std::string& directory, const std::string& list, KillWhen when, int n,
                           const std::string& watched_dir, int& events);

// ---- frames and directories ---------------------------------------------

// Frames 01 ... count of an 8-bit object: a sky gradient with a few stars
// and some noise, different for every seed and frame.
void write_object(const std::string& prefix, const std::string& name, std::int32_t width,
                  std::int32_t height, int count, int seed);

// Writes the names, one a line, to a list file in dir; returns its path.
std::string write_list(const kadrix_test::TempDir& dir, const std::vector<std::string>& names);

// ---- result files ------------------------------------------------------

// An 8-bit result file as kadrix writes it, read back.
struct ResultImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;  // rows top-down
  // The first three palette entries, read as an SS file's statistics.
  float level = 0;
  float sigma = 0;
  std::int32_t frame_count = 0;
  bool grey_palette = false;  // all 256 entries (i, i, i, 0): an SR file
};

// Checks every header field, the palette ramp from entry 3 on, the size
// and the padding bytes. Nothing: not such a file, why says what is wrong.
std::optional<ResultImage> parse_result(const Bytes& bytes, std::string& why);

}  // namespace kadrix_faults
