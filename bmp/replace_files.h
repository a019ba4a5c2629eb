#pragma once
// Replacing a group of files as a whole: each is written under a temporary
// name beside its final one, and only when all are complete do they take
// their final names.

#include <span>
#include <string>
#include <vector>

#include "bmp/file_io.h"

namespace kadrix {

struct PendingFile {
  std::string final_path;
  std::string temp_path;  // final_path + ".tmp." + process id
};

PendingFile pending_file(const std::string& final_path);

// Moves every temporary over its final name, in order. On failure nothing
// is replaced (names already moved are put back), every temporary is
// removed, and the index of the file that failed is returned; -1 on success.
// use_exchange false moves the files as on a file system that cannot
// exchange two names (for tests).
//
// The old files that were replaced lose their names either way. Given
// `replaced`, they are also held open there: the system frees a file's
// space only once nothing holds it, which for a file on disk can take a
// millisecond, so the caller can let go of them when that holds nobody up.
int replace_files(std::span<const PendingFile> files, bool use_exchange = true,
                  std::vector<FileHandle>* replaced = nullptr);

// Removes the temporaries of an abandoned group.
void discard_files(std::span<const PendingFile> files);

// A group of files being written under their temporary names. Whatever
// way the writer leaves (a failed write, an exception), the temporaries
// go with the group unless commit() has handed them to replace_files.
class PendingGroup {
 public:
  explicit PendingGroup(const std::vector<std::string>& final_paths);
  ~PendingGroup();
  PendingGroup(const PendingGroup&) = delete;
  PendingGroup& operator=(const PendingGroup&) = delete;

  const PendingFile& operator[](std::size_t i) const { return files_[i]; }
  // replace_files on the group: -1 when every file took its final name,
  // else the index of the one that failed (nothing replaced then).
  int commit(bool use_exchange = true, std::vector<FileHandle>* replaced = nullptr);

 private:
  std::vector<PendingFile> files_;
  bool committed_ = false;
};

}  // namespace kadrix
