#pragma once
// Gathering the numbered frames of one object.

#include <cstdint>
#include <memory>
#include <string>

#include "driver/object_record.h"

namespace kadrix {

// Samples 0..255; frame k (1-based file number) starts at (k - 1) * pixel_count.
struct FrameStack {
  std::unique_ptr<std::int32_t[]> samples;
  std::int64_t pixel_count = 0;
};

// "<directory><name><NN>.BMP", NN = 01 ... 99, then 100.
std::string frame_path(const std::string& directory, const std::string& name, int number);

// Reads frames 01, 02, ... up to the first one absent or unusable (reported
// as "Zly plik"), fills the record's geometry and frame_count and prints
// "Obr: %s Kl: %d ". Throws std::bad_alloc when the stack does not fit.
FrameStack load_frame_stack(const std::string& directory, const std::string& name,
                            ObjectRecord& record);

}  // namespace kadrix
