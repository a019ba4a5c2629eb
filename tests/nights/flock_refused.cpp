// Linked into a test copy of kadrix-nights with -Wl,--wrap=flock: every
// flock fails with the error KADRIX_FLOCK_ERRNO names (ENOLCK or
// EOPNOTSUPP), as on a file system mounted without locking; unset, flock
// works.

#include <sys/file.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int __real_flock(int fd, int operation);

extern "C" int __wrap_flock(int fd, int operation) {
  const char* name = std::getenv("KADRIX_FLOCK_ERRNO");
  if (name != nullptr && std::strcmp(name, "ENOLCK") == 0) {
    errno = ENOLCK;
    return -1;
  }
  if (name != nullptr && std::strcmp(name, "EOPNOTSUPP") == 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return __real_flock(fd, operation);
}
