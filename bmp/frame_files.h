#pragma once
// The frames of an object: 8-bit BMP files DIR + NAME + "01.BMP", "02.BMP",
// ... "99.BMP", "100.BMP", numbered without gaps. Read by kadrix, written by
// the sample generator and the importer.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"

namespace kadrix {

inline constexpr int kMaxFrames = 100;

// "<directory><name><NN>.BMP", NN = 01 ... 99, then 100.
std::string frame_path(const std::string& directory, const std::string& name, int number);

struct FrameSize {
  std::int32_t width = 0;
  std::int32_t height = 0;  // number of rows, whichever way they are stored
  bool operator==(const FrameSize&) const = default;
};

// A regular file that cannot serve as a frame, and the rule it broke: a
// fault of the file itself, or (check.ok()) a size other than frame 01's.
struct UnusableFrame {
  std::string path;
  BmpCheck check;
  FrameSize size;        // for a size other than frame 01's: this frame's
  FrameSize first_size;  // and frame 01's
};

// What an object's frame files held: frames 01, 02, ... up to the first
// number that is absent or unusable, at most kMaxFrames.
struct FrameSequence {
  FrameSize size;  // frame 01's, when it is usable
  std::int32_t frame_count = 0;
  std::optional<UnusableFrame> unusable;
  std::int64_t pixel_count() const { return std::int64_t{size.width} * size.height; }
};

// Visits the frames of an object in number order. start(layout) runs once
// frame 01 is known good, before any pixels are read (it may throw, e.g.
// std::bad_alloc when its pixels cannot be held); take(frame) then reads
// each usable frame, frame 01 included, and says whether every read
// succeeded. A frame of another size than frame 01's, or one whose rows
// cannot be read, is unusable and ends the sequence, as an absent one does.
FrameSequence read_frame_sequence(const std::string& directory, const std::string& name,
                                  const std::function<void(const BmpLayout& first)>& start,
                                  const std::function<bool(const BmpFile& frame)>& take);

// The size of frame 01 of an object when it opens as a usable frame: what
// loading the object will take memory for, known before any pixel is read.
std::optional<FrameSize> probe_frame(const std::string& directory, const std::string& name);

// An 8-bit image, rows top-down, width bytes a row.
struct ByteImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

// Writes a frame as kadrix reads it: 8 bits, grey palette, rows bottom-up.
// True when the file was created, written and closed without a fault.
bool write_frame(const std::string& path, const ByteImage& image);

}  // namespace kadrix
