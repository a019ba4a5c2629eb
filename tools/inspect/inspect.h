#pragma once
// kadrix-inspect: reads a result pair of kadrix back and reports the
// object's statistics and the sources detected, optionally drawing them.

namespace kadrix::inspect {

// Exit statuses as every companion's (tools/common/cli.h): 1 for unreadable
// input or a failed write.
int run_inspect(int argc, const char* const* argv);

}  // namespace kadrix::inspect
