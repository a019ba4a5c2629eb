#pragma once

#include "driver/stages.h"

namespace kadrix {

// The whole run: checks the arguments, reads the list and takes every
// object through the stages of the table, on `workers` workers (0: as many
// as the process may use). Whatever the number, the transcript and the
// files are the same, and reach standard output and the disk in the same
// order. Returns the process exit status: 0 for every orderly end, 1 when
// a result could not be written or an object ran out of memory.
int run_objects(int argc, const char* const* argv, const Stages& stages, int workers = 0);

}  // namespace kadrix
