#include "bmp/frame_stack.h"

#include <cstdio>
#include <new>

#include "bmp/bmp_reader.h"
#include "driver/console.h"

namespace kadrix {

std::string frame_path(const std::string& directory, const std::string& name, int number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%02d.BMP", number);
  return directory + name + suffix;
}

FrameStack load_frame_stack(const std::string& directory, const std::string& name,
                            ObjectRecord& record) {
  record.width = record.height = record.pixel_count = record.frame_count = 0;
  FrameStack stack;
  int frames = 0;
  for (int number = 1; number <= kMaxFrames; ++number) {
    const std::string path = frame_path(directory, name, number);
    BmpFile bmp;
    BmpFault fault = BmpFault::none;
    const FrameRead opened = open_bmp(path, bmp, fault);
    if (opened == FrameRead::absent) break;
    const BmpLayout& layout = bmp.layout;
    // Frames are 8-bit and share the size of frame 01.
    bool usable = opened == FrameRead::ok && layout.bits == 8 &&
                  (number == 1 || (layout.width == record.width && layout.height == record.height));
    if (usable && number == 1) {
      record.width = layout.width;
      record.height = layout.height;
      record.pixel_count = layout.width * layout.height;
      stack.pixel_count = record.pixel_count;
      stack.samples = std::make_unique_for_overwrite<std::int32_t[]>(
          static_cast<std::size_t>(kMaxFrames) * static_cast<std::size_t>(stack.pixel_count));
    }
    if (usable) {
      std::int32_t* slot = stack.samples.get() + static_cast<std::size_t>(number - 1) * stack.pixel_count;
      const std::size_t width = static_cast<std::size_t>(record.width);
      usable = read_bmp_rows(bmp, [&](std::int32_t y, std::span<const std::uint8_t> row) {
        std::int32_t* out = slot + width * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < width; ++x) out[x] = row[x];
      });
    }
    if (!usable) {
      console_print("Zly plik %s\n", path.c_str());
      break;
    }
    ++frames;
  }
  record.frame_count = frames;
  console_print("Obr: %s Kl: %d ", name.c_str(), frames);
  return stack;
}

}  // namespace kadrix
