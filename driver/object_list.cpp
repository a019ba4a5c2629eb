#include "driver/object_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "bmp/file_io.h"
#include "bmp/replace_files.h"

namespace kadrix {

namespace {

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
  // Lists are small; a buffer on the stack spares a run the fresh pages a
  // larger one would fault in.
  std::array<char, 4096> buffer;
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

namespace {

// The path whose file is the list: a symbolic link is followed, so that
// the list it points to is updated and the link stays.
std::string list_file_path(const std::string& list_path) {
  struct stat info {};
  if (::lstat(list_path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return list_path;
  char* target = ::realpath(list_path.c_str(), nullptr);
  if (target == nullptr) return list_path;
  std::string path = target;
  std::free(target);
  return path;
}

}  // namespace

ListAddition add_to_object_list(const std::string& list_path, const std::string& name, bool check_only) {
  if (name.empty()) return ListAddition::bad_name;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (is_white_space(byte) || byte == kEndOfText || byte == '\0') return ListAddition::bad_name;
  }
  const std::string stored = name.substr(0, kNameMaxChars);
  const std::string path = list_file_path(list_path);

  std::string text;
  struct stat info {};
  const bool existing = ::stat(path.c_str(), &info) == 0;
  if (!existing && errno != ENOENT) return ListAddition::unreadable;
  if (existing) {
    if (!S_ISREG(info.st_mode)) return ListAddition::not_a_file;
    std::uint64_t size = 0;
    const FileHandle file = open_regular_file(path, size);
    if (!file.valid()) return ListAddition::unreadable;
    text.resize(static_cast<std::size_t>(size));
    if (!read_exact_at(file.get(), std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), text.size()), 0))
      return ListAddition::unreadable;
    // The names as kadrix itself reads them.
    const ObjectList list = read_object_list(path);
    if (list.missing) return ListAddition::unreadable;
    if (list.over_capacity) return ListAddition::full;
    for (const std::string& known : list.names) {
      if (known == stored) return ListAddition::present;
    }
    if (text.find(static_cast<char>(kEndOfText)) != std::string::npos) return ListAddition::end_of_text;
    if (list.names.size() >= static_cast<std::size_t>(kMaxNames)) return ListAddition::full;
  }
  if (check_only) return ListAddition::added;

  // New lines end as the list's lines end.
  const std::size_t last_line_end = text.rfind('\n');
  const std::string line_end = last_line_end != std::string::npos && last_line_end > 0 && text[last_line_end - 1] == '\r'
                                   ? "\r\n"
                                   : "\n";
  if (!text.empty() && text.back() != '\n') text += text.back() == '\r' ? "\n" : line_end;
  text += stored + line_end;

  PendingGroup group({path});
  OutputFile out(group[0].temp_path, text.size());
  out.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  if (!out.finish()) return ListAddition::write_failed;
  if (existing && ::chmod(group[0].temp_path.c_str(), info.st_mode & 07777) != 0) return ListAddition::write_failed;
  return group.commit() < 0 ? ListAddition::added : ListAddition::write_failed;
}

}  // namespace kadrix
