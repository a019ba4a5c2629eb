#include "tools/inspect/text_output.h"

#include <cstdint>
#include <span>

#include "bmp/file_io.h"
#include "bmp/replace_files.h"

namespace kadrix::inspect {

bool write_text_output(const std::string& path, const std::function<void(const TextSink&)>& emit) {
  PendingGroup temp({path});
  OutputFile out(temp[0].temp_path);
  emit([&out](std::string_view text) {
    out.write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  });
  if (!out.finish()) return false;
  return temp.commit() < 0;
}

}  // namespace kadrix::inspect
