#pragma once
// The straightforward kernels: each stage transcribed as plainly as it can
// be, a stack of every frame's samples with room for 100 frames and every
// background window summed pixel by pixel. The fast kernels are held to
// them byte for byte; they are never part of kadrix itself.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "bmp/frame_files.h"
#include "stats/background.h"

namespace kadrix::reference {

// Room for kMaxFrames frames of pixel_count samples 0 to 255, whatever the
// number present; frame k (1-based file number) starts at (k - 1) * pixel_count.
using FrameStack = std::unique_ptr<std::int32_t[]>;

// Reads the frames of an object into a stack allocated once frame 01 is
// known good. Throws std::bad_alloc when the stack does not fit.
FrameSequence load_frame_stack(const std::string& directory, const std::string& name, FrameStack& stack);

// Per pixel: sum and running maximum (from 0.0) of its samples in frame
// order, as doubles; mean = (sum - max) / (frame_count - 1).
void combine_frames(std::span<const std::int32_t> stack, std::int32_t pixel_count, std::int32_t frame_count,
                    std::span<double> mean_image);

// Every window of rows `rows` summed afresh, up to (2r+1)^2 positions a pixel.
void estimate_background(std::span<const double> mean_image, std::span<const std::uint8_t> bright_mask,
                         std::int32_t width, std::int32_t height, int r, RowRange rows, std::span<double> background);

}  // namespace kadrix::reference
