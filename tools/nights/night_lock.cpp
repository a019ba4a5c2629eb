#include "tools/nights/night_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace kadrix::nights {

Lock take_lock(const std::string& path, bool wait, FileHandle& held, int& error) {
  held = FileHandle(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!held.valid()) {
    error = errno;
    return Lock::failed;
  }
  for (;;) {
    if (flock(held.get(), LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) return Lock::taken;
    error = errno;
    if (error == EINTR) continue;
    if (error == EWOULDBLOCK) return Lock::busy;
    if (error == ENOLCK || error == EOPNOTSUPP) return Lock::unsupported;
    return Lock::failed;
  }
}

bool lock_is_held(const std::string& path) {
  FileHandle held;
  int error = 0;
  return take_lock(path, false, held, error) == Lock::busy;
}

}  // namespace kadrix::nights
