// Fuzzing the list reader with arbitrary list files, against a model of
// the list format written here from scratch: a UTF-8 byte-order mark at the
// very start is skipped, every CR byte dropped, byte 0x1A ends the data,
// white space (space, tab, LF, VT, FF) separates the names, a NUL ends a
// name's text, six characters are kept, and a list that reaches the
// capacity yields no name. The tokens, the names stored, and the echo kadrix
// prints of them (each name in full, a blank, its index, a line end) must
// match the model exactly.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/object_list.h"
#include "driver/transcript.h"

namespace {

std::string g_list;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

struct Model {
  std::vector<std::string> tokens;
  std::vector<std::string> names;
  bool over_capacity = false;
  std::string echo;
};

Model model_of(const std::uint8_t* data, std::size_t size, int capacity) {
  Model m;
  std::vector<std::string> tokens;
  std::string token;
  bool in_token = false;
  const bool mark = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF;
  for (std::size_t i = mark ? 3 : 0; i < size; ++i) {
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
    m.tokens.push_back(text);
    m.echo += text + " " + std::to_string(i) + "\n";
    m.names.push_back(text.substr(0, kadrix::kNameMaxChars));
    if (static_cast<int>(i) + 1 == capacity) {
      m.echo += "Za duzo linii w pliku. Popraw zawartosc pliku.\n";
      m.names.clear();
      m.over_capacity = true;
      break;
    }
  }
  return m;
}

// Scratch files are rewritten for every input: memory-backed /dev/shm
// where there is one, so that no input waits for a disk.
std::string scratch_base() {
  return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
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

  const kadrix::ObjectList list = kadrix::read_object_list(g_list, capacity);
  const Model expected = model_of(data, size, capacity);

  check(!list.missing, "an existing list reported missing");
  check(list.tokens == expected.tokens, "tokens");
  check(list.names == expected.names, "stored names");
  check(list.over_capacity == expected.over_capacity, "capacity");
  check(kadrix::list_text(list, g_list) == expected.echo, "echo");
  return 0;
}
