#include "driver/run_objects.h"

#include <malloc.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/console.h"
#include "driver/crew.h"
#include "driver/machine.h"
#include "driver/object_list.h"
#include "driver/transcript.h"

namespace kadrix {

namespace {

// A worker's arrays, kept from object to object. The bright mask's memory
// takes the detections once the residual sigma no longer needs it, and the
// background map's the bytes of the result pair once the detections are
// made.
struct ObjectMemory {
  FrameStore frames;
  ImageBuffer<double> mean;
  ImageBuffer<std::uint8_t> flags;
  ImageBuffer<double> background;
  std::uint64_t claim = 0;  // what the crew counts this worker as holding

  // What only the computation needs, not the writing of the results.
  std::uint64_t release_scratch() {
    const std::uint64_t bytes = frames.sum.held_bytes() + frames.max.held_bytes() + frames.block.held_bytes() +
                                mean.held_bytes() + flags.held_bytes();
    frames = FrameStore{};
    mean.release();
    flags.release();
    return bytes;
  }
  // The SR and SS blocks of an object, one after the other where its
  // background map was: 8 bytes a pixel hold two padded rows of any width.
  std::span<std::uint8_t> pair_bytes(FrameSize size) {
    const std::size_t bytes = 2 * result_block_bytes(size.width, size.height);
    const std::span<double> held = background.take((bytes + sizeof(double) - 1) / sizeof(double));
    return {reinterpret_cast<std::uint8_t*>(held.data()), bytes};
  }
  void release() {
    release_scratch();
    background.release();
  }
};

// What the computation of an object left for its result pair.
struct Computed {
  FrameSequence frames;
  ImageStatistics statistics;
  double sigma = 0.0;  // the final one
};

struct Run {
  const Stages& stages;
  const std::string& directory;
  const NameTable& names;
  Crew& crew;
  std::atomic<bool> lost{false};
};

// Rows a band of the background map takes at least, so that refilling a
// band's first windows stays small beside its work.
constexpr std::int32_t kMinBandRows = 32;

// Stages 1 to 8 of one object, top to bottom; say() reports each piece of
// the transcript as soon as the stage that gives it has run. Nothing when
// the object has too few frames.
std::optional<Computed> compute_object(const Run& run, std::size_t object, ObjectMemory& memory) {
  const Stages& stages = run.stages;
  const std::string& name = run.names[object];
  auto say = [&](const std::string& text) { run.crew.say(object, text); };

  Computed c;
  c.frames = stages.load_frame_stack(run.directory, name, memory.frames);
  if (c.frames.unusable) say(unusable_frame_line(*c.frames.unusable));
  say(frames_text(name, c.frames.frame_count));
  if (c.frames.frame_count < 2) {
    say(too_few_frames_line());
    return std::nullopt;
  }
  const std::int32_t width = c.frames.size.width;
  const std::int32_t height = c.frames.size.height;
  const auto pixels = static_cast<std::size_t>(c.frames.pixel_count());

  const std::span<double> mean = memory.mean.take(pixels);
  stages.combine_frames(memory.frames, c.frames.frame_count, mean);

  c.statistics = stages.image_statistics(mean);
  say(statistics_text(c.statistics));

  const std::span<std::uint8_t> bright = memory.flags.take(pixels);
  stages.threshold_above_level(mean, c.statistics.level, c.statistics.sigma, kSigmaFactor, bright);

  // The stages that work row by row run in bands that a worker with
  // nothing else to do may share: every pixel's result is the same
  // whoever computes it.
  const int bands = run.crew.workers() > 1 ? 4 * run.crew.workers() : 1;
  auto in_bands = [&](const std::function<void(RowRange)>& work) {
    run.crew.for_each_band(height, std::min(bands, std::max(1, height / kMinBandRows)), work);
  };
  auto band_of = [width](auto image, RowRange rows) {
    const auto w = static_cast<std::size_t>(width);
    return image.subspan(w * static_cast<std::size_t>(rows.first), w * static_cast<std::size_t>(rows.end - rows.first));
  };

  const std::span<double> background = memory.background.take(pixels);
  in_bands([&](RowRange rows) {
    stages.estimate_background(mean, bright, width, height, kBackgroundRadius, rows, background);
  });

  const std::optional<double> residual = stages.residual_sigma(mean, background, bright);
  if (residual) say(new_sigma_line(*residual));
  c.sigma = residual.value_or(c.statistics.sigma);

  const std::span<std::uint8_t> detections = bright;
  in_bands([&](RowRange rows) {
    stages.threshold_above_background(band_of(std::span<const double>(mean), rows),
                                      band_of(std::span<const double>(background), rows), c.sigma, kSigmaFactor,
                                      band_of(detections, rows));
  });

  // The pair's pixels take the background map's place: only once every
  // band above has ended.
  const std::span<std::uint8_t> pair = memory.pair_bytes(c.frames.size);
  const ResultImages images{width, height, mean, detections, c.statistics.level, c.sigma, c.frames.frame_count};
  in_bands([&](RowRange rows) {
    stages.encode_result_images(images, rows.first, rows.end, pair.first(pair.size() / 2), pair.last(pair.size() / 2));
  });
  return c;
}

// One object on a worker: its memory claimed, computed (again, alone, if
// memory ran out beside other objects), and in its turn its pair written.
void process_object(Run& run, std::size_t object, ObjectMemory& memory) {
  Crew& crew = run.crew;
  const std::string& name = run.names[object];
  auto say = [&](const std::string& text) { crew.say(object, text); };

  const std::uint64_t need = run.stages.working_set(probe_frame(run.directory, name));
  bool alone = crew.start_object(object, memory.claim, need, [&] { memory.release(); });
  std::optional<Computed> computed;
  bool out_of_memory = false;
  for (;;) {
    try {
      computed = compute_object(run, object, memory);
      break;
    } catch (const std::bad_alloc&) {
      memory.release();
      if (alone) {
        out_of_memory = true;
        break;
      }
      crew.restart_text(object);
      crew.restart_alone(object, memory.claim, need);
      alone = true;
    }
  }
  bool lost = out_of_memory;
  if (out_of_memory) {
    crew.give_back(memory.claim, memory.claim);
    say(out_of_memory_line());
  }
  crew.computed(object);
  if (crew.memory_wanted()) crew.give_back(memory.claim, memory.release_scratch());

  crew.wait_for_turn(object);
  // The old pair, held so that freeing its space waits until the turn has
  // passed to the next object.
  std::vector<FileHandle> replaced;
  if (computed) {
    const std::span<const std::uint8_t> pair = memory.pair_bytes(computed->frames.size);
    const EncodedPair encoded{computed->frames.size.width,  computed->frames.size.height,
                              pair.first(pair.size() / 2), pair.last(pair.size() / 2),
                              computed->statistics.level,  computed->sigma,
                              computed->frames.frame_count};
    try {
      if (const std::optional<std::string> failed =
              run.stages.write_result_pair(run.directory + name, encoded, &replaced)) {
        say(write_failed_line(*failed));
        lost = true;
      }
    } catch (const std::bad_alloc&) {
      say(out_of_memory_line());
      lost = true;
    }
  }
  if (lost) run.lost = true;
  crew.finish(object);
  replaced.clear();
  if (crew.memory_wanted()) {
    memory.release();
    crew.give_back(memory.claim, memory.claim);
  }
}

void work(Run& run) {
  ObjectMemory memory;
  while (const std::optional<std::size_t> object = run.crew.next_object()) process_object(run, *object, memory);
  memory.release();
  run.crew.give_back(memory.claim, memory.claim);
  // The last objects may still have background bands to share out.
  run.crew.help_until_done();
}

}  // namespace

int run_objects(int argc, const char* const* argv, const Stages& stages, int workers) {
  ignore_output_signals();
#ifdef __GLIBC__
  // Blocks below 2 MiB (row buffers, file buffers, the background's window
  // rows) come from the allocator's heaps and stay there when freed, to be
  // taken again by the next file or band instead of faulted in afresh; an
  // object's arrays have pages of their own, kept between objects.
  mallopt(M_MMAP_THRESHOLD, 2 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // The workers allocate little, and seldom: one heap serves them all. A
  // heap of its own costs a worker a 64 MiB mapping as it starts, which
  // waits for the address space while another worker faults pages in.
  mallopt(M_ARENA_MAX, 1);
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
  if (list.names.empty()) return 0;

  if (workers <= 0) workers = usable_cores();
  Crew crew(list.names.size(), workers, memory_budget(workers - 1));
  Run run{stages, directory, list.names, crew};
  // This thread is one worker; a thread that cannot start is done without.
  const WorkerPlacement placement;
  const auto placed = std::make_unique<std::atomic<bool>[]>(static_cast<std::size_t>(workers));
  std::vector<std::thread> threads;
  for (int i = 1; i < workers; ++i) {
    std::atomic<bool>& worker_placed = placed[static_cast<std::size_t>(i)];
    try {
      threads.emplace_back([&run, &placement, &worker_placed] {
        placement.let_go(worker_placed);
        work(run);
      });
    } catch (const std::system_error&) {
      break;
    }
    placement.place(threads.back(), i, worker_placed);
  }
  work(run);
  for (std::thread& thread : threads) thread.join();
  return run.lost ? 1 : 0;
}

}  // namespace kadrix
