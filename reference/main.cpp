// kadrix-straightforward: kadrix with the reference kernels in the stages
// that have fast ones (loading, combining, the background map), on one
// worker: the plain build its results and its speed are compared with.

#include "driver/run_objects.h"
#include "reference/reference_kernels.h"

namespace {

using namespace kadrix;

FrameSequence load_stack(const std::string& directory, const std::string& name, FrameStore& frames) {
  return reference::load_frame_stack(directory, name, frames.stack);
}

void combine_stack(const FrameStore& frames, std::int32_t frame_count, std::span<double> mean_image) {
  const auto pixel_count = static_cast<std::int32_t>(mean_image.size());
  reference::combine_frames({frames.stack.get(), mean_image.size() * static_cast<std::size_t>(frame_count)},
                            pixel_count, frame_count, mean_image);
}

// The 100-frame stack of 32-bit samples.
std::uint64_t stack_working_set(std::optional<FrameSize> first_frame) {
  return first_frame ? driver_working_set(*first_frame, 4 * kMaxFrames) : 0;
}

const Stages kReferenceStages{
    load_stack,
    combine_stack,
    image_statistics,
    threshold_above_level,
    reference::estimate_background,
    residual_sigma,
    threshold_above_background,
    encode_result_images,
    write_result_pair,
    stack_working_set,
};

}  // namespace

int main(int argc, char** argv) { return run_objects(argc, argv, kReferenceStages, 1); }
