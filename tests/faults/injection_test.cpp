// Every file-writing call of a whole run failed in turn. The test copies of
// the programs (kadrix-injected, ...: the same code with injection/
// fail_nth.cpp in front of open, write, close, rename and link) are run
// once to count their calls, then once for each call number N and each
// errno, from the same files each time. After every run:
//  - a failure is reported with the program's message for a failed write
//    and exit status 1, once; a run that reports none wrote everything;
//  - each file the program replaces as a group (a result pair, a series
//    with its frames, an output) is wholly as it was or wholly as a clean
//    run leaves it, and the one the message names is as it was;
//  - the program went on where it promises to (kadrix and kadrix-inspect
//    to their next object or output; kadrix-import stops), its transcript
//    being the clean run's with the message in place;
//  - nothing else in the directory changed and no temporary is left.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/syscall.h>

#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fault_support.h"
#include "import_support.h"
#include "inspect_support.h"

namespace {

using kadrix_test::Bytes;
using kadrix_test::RunResult;
using kadrix_test::TempDir;
using Snapshot = std::map<std::string, Bytes>;

constexpr const char* kErrors[] = {"ENOSPC", "EIO", "EACCES"};

// Files a program replaces together, and the lines it prints when it
// cannot (one per file it may name).
struct Group {
  std::vector<std::string> names;  // entries of the output directory
  std::vector<std::string> messages;
};

struct Scenario {
  std::string title;
  std::string injected;  // the test copy
  std::string shipped;   // the program as installed
  std::vector<std::string> args;
  std::string dir;   // where the outputs go
  Snapshot before;   // that directory before every run
  std::vector<Group> groups;
  bool goes_on = true;  // after a failed group, the later ones are still written
  bool pinned = false;  // one core, so that the calls come in one order
};

// A FITS header's DATE card holds the time of the run; blanked so that two
// runs can be compared.
void blank_fits_date(Bytes& bytes) {
  constexpr std::size_t kCard = 80;
  for (std::size_t at = 0; at + kCard <= bytes.size(); at += kCard) {
    const std::string card(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                           bytes.begin() + static_cast<std::ptrdiff_t>(at + kCard));
    if (card.starts_with("END ")) return;
    if (card.starts_with("DATE    =")) std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), kCard, ' ');
  }
}

Snapshot state(const std::string& dir) {
  Snapshot files = import_test::snapshot(dir);
  for (auto& [name, bytes] : files)
    if (name.ends_with(".fits")) blank_fits_date(bytes);
  return files;
}

void restore(const std::string& dir, const Snapshot& files) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove_all(entry.path());
  for (const auto& [name, bytes] : files) kadrix_test::write_file(dir + "/" + name, bytes);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end + 1 - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// The program, on the first core this process may use when pinned.
std::vector<std::string> command(const Scenario& s, const std::string& program) {
  std::vector<std::string> line = {program};
  cpu_set_t set;
  CPU_ZERO(&set);
  if (s.pinned && kadrix_test::exists("/usr/bin/taskset") && sched_getaffinity(0, sizeof set, &set) == 0) {
    int cpu = 0;
    while (!CPU_ISSET(cpu, &set)) ++cpu;
    line = {"/usr/bin/taskset", "-c", std::to_string(cpu), program};
  }
  line.insert(line.end(), s.args.begin(), s.args.end());
  return line;
}

RunResult run(const Scenario& s, const std::string& program, kadrix_test::RunOptions options = {}) {
  restore(s.dir, s.before);
  const std::vector<std::string> line = command(s, program);
  return kadrix_test::run_program(line[0], std::vector<std::string>(line.begin() + 1, line.end()), options);
}

// A run of the test copy failing call `at` (0: none) with errno `error`;
// calls receives the hook's line for every call counted.
RunResult run_injected(const Scenario& s, int at, const std::string& error, std::vector<std::string>& calls) {
  TempDir scratch;
  const std::string log = scratch.file("calls");
  kadrix_test::RunOptions options;
  options.environment = {"KADRIX_FAIL_AT=" + std::to_string(at), "KADRIX_FAIL_ERRNO=" + error,
                         "KADRIX_FAIL_LOG=" + log};
  const RunResult result = run(s, s.injected, options);
  calls.clear();
  if (kadrix_test::exists(log)) {
    const Bytes bytes = kadrix_test::read_file(log);
    for (std::string line : lines_of(std::string(bytes.begin(), bytes.end()))) {
      line.pop_back();
      calls.push_back(line);
    }
  }
  // Threads that write side by side may log their calls out of turn: in
  // the order of their numbers, calls[N - 1] is call N.
  const auto number = [](const std::string& line) { return std::strtoull(line.c_str(), nullptr, 10); };
  std::stable_sort(calls.begin(), calls.end(),
                   [&](const std::string& a, const std::string& b) { return number(a) < number(b); });
  return result;
}

struct Clean {
  RunResult run;
  Snapshot files;
};

// Checks one faulted run against the clean one; true when the program
// reported the failure.
bool check_faulted(const Scenario& s, const Clean& clean, const RunResult& r, const std::string& call) {
  SCOPED_TRACE(s.title + ", call " + call);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(kadrix_test::temporaries(s.dir), std::vector<std::string>{});
  const Snapshot after = state(s.dir);

  std::vector<std::string> lines = lines_of(r.out);
  const auto is_failure = [](const std::string& line) { return line.find("Blad zapisu pliku") != std::string::npos; };
  const auto failure = std::find_if(lines.begin(), lines.end(), is_failure);
  if (failure == lines.end()) {
    // Nothing reported: nothing may be missing either.
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_EQ(r.out, clean.run.out);
    EXPECT_TRUE(after == clean.files) << "a failure reported as success";
    return false;
  }
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), is_failure), 1) << r.out;
  const std::string message = *failure;
  const bool last = failure + 1 == lines.end();
  lines.erase(failure);

  std::size_t failed = s.groups.size();
  for (std::size_t g = 0; g < s.groups.size(); ++g) {
    const std::vector<std::string>& m = s.groups[g].messages;
    if (std::find(m.begin(), m.end(), message) != m.end()) failed = g;
  }
  EXPECT_LT(failed, s.groups.size()) << "a message for no output: " << message;
  if (failed == s.groups.size()) return true;

  // The groups the program wrote are as the clean run left them; the one
  // that failed, and those it never came to, as they were.
  Snapshot expected = s.before;
  for (std::size_t g = 0; g < s.groups.size(); ++g) {
    if (g == failed || (g > failed && !s.goes_on)) continue;
    for (const std::string& name : s.groups[g].names) {
      if (clean.files.contains(name)) expected[name] = clean.files.at(name);
      else expected.erase(name);
    }
  }
  for (const auto& [name, bytes] : expected) {
    if (!after.contains(name)) ADD_FAILURE() << name << " is gone";
    else EXPECT_TRUE(kadrix_test::same_bytes(after.at(name), bytes)) << name;
  }
  for (const auto& entry : after)
    EXPECT_TRUE(expected.contains(entry.first)) << entry.first << " should not be there";

  if (s.goes_on) {
    EXPECT_EQ(joined(lines), clean.run.out) << "the run did not go on";
  } else {
    EXPECT_TRUE(last) << r.out;
    EXPECT_TRUE(clean.run.out.starts_with(joined(lines))) << r.out;
  }
  return true;
}

// The write-side system calls of a run: opens that may write, writes to
// anything but the standard streams, renames and links.
struct SyscallCount {
  int opens = 0;
  int writes = 0;
  int renames = 0;
  int links = 0;
  bool operator==(const SyscallCount&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SyscallCount& c) {
  return os << c.opens << " opens, " << c.writes << " writes, " << c.renames << " renames, " << c.links << " links";
}

SyscallCount count_of(const std::vector<std::string>& calls) {
  SyscallCount c;
  for (const std::string& line : calls) {
    std::istringstream fields(line);
    std::string number, kind;
    fields >> number >> kind;
    if (kind == "open") ++c.opens;
    if (kind == "write") ++c.writes;
    if (kind == "rename" || kind == "exchange") ++c.renames;
    if (kind == "link") ++c.links;
  }
  return c;
}

bool may_write(std::uint64_t flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) != 0; }

void run_scenario(const Scenario& s) {
  Clean clean;
  clean.run = run(s, s.shipped);
  clean.files = state(s.dir);
  ASSERT_EQ(clean.run.exit_status, 0) << clean.run.out << clean.run.err;

  // The count, and the copy shown to be the shipped program: the same
  // transcript, the same files.
  std::vector<std::string> calls;
  const RunResult counted = run_injected(s, 0, "EIO", calls);
  ASSERT_EQ(counted.exit_status, 0) << counted.out << counted.err;
  EXPECT_EQ(counted.out, clean.run.out);
  EXPECT_TRUE(state(s.dir) == clean.files) << "the test copy writes other files";
  ASSERT_FALSE(calls.empty());

  // The hook sees every write the shipped program makes: as many as the
  // system calls that a trace of it counts.
  if (!kadrix_test::kSanitized) {
    SyscallCount traced;
    kadrix_test::RunOptions options;
    options.on_syscall = [&traced](const kadrix_test::SyscallEntry& call) {
      const auto& a = call.args;
      switch (call.number) {
        case SYS_open: traced.opens += may_write(a[1]); break;
        case SYS_openat: traced.opens += may_write(a[2]); break;
        case SYS_creat: ++traced.opens; break;
        case SYS_write:
        case SYS_pwrite64:
        case SYS_writev:
        case SYS_pwritev: traced.writes += a[0] > 2; break;
        case SYS_rename:
        case SYS_renameat:
        case SYS_renameat2: ++traced.renames; break;
        case SYS_link:
        case SYS_linkat: ++traced.links; break;
        default: break;
      }
      return false;
    };
    // Not pinned: the trace would have to follow taskset's exec.
    Scenario unpinned = s;
    unpinned.pinned = false;
    const RunResult r = run(unpinned, s.shipped, options);
    if (r.traced) {
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(count_of(calls), traced) << "calls the hook does not see";
    }
  }

  int reported = 0;
  std::vector<std::string> absorbed;
  for (std::size_t at = 1; at <= calls.size(); ++at) {
    // Each errno at every call; under the sanitizers, whose every start
    // is slow, one errno a call in turn.
    std::vector<const char*> errors(std::begin(kErrors), std::end(kErrors));
    if (kadrix_test::kSanitized) errors = {kErrors[at % std::size(kErrors)]};
    for (const char* error : errors) {
      std::vector<std::string> seen;
      const RunResult r = run_injected(s, static_cast<int>(at), error, seen);
      // Call `at` of this run: with threads writing side by side, not
      // always the clean run's call `at`.
      const std::string call = seen.size() >= at ? seen[at - 1] : calls[at - 1] + " <- " + error;
      ASSERT_GE(seen.size(), at) << call;
      EXPECT_TRUE(seen[at - 1].ends_with(std::string(" <- ") + error)) << "another call failed: " << seen[at - 1];
      if (check_faulted(s, clean, r, call)) {
        ++reported;
      } else {
        // Only the link that keeps an old file reachable while a group
        // takes its names has a way around its failure; any other failed
        // call must be reported.
        EXPECT_TRUE(call.find(" link ") != std::string::npos) << "a failure reported as success: " << call;
        absorbed.push_back(call);
      }
      if (::testing::Test::HasFailure()) return;
    }
  }
  std::cout << s.title << ": " << calls.size() << " calls, " << reported << " failures reported, "
            << absorbed.size() << " absorbed\n";
  for (const std::string& call : absorbed) std::cout << "  absorbed: " << call << "\n";
}

std::string crlf_line(const std::string& text) { return text + "\r\n"; }

// A result pair for each path the program may name for it.
Group pair_group(const std::string& dir, const std::string& name) {
  Group g;
  for (const char* file : {"SR.BMP", "SS.BMP"}) {
    g.names.push_back(name + file);
    g.messages.push_back(crlf_line("Blad zapisu pliku " + dir + name + file));
  }
  return g;
}

Group output_group(const std::string& dir, const std::string& name) {
  return {{name}, {crlf_line("Blad zapisu pliku " + dir + "/" + name)}};
}

// ---- kadrix ---------------------------------------------------------------

// Pinned to one core the calls come in one order; on every core the
// workers write pairs side by side, and call N is whichever comes N-th.
class FailedKadrixCall : public ::testing::TestWithParam<bool> {};

TEST_P(FailedKadrixCall, KeepsEachPairWholeAndGoesOn) {
  TempDir dir;
  const std::vector<std::string> names = {"ALPHA", "BETA", "GAMMA"};
  for (std::size_t i = 0; i < names.size(); ++i)
    kadrix_faults::write_object(dir.prefix(), names[i], 16, 12, 3, static_cast<int>(i) + 1);
  const std::string list = kadrix_faults::write_list(dir, names);
  // Old pairs of an earlier night for the first and last objects.
  for (const std::string& name : {names[0], names[2]})
    for (const char* file : {"SR.BMP", "SS.BMP"}) kadrix_test::write_file(dir.file(name + file), "old " + name + file);

  Scenario s;
  s.pinned = GetParam();
  s.title = s.pinned ? "kadrix, one core" : "kadrix, every core";
  s.injected = KADRIX_INJECTED_BIN;
  s.shipped = KADRIX_BIN;
  s.args = {dir.prefix(), list};
  s.dir = dir.path().string();
  s.before = state(s.dir);
  for (const std::string& name : names) s.groups.push_back(pair_group(dir.prefix(), name));
  run_scenario(s);
}

INSTANTIATE_TEST_SUITE_P(Cores, FailedKadrixCall, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OneCore" : "EveryCore"; });

// ---- kadrix-import ----------------------------------------------------------

// The four frames NEB01..NEB04 kadrix-import writes into dir, put in place
// together: a frame that cannot be written, or a series that cannot take
// its place, names the frame.
Group imported_series(const TempDir& dir) {
  Group series;
  for (int n = 1; n <= 4; ++n) {
    const std::string path = kadrix_test::frame_file(dir.prefix(), "NEB", n);
    series.names.push_back(std::filesystem::path(path).filename().string());
    series.messages.push_back(crlf_line("Blad zapisu pliku " + path));
    series.messages.push_back(crlf_line("Blad zapisu pliku " + path + "; katalog zostaje bez zmian"));
  }
  return series;
}

TEST(FailedCall, KadrixImportKeepsTheSeriesAndTheListWhole) {
  TempDir dir, sources;
  // An old series of four frames, replaced by one of three; another
  // object's frame; the list naming that object.
  for (int n = 1; n <= 4; ++n) {
    kadrix_test::write_file(kadrix_test::frame_file(dir.prefix(), "NEB", n),
                            kadrix_test::frame_bmp(4, 3, kadrix_test::flat(4, 3, static_cast<std::uint8_t>(n))));
  }
  kadrix_test::write_file(dir.file("M3101.BMP"), kadrix_test::frame_bmp(4, 3, kadrix_test::flat(4, 3, 9)));
  const std::string list = dir.file("noc.list");
  kadrix_test::write_file(list, "M31\n");
  import_test::SerVideo video;
  video.width = 5;
  video.height = 2;
  video.frames = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, {21, 22, 23, 24, 25, 26, 27, 28, 29, 30}};
  const std::string source = sources.file("neb.ser");
  kadrix_test::write_file(source, import_test::ser_bytes(video));
  // Darks and a flat whose masters replace an old one and add two more.
  import_test::SerVideo darks = video;
  darks.frames = {{1, 1, 1, 1, 1, 2, 2, 2, 2, 2}, {1, 1, 1, 1, 1, 2, 2, 2, 2, 3}};
  const std::string dark = sources.file("dark.ser");
  kadrix_test::write_file(dark, import_test::ser_bytes(darks));
  import_test::SerVideo flats = video;
  flats.frames = {{50, 50, 50, 50, 50, 60, 60, 60, 60, 60}};
  const std::string flat = sources.file("flat.ser");
  kadrix_test::write_file(flat, import_test::ser_bytes(flats));
  kadrix_test::write_file(dir.file("master_dark.fits"), std::string("old master"));

  Scenario s;
  s.title = "kadrix-import";
  s.injected = KADRIX_IMPORT_INJECTED_BIN;
  s.shipped = KADRIX_IMPORT_BIN;
  s.args = {"--replace", "--list", list, "--dark", dark, "--bias", dark, "--flat", flat, "--save-masters",
            dir.prefix(), dir.prefix(), "NEB", source};
  s.dir = dir.path().string();
  s.before = state(s.dir);
  // The masters, each replaced on its own, before any frame.
  for (const char* master : {"master_dark.fits", "master_bias.fits", "master_flat.fits"})
    s.groups.push_back({{master}, {crlf_line("Blad zapisu pliku " + dir.file(master))}});
  s.groups.push_back(imported_series(dir));
  s.groups.push_back({{"noc.list"}, {crlf_line("Blad zapisu pliku " + list + " (klatki zapisane, lista bez zmian)")}});
  s.goes_on = false;
  run_scenario(s);
}

// Aligned, the shifts file is a file of its own: written before the frames
// are placed (a failure then leaves everything as it was) and put in place
// right after them (a failure then leaves the frames new, the file old).
TEST(FailedCall, KadrixImportAlignedKeepsTheSeriesAndTheShiftsFileWhole) {
  TempDir dir, sources;
  for (int n = 1; n <= 4; ++n) {
    kadrix_test::write_file(kadrix_test::frame_file(dir.prefix(), "NEB", n),
                            kadrix_test::frame_bmp(4, 3, kadrix_test::flat(4, 3, static_cast<std::uint8_t>(n))));
  }
  const std::string shifts = dir.file("shifts.csv");
  kadrix_test::write_file(shifts, std::string("old shifts\r\n"));
  const std::string list = dir.file("noc.list");
  kadrix_test::write_file(list, "M31\n");
  // Three frames of a few stars, moved by whole pixels.
  import_test::SerVideo video;
  video.width = 64;
  video.height = 48;
  const double stars[][3] = {{10, 12, 150}, {40, 9, 90}, {25, 30, 200}, {52, 38, 120}, {15, 40, 70}, {33, 20, 60}};
  for (const auto& [ox, oy] : {std::pair{0, 0}, std::pair{1, -1}, std::pair{-2, 1}}) {
    std::vector<std::uint32_t> frame;
    for (int y = 0; y < video.height; ++y)
      for (int x = 0; x < video.width; ++x) {
        double v = 20 + (x * 7 + y * 13) % 5;
        for (const auto& star : stars) {
          const double r2 = (x + ox - star[0]) * (x + ox - star[0]) + (y + oy - star[1]) * (y + oy - star[1]);
          v += star[2] * std::exp(-r2 / 6);
        }
        frame.push_back(static_cast<std::uint32_t>(std::min(250.0, v)));
      }
    video.frames.push_back(frame);
  }
  const std::string source = sources.file("neb.ser");
  kadrix_test::write_file(source, import_test::ser_bytes(video));

  Scenario s;
  s.title = "kadrix-import --align";
  s.injected = KADRIX_IMPORT_INJECTED_BIN;
  s.shipped = KADRIX_IMPORT_BIN;
  s.args = {"--replace", "--align", "--shifts", shifts, "--list", list, dir.prefix(), "NEB", source};
  s.dir = dir.path().string();
  s.before = state(s.dir);
  // The shifts file's temporary, before any frame is placed.
  s.groups.push_back({{}, {crlf_line("Blad zapisu pliku " + shifts)}});
  s.groups.push_back(imported_series(dir));
  s.groups.push_back(
      {{"shifts.csv"}, {crlf_line("Blad zapisu pliku " + shifts + " (klatki zapisane, plik przesuniec bez zmian)")}});
  s.groups.push_back({{"noc.list"}, {crlf_line("Blad zapisu pliku " + list + " (klatki zapisane, lista bez zmian)")}});
  s.goes_on = false;
  run_scenario(s);
}

// ---- kadrix-inspect -----------------------------------------------------------

struct InspectCase {
  const char* title;
  const char* overlay;  // the overlay's name: its ending chooses BMP or PNG
};

void PrintTo(const InspectCase& c, std::ostream* os) { *os << c.title; }

class FailedInspectCall : public ::testing::TestWithParam<InspectCase> {};

TEST_P(FailedInspectCall, EachOutputIsWholeAndTheOthersAreWritten) {
  TempDir dir, inputs;
  inspect_test::write_pair(inputs.prefix(), "OBJ", inspect_test::sample_object());
  // An old overlay and an old FITS file; no regions yet.
  const std::string overlay = GetParam().overlay;
  kadrix_test::write_file(dir.file(overlay), "old overlay");
  kadrix_test::write_file(dir.file("obj.fits"), "old fits");

  Scenario s;
  s.title = std::string("kadrix-inspect, ") + GetParam().title;
  s.injected = KADRIX_INSPECT_INJECTED_BIN;
  s.shipped = KADRIX_INSPECT_BIN;
  s.args = {inputs.prefix() + "OBJ", "--fits", dir.file("obj.fits"), "--regions", dir.file("obj.reg"),
            "--overlay", dir.file(overlay)};
  s.dir = dir.path().string();
  s.before = state(s.dir);
  for (const std::string& name : {overlay, std::string("obj.fits"), std::string("obj.reg")})
    s.groups.push_back(output_group(s.dir, name));
  run_scenario(s);
}

INSTANTIATE_TEST_SUITE_P(Outputs, FailedInspectCall,
                         ::testing::Values(InspectCase{"overlay as BMP", "obj.BMP"},
                                           InspectCase{"overlay as PNG", "obj.png"}),
                         [](const auto& info) { return std::string(info.param.overlay).ends_with(".png") ? "Png" : "Bmp"; });

TEST(FailedCall, KadrixInspectKeepsTheOldNightReport) {
  TempDir dir, night;
  inspect_test::write_pair(night.prefix(), "A", inspect_test::sample_object());
  inspect_test::write_pair(night.prefix(), "B", inspect_test::drawn({"..1", "#..", "..."}));
  const std::string list = night.file("noc.list");
  kadrix_test::write_file(list, "A\nB\n");
  kadrix_test::write_file(dir.file("night.html"), "old report");

  Scenario s;
  s.title = "kadrix-inspect --night";
  s.injected = KADRIX_INSPECT_INJECTED_BIN;
  s.shipped = KADRIX_INSPECT_BIN;
  s.args = {"--night", night.prefix(), list, "--html", dir.file("night.html")};
  s.dir = dir.path().string();
  s.before = state(s.dir);
  s.groups.push_back(output_group(s.dir, "night.html"));
  run_scenario(s);
}

// ---- kadrix-demo ---------------------------------------------------------------

TEST(FailedCall, KadrixDemoKeepsEachObjectAndTheListWhole) {
  TempDir dir;
  // An old sample night of three frames an object; the new one has two,
  // so the old third frame goes once the new object is in place.
  const std::vector<std::string> size = {"--objects", "2", "--width", "16", "--height", "12"};
  std::vector<std::string> old_night = size;
  old_night.insert(old_night.end(), {"--frames", "3", "--seed", "2", dir.prefix()});
  ASSERT_EQ(kadrix_test::run_program(KADRIX_DEMO_BIN, old_night).exit_status, 0);

  Scenario s;
  s.title = "kadrix-demo";
  s.injected = KADRIX_DEMO_INJECTED_BIN;
  s.shipped = KADRIX_DEMO_BIN;
  s.args = size;
  s.args.insert(s.args.end(), {"--frames", "2", dir.prefix()});
  s.dir = dir.path().string();
  s.before = state(s.dir);
  for (const std::string name : {"M42", "M51"}) {
    Group object;
    for (int n = 1; n <= 3; ++n) {
      const std::string path = kadrix_test::frame_file(dir.prefix(), name, n);
      object.names.push_back(std::filesystem::path(path).filename().string());
      object.messages.push_back(crlf_line("Blad zapisu pliku " + path));
    }
    object.names.push_back(name + "_stars.csv");
    object.messages.push_back(crlf_line("Blad zapisu pliku " + dir.file(name + "_stars.csv")));
    s.groups.push_back(object);
  }
  s.groups.push_back({{"lista.list"}, {crlf_line("Blad zapisu pliku " + dir.file("lista.list"))}});
  s.goes_on = false;  // the demo stops at its first failed object
  run_scenario(s);
}

// ---- a FITS check that never ends ---------------------------------------------------

// cfitsio stuck in a file (the test copy's opening of it hangs): the check
// is given up after its time, the file refused, nothing written, and the
// program does not hang with it.
TEST(StalledCheck, KadrixImportRefusesTheFileInItsTime) {
  TempDir dir, sources;
  const std::string fits = sources.file("a.fits");
  import_test::write_compressed_fits(fits, 4, 3, 1, std::vector<std::uint16_t>(12, 5));
  kadrix_test::write_file(dir.file("OBJ01.BMP"), std::string("old frame"));
  const auto before = state(dir.path().string());
  kadrix_test::RunOptions stalled;
  stalled.environment = {"KADRIX_STALL_FITS=1"};
  stalled.timeout_seconds = 30;
  const RunResult r = kadrix_test::run_program(KADRIX_IMPORT_INJECTED_BIN, {"--replace", dir.prefix(), "OBJ", fits}, stalled);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, 1) << r.out;
  EXPECT_TRUE(r.out.ends_with(
      crlf_line("Zly plik " + fits + " (uszkodzony plik FITS: cfitsio nie skonczyl jego odczytu w 1 s)")))
      << r.out;
  EXPECT_EQ(state(dir.path().string()), before);

  // The same file, not stalled, is taken.
  const RunResult taken = kadrix_test::run_program(KADRIX_IMPORT_INJECTED_BIN, {"--replace", dir.prefix(), "OBJ", fits});
  EXPECT_EQ(taken.exit_status, 0) << taken.out;
}

// ---- the shipped programs ---------------------------------------------------------

// The hook's text is in every test copy and in no shipped program.
TEST(FailedCall, ShippedProgramsCarryNoHook) {
  const auto holds_hook = [](const std::string& program) {
    const Bytes bytes = kadrix_test::read_file(program);
    const std::string marker = "KADRIX_FAIL_AT";
    return std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()) != bytes.end();
  };
  for (const char* program : {KADRIX_BIN, KADRIX_IMPORT_BIN, KADRIX_INSPECT_BIN, KADRIX_DEMO_BIN})
    EXPECT_FALSE(holds_hook(program)) << program;
  for (const char* program :
       {KADRIX_INJECTED_BIN, KADRIX_IMPORT_INJECTED_BIN, KADRIX_INSPECT_INJECTED_BIN, KADRIX_DEMO_INJECTED_BIN})
    EXPECT_TRUE(holds_hook(program)) << program;
  const Bytes import = kadrix_test::read_file(KADRIX_IMPORT_BIN);
  const std::string stall = "KADRIX_STALL_FITS";
  EXPECT_EQ(std::search(import.begin(), import.end(), stall.begin(), stall.end()), import.end());
}

}  // namespace
