#pragma once
// The one catalogue of frame files that cannot serve as a frame: cut,
// forged, hostile, of another depth or size. Each comes with the verdict
// the reader gives and the reason the transcript names. Beside them stand
// sound files in unusual shapes, which must read as frames. Every case is a
// variant of one base frame of 9 x 7 pixels (stride 12: three padding bytes
// a row), so a case can stand in any place of an object of base frames.
// The reader's tests check each verdict; the end-to-end tests run kadrix on
// objects made of them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bmp/bmp_reader.h"
#include "test_support.h"

namespace kadrix_test {

inline constexpr std::int32_t kBaseWidth = 9;
inline constexpr std::int32_t kBaseHeight = 7;

// The base image, rows top-down: pixel (x, y) holds 10 y + x, but for a
// star of 200 at (4, 5). Every value differs, so a row read in the wrong
// order or from the wrong offset shows.
std::vector<std::uint8_t> base_pixels();
Bytes base_frame();

enum class FrameKind {
  damaged,     // the reader refuses the file itself
  other_size,  // a sound frame of another size than the base frame
  sound,       // a sound frame holding the base image
};

struct FrameCase {
  std::string title;  // unique; letters, digits and '_'
  FrameKind kind = FrameKind::damaged;
  Bytes bytes;
  // damaged: the reader's verdict on a frame, and the transcript's reason.
  kadrix::BmpCheck check;
  std::string reason;
  // Files of 24 or 32 bits a pixel: the verdict of a reader that takes
  // colour files too; every other file gets the same verdict there.
  std::optional<kadrix::BmpCheck> colour_check;
  // other_size: the frame's width and number of rows.
  std::int32_t width = kBaseWidth;
  std::int32_t height = kBaseHeight;
};

const std::vector<FrameCase>& frame_catalogue();

}  // namespace kadrix_test
