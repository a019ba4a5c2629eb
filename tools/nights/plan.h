#pragma once
// What kadrix-nights computes before anything runs: the files of a night,
// the command lines of GNU parallel and of sbatch, the memory a Slurm task
// asks for, and how the nights are split into arrays.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kadrix::nights {

// The files of a night, all absolute.
struct NightFiles {
  std::string list;        // the list, made absolute
  std::string frames;      // its directory, with a trailing '/'
  std::string transcript;  // the list's path without ".list", plus ".txt"
  std::string part;        // transcript + ".part": the transcript while kadrix runs
  std::string status;      // list + ".status"
  std::string lock;        // list + ".lock"
};

// cwd is the directory a relative list is taken from.
NightFiles night_files(const std::string& list, const std::string& cwd);

// text quoted for a POSIX shell, as one word.
std::string shell_quote(const std::string& text);

// The options a night's task is started with, before the list itself.
std::vector<std::string> task_options(const std::string& run, bool resume);

// GNU parallel's arguments (after "parallel") running `task` (a program
// and its options) once per line of arg_file: jobs at once on this
// machine, or with hosts one at a time on each host through ssh.
struct ParallelPlan {
  int jobs = 1;
  std::vector<std::string> hosts;  // empty: this machine
  std::string ssh;                 // the ssh command; empty: parallel's own
};
std::vector<std::string> parallel_arguments(const ParallelPlan& plan, const std::string& arg_file,
                                            const std::vector<std::string>& task);

// What a Slurm submission asks for.
struct SlurmRequest {
  std::optional<std::string> partition, account, time;
  std::optional<int> cpus;         // none: the whole node
  std::optional<std::string> mem;  // as sbatch reads it; none: by the rule below
  std::uint64_t largest_pixels = 0;  // the largest frame 01 among the nights' objects
};

// The memory of a task with cpus cores in bytes: kadrix budgets half of
// what it is given, and takes for each of its cpus + 1 objects in flight
// 24 B a pixel plus 32 MiB.
std::uint64_t task_memory_bytes(int cpus, std::uint64_t largest_pixels);
// Bytes as sbatch's "--mem" takes them: whole MiB, rounded up.
std::string mem_option(std::uint64_t bytes);

// sbatch's arguments (after "sbatch") submitting one array of `count`
// tasks, each running wrap; logs go to log_dir. Variables SBATCH_* of
// environment that already ask for the cores or the memory are left to
// sbatch.
std::vector<std::string> sbatch_arguments(const SlurmRequest& request, int count, const std::string& log_dir,
                                          const std::string& wrap,
                                          const std::map<std::string, std::string>& environment);

// MaxArraySize from the output of `scontrol show config`.
std::optional<int> max_array_size(const std::string& config);

// Splits count nights into arrays of at most max_size tasks: the first
// night of each and its size.
struct ArraySlice {
  int first = 0;
  int count = 0;
  bool operator==(const ArraySlice&) const = default;
};
std::vector<ArraySlice> split_arrays(int count, int max_size);

// The job id sbatch --parsable printed ("ID" or "ID;CLUSTER").
std::optional<std::string> parsable_job_id(const std::string& output);

}  // namespace kadrix::nights
