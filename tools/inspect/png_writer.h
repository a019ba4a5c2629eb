#pragma once
// PNG images through libpng: 8-bit RGB, made row by row, either into a
// file or into memory (the night report embeds its previews).

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kadrix::inspect {

// Fills image row y (0 = top) with width pixels of red, green, blue bytes.
using RgbRowSource = std::function<void(std::int32_t y, std::span<std::uint8_t> rgb)>;

// Creates path afresh and writes the image into it. True when the file was
// created, written and closed without a fault; the caller replaces the
// final name and removes the file on failure.
bool write_png_file(const std::string& path, std::int32_t width, std::int32_t height, const RgbRowSource& row);

// The encoded image, or nothing when memory ran out.
std::optional<std::vector<std::uint8_t>> encode_png(std::int32_t width, std::int32_t height,
                                                    const RgbRowSource& row);

}  // namespace kadrix::inspect
