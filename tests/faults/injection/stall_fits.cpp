// Makes kadrix-import's FITS reading hang, for tests only: the test copy
// of kadrix-import is linked with -Wl,--wrap=ffdkopn, so the program's own
// opening of a FITS file comes here first. With KADRIX_STALL_FITS set, the
// call never returns, as cfitsio stuck in a damaged file would not; the
// shipped program never sees this.

#include <fitsio.h>
#include <unistd.h>

#include <cstdlib>

extern "C" {
int __real_ffdkopn(fitsfile** file, const char* path, int mode, int* status);

int __wrap_ffdkopn(fitsfile** file, const char* path, int mode, int* status) {
  if (std::getenv("KADRIX_STALL_FITS") != nullptr)
    for (;;) ::pause();
  return __real_ffdkopn(file, path, mode, status);
}
}
