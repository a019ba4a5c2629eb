// Prints every message format of the named program, one a line, from the
// program's own message table: its line ends become spaces. The reasons a
// BMP file is refused belong to kadrix and kadrix-inspect alike.
//   kadrix_print_messages kadrix|kadrix-import|kadrix-inspect|kadrix-demo|kadrix-nights

#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "bmp/bmp_fault_text.h"
#include "driver/messages.h"
#include "tools/demo/messages.h"
#include "tools/import/messages.h"
#include "tools/inspect/messages.h"
#include "tools/nights/messages.h"

namespace {

void print(std::string_view format) {
  std::string line(format);
  for (char& c : line)
    if (c == '\n') c = ' ';
  std::printf("%s\n", line.c_str());
}

void print_all(std::span<const char* const> formats) {
  for (const char* format : formats) print(format);
}

void print_bmp_faults() {
  for (const kadrix::BmpFault fault : kadrix::kBmpFaults) print(kadrix::bmp_fault_format(fault));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view program = argc == 2 ? argv[1] : "";
  if (program == "kadrix") {
    print_all(kadrix::messages::kAll);
    print_bmp_faults();
  } else if (program == "kadrix-import") {
    print_all(kadrix::import::messages::kAll);
  } else if (program == "kadrix-inspect") {
    print_all(kadrix::inspect::messages::kAll);
    print_bmp_faults();
  } else if (program == "kadrix-nights") {
    print_all(kadrix::nights::messages::kAll);
  } else if (program == "kadrix-demo") {
    print_all(kadrix::demo::messages::kAll);
  } else {
    std::fprintf(stderr, "usage: kadrix_print_messages kadrix|kadrix-import|kadrix-inspect|kadrix-demo|kadrix-nights\n");
    return 2;
  }
  return 0;
}
