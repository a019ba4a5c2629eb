#include "tools/nights/task.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "bmp/console.h"
#include "bmp/file_io.h"
#include "tools/common/cli.h"
#include "tools/nights/messages.h"
#include "tools/nights/night_lock.h"
#include "tools/nights/night_status.h"
#include "tools/nights/process.h"

namespace kadrix::nights {

namespace {

using namespace messages;

std::string read_text(const std::string& path) {
  std::uint64_t size = 0;
  FileHandle file = open_regular_file(path, size);
  if (!file.valid() || size > (std::uint64_t{1} << 30)) return "";
  std::string text(size, '\0');
  if (!read_exact_at(file.get(), {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}, 0)) return "";
  return text;
}

// A Slurm array index: digits only, at most 6 of them.
std::optional<int> parse_index(const char* text) {
  if (text == nullptr || *text == '\0' || std::strlen(text) > 6) return std::nullopt;
  int value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return std::nullopt;
    value = value * 10 + (*c - '0');
  }
  return value;
}

}  // namespace

int run_task(const NightFiles& night, const std::string& run, bool resume) {
  FileHandle lock;
  int error = 0;
  Lock taken = take_lock(night.lock, false, lock, error);
  if (taken == Lock::busy && resume) {
    console_print(kWaitingForNight, night.list.c_str());
    taken = take_lock(night.lock, true, lock, error);
  }
  switch (taken) {
    case Lock::taken: break;
    case Lock::busy: console_print(kNightBusy, night.list.c_str()); return kExitBusy;
    case Lock::unsupported: console_print(kNoLocking, night.lock.c_str(), std::strerror(error)); return cli::kExitFailed;
    case Lock::failed: console_print(kCannotLock, night.lock.c_str(), std::strerror(error)); return cli::kExitFailed;
  }
  if (resume) {
    // A run killed before may have finished this night while we waited.
    const auto status = read_status_file(night.status);
    if (status && is_done(status->state)) {
      console_print(kNightAlreadyDone, night.list.c_str());
      return cli::kExitOk;
    }
  }
  console_print(kNightStarts, night.list.c_str());
  unlink(night.part.c_str());
  FileHandle out(open(night.part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) {
    console_print(kWriteFailed, night.part.c_str());
    return cli::kExitFailed;
  }
  // kadrix holds the lock too: if this task is killed, the night stays
  // locked for as long as kadrix goes on.
  const Started started = start_program({"kadrix", night.frames, night.list}, out.get(), lock.get());
  if (started.pid < 0) {
    console_print(kCannotStart, "kadrix");
    return cli::kExitFailed;
  }
  const Ended end = wait_program(started.pid);
  const bool out_ok = out.close();
  std::string kept = night.part;
  if (end.signal == 0) {
    if (out_ok && rename(night.part.c_str(), night.transcript.c_str()) == 0) kept = night.transcript;
    else console_print(kWriteFailed, night.transcript.c_str());
  }
  const std::string transcript = read_text(kept);
  if (end.exit_status == 127 && transcript.empty()) console_print(kCannotStart, "kadrix");
  NightStatus status = classify_night(transcript, end.exit_status, end.signal);
  status.run = run;
  if (!write_status_file(night.status, status)) {
    console_print(kWriteFailed, night.status.c_str());
    return cli::kExitFailed;
  }
  return is_done(status.state) ? cli::kExitOk : cli::kExitFailed;
}

int run_task_line(const std::string& file, const std::string& run, bool resume) {
  // Array indices start at 0: task N runs line N + 1.
  const auto index = parse_index(std::getenv("SLURM_ARRAY_TASK_ID"));
  if (!index) {
    console_print(kNoTaskIndex);
    return cli::kExitWrongCall;
  }
  const int wanted = *index;
  const std::string text = read_text(file);
  int line = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (line == wanted && end > at) return run_task(night_files(text.substr(at, end - at), "/"), run, resume);
    at = end + 1;
    ++line;
  }
  console_print(kNoTaskLine, wanted + 1, file.c_str());
  return cli::kExitWrongCall;
}

}  // namespace kadrix::nights
