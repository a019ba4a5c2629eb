#pragma once
// A night's task, what every engine runs for one night: the lock, kadrix
// with its transcript in LIST's .txt.part, the rename once kadrix has
// ended, and the status file.

#include <string>

#include "tools/nights/plan.h"

namespace kadrix::nights {

inline constexpr int kExitBusy = 3;  // the night was locked by another run

// Runs the night; with resume waits for a held lock and leaves a night
// that is done by then. 0 when the night is ok or uwagi.
int run_task(const NightFiles& night, const std::string& run, bool resume);

// A Slurm array task: the night of line SLURM_ARRAY_TASK_ID + 1 of file;
// 2 when there is none.
int run_task_line(const std::string& file, const std::string& run, bool resume);

}  // namespace kadrix::nights
