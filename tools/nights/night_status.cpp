#include "tools/nights/night_status.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bmp/file_io.h"

namespace kadrix::nights {

namespace {

// kadrix's own words (driver/messages.h) that decide a night's state.
constexpr std::string_view kObjectLine = "Obr: ";
constexpr std::string_view kWriteFailed = "Blad zapisu pliku";
constexpr std::string_view kOutOfMemory = "brak pamieci, obiekt pominiety";
constexpr std::string_view kBadFrame = "Zly plik";
constexpr std::string_view kTooFewFrames = "za malo klatek";
constexpr std::string_view kNoList = "Brak pliku";
constexpr std::string_view kListTooLong = "Za duzo linii";

constexpr struct {
  NightState state;
  const char* word;
} kWords[] = {
    {NightState::ok, "ok"},           {NightState::remarks, "uwagi"}, {NightState::lost, "utracone"},
    {NightState::failed, "blad"},     {NightState::busy, "zajeta"},
};

void add_once(std::vector<std::string>& names, const std::string& name) {
  if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

bool parse_int(std::string_view text, int& out) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  std::size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  out = text[0] == '-' ? -value : value;
  return true;
}

}  // namespace

const char* state_word(NightState state) {
  for (const auto& w : kWords)
    if (w.state == state) return w.word;
  return "blad";
}

std::optional<NightState> state_from_word(std::string_view word) {
  for (const auto& w : kWords)
    if (word == w.word) return w.state;
  return std::nullopt;
}

NightStatus classify_night(std::string_view transcript, int exit_status, int signal) {
  NightStatus status;
  status.exit_status = signal != 0 ? -1 : exit_status;
  status.signal = signal;
  std::vector<std::string> lost;
  std::vector<std::string> remarks;
  bool nothing = false;
  std::string object;  // the object the lines now speak of
  std::size_t at = 0;
  while (at < transcript.size()) {
    std::size_t end = transcript.find('\n', at);
    if (end == std::string_view::npos) end = transcript.size();
    std::string_view line = transcript.substr(at, end - at);
    at = end + 1;
    if (line.starts_with(kObjectLine)) {
      const std::string_view rest = line.substr(kObjectLine.size());
      object = std::string(rest.substr(0, rest.find(' ')));
    }
    if (line.find(kWriteFailed) != std::string_view::npos || line.find(kOutOfMemory) != std::string_view::npos)
      add_once(lost, object);
    if (line.find(kTooFewFrames) != std::string_view::npos) add_once(remarks, object);
    if (line.starts_with(kBadFrame)) {
      // "Zly plik PATH: reason": the file is named.
      const std::size_t colon = line.find(": ");
      add_once(remarks, std::string(line.substr(kBadFrame.size() + 1, colon - kBadFrame.size() - 1)));
    }
    if (line.starts_with(kNoList) || line.starts_with(kListTooLong)) nothing = true;
  }
  if (signal != 0) {
    status.state = NightState::failed;
  } else if (exit_status == 0) {
    status.nothing_analysed = nothing;
    status.state = nothing ? NightState::failed : remarks.empty() ? NightState::ok : NightState::remarks;
    if (status.state == NightState::remarks) status.objects = remarks;
  } else if (exit_status == 1 && !lost.empty()) {
    status.state = NightState::lost;
    status.objects = lost;
  } else {
    status.state = NightState::failed;
  }
  return status;
}

std::string format_status(const NightStatus& status) {
  std::string text = "stan=" + std::string(state_word(status.state)) + "\n";
  if (status.signal != 0) text += "sygnal=" + std::to_string(status.signal) + "\n";
  else text += "wyjscie=" + std::to_string(status.exit_status) + "\n";
  if (status.nothing_analysed) text += "nic=1\n";
  text += "obiekty=";
  for (std::size_t i = 0; i < status.objects.size(); ++i) text += (i ? " " : "") + status.objects[i];
  text += "\nprzebieg=" + status.run + "\n";
  return text;
}

std::optional<NightStatus> parse_status(std::string_view text) {
  NightStatus status;
  bool has_state = false, has_end = false, has_run = false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    if (key == "stan") {
      const auto state = state_from_word(value);
      if (!state) return std::nullopt;
      status.state = *state;
      has_state = true;
    } else if (key == "wyjscie") {
      if (!parse_int(value, status.exit_status)) return std::nullopt;
      has_end = true;
    } else if (key == "sygnal") {
      if (!parse_int(value, status.signal) || status.signal <= 0) return std::nullopt;
      status.exit_status = -1;
      has_end = true;
    } else if (key == "nic") {
      status.nothing_analysed = value == "1";
    } else if (key == "obiekty") {
      std::size_t from = 0;
      while (from < value.size()) {
        std::size_t space = value.find(' ', from);
        if (space == std::string_view::npos) space = value.size();
        if (space > from) status.objects.emplace_back(value.substr(from, space - from));
        from = space + 1;
      }
    } else if (key == "przebieg") {
      status.run = std::string(value);
      has_run = true;
    }
  }
  if (!has_state || !has_end || !has_run) return std::nullopt;
  return status;
}

std::optional<NightStatus> read_status_file(const std::string& path) {
  std::uint64_t size = 0;
  FileHandle file = open_regular_file(path, size);
  if (!file.valid() || size > 1 << 20) return std::nullopt;
  std::string text(size, '\0');
  if (!read_exact_at(file.get(), {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}, 0))
    return std::nullopt;
  return parse_status(text);
}

bool write_status_file(const std::string& path, const NightStatus& status) {
  const std::string text = format_status(status);
  const std::string temp = path + ".tmp." + std::to_string(getpid());
  FileHandle file(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.valid()) return false;
  bool ok = write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fsync(file.get()) == 0 && ok;
  ok = file.close() && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

}  // namespace kadrix::nights
