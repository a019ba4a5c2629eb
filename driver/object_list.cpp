#include "driver/object_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bmp/file_io.h"
#include "driver/console.h"

namespace kadrix {

namespace {

bool is_white_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kEndOfText = 0x1A;  // text mode ends the data here

// One token being read. Its text is echoed as it arrives, so a token of
// any length costs no more memory than the read buffer.
class TokenEcho {
 public:
  void add(unsigned char c) {
    if (c == '\0') text_ended_ = true;  // a C string ends at NUL
    if (text_ended_) return;
    if (stored_.size() < static_cast<std::size_t>(kNameMaxChars)) stored_.push_back(static_cast<char>(c));
    pending_.push_back(static_cast<char>(c));
    if (pending_.size() >= kFlushBytes) flush();
  }
  std::string finish() {
    pending_.push_back(' ');
    flush();
    std::string name = std::move(stored_);
    stored_.clear();
    text_ended_ = false;
    return name;
  }

 private:
  static constexpr std::size_t kFlushBytes = 1 << 16;
  void flush() {
    console_write(pending_);
    pending_.clear();
  }
  std::string pending_;
  std::string stored_;
  bool text_ended_ = false;
};

}  // namespace

std::optional<std::int32_t> read_object_list(const std::string& list_path, NameTable& name_table,
                                             int capacity) {
  FileHandle list(::open(list_path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!list.valid() || ::fstat(list.get(), &info) != 0 || S_ISDIR(info.st_mode)) {
    console_print("Brak pliku %s\n", list_path.c_str());
    return std::nullopt;
  }

  name_table.clear();
  std::int32_t count = 0;
  TokenEcho token;
  bool in_token = false;
  // Stores the finished token; true once the list has reached the capacity.
  auto end_token = [&] {
    in_token = false;
    name_table.push_back(token.finish());
    console_print("%d\n", count);
    if (++count < capacity) return false;
    console_write("Za duzo linii w pliku. Popraw zawartosc pliku.\n");
    name_table.clear();
    count = 0;
    return true;
  };

  std::vector<unsigned char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(list.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // end of file; a read error ends the list as well
    for (ssize_t i = 0; i < got; ++i) {
      const unsigned char c = buffer[static_cast<std::size_t>(i)];
      if (c == kCarriageReturn) continue;
      if (c == kEndOfText) {
        if (in_token) end_token();
        return count;
      }
      if (!is_white_space(c)) {
        token.add(c);
        in_token = true;
      } else if (in_token && end_token()) {
        return count;
      }
    }
  }
  if (in_token) end_token();
  return count;
}

}  // namespace kadrix
