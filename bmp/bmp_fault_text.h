#pragma once
// What each BMP fault is called, in the words kadrix prints. kadrix and
// kadrix-inspect both name a bad file's fault from this one table.

#include "bmp/bmp_reader.h"

namespace kadrix {

// A printf format for the fault: "%d" stands for BmpCheck::value where the
// fault names a field, otherwise the format takes no argument. BmpFault::none
// has no text of its own here (kadrix names a frame of the wrong size).
const char* bmp_fault_format(BmpFault fault);

// Every fault but none, in the order the header is checked.
inline constexpr BmpFault kBmpFaults[] = {
    BmpFault::short_header, BmpFault::no_signature, BmpFault::small_info_header, BmpFault::bit_count,
    BmpFault::compression,  BmpFault::data_offset,  BmpFault::width,             BmpFault::height,
    BmpFault::pixel_count,  BmpFault::short_pixels, BmpFault::read_failed,
};

}  // namespace kadrix
