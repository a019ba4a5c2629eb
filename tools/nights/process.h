#pragma once
// The programs kadrix-nights starts: kadrix, GNU parallel, ssh, sbatch,
// scontrol, squeue. Standard input is /dev/null for each.

#include <sys/types.h>

#include <string>
#include <vector>

namespace kadrix::nights {

struct Started {
  pid_t pid = -1;  // -1: fork failed
};

// Starts argv[0] (looked up on PATH) with standard output to out_fd (-1:
// this process's own). keep_fd stays open in the child (a lock it must
// hold); with term_with_parent the child gets SIGTERM when this process
// dies, so that a killed kadrix-nights starts no new night.
Started start_program(const std::vector<std::string>& argv, int out_fd = -1, int keep_fd = -1,
                      bool term_with_parent = false);

struct Ended {
  int exit_status = -1;  // -1 when a signal ended it
  int signal = 0;
};
Ended wait_program(pid_t pid);

// Runs argv to its end and returns what it wrote on standard output and
// error; exit status 127 when it could not be started.
struct Output {
  Ended end;
  std::string text;
};
Output run_captured(const std::vector<std::string>& argv);

}  // namespace kadrix::nights
