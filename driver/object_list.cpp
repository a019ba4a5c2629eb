#include "driver/object_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "bmp/file_io.h"
#include "bmp/replace_files.h"

namespace kadrix {

namespace {

bool is_white_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kEndOfText = 0x1A;  // text mode ends the data here
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Gathers the tokens of the list from its bytes, in as many pieces as the
// reads deliver them.
class Tokens {
 public:
  Tokens(int capacity, ObjectList& list) : capacity_(capacity), list_(list) {}

  // False once the data has ended (0x1A) or the capacity is reached.
  bool add(unsigned char c) {
    if (c == kCarriageReturn) return true;
    if (c == kEndOfText) return false;
    if (is_white_space(c)) return !in_token_ || end_token();
    if (!in_token_) {
      list_.tokens.emplace_back();
      in_token_ = true;
      text_ended_ = false;
    }
    if (c == '\0') text_ended_ = true;  // a C string ends at NUL
    if (!text_ended_) list_.tokens.back().push_back(static_cast<char>(c));
    return true;
  }

  void finish() {
    if (in_token_) end_token();
  }

 private:
  bool end_token() {
    in_token_ = false;
    list_.names.push_back(list_.tokens.back().substr(0, kNameMaxChars));
    if (static_cast<int>(list_.names.size()) < capacity_) return true;
    list_.over_capacity = true;
    list_.names.clear();
    return false;
  }

  int capacity_;
  ObjectList& list_;
  bool in_token_ = false;
  bool text_ended_ = false;
};

}  // namespace

ObjectList read_object_list(const std::string& list_path, int capacity) {
  ObjectList list;
  FileHandle file(::open(list_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
    list.missing = true;
    return list;
  }

  Tokens tokens(capacity, list);
  std::string buffer(1 << 16, '\0');
  std::size_t mark_seen = 0;  // bytes of the byte-order mark matched so far
  bool at_start = true;
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of file; a read error ends the list as well
    for (ssize_t i = 0; i < got; ++i) {
      const auto c = static_cast<unsigned char>(buffer[static_cast<std::size_t>(i)]);
      if (at_start) {
        // The mark counts only as the file's first three bytes; a partial
        // match is ordinary text after all.
        if (static_cast<unsigned char>(kByteOrderMark[mark_seen]) == c) {
          if (++mark_seen == kByteOrderMark.size()) at_start = false;
          continue;
        }
        at_start = false;
        for (std::size_t k = 0; k < mark_seen; ++k) {
          if (!tokens.add(static_cast<unsigned char>(kByteOrderMark[k]))) return list;
        }
      }
      if (!tokens.add(c)) {
        if (!list.over_capacity) tokens.finish();
        return list;
      }
    }
  }
  if (at_start) {
    for (std::size_t k = 0; k < mark_seen; ++k) tokens.add(static_cast<unsigned char>(kByteOrderMark[k]));
  }
  tokens.finish();
  return list;
}

bool write_object_list(const std::string& list_path, const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += name + '\n';
  PendingGroup list({list_path});
  OutputFile out(list[0].temp_path, text.size());
  out.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return out.finish() && list.commit() < 0;
}

}  // namespace kadrix
