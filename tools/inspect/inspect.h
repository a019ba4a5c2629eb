#pragma once
// kadrix-inspect: reads a result pair of kadrix back and reports the
// object's statistics and the sources detected, optionally drawing them.

namespace kadrix::inspect {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadInput = 1;  // unreadable input or a failed write
inline constexpr int kExitWrongCall = 2;

int run_inspect(int argc, const char* const* argv);

}  // namespace kadrix::inspect
