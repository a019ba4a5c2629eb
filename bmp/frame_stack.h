#pragma once
// Gathering the numbered frames of one object.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bmp/bmp_reader.h"
#include "driver/kernel_variant.h"
#include "driver/object_record.h"

namespace kadrix {

// Samples 0..255; frame k (1-based file number) starts at (k - 1) * pixel_count.
// Room for kMaxFrames frames whatever the number present.
struct FrameStack {
  std::unique_ptr<std::int32_t[]> samples;
  std::int64_t pixel_count = 0;
};

// "<directory><name><NN>.BMP", NN = 01 ... 99, then 100.
std::string frame_path(const std::string& directory, const std::string& name, int number);

// Reads frames 01, 02, ... up to the first one absent or unusable (reported
// as "Zly plik"), fills the record's geometry and frame_count and prints
// "Obr: %s Kl: %d ". Throws std::bad_alloc when the stack does not fit.
FrameStack load_frame_stack(const std::string& directory, const std::string& name,
                            ObjectRecord& record);

namespace fast {

// All that the combination needs of the frames, gathered frame by frame:
// per pixel the sum of the samples and the largest sample. 3 bytes a pixel
// whatever the number of frames.
struct FrameSums {
  std::vector<std::uint16_t> sum;  // at most kMaxFrames * 255
  std::vector<std::uint8_t> max;
};

// As load_frame_stack above, with the same frames, messages and record;
// a frame joins the sums only once it has been read whole.
FrameSums load_frame_stack(const std::string& directory, const std::string& name,
                           ObjectRecord& record);

// Adds one frame, a pixel block as the file stores it, to the sums.
void add_frame(std::span<const std::uint8_t> block, const BmpLayout& layout, FrameSums& sums);

// The builds of add_frame for each instruction set, widest first.
using FrameAdder = void (*)(std::span<const std::uint8_t> block, const BmpLayout& layout, FrameSums& sums);
std::span<const KernelVariant<FrameAdder>> frame_adders();

}  // namespace fast

}  // namespace kadrix
