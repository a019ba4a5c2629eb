#pragma once
// Shared helpers of the kadrix tests: a scratch directory, a BMP byte
// builder of our own (so tests can make damaged and unusual files), a way
// to run the built binary, and small file helpers.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kadrix_test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The directory with a trailing '/', ready to be used as a name prefix.
  std::string prefix() const { return path_.string() + "/"; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// ---- files -------------------------------------------------------------

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);
void write_file(const std::string& path, const std::string& text);
bool exists(const std::string& path);
// Names of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::string& dir);

// Equal byte strings; otherwise says where they first differ, with the
// bytes around that place, and how long each is.
::testing::AssertionResult same_bytes(const Bytes& actual, const Bytes& expected);

// A list of count names "N0\nN1\n..." and the reader's echo of it,
// "N0 0\r\nN1 1\r\n...".
std::string numbered_names(int count);
std::string numbered_echo(int count);

// ---- BMP bytes ---------------------------------------------------------

void put_le16(Bytes& bytes, std::size_t offset, std::uint16_t value);
void put_le32(Bytes& bytes, std::size_t offset, std::uint32_t value);
std::uint32_t get_le32(const Bytes& bytes, std::size_t offset);

// Describes a BMP file to build. Defaults give exactly the layout of the
// project's greyscale writer: 40-byte information header, 256 grey palette
// entries, pixels right after the palette, rows bottom-up padded with
// zeros, resolution fields 1, image size field filled in.
struct BmpShape {
  std::int32_t width = 0;
  std::int32_t height = 0;           // number of rows (positive)
  std::vector<std::uint8_t> pixels;  // rows top-down, width * bits/8 bytes each
  std::uint16_t bits = 8;
  bool top_down = false;          // store rows top-down with a negative height field
  std::uint32_t info_size = 40;   // information header size; bytes past 40 are zero
  int palette_entries = 256;      // entries of 4 bytes written after the headers
  bool inverted_palette = false;  // entry i = (255-i, 255-i, 255-i, 0) instead of grey
  std::uint32_t gap = 0;          // extra bytes between the palette and the pixels
  std::uint8_t gap_byte = 0xA5;
  std::uint8_t pad_byte = 0;  // value of the row padding bytes
  std::uint32_t compression = 0;
};

Bytes build_bmp(const BmpShape& shape);

// An 8-bit frame with the default layout.
Bytes frame_bmp(std::int32_t width, std::int32_t height, const std::vector<std::uint8_t>& pixels);

// width * height copies of value.
std::vector<std::uint8_t> flat(std::int32_t width, std::int32_t height, std::uint8_t value);

// The four little-endian bytes of a single-precision number.
Bytes float_bytes(float value);

// ---- running the binary ------------------------------------------------

struct RunOptions {
  std::optional<std::string> stdin_data;  // none: standard input is /dev/null
  std::string cwd;                        // empty: inherit
  int timeout_seconds = 60;
  std::optional<unsigned> umask_value;
  std::uint64_t address_space_limit = 0;  // bytes, 0: no limit
  bool close_stdout_early = false;        // standard output is a pipe nobody reads
};

struct RunResult {
  int exit_status = -1;  // exit code, or -1 when the process was killed
  int signal = 0;        // signal that ended it, 0 if it exited
  bool timed_out = false;
  long peak_rss_kib = 0;  // the child's peak resident memory
  std::string out;
  std::string err;
};

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// ---- capturing this process's standard output --------------------------

// Runs fn with standard output (descriptor 1) sent to a file and returns
// every byte written there, from C stdio, C++ streams or write(2).
std::string capture_stdout(const std::function<void()>& fn);

// Lowers this process's address-space limit to its current size plus
// headroom for as long as the object lives, so that an allocation far
// larger than the headroom fails instead of succeeding through overcommit.
class AddressSpaceCap {
 public:
  explicit AddressSpaceCap(std::uint64_t headroom_bytes);
  ~AddressSpaceCap();
  AddressSpaceCap(const AddressSpaceCap&) = delete;
  AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

 private:
  bool active_ = false;
  std::uint64_t old_soft_ = 0;
};

}  // namespace kadrix_test
