#pragma once
// printf-style formatting in the C locale, into a string of any length:
// the one way every program here turns a message format into its text.

#include <cstdarg>
#include <string>

namespace kadrix {

std::string text_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string text_vformat(const char* format, std::va_list args);

}  // namespace kadrix
