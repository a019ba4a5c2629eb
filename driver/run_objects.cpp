#include "driver/run_objects.h"

#include <malloc.h>

#include <csignal>
#include <functional>
#include <new>
#include <string>

#include "driver/console.h"
#include "driver/object_list.h"
#include "driver/transcript.h"

namespace kadrix {

namespace {

// One object's arrays, kept for the next object.
struct ObjectMemory {
  FrameStore frames;
  ImageBuffer<double> mean;
  ImageBuffer<std::uint8_t> bright;
  ImageBuffer<double> background;
  ImageBuffer<std::uint8_t> detections;
};

enum class Outcome { written, skipped, lost };

using Say = std::function<void(const std::string& text)>;

// The eight stages of one object, top to bottom; say() reports each piece
// of the transcript as soon as the stage that gives it has run.
Outcome process_object(const Stages& stages, const std::string& directory, const std::string& name,
                       ObjectMemory& memory, const Say& say) {
  const FrameSequence frames = stages.load_frame_stack(directory, name, memory.frames);
  if (frames.unusable) say(unusable_frame_line(*frames.unusable));
  say(frames_text(name, frames.frame_count));
  if (frames.frame_count < 2) {
    say(too_few_frames_line());
    return Outcome::skipped;
  }
  const std::int32_t width = frames.size.width;
  const std::int32_t height = frames.size.height;
  const auto pixels = static_cast<std::size_t>(frames.pixel_count());

  const std::span<double> mean = memory.mean.take(pixels);
  stages.combine_frames(memory.frames, frames.frame_count, mean);

  const ImageStatistics statistics = stages.image_statistics(mean);
  say(statistics_text(statistics));

  const std::span<std::uint8_t> bright = memory.bright.take(pixels);
  stages.threshold_above_level(mean, statistics.level, statistics.sigma, kSigmaFactor, bright);

  const std::span<double> background = memory.background.take(pixels);
  stages.estimate_background(mean, bright, width, height, kBackgroundRadius, {0, height}, background);

  const std::optional<double> residual = stages.residual_sigma(mean, background, bright);
  if (residual) say(new_sigma_line(*residual));
  const double sigma = residual.value_or(statistics.sigma);

  const std::span<std::uint8_t> detections = memory.detections.take(pixels);
  stages.threshold_above_background(mean, background, sigma, kSigmaFactor, detections);

  const std::optional<std::string> failed = stages.write_result_images(
      directory + name, {width, height, mean, detections, statistics.level, sigma, frames.frame_count});
  if (failed) {
    say(write_failed_line(*failed));
    return Outcome::lost;
  }
  return Outcome::written;
}

}  // namespace

int run_objects(int argc, const char* const* argv, const Stages& stages) {
  // A closed standard output or an exceeded file-size limit must surface as
  // failed writes, never end the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#ifdef __GLIBC__
  // Small working buffers freed between objects stay with the allocator
  // instead of going back to the system and being faulted in again.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif

  if (argc != 3) {
    console_write(usage_text());
    return 0;
  }
  const std::string directory = argv[1];
  console_write(directory_line(directory));
  const ObjectList list = read_object_list(argv[2], kNameCapacity);
  console_write(list_text(list, argv[2]));
  if (list.missing) return 0;
  console_write(object_count_line(list.names.size()));

  const Say say = [](const std::string& text) { console_write(text); };
  ObjectMemory memory;
  bool lost = false;
  for (const std::string& name : list.names) {
    Outcome outcome = Outcome::lost;
    try {
      outcome = process_object(stages, directory, name, memory, say);
    } catch (const std::bad_alloc&) {
      memory = ObjectMemory{};  // start the next object afresh
      say(out_of_memory_line());
    }
    if (outcome == Outcome::lost) lost = true;
  }
  return lost ? 1 : 0;
}

}  // namespace kadrix
