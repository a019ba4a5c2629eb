#pragma once
// Every message of kadrix, formatted here and nowhere else. Each function
// gives the text with '\n' line ends; the console writes them as CR LF.

#include <cstdint>
#include <string>

#include "bmp/frame_files.h"
#include "driver/object_list.h"
#include "stats/image_statistics.h"

namespace kadrix {

std::string usage_text();
std::string directory_line(const std::string& directory);
// The echo of every token with its index, then the capacity message when
// the list reached it; or "Brak pliku" when it is missing.
std::string list_text(const ObjectList& list, const std::string& list_path);
std::string object_count_line(std::size_t count);

std::string unusable_frame_line(const UnusableFrame& frame);
std::string frames_text(const std::string& name, std::int32_t frame_count);
std::string too_few_frames_line();
std::string statistics_text(const ImageStatistics& statistics);
std::string new_sigma_line(double sigma);
std::string write_failed_line(const std::string& path);
std::string out_of_memory_line();

}  // namespace kadrix
