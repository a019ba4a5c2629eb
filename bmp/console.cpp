#include "bmp/console.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "bmp/text_format.h"

namespace kadrix {

namespace {

void put(std::string_view bytes) {
  // A closed or full standard output must not stop the run: errors are
  // ignored here (ignore_output_signals).
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

}  // namespace

void console_write(std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    put(text.substr(start, i - start));
    put("\r\n");
    std::fflush(stdout);
    start = i + 1;
  }
  put(text.substr(start));
}

void console_print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string text = text_vformat(format, args);
  va_end(args);
  console_write(text);
}

void ignore_output_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace kadrix
