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

#include "driver/band_pool.h"
#include "bmp/console.h"
#include "driver/machine.h"
#include "driver/memory_gate.h"
#include "driver/object_list.h"
#include "driver/object_memory.h"
#include "driver/ordered_transcript.h"
#include "driver/transcript.h"

namespace kadrix {

namespace {

// What the computation of an object left for its result pair.
struct Computed {
  FrameSequence frames;
  ImageStatistics statistics;
  double sigma = 0.0;  // the final one
};

// What the workers of a run share. Objects are taken in list order and
// computed side by side; everything a user sees keeps the one-core order.
struct Run {
  const Stages& stages;
  const std::string& directory;
  const NameTable& names;
  BandPool& pool;
  MemoryGate& gate;
  OrderedTranscript& transcript;
  std::atomic<std::size_t> next_object{0};
  std::atomic<bool> lost{false};

  // The next object of the list for a worker, or nothing when all are taken.
  std::optional<std::size_t> take_object() {
    const std::size_t object = next_object.fetch_add(1, std::memory_order_relaxed);
    if (object >= names.size()) return std::nullopt;
    return object;
  }
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
  auto say = [&](const std::string& text) { run.transcript.say(object, text); };

  Computed c;
  c.frames = memory.frames().load_frame_stack(run.directory, name);
  if (c.frames.unusable) say(unusable_frame_line(*c.frames.unusable));
  say(frames_text(name, c.frames.frame_count));
  if (c.frames.frame_count < 2) {
    say(too_few_frames_line());
    return std::nullopt;
  }
  const std::int32_t width = c.frames.size.width;
  const std::int32_t height = c.frames.size.height;
  const auto pixels = static_cast<std::size_t>(c.frames.pixel_count());

  const std::span<double> mean = memory.take_mean(pixels);
  memory.frames().combine_frames(c.frames.frame_count, mean);

  c.statistics = stages.image_statistics(mean);
  say(statistics_text(c.statistics));

  const std::span<std::uint8_t> bright = memory.take_flags(pixels);
  stages.threshold_above_level(mean, c.statistics.level, c.statistics.sigma, kSigmaFactor, bright);

  // The stages that work row by row run in bands that a worker with
  // nothing else to do may share: every pixel's result is the same
  // whoever computes it.
  const int bands = run.pool.workers() > 1 ? 4 * run.pool.workers() : 1;
  auto in_bands = [&](const std::function<void(RowRange)>& work) {
    run.pool.for_each_band(height, std::min(bands, std::max(1, height / kMinBandRows)), work);
  };
  auto band_of = [width](auto image, RowRange rows) {
    const auto w = static_cast<std::size_t>(width);
    return image.subspan(w * static_cast<std::size_t>(rows.first), w * static_cast<std::size_t>(rows.end - rows.first));
  };

  const std::span<double> background = memory.take_background(pixels);
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
  const PairBlocks pair = memory.take_pair(c.frames.size);
  const ResultImages images{width, height, mean, detections, c.statistics.level, c.sigma, c.frames.frame_count};
  in_bands([&](RowRange rows) { stages.encode_result_images(images, rows.first, rows.end, pair.sr, pair.ss); });
  return c;
}

// One object on a worker: its memory claimed, computed (again, alone, if
// memory ran out beside other objects), and in its turn its pair written.
void process_object(Run& run, std::size_t object, ObjectMemory& memory) {
  MemoryGate& gate = run.gate;
  OrderedTranscript& transcript = run.transcript;
  const std::string& name = run.names[object];
  auto say = [&](const std::string& text) { transcript.say(object, text); };

  const std::uint64_t need = object_working_set(run.stages, probe_frame(run.directory, name));
  bool alone = gate.start_object(object, memory.claim, need, [&] { memory.release(); });
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
      transcript.restart_text(object);
      gate.restart_alone(object, memory.claim, need);
      alone = true;
    }
  }
  bool lost = out_of_memory;
  if (out_of_memory) {
    gate.give_back(memory.claim, memory.claim);
    say(out_of_memory_line());
  }
  gate.computed(object);
  if (gate.memory_wanted()) gate.give_back(memory.claim, memory.release_scratch());

  transcript.wait_for_turn(object);
  // The old pair, held so that freeing its space waits until the turn has
  // passed to the next object.
  std::vector<FileHandle> replaced;
  if (computed) {
    const PairBlocks& pair = memory.pair();
    const EncodedPair encoded{computed->frames.size.width, computed->frames.size.height, pair.sr, pair.ss,
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
  transcript.finish(object);
  replaced.clear();
  if (gate.memory_wanted()) {
    memory.release();
    gate.give_back(memory.claim, memory.claim);
  }
}

void work(Run& run) {
  ObjectMemory memory(run.stages);
  while (const std::optional<std::size_t> object = run.take_object()) process_object(run, *object, memory);
  memory.release();
  run.gate.give_back(memory.claim, memory.claim);
  // The last objects may still have background bands to share out.
  run.transcript.wait_until_all_finished();
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
  BandPool pool(workers);
  MemoryGate gate(pool, memory_budget(workers - 1));
  OrderedTranscript transcript(pool, list.names.size(), console_write);
  Run run{stages, directory, list.names, pool, gate, transcript};
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
