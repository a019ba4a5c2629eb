#include "bmp/frame_stack.h"

#include <algorithm>
#include <cstdio>

#include "bmp/bmp_reader.h"
#include "driver/console.h"

namespace kadrix {

std::string frame_path(const std::string& directory, const std::string& name, int number) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%02d.BMP", number);
  return directory + name + suffix;
}

namespace {

// The frame sequence of one object, shared by both loaders: frames 01, 02,
// ... while present; an unusable one is reported and ends the sequence.
// first(layout) runs once frame 01 is known good, before its pixels are
// read; take(number, bmp) reads a frame and says whether that worked.
template <class First, class Take>
void for_each_frame(const std::string& directory, const std::string& name, ObjectRecord& record,
                    First&& first, Take&& take) {
  record.width = record.height = record.pixel_count = record.frame_count = 0;
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
      first(layout);
    }
    if (usable) usable = take(number, bmp);
    if (!usable) {
      console_print("Zly plik %s\n", path.c_str());
      break;
    }
    ++frames;
  }
  record.frame_count = frames;
  console_print("Obr: %s Kl: %d ", name.c_str(), frames);
}

}  // namespace

FrameStack load_frame_stack(const std::string& directory, const std::string& name,
                            ObjectRecord& record) {
  FrameStack stack;
  for_each_frame(
      directory, name, record,
      [&](const BmpLayout&) {
        stack.pixel_count = record.pixel_count;
        stack.samples = std::make_unique_for_overwrite<std::int32_t[]>(
            static_cast<std::size_t>(kMaxFrames) * static_cast<std::size_t>(stack.pixel_count));
      },
      [&](int number, const BmpFile& bmp) {
        std::int32_t* slot = stack.samples.get() + static_cast<std::size_t>(number - 1) * stack.pixel_count;
        const std::size_t width = static_cast<std::size_t>(record.width);
        return read_bmp_rows(bmp, [&](std::int32_t y, std::span<const std::uint8_t> row) {
          std::int32_t* out = slot + width * static_cast<std::size_t>(y);
          for (std::size_t x = 0; x < width; ++x) out[x] = row[x];
        });
      });
  return stack;
}

namespace fast {

namespace {

// Whole numbers: any order and any vector width give the same sums.
inline __attribute__((always_inline)) void add_frame_body(std::span<const std::uint8_t> block,
                                                          const BmpLayout& layout, FrameSums& sums) {
  const std::size_t w = static_cast<std::size_t>(layout.width);
  for (std::int32_t file_row = 0; file_row < layout.height; ++file_row) {
    const std::int32_t y = layout.image_row(file_row);
    const std::uint8_t* __restrict in = block.data() + layout.stride * static_cast<std::uint64_t>(file_row);
    std::uint16_t* __restrict sum = sums.sum.data() + w * static_cast<std::size_t>(y);
    std::uint8_t* __restrict max = sums.max.data() + w * static_cast<std::size_t>(y);
    for (std::size_t x = 0; x < w; ++x) {
      sum[x] = static_cast<std::uint16_t>(sum[x] + in[x]);
      max[x] = std::max(max[x], in[x]);
    }
  }
}

void add_frame_generic(std::span<const std::uint8_t> block, const BmpLayout& layout, FrameSums& sums) {
  add_frame_body(block, layout, sums);
}

#ifdef KADRIX_X86_VARIANTS
__attribute__((target("avx2"))) void add_frame_avx2(std::span<const std::uint8_t> block, const BmpLayout& layout,
                                                    FrameSums& sums) {
  add_frame_body(block, layout, sums);
}

__attribute__((target("avx512bw"))) void add_frame_avx512(std::span<const std::uint8_t> block,
                                                          const BmpLayout& layout, FrameSums& sums) {
  add_frame_body(block, layout, sums);
}

constexpr KernelVariant<FrameAdder> kFrameAdders[] = {
    {"avx512", cpu_has_avx512bw, add_frame_avx512},
    {"avx2", cpu_has_avx2, add_frame_avx2},
    {"sse2", runs_anywhere, add_frame_generic},
};
#else
constexpr KernelVariant<FrameAdder> kFrameAdders[] = {
    {"generic", runs_anywhere, add_frame_generic},
};
#endif

}  // namespace

std::span<const KernelVariant<FrameAdder>> frame_adders() { return kFrameAdders; }

void add_frame(std::span<const std::uint8_t> block, const BmpLayout& layout, FrameSums& sums) {
  static const KernelVariant<FrameAdder>& widest = widest_supported(frame_adders());
  widest.run(block, layout, sums);
}

FrameSums load_frame_stack(const std::string& directory, const std::string& name,
                           ObjectRecord& record) {
  FrameSums sums;
  std::vector<std::uint8_t> block;
  for_each_frame(
      directory, name, record,
      [&](const BmpLayout& layout) {
        sums.sum.assign(static_cast<std::size_t>(record.pixel_count), 0);
        sums.max.assign(static_cast<std::size_t>(record.pixel_count), 0);
        block.reserve(static_cast<std::size_t>(layout.block_bytes()));
      },
      [&](int, const BmpFile& bmp) {
        if (!read_bmp_block(bmp, block)) return false;
        add_frame(block, bmp.layout, sums);
        return true;
      });
  return sums;
}

}  // namespace fast

}  // namespace kadrix
