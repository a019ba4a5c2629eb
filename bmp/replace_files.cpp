#include "bmp/replace_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
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
enum class Move {
  exchanged,  // the old file now sits under the temporary name
  backed_up,  // the old file keeps a second name, backup_path()
  created,    // there was no old file
  replaced,   // no way to keep the old file on this file system
};

std::string backup_path(const PendingFile& file) { return file.temp_path + ".old"; }

bool take_final_name(const PendingFile& file, bool use_exchange, Move& move) {
  if (use_exchange && ::renameat2(AT_FDCWD, file.temp_path.c_str(), AT_FDCWD, file.final_path.c_str(),
                                  RENAME_EXCHANGE) == 0) {
    move = Move::exchanged;
    return true;
  }
  // No old file to keep (ENOENT), or a file system without exchange: a hard
  // link keeps the old file reachable until the group is complete.
  if (use_exchange && errno != ENOENT && errno != EINVAL && errno != ENOSYS) return false;
  const std::string backup = backup_path(file);
  ::unlink(backup.c_str());
  if (::link(file.final_path.c_str(), backup.c_str()) == 0) move = Move::backed_up;
  else move = errno == ENOENT ? Move::created : Move::replaced;
  if (::rename(file.temp_path.c_str(), file.final_path.c_str()) == 0) return true;
  if (move == Move::backed_up) ::unlink(backup.c_str());
  return false;
}

void give_back_final_name(const PendingFile& file, Move move) {
  switch (move) {
    case Move::exchanged:
      ::renameat2(AT_FDCWD, file.temp_path.c_str(), AT_FDCWD, file.final_path.c_str(), RENAME_EXCHANGE);
      break;
    case Move::backed_up:
      ::rename(backup_path(file).c_str(), file.final_path.c_str());
      break;
    case Move::created:
      ::unlink(file.final_path.c_str());
      break;
    case Move::replaced:
      break;  // the old file is gone; the new one, complete, stays
  }
}

// Removes a name of an old file; with `replaced`, the file is held first.
void remove_old(const std::string& path, std::vector<FileHandle>* replaced) {
  if (replaced != nullptr) {
    // O_PATH opens nothing for reading, so even a FIFO or a device left
    // under the name cannot block or act.
    FileHandle held(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (held.valid()) replaced->push_back(std::move(held));
  }
  ::unlink(path.c_str());
}

void drop_backup(const PendingFile& file, Move move, std::vector<FileHandle>* replaced) {
  if (move == Move::backed_up) remove_old(backup_path(file), replaced);
}

}  // namespace

int replace_files(std::span<const PendingFile> files, bool use_exchange, std::vector<FileHandle>* replaced) {
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
  int failed = -1;
  for (std::size_t i = 0; i < files.size() && failed < 0; ++i) {
    Move move{};
    if (take_final_name(files[i], use_exchange, move)) moves.push_back(move);
    else failed = static_cast<int>(i);
  }
  if (failed >= 0) {
    for (std::size_t j = moves.size(); j-- > 0;) give_back_final_name(files[j], moves[j]);
  }
  if (failed >= 0) {
    for (std::size_t j = 0; j < moves.size(); ++j) drop_backup(files[j], moves[j], nullptr);
    discard_files(files);  // the new files
    return failed;
  }
  for (std::size_t j = 0; j < moves.size(); ++j) {
    drop_backup(files[j], moves[j], replaced);
    if (moves[j] == Move::exchanged) remove_old(files[j].temp_path, replaced);
  }
  return -1;
}

PendingGroup::PendingGroup(const std::vector<std::string>& final_paths) {
  files_.reserve(final_paths.size());
  for (const std::string& path : final_paths) files_.push_back(pending_file(path));
}

PendingGroup::~PendingGroup() {
  if (!committed_) discard_files(files_);
}

int PendingGroup::commit(bool use_exchange, std::vector<FileHandle>* replaced) {
  committed_ = true;
  return replace_files(files_, use_exchange, replaced);
}

}  // namespace kadrix
