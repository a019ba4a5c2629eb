#include "tools/import/series_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "bmp/frame_files.h"

namespace kadrix::import {

namespace {

// An old frame moved aside under a name no frame has (it does not end in
// ".BMP"), kept until the new series is whole.
struct MovedAside {
  std::string path;
  std::string aside;
};

std::string aside_path(const std::string& path) { return path + ".old." + std::to_string(::getpid()); }

}  // namespace

std::vector<std::string> series_paths(const std::string& directory, const std::string& name, int count) {
  std::vector<std::string> paths;
  for (int number = count; number >= 1; --number) paths.push_back(frame_path(directory, name, number));
  return paths;
}

std::string place_series(const std::string& directory, const std::string& name, int count, PendingGroup& frames) {
  std::vector<MovedAside> moved;
  const auto put_back = [&moved] {
    for (auto it = moved.rbegin(); it != moved.rend(); ++it) ::rename(it->aside.c_str(), it->path.c_str());
  };
  const auto move_aside = [&moved](const std::string& path) {
    MovedAside entry{path, aside_path(path)};
    if (::rename(entry.path.c_str(), entry.aside.c_str()) != 0) return false;
    moved.push_back(std::move(entry));
    return true;
  };

  // Frame 01 first: until the new 01 is in place, kadrix reads no series at
  // all. A directory of that name is left for replace_files to refuse.
  const std::string first = frame_path(directory, name, 1);
  struct stat info {};
  if (::lstat(first.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) && !move_aside(first)) return first;

  // Old frames above the new count would otherwise extend the new series.
  // Only what kadrix would read as a frame counts: a regular file.
  for (int number = kMaxFrames; number > count; --number) {
    const std::string path = frame_path(directory, name, number);
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (!move_aside(path)) {
      put_back();
      return path;
    }
  }

  const int failed = frames.commit();
  if (failed >= 0) {
    put_back();
    return frames[static_cast<std::size_t>(failed)].final_path;
  }
  for (const MovedAside& entry : moved) ::unlink(entry.aside.c_str());
  return "";
}

}  // namespace kadrix::import
