// Fuzzing the list reader with arbitrary list files, against a model of
// the list format written here from scratch: every CR byte dropped, byte
// 0x1A ends the data, white space (space, tab, LF, VT, FF) separates the
// names, a NUL ends a name's text, six characters are kept, and a list
// that reaches the capacity yields no name. Both the names stored and the
// echo on standard output (each name in full, a blank, its index, CR LF)
// must match the model exactly.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/object_list.h"
#include "driver/object_record.h"

namespace {

std::string g_list;
int g_out = -1;  // what the reader prints lands in this memory file

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

struct Model {
  std::vector<std::string> names;
  std::string echo;
};

Model model_of(const std::uint8_t* data, std::size_t size, int capacity) {
  Model m;
  std::vector<std::string> tokens;
  std::string token;
  bool in_token = false;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\r') continue;
    if (c == '\x1a') break;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f') {
      if (in_token) tokens.push_back(token);
      token.clear();
      in_token = false;
    } else {
      token.push_back(c);
      in_token = true;
    }
  }
  if (in_token) tokens.push_back(token);

  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string text = tokens[i].substr(0, tokens[i].find('\0'));
    m.echo += text + " " + std::to_string(i) + "\r\n";
    m.names.push_back(text.substr(0, kadrix::kNameMaxChars));
    if (static_cast<int>(i) + 1 == capacity) {
      m.echo += "Za duzo linii w pliku. Popraw zawartosc pliku.\r\n";
      m.names.clear();
      break;
    }
  }
  return m;
}

std::string printed() {
  std::fflush(stdout);
  std::string text;
  char buffer[65536];
  ssize_t got;
  for (off_t at = 0; (got = ::pread(g_out, buffer, sizeof buffer, at)) > 0; at += got)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

void forget_printed() {
  std::fflush(stdout);
  check(::ftruncate(g_out, 0) == 0 && ::lseek(g_out, 0, SEEK_SET) == 0, "cannot reset the output");
}

// Scratch files are rewritten for every input: memory-backed /dev/shm
// where there is one, so that no input waits for a disk.
std::string scratch_base() {
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_out = ::memfd_create("kadrix-fuzz-stdout", MFD_CLOEXEC);
  check(g_out >= 0, "memfd_create");
  std::fflush(stdout);
  check(::dup2(g_out, 1) == 1, "dup2");
  std::string pattern = scratch_base() + "/kadrix-fuzz-list-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  check(fd >= 0, "cannot make a scratch file");
  ::close(fd);
  g_list = pattern;
  std::atexit([] { ::unlink(g_list.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    const int fd = ::open(g_list.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    check(fd >= 0, "cannot rewrite the list");
    for (std::size_t done = 0; done < size;) {
      const ssize_t put = ::write(fd, data + done, size - done);
      check(put > 0, "cannot write the list");
      done += static_cast<std::size_t>(put);
    }
    ::close(fd);
  }
  // Small capacities too, so that the limit is met by short inputs.
  const int capacity = size > 0 && data[0] % 4 == 0 ? 1 + data[0] / 4 % 8 : kadrix::kNameCapacity;

  forget_printed();
  kadrix::NameTable table;
  const std::optional<std::int32_t> count = kadrix::read_object_list(g_list, table, capacity);
  const Model expected = model_of(data, size, capacity);

  check(count.has_value(), "an existing list reported missing");
  check(*count == static_cast<std::int32_t>(expected.names.size()), "name count");
  check(table.size() >= expected.names.size(), "table shorter than the count");
  for (std::size_t i = 0; i < expected.names.size(); ++i) check(table[i] == expected.names[i], "stored name");
  check(printed() == expected.echo, "echo");
  return 0;
}
