#pragma once
// The list file: object names separated by white space (space, tab, line
// feed, vertical tab, form feed, carriage return), read the way a text-mode
// C stream on Windows reads it: every CR byte is dropped wherever it stands
// and a byte 0x1A ends the data. A UTF-8 byte-order mark at the very start
// is skipped. Each name is stored as its first kNameMaxChars characters.

#include <string>
#include <vector>

namespace kadrix {

inline constexpr int kNameCapacity = 200;
inline constexpr int kNameMaxChars = 6;

// Names of the list in order, each cut to kNameMaxChars characters.
using NameTable = std::vector<std::string>;

struct ObjectList {
  bool missing = false;        // the list could not be opened, or names a directory
  bool over_capacity = false;  // it reached the capacity: no object is analysed
  std::vector<std::string> tokens;  // as written, in order (a NUL byte ends a token's text)
  NameTable names;                  // the stored names; empty when over capacity
};

// Reads the list. Tokens are taken until the capacity is reached: the
// capacity-th one is still taken and then ends the read with no names, so
// capacity - 1 is the most that are analysed.
ObjectList read_object_list(const std::string& list_path, int capacity = kNameCapacity);

// Writes a list of the names, one a line ending in '\n', replacing a file
// of that name only once the new one is complete. True on success.
bool write_object_list(const std::string& list_path, const std::vector<std::string>& names);

}  // namespace kadrix
