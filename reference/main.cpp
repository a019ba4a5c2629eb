// kadrix-straightforward: kadrix with the reference kernels in the stages
// that have fast ones (loading, combining, the background map), on one
// worker: the plain build its results and its speed are compared with.

#include "driver/run_objects.h"
#include "reference/reference_kernels.h"

namespace {

using namespace kadrix;

// Every frame's samples, room for kMaxFrames.
class FrameStackStore final : public FrameStore {
 public:
  static constexpr std::uint64_t kBytesPerPixel = sizeof(std::int32_t) * kMaxFrames;

  FrameSequence load_frame_stack(const std::string& directory, const std::string& name) override {
    // The stack is made afresh for each object: none of the last one's is kept.
    release();
    const FrameSequence frames = reference::load_frame_stack(directory, name, stack_);
    if (stack_) held_ = kBytesPerPixel * static_cast<std::uint64_t>(frames.pixel_count());
    return frames;
  }
  void combine_frames(std::int32_t frame_count, std::span<double> mean_image) const override {
    const auto pixel_count = static_cast<std::int32_t>(mean_image.size());
    reference::combine_frames({stack_.get(), mean_image.size() * static_cast<std::size_t>(frame_count)},
                              pixel_count, frame_count, mean_image);
  }
  std::uint64_t held_bytes() const override { return held_; }
  void release() noexcept override {
    stack_.reset();
    held_ = 0;
  }

 private:
  reference::FrameStack stack_;
  std::uint64_t held_ = 0;
};

std::unique_ptr<FrameStore> new_frame_stack_store() { return std::make_unique<FrameStackStore>(); }

const Stages kReferenceStages{
    new_frame_stack_store,
    FrameStackStore::kBytesPerPixel,
    image_statistics,
    threshold_above_level,
    reference::estimate_background,
    residual_sigma,
    threshold_above_background,
    encode_result_images,
    write_result_pair,
};

}  // namespace

int main(int argc, char** argv) { return run_objects(argc, argv, kReferenceStages, 1); }
