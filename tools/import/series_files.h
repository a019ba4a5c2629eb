#pragma once
// Putting a new series of frames in place of an object's old one, so that
// a process killed at any moment never leaves a readable frame 01 beside
// frames of the other series.

#include <string>

#include "bmp/replace_files.h"

namespace kadrix::import {

// The final paths of frames count, count - 1, ... 1 of the object, in the
// order place_series puts them in place: highest first, 01 last.
std::vector<std::string> series_paths(const std::string& directory, const std::string& name, int count);

// frames holds the complete temporaries of series_paths(directory, name,
// count). In turn: the old frame 01 is moved aside (from then on no series
// can be read), the old frames above count are moved aside, the new frames
// take their names from count down to 02, and 01 last; the moved-aside old
// frames are then removed. On failure everything moved is put back and the
// directory is as it was; the path that failed is returned. Empty on
// success.
std::string place_series(const std::string& directory, const std::string& name, int count, PendingGroup& frames);

}  // namespace kadrix::import
