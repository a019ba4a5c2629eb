#include "tools/inspect/regions.h"

#include <cstdio>

#include "tools/inspect/text_output.h"

namespace kadrix::inspect {

std::string region_text(std::span<const Source> sources, std::int32_t height) {
  std::string text = "# Region file format: DS9 version 4.1\nimage\n";
  char line[160];
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const Source& s = sources[i];
    std::snprintf(line, sizeof line, "circle(%.3f,%.3f,%.3f) # text={%zu}\n", fits_x(s), fits_y(s, height),
                  ring_radius(s), i + 1);
    text += line;
  }
  return text;
}

bool write_regions(const std::string& path, std::span<const Source> sources, std::int32_t height) {
  const std::string text = region_text(sources, height);
  return write_text_output(path, [&text](const TextSink& put) { put(text); });
}

}  // namespace kadrix::inspect
