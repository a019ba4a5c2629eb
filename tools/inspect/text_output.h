#pragma once
// Text outputs of kadrix-inspect (region files, the night report): written
// to a temporary beside the final name and renamed over it once complete.

#include <functional>
#include <string>
#include <string_view>

namespace kadrix::inspect {

// Receives the text of the file piece by piece.
using TextSink = std::function<void(std::string_view)>;

// Runs emit with a sink into a temporary file and renames that over path.
// True on success; on failure the old file of that name, if any, is
// untouched and no temporary is left.
bool write_text_output(const std::string& path, const std::function<void(const TextSink&)>& emit);

}  // namespace kadrix::inspect
