#include "reference/reference_kernels.h"

namespace kadrix::reference {

FrameSequence load_frame_stack(const std::string& directory, const std::string& name, FrameStack& stack) {
  std::size_t pixel_count = 0;
  std::size_t width = 0;
  int number = 0;
  return read_frame_sequence(
      directory, name,
      [&](const BmpLayout& layout) {
        width = static_cast<std::size_t>(layout.width);
        pixel_count = width * static_cast<std::size_t>(layout.height);
        stack = std::make_unique_for_overwrite<std::int32_t[]>(static_cast<std::size_t>(kMaxFrames) * pixel_count);
      },
      [&](const BmpFile& frame) {
        std::int32_t* slot = stack.get() + static_cast<std::size_t>(number++) * pixel_count;
        return read_bmp_rows(frame, [&](std::int32_t y, std::span<const std::uint8_t> row) {
          std::int32_t* out = slot + width * static_cast<std::size_t>(y);
          for (std::size_t x = 0; x < width; ++x) out[x] = row[x];
        });
      });
}

void combine_frames(std::span<const std::int32_t> stack, std::int32_t pixel_count, std::int32_t frame_count,
                    std::span<double> mean_image) {
  const std::size_t stride = static_cast<std::size_t>(pixel_count);
  for (std::size_t p = 0; p < stride; ++p) {
    double sum = 0.0;
    double max = 0.0;
    for (std::int32_t j = 0; j < frame_count; ++j) {
      const double v = stack[static_cast<std::size_t>(j) * stride + p];
      if (v > max) max = v;
      sum = sum + v;
    }
    mean_image[p] = (sum - max) / (frame_count - 1);
  }
}

void estimate_background(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                         std::int32_t width, std::int32_t height, int r, RowRange rows, std::span<double> background) {
  const int last_row = height - 1 - kRowsLeftOutAtBottom;
  const int last_column = width - 1 - kColumnsLeftOutAtRight;
  for (int y = rows.first; y < rows.end; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum = 0.0;
      int n = 0;
      for (int ky = y - r; ky <= y + r; ++ky) {
        if (ky < kFirstUsableRow || ky > last_row) continue;
        for (int kx = x - r; kx <= x + r; ++kx) {
          if (kx < kFirstUsableColumn || kx > last_column) continue;
          const std::size_t i = static_cast<std::size_t>(ky) * width + kx;
          if (bright_mask[i] == 0) {
            sum = sum + mean_image[i];
            n = n + 1;
          }
        }
      }
      background[static_cast<std::size_t>(y) * width + x] = n > 0 ? sum / n : kEmptyWindowValue;
    }
  }
}

}  // namespace kadrix::reference
