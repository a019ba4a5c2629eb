#include "driver/console.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kadrix {

namespace {

void put(std::string_view bytes) {
  // A closed or full standard output must not stop the run: errors are
  // ignored here (SIGPIPE is ignored by the driver).
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
  char small[256];
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof small) {
    va_end(again);
    console_write(std::string_view(small, static_cast<std::size_t>(length)));
    return;
  }
  std::string large(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(large.data(), large.size(), format, again);
  va_end(again);
  large.resize(static_cast<std::size_t>(length));
  console_write(large);
}

}  // namespace kadrix
