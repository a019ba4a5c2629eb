#pragma once
// Shared helpers of the kadrix tests: a scratch directory, a BMP byte
// builder of our own (so tests can make damaged and unusual files), the one
// way the tests start a process, and small file helpers.

#include <gtest/gtest.h>

#include <sys/types.h>

#include <array>
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

// text with every '\n' turned into the CR LF the programs write.
std::string crlf(const std::string& text);

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

// ---- running a program --------------------------------------------------

// The sanitizer runtimes reserve terabytes of address space at start, so an
// address-space limit cannot work in that build.
#ifdef KADRIX_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// A system call the traced child is about to make.
struct SyscallEntry {
  pid_t pid = -1;
  long number = -1;  // SYS_openat, SYS_pread64, ...
  std::array<std::uint64_t, 6> args{};
};

// The path an open, openat or creat call names; "" for any other call.
std::string opened_path(const SyscallEntry& call);

struct RunOptions {
  std::optional<std::string> stdin_data;  // none: standard input is /dev/null
  std::string cwd;                        // empty: inherit
  int timeout_seconds = 60;               // then the child is killed and timed_out set
  std::optional<unsigned> umask_value;
  std::uint64_t address_space_limit = 0;  // bytes, 0: no limit
  bool close_stdout_early = false;        // standard output is a pipe nobody reads
  std::uint64_t file_size_limit = 0;      // RLIMIT_FSIZE in bytes, 0: no limit
  // The child can start no thread: RLIMIT_NPROC 1, which binds only a user
  // other than root, so a child of root runs as nobody (65534; its inputs
  // must be readable by all). The sanitizer's leak check, which needs a
  // thread, is off.
  bool no_new_threads = false;
  // Under the sanitizers: the largest single allocation, in MiB, the child
  // may make before it stops with a report (ASAN_OPTIONS); 0: no cap.
  std::uint64_t largest_allocation_mib = 0;
  // Variables "NAME=value" the child gets besides this process's own; one
  // of the same name replaces the inherited one.
  std::vector<std::string> environment;
  // Traces the child from its start: on_syscall sees every system call as
  // it is entered, the child held meanwhile, until it returns true; the
  // child then runs on untraced. Its output is read only after that, so it
  // must print less than a pipe holds (64 KiB) before.
  std::function<bool(const SyscallEntry& call)> on_syscall;
  // SIGKILL as soon as this holds for the standard output read so far.
  std::function<bool(const std::string& out)> kill_on_output;
  // Names created in or moved into watched_dir are counted from before the
  // child starts (and, with count_removals, names moved out or removed);
  // SIGKILL as soon as kill_on_names holds for the count.
  std::string watched_dir;
  bool count_removals = false;
  std::function<bool(int names)> kill_on_names;
};

struct RunResult {
  int exit_status = -1;  // exit code, or -1 when the process was killed
  int signal = 0;        // signal that ended it, 0 if it exited
  bool timed_out = false;
  long peak_rss_kib = 0;  // the child's peak resident memory
  std::string out;
  std::string err;
  pid_t pid = -1;
  bool killed = false;      // a kill_on_output or kill_on_names condition held
  int names = 0;            // names that appeared in watched_dir, the whole run
  bool traced = false;      // on_syscall: the system let the child be traced
  bool trace_done = false;  // on_syscall returned true before the child ended
};

// Runs program with args: every process the tests start goes through here.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

// Options that hold a child to the memory a run on small files needs: 64 MiB
// of address space, or under the sanitizers no allocation above 16 MiB.
RunOptions capped_memory();

// ---- frames --------------------------------------------------------------

// "<prefix><name><NN>.BMP", NN with two digits (three for 100).
std::string frame_file(const std::string& prefix, const std::string& name, int number);

// Entries of dir whose names hold ".tmp.": temporaries of result files.
std::vector<std::string> temporaries(const std::string& dir);

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
