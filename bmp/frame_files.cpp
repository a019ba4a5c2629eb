#include "bmp/frame_files.h"

#include <algorithm>
#include <cstdio>

namespace kadrix {

std::string frame_path(const std::string& directory, const std::string& name, int number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%02d.BMP", number);
  return directory + name + suffix;
}

FrameSequence read_frame_sequence(const std::string& directory, const std::string& name,
                                  const std::function<void(const BmpLayout& first)>& start,
                                  const std::function<bool(const BmpFile& frame)>& take) {
  FrameSequence sequence;
  for (int number = 1; number <= kMaxFrames; ++number) {
    const std::string path = frame_path(directory, name, number);
    BmpFile frame;
    BmpCheck check;
    const BmpOpen opened = open_bmp(path, frame, check);
    if (opened == BmpOpen::absent) break;
    if (opened == BmpOpen::unusable) {
      sequence.unusable = UnusableFrame{path, check, {}, {}};
      break;
    }
    const FrameSize size{frame.layout.width, frame.layout.height};
    if (number == 1) {
      sequence.size = size;
      start(frame.layout);
    } else if (size != sequence.size) {
      sequence.unusable = UnusableFrame{path, {}, size, sequence.size};
      break;
    }
    if (!take(frame)) {
      sequence.unusable = UnusableFrame{path, {BmpFault::read_failed}, {}, {}};
      break;
    }
    ++sequence.frame_count;
  }
  if (sequence.frame_count == 0) sequence.size = {};
  return sequence;
}

std::optional<FrameSize> probe_frame(const std::string& directory, const std::string& name) {
  BmpFile frame;
  BmpCheck check;
  if (open_bmp(frame_path(directory, name, 1), frame, check) != BmpOpen::ok) return std::nullopt;
  return FrameSize{frame.layout.width, frame.layout.height};
}

bool write_frame(const std::string& path, const ByteImage& image) {
  const std::size_t width = static_cast<std::size_t>(image.width);
  return write_bmp(path, image.width, image.height, grey_palette(), [&](std::int32_t y, std::span<std::uint8_t> row) {
    const std::uint8_t* in = image.pixels.data() + width * static_cast<std::size_t>(y);
    std::copy(in, in + width, row.begin());
  });
}

}  // namespace kadrix
