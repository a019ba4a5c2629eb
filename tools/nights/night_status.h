#pragma once
// The state of a night: what kadrix's transcript and exit say of it, and
// the status file (LIST.status) that keeps it. The file is lines
// "key=value": stan, wyjscie or sygnal, obiekty, przebieg. Written whole
// through a rename, so a reader sees the old file or the new one.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kadrix::nights {

enum class NightState { ok, remarks, lost, failed, busy };

// The state's word in the summary and in the status file.
const char* state_word(NightState state);
std::optional<NightState> state_from_word(std::string_view word);

// A night's state is finished work only when it is ok or uwagi.
inline bool is_done(NightState state) { return state == NightState::ok || state == NightState::remarks; }

struct NightStatus {
  NightState state = NightState::failed;
  int exit_status = -1;              // kadrix's exit status; -1 when a signal ended it
  int signal = 0;                    // the signal, 0 when it exited
  bool nothing_analysed = false;     // exit 0, yet the list was missing or too long
  std::vector<std::string> objects;  // uwagi: the objects with remarks; utracone: the objects lost
  std::string run;                   // the run of kadrix-nights that wrote it
};

// The state of a night whose kadrix ended with exit_status (or signal) and
// wrote transcript.
NightStatus classify_night(std::string_view transcript, int exit_status, int signal);

std::string format_status(const NightStatus& status);
// Nothing when the text is not a whole status file.
std::optional<NightStatus> parse_status(std::string_view text);

// The file at path, or nothing when it is absent or not a status file.
std::optional<NightStatus> read_status_file(const std::string& path);
// Replaces path with the status, through a temporary beside it; false
// when a write failed (path is then untouched).
bool write_status_file(const std::string& path, const NightStatus& status);

}  // namespace kadrix::nights
