#include "driver/transcript.h"

#include "bmp/bmp_fault_text.h"
#include "driver/messages.h"
#include "bmp/text_format.h"

namespace kadrix {

namespace {

using namespace messages;

// Why a frame file is unusable: a fault of the file, or its size against
// frame 01's.
std::string frame_fault_reason(const UnusableFrame& frame) {
  if (frame.check.fault == BmpFault::none)
    return text_format(kFrameSize, frame.size.width, frame.size.height, frame.first_size.width,
                       frame.first_size.height);
  return text_format(bmp_fault_format(frame.check.fault), frame.check.value);
}

}  // namespace

std::string usage_text() { return kUsage; }

std::string directory_line(const std::string& directory) { return text_format(kDirectory, directory.c_str()); }

std::string list_text(const ObjectList& list, const std::string& list_path) {
  if (list.missing) return text_format(kNoList, list_path.c_str());
  std::string text;
  for (std::size_t i = 0; i < list.tokens.size(); ++i)
    text += text_format(kListToken, list.tokens[i].c_str(), static_cast<int>(i));
  if (list.over_capacity) text += kListTooLong;
  return text;
}

std::string object_count_line(std::size_t count) { return text_format(kObjectCount, static_cast<int>(count)); }

std::string unusable_frame_line(const UnusableFrame& frame) {
  return text_format(kUnusableFrame, frame.path.c_str(), frame_fault_reason(frame).c_str());
}

std::string frames_text(const std::string& name, std::int32_t frame_count) {
  return text_format(kFrames, name.c_str(), frame_count);
}

std::string too_few_frames_line() { return kTooFewFrames; }

std::string statistics_text(const ImageStatistics& statistics) {
  return text_format(kStatistics, statistics.level, statistics.sigma);
}

std::string new_sigma_line(double sigma) { return text_format(kNewSigma, sigma); }

std::string write_failed_line(const std::string& path) { return text_format(kWriteFailed, path.c_str()); }

std::string out_of_memory_line() { return kOutOfMemory; }

}  // namespace kadrix
