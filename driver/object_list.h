#pragma once
// The list file: object names separated by white space (space, tab, line
// feed, vertical tab, form feed, carriage return), read the way a text-mode
// C stream on Windows reads it: every CR byte is dropped wherever it stands
// and a byte 0x1A ends the data. A UTF-8 byte-order mark at the very start
// is skipped. Each name is stored as its first kNameMaxChars characters.

#include <string>
#include <string_view>
#include <vector>

namespace kadrix {

inline constexpr int kNameCapacity = 200;
inline constexpr int kMaxNames = kNameCapacity - 1;  // the most names kadrix analyses
inline constexpr int kNameMaxChars = 6;

// The bytes that separate names: C's isspace in the C locale.
inline constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
inline bool is_white_space(unsigned char c) {
  return c != 0 && kWhiteSpace.find(static_cast<char>(c)) != std::string_view::npos;
}

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

// What adding a name to a list came to.
enum class ListAddition {
  added,         // the name was appended, or the list created with it
  present,       // a name with the same stored form is already there
  full,          // kMaxNames names or more: one more and kadrix analyses none
  end_of_text,   // the list holds a byte 0x1A: kadrix would not see a name after it
  not_a_file,    // the path names something other than a regular file
  unreadable,    // the list could not be read
  bad_name,      // empty, or holding white space, 0x1A or NUL: not one token
  write_failed,  // the new list could not be written or put in place
};

// Adds name, stored as its first kNameMaxChars characters, as a line at
// the end of the list: names are compared in their stored form, a missing
// list is created, a missing final line end is added first (CR LF when the
// list ends its lines so), and the list is replaced through a temporary
// file and a rename, keeping its permissions. With check_only nothing is
// written: added then says the name would be added.
ListAddition add_to_object_list(const std::string& list_path, const std::string& name, bool check_only = false);

}  // namespace kadrix
