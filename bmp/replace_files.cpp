#include "bmp/replace_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace kadrix {

PendingFile pending_file(const std::string& final_path) {
  return {final_path, final_path + ".tmp." + std::to_string(::getpid())};
}

void discard_files(std::span<const PendingFile> files) {
  for (const PendingFile& file : files) ::unlink(file.temp_path.c_str());
}

namespace {

// How a final name was taken, so that it can be given back.
enum class Move { exchanged, renamed };

bool take_final_name(const PendingFile& file, Move& move) {
  // An exchange leaves the old file under the temporary name, ready to be
  // put back if a later file of the group fails.
  if (::renameat2(AT_FDCWD, file.temp_path.c_str(), AT_FDCWD, file.final_path.c_str(),
                  RENAME_EXCHANGE) == 0) {
    move = Move::exchanged;
    return true;
  }
  // No old file to keep (ENOENT), or a file system without exchange.
  if (errno != ENOENT && errno != EINVAL && errno != ENOSYS) return false;
  move = Move::renamed;
  return ::rename(file.temp_path.c_str(), file.final_path.c_str()) == 0;
}

void give_back_final_name(const PendingFile& file, Move move) {
  if (move == Move::exchanged) {
    ::renameat2(AT_FDCWD, file.temp_path.c_str(), AT_FDCWD, file.final_path.c_str(), RENAME_EXCHANGE);
  } else {
    ::unlink(file.final_path.c_str());  // there was no old file
  }
}

}  // namespace

int replace_files(std::span<const PendingFile> files) {
  // A directory at a final name would refuse a rename or, worse, accept an
  // exchange; caught before anything moves.
  for (std::size_t i = 0; i < files.size(); ++i) {
    struct stat info {};
    if (::lstat(files[i].final_path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      discard_files(files);
      return static_cast<int>(i);
    }
  }
  std::vector<Move> moves;
  for (std::size_t i = 0; i < files.size(); ++i) {
    Move move{};
    if (!take_final_name(files[i], move)) {
      for (std::size_t j = moves.size(); j-- > 0;) give_back_final_name(files[j], moves[j]);
      discard_files(files);
      return static_cast<int>(i);
    }
    moves.push_back(move);
  }
  discard_files(files);  // the old files, where exchanged
  return -1;
}

}  // namespace kadrix
