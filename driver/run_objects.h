#pragma once

#include "driver/stages.h"

namespace kadrix {

// The whole run: checks the arguments, reads the list and takes every
// object through the stages of the table. Returns the process exit status:
// 0 for every orderly end, 1 when a result could not be written or an
// object ran out of memory.
int run_objects(int argc, const char* const* argv, const Stages& stages);

}  // namespace kadrix
