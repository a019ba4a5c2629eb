#pragma once
// A night's lock: flock on LIST.lock, held for as long as the night runs.

#include <string>

#include "bmp/file_io.h"

namespace kadrix::nights {

enum class Lock { taken, busy, unsupported, failed };

// Takes the lock of path into held, waiting for it when wait is set.
// busy: another holds it; unsupported: the file system cannot lock
// (ENOLCK, EOPNOTSUPP); failed: the file could not be opened or locked.
// error receives errno for the last three.
Lock take_lock(const std::string& path, bool wait, FileHandle& held, int& error);

// Whether another holds the lock of path now.
bool lock_is_held(const std::string& path);

}  // namespace kadrix::nights
