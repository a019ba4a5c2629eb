#pragma once
// Reading the list of objects to analyse.

#include <cstdint>
#include <optional>
#include <string>

#include "driver/object_record.h"

namespace kadrix {

// Reads white-space-separated names from list_path the way a text-mode C
// stream does (every CR dropped, byte 0x1A ends the data), echoing each with
// its index. Returns the number of names stored in the table, 0 once the
// list reaches the capacity, or nothing when the list cannot be opened
// ("Brak pliku" has been printed then).
std::optional<std::int32_t> read_object_list(const std::string& list_path, NameTable& name_table,
                                             int capacity);

}  // namespace kadrix
