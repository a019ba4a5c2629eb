#include "driver/run_objects.h"

#include <malloc.h>

#include <csignal>
#include <new>
#include <string>
#include <vector>

#include "bmp/frame_stack.h"
#include "driver/console.h"
#include "driver/object_list.h"
#include "driver/object_record.h"
#include "stats/background.h"
#include "stats/frame_stats.h"
#include "stats/result_images.h"

namespace kadrix {

namespace {

constexpr const char* kUsage =
    "\nZle wywolanie programu.\n"
    "Prawidlowe wywolanie: nazwa_programu sciezka_do_klatek plik_do_listy_klatek\n"
    "np. kadrix.exe c:\\dane\\ lista.list\n";

enum class Outcome { written, skipped, lost };

template <Kernels kKernels>
Outcome process_object(const std::string& directory, const std::string& name, ObjectRecord& record) {
  constexpr bool kFast = kKernels == Kernels::fast;
  try {
    std::span<const double> mean;
    {
      const auto stack = [&] {
        if constexpr (kFast) return fast::load_frame_stack(directory, name, record);
        else return load_frame_stack(directory, name, record);
      }();
      if (record.frame_count < 2) {
        console_write("za malo klatek, obiekt pominiety\n");
        return Outcome::skipped;
      }
      if constexpr (kFast) record.mean_image = fast::combine_frames(stack, record.pixel_count, record.frame_count);
      else record.mean_image = combine_frames(stack, record.pixel_count, record.frame_count);
      mean = record.mean_image;
    }
    image_statistics(mean, record.pixel_count, record.level, record.sigma);
    {
      const BrightMask bright_mask =
          threshold_above_level(mean, record.pixel_count, record.level, record.sigma, kSigmaFactor);
      if constexpr (kFast)
        record.background_image =
            fast::estimate_background(mean, bright_mask, record.width, record.height, kBackgroundRadius);
      else
        record.background_image =
            estimate_background(mean, bright_mask, record.width, record.height, kBackgroundRadius);
      residual_sigma(mean, record.background_image, bright_mask, record.pixel_count, record.sigma);
    }
    record.detection_mask = threshold_above_background(mean, record.background_image,
                                                       record.pixel_count, record.sigma, kSigmaFactor);
    return write_result_images(record, name, directory) ? Outcome::written : Outcome::lost;
  } catch (const std::bad_alloc&) {
    console_write("brak pamieci, obiekt pominiety\n");
    return Outcome::lost;
  }
}

}  // namespace

int run_objects(int argc, const char* const* argv, Kernels kernels) {
  // A closed standard output or an exceeded file-size limit must surface as
  // failed writes, never end the run.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
#ifdef __GLIBC__
  // The objects of a night are mostly of one size: memory an object frees
  // stays with the allocator for the next one, instead of going back to the
  // system and being faulted in and cleared again. At most 128 MiB is kept
  // so; larger images come from and return to the system directly.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
#endif

  if (argc != 3) {
    console_write(kUsage);
    return 0;
  }
  const std::string directory = argv[1];
  console_print("%s sciezka do plikow BMP\n", directory.c_str());

  NameTable name_table;
  const std::optional<std::int32_t> count = read_object_list(argv[2], name_table, kNameCapacity);
  if (!count) return 0;
  console_print("%d obrazkow do analizy\n", *count);

  std::vector<ObjectRecord> records(static_cast<std::size_t>(*count));
  bool lost = false;
  for (std::int32_t i = 0; i < *count; ++i) {
    ObjectRecord& record = records[static_cast<std::size_t>(i)];
    record.index = i;
    const std::string& name = name_table[static_cast<std::size_t>(i)];
    const Outcome outcome = kernels == Kernels::fast ? process_object<Kernels::fast>(directory, name, record)
                                                     : process_object<Kernels::straightforward>(directory, name, record);
    if (outcome == Outcome::lost) lost = true;
    // Nothing reads an object's images once its results are on disk.
    record = ObjectRecord{};
    record.index = i;
  }
  return lost ? 1 : 0;
}

}  // namespace kadrix
