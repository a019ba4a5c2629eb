#pragma once
// Standard output of every program here, kadrix and its companions alike:
// every line end written as CR LF and flushed at once, so a log follows the
// run and survives a kill.

#include <string_view>

namespace kadrix {

// Formats in the C locale's "%d"/"%f" style and writes the result.
void console_print(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes text as it stands, turning each '\n' into CR LF.
void console_write(std::string_view text);

// A closed standard output must not stop a program's work, and an exceeded
// file-size limit must surface as a failed write, not end the process:
// SIGPIPE and SIGXFSZ are ignored.
void ignore_output_signals();

}  // namespace kadrix
