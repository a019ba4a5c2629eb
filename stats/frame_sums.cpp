#include "stats/frame_sums.h"

#include <algorithm>

namespace kadrix {

namespace {

const std::uint8_t* stored_row(const StoredRows& frame, std::int32_t y) {
  const std::int32_t file_row = frame.top_down ? y : frame.height - 1 - y;
  return frame.bytes.data() + frame.stride * static_cast<std::size_t>(file_row);
}

// Whole numbers: any order and any vector width give the same sums.
inline __attribute__((always_inline)) void add_frame_body(const StoredRows& frame, const FrameSums& sums) {
  const std::size_t w = static_cast<std::size_t>(frame.width);
  for (std::int32_t y = 0; y < frame.height; ++y) {
    const std::uint8_t* __restrict in = stored_row(frame, y);
    std::uint16_t* __restrict sum = sums.sum.data() + w * static_cast<std::size_t>(y);
    std::uint8_t* __restrict max = sums.max.data() + w * static_cast<std::size_t>(y);
    for (std::size_t x = 0; x < w; ++x) {
      sum[x] = static_cast<std::uint16_t>(sum[x] + in[x]);
      max[x] = std::max(max[x], in[x]);
    }
  }
}

void add_frame_generic(const StoredRows& frame, const FrameSums& sums) { add_frame_body(frame, sums); }

#ifdef KADRIX_X86_VARIANTS
__attribute__((target("avx2"))) void add_frame_avx2(const StoredRows& frame, const FrameSums& sums) {
  add_frame_body(frame, sums);
}

__attribute__((target("avx512bw"))) void add_frame_avx512(const StoredRows& frame, const FrameSums& sums) {
  add_frame_body(frame, sums);
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

void start_frame_sums(const StoredRows& frame, const FrameSums& sums) {
  const std::size_t w = static_cast<std::size_t>(frame.width);
  for (std::int32_t y = 0; y < frame.height; ++y) {
    const std::uint8_t* in = stored_row(frame, y);
    std::copy(in, in + w, sums.sum.begin() + static_cast<std::ptrdiff_t>(w * static_cast<std::size_t>(y)));
    std::copy(in, in + w, sums.max.begin() + static_cast<std::ptrdiff_t>(w * static_cast<std::size_t>(y)));
  }
}

std::span<const KernelVariant<FrameAdder>> frame_adders() { return kFrameAdders; }

void add_frame(const StoredRows& frame, const FrameSums& sums) {
  static const KernelVariant<FrameAdder>& widest = widest_supported(frame_adders());
  widest.run(frame, sums);
}

void combine_frames(std::span<const std::uint16_t> sum, std::span<const std::uint8_t> max,
                    std::int32_t frame_count, std::span<double> mean) {
  const std::int32_t divisor = frame_count - 1;
  for (std::size_t p = 0; p < mean.size(); ++p) mean[p] = static_cast<double>(sum[p] - max[p]) / divisor;
}

}  // namespace kadrix
