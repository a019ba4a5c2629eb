#include "tools/nights/nights.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bmp/console.h"
#include "bmp/file_io.h"
#include "bmp/frame_files.h"
#include "bmp/text_format.h"
#include "driver/object_list.h"
#include "tools/common/cli.h"
#include "tools/nights/messages.h"
#include "tools/nights/night_lock.h"
#include "tools/nights/night_status.h"
#include "tools/nights/plan.h"
#include "tools/nights/process.h"
#include "tools/nights/task.h"

extern char** environ;

namespace kadrix::nights {

namespace {

using namespace messages;

constexpr const char* kHelp =
    "Wywolanie: kadrix-nights [opcje] lista...\n"
    "\n"
    "Uruchamia kadrix na wielu nocach: kazda lista to jedna noc, klatki leza w jej\n"
    "katalogu (sciezka listy zamieniana na bezwzgledna), zapis przebiegu trafia do\n"
    "sciezki listy bez .list z dopisanym .txt. Zapis powstaje jako .txt.part\n"
    "i zastepuje .txt dopiero, gdy kadrix sie zakonczy. Kazda noc jest blokowana\n"
    "(flock na lista.lock) i konczy sie plikiem stanu lista.status.\n"
    "\n"
    "  --jobs N            N nocy naraz na tym komputerze (domyslnie 1), przez GNU parallel\n"
    "  --hosts H1,H2,...   noce na tych komputerach przez ssh, po jednej naraz na kazdym\n"
    "  --ssh polecenie     polecenie ssh dla --hosts (jak --ssh GNU parallel)\n"
    "  --slurm             jedno zadanie tablicy Slurm na noc\n"
    "  --partition P, --account A, --time T   przekazywane do sbatch\n"
    "  --cpus N            rdzenie zadania (domyslnie caly wezel: --exclusive)\n"
    "  --mem M             pamiec zadania jak w sbatch (domyslnie: opis w kadrix-nights(1))\n"
    "  --wait              z --slurm: czeka na zadania i wypisuje podsumowanie\n"
    "  --resume            tylko noce bez stanu ok lub uwagi; czeka na zajete noce\n"
    "  --task lista        uruchamia jedna noc (to robi kazde zadanie)\n"
    "  --task-line plik    z Slurm: noc z wiersza SLURM_ARRAY_TASK_ID + 1 pliku\n"
    "  --version           wersja programu\n"
    "  --help              ten opis\n"
    "\n"
    "Podsumowanie: wiersz na noc, stan ok, uwagi, utracone, blad albo zajeta.\n"
    "Kod wyjscia: 0 gdy kazda noc ma stan ok lub uwagi, 1 w przeciwnym razie,\n"
    "2 zle wywolanie.\n";

constexpr cli::KnownOption kOptions[] = {
    {"--jobs", true},    {"--hosts", true}, {"--ssh", true},  {"--slurm", false},   {"--partition", true},
    {"--account", true}, {"--time", true},  {"--cpus", true}, {"--mem", true},      {"--wait", false},
    {"--resume", false}, {"--task", false}, {"--run", true},  {"--task-line", true},
};

const cli::Program& program() {
  static const cli::Program p{"kadrix-nights", kUsage, kHelp, kOptions};
  return p;
}

struct Call {
  std::vector<std::string> lists;
  std::map<std::string, std::string, std::less<>> values;  // options with values, by name
  std::set<std::string, std::less<>> flags;
  int jobs = 1;
  std::optional<int> cpus;
  std::vector<std::string> hosts;
  bool has(std::string_view name) const { return values.contains(name) || flags.contains(name); }
  std::optional<std::string> value(std::string_view name) const {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

std::optional<int> parse_count(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1) return std::nullopt;
  return value;
}

std::string understand_call(const cli::Arguments& arguments, Call& call) {
  std::string wrong;
  const auto fault = [&wrong](std::string reason) {
    if (wrong.empty()) wrong = std::move(reason);
  };
  for (const cli::Argument& arg : arguments.items) {
    using Kind = cli::Argument::Kind;
    if (arg.kind == Kind::unknown) {
      fault(text_format(kUnknownOption, arg.text.c_str()));
    } else if (arg.kind == Kind::operand) {
      if (arg.text.find('\n') != std::string::npos) fault(text_format(kBadListName, arg.text.c_str()));
      call.lists.push_back(arg.text);
    } else if (call.has(arg.name)) {
      fault(text_format(kOptionTwice, std::string(arg.name).c_str()));
    } else if (arg.kind == Kind::flag) {
      call.flags.insert(std::string(arg.name));
    } else if (!arg.value || arg.value->empty()) {
      fault(text_format(kNoValue, std::string(arg.name).c_str()));
    } else {
      call.values[std::string(arg.name)] = *arg.value;
    }
  }
  for (const char* name : {"--jobs", "--cpus"}) {
    const auto text = call.value(name);
    if (!text) continue;
    const auto count = parse_count(*text);
    if (!count) fault(text_format(kBadCount, name, text->c_str()));
    else if (name[2] == 'j') call.jobs = *count;
    else call.cpus = count;
  }
  if (const auto list = call.value("--hosts")) {
    std::size_t at = 0;
    while (at <= list->size()) {
      std::size_t comma = list->find(',', at);
      if (comma == std::string::npos) comma = list->size();
      if (comma > at) call.hosts.push_back(list->substr(at, comma - at));
      at = comma + 1;
    }
    if (call.hosts.empty()) fault(text_format(kNoValue, "--hosts"));
  }
  const bool slurm = call.has("--slurm");
  const bool hosts = call.has("--hosts");
  if (slurm && hosts) fault(kEnginesTogether);
  if (call.has("--ssh") && !hosts) fault(text_format(kOnlyWith, "--ssh", "--hosts"));
  for (const char* name : {"--partition", "--account", "--time", "--cpus", "--mem", "--wait"})
    if (call.has(name) && !slurm) fault(text_format(kOnlyWith, name, "--slurm"));
  if (call.has("--jobs") && (slurm || hosts)) fault(text_format(kNotWithEngine, "--jobs", slurm ? "--slurm" : "--hosts"));
  if (call.has("--task")) {
    if (call.lists.size() != 1) fault(kOneTaskList);
  } else if (call.has("--task-line")) {
    if (!call.lists.empty()) fault(text_format(kTooManyOperands, call.lists[0].c_str()));
  } else if (call.lists.empty()) {
    fault(kNoLists);
  }
  return wrong;
}

bool write_text(const std::string& path, const std::string& text) {
  FileHandle file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.valid()) return false;
  const bool ok = write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return file.close() && ok;
}

std::string working_directory() {
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  return ec ? "/" : cwd.string();
}

// ---- before the nights start ----------------------------------------------

std::string run_id() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string(host) + "-" + std::to_string(getpid()) + "-" + std::to_string(std::time(nullptr));
}

// Names kadrix's temporaries ("NAME.BMP.tmp.PID") in a night's directory.
void name_leftovers(const std::string& frames) {
  DIR* dir = opendir(frames.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.find(".BMP.tmp.") != std::string::npos) found.push_back(frames + name);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  for (const std::string& path : found) console_print(kLeftover, path.c_str());
}

std::string host_name(const std::string& login) {
  const std::size_t slash = login.find('/');
  return slash == std::string::npos ? login : login.substr(slash + 1);
}

// Each host must see the nights' directories (a probe file made here) and
// find kadrix and kadrix-nights on its PATH. False after naming each fault.
bool check_hosts(const std::vector<std::string>& hosts, const std::string& ssh,
                 const std::vector<std::string>& frames_dirs, const std::string& run) {
  std::vector<std::string> probes;
  std::string script = "for p in kadrix kadrix-nights; do command -v $p >/dev/null || echo kadrix-nights-lacks:$p; done";
  for (const std::string& dir : frames_dirs) {
    const std::string probe = dir + ".kadrix-nights-probe-" + run;
    if (write_text(probe, run)) probes.push_back(probe);
    script += "; test -e " + shell_quote(probe) + " || echo kadrix-nights-unseen:" + shell_quote(dir);
  }
  bool ok = true;
  for (const std::string& login : hosts) {
    const std::string host = host_name(login);
    const std::string command = (ssh.empty() ? "ssh" : ssh) + " " + shell_quote(host) + " " + shell_quote(script);
    const Output out = run_captured({"/bin/sh", "-c", command});
    bool named = false;
    std::size_t at = 0;
    while (at < out.text.size()) {
      std::size_t end = out.text.find('\n', at);
      if (end == std::string::npos) end = out.text.size();
      const std::string line = out.text.substr(at, end - at);
      at = end + 1;
      if (line.starts_with("kadrix-nights-lacks:")) {
        console_print(kHostLacksProgram, host.c_str(), line.substr(20).c_str());
        named = true;
      } else if (line.starts_with("kadrix-nights-unseen:")) {
        console_print(kHostNotShared, host.c_str(), line.substr(21).c_str());
        named = true;
      }
    }
    if (!named && out.end.exit_status != 0) {
      std::string reason = out.text.substr(0, out.text.find('\n'));
      if (reason.empty()) reason = text_format("kod wyjscia %d", out.end.exit_status);
      console_print(kHostUnreachable, host.c_str(), reason.c_str());
      named = true;
    }
    ok = ok && !named;
  }
  for (const std::string& probe : probes) unlink(probe.c_str());
  return ok;
}

std::string self_path() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "kadrix-nights" : path.string();
}

std::map<std::string, std::string> environment_map() {
  std::map<std::string, std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) out[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  return out;
}

// ---- the engines ----------------------------------------------------------

int run_parallel(const Call& call, const std::vector<NightFiles>& nights, const std::string& run, bool resume) {
  ParallelPlan plan;
  plan.jobs = call.jobs;
  if (!call.hosts.empty()) {
    plan.hosts = call.hosts;
    plan.ssh = call.value("--ssh").value_or("");
    std::vector<std::string> dirs;
    for (const NightFiles& n : nights)
      if (std::find(dirs.begin(), dirs.end(), n.frames) == dirs.end()) dirs.push_back(n.frames);
    if (!check_hosts(plan.hosts, plan.ssh, dirs, run)) {
      console_print(kNothingStarted);
      return cli::kExitFailed;
    }
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string arg_file = std::string(tmp && *tmp ? tmp : "/tmp") + "/kadrix-nights.XXXXXX";
  const int fd = mkstemp(arg_file.data());
  if (fd < 0) {
    console_print(kWriteFailed, arg_file.c_str());
    return cli::kExitFailed;
  }
  FileHandle arg_handle(fd);
  std::string lines;
  for (const NightFiles& n : nights) lines += n.list + "\n";
  const bool written = write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  if (!arg_handle.close() || !written) {
    console_print(kWriteFailed, arg_file.c_str());
    unlink(arg_file.c_str());
    return cli::kExitFailed;
  }
  std::vector<std::string> task = {plan.hosts.empty() ? self_path() : "kadrix-nights"};
  for (const std::string& o : task_options(run, resume)) task.push_back(o);
  std::vector<std::string> argv = {"parallel"};
  for (const std::string& a : parallel_arguments(plan, arg_file, task)) argv.push_back(a);
  const Started started = start_program(argv, -1, -1, true);
  const Ended end = started.pid < 0 ? Ended{127, 0} : wait_program(started.pid);
  unlink(arg_file.c_str());
  if (end.exit_status == 127 || end.exit_status == 255) {
    console_print(kEngineFailed, "parallel", text_format("kod wyjscia %d", end.exit_status).c_str());
    return cli::kExitFailed;
  }
  return cli::kExitOk;
}

std::uint64_t largest_frame(const std::vector<NightFiles>& nights) {
  std::uint64_t largest = 0;
  for (const NightFiles& n : nights) {
    const ObjectList list = read_object_list(n.list);
    for (const std::string& name : list.names) {
      const auto size = probe_frame(n.frames, name);
      if (!size) {
        console_print(kNoFrameSize, name.c_str(), n.list.c_str());
        continue;
      }
      largest = std::max(largest, static_cast<std::uint64_t>(size->width) * static_cast<std::uint64_t>(size->height));
    }
  }
  return largest;
}

// Submits the nights; with --wait returns once every array has ended.
int run_slurm(const Call& call, const std::vector<NightFiles>& nights, const std::string& run, bool resume) {
  const Output config = run_captured({"scontrol", "show", "config"});
  const auto max_size = config.end.exit_status == 0 ? max_array_size(config.text) : std::nullopt;
  if (!max_size) {
    console_print(kNoArraySize);
    return cli::kExitFailed;
  }
  SlurmRequest request;
  request.partition = call.value("--partition");
  request.account = call.value("--account");
  request.time = call.value("--time");
  request.cpus = call.cpus;
  request.mem = call.value("--mem");
  if (request.cpus && !request.mem) request.largest_pixels = largest_frame(nights);
  const std::string job_dir = working_directory() + "/";
  const auto environment = environment_map();
  std::vector<std::string> ids;
  int part = 0;
  for (const ArraySlice& slice : split_arrays(static_cast<int>(nights.size()), *max_size)) {
    // The set of nights is frozen here: each task reads its own line.
    const std::string file = job_dir + "kadrix-nights-" + run + "-" + std::to_string(part++) + ".lists";
    std::string lines;
    for (int i = slice.first; i < slice.first + slice.count; ++i) lines += nights[static_cast<std::size_t>(i)].list + "\n";
    if (!write_text(file, lines)) {
      console_print(kWriteFailed, file.c_str());
      return cli::kExitFailed;
    }
    std::string wrap = "exec kadrix-nights --task-line " + shell_quote(file) + " --run " + shell_quote(run);
    if (resume) wrap += " --resume";
    std::vector<std::string> argv = {"sbatch"};
    for (const std::string& a : sbatch_arguments(request, slice.count, job_dir, wrap, environment)) argv.push_back(a);
    const Output submitted = run_captured(argv);
    const auto id = submitted.end.exit_status == 0 ? parsable_job_id(submitted.text) : std::nullopt;
    if (!id) {
      console_print(kEngineFailed, "sbatch", submitted.text.substr(0, submitted.text.find('\n')).c_str());
      return cli::kExitFailed;
    }
    ids.push_back(*id);
    if (!call.has("--wait")) console_print(kSubmitted, id->c_str(), slice.count);
  }
  if (!call.has("--wait")) return cli::kExitOk;
  std::string list;
  for (const std::string& id : ids) list += (list.empty() ? "" : ",") + id;
  // Done when squeue lists none of them; a job already purged makes it
  // fail, and so may a busy controller: three failures in a row end it.
  for (int failures = 0; failures < 3;) {
    const Output queue = run_captured({"squeue", "-h", "-o", "%i", "-j", list});
    if (queue.end.exit_status == 0 && queue.text.find_first_not_of(" \r\n") == std::string::npos) break;
    failures = queue.end.exit_status == 0 ? 0 : failures + 1;
    sleep(1);
  }
  return cli::kExitOk;
}

// ---- the summary ------------------------------------------------------------

int summarise(const std::vector<NightFiles>& nights, const std::vector<bool>& busy, const std::vector<bool>& ran,
              const std::string& run, bool resume) {
  int counts[5] = {};
  for (std::size_t i = 0; i < nights.size(); ++i) {
    const char* list = nights[i].list.c_str();
    std::optional<NightStatus> status;
    if (!busy[i]) {
      status = read_status_file(nights[i].status);
      const bool ours = status && (status->run == run || ((resume || !ran[i]) && is_done(status->state)));
      if (!ours) status.reset();
    }
    NightState state = NightState::failed;
    if (busy[i] || (!status && lock_is_held(nights[i].lock))) {
      state = NightState::busy;
      console_print(kStateBusy, list);
    } else if (!status) {
      console_print(kStateNoStatus, list);
    } else {
      state = status->state;
      std::string objects;
      for (const std::string& o : status->objects) objects += (objects.empty() ? "" : ", ") + o;
      switch (state) {
        case NightState::ok: console_print(kStateOk, list); break;
        case NightState::remarks: console_print(kStateRemarks, list, objects.c_str()); break;
        case NightState::lost: console_print(kStateLost, list, objects.c_str()); break;
        case NightState::busy: console_print(kStateBusy, list); break;
        case NightState::failed:
          if (status->signal != 0) console_print(kStateSignal, list, status->signal);
          else if (status->nothing_analysed) console_print(kStateNothing, list);
          else console_print(kStateExit, list, status->exit_status);
          break;
      }
    }
    ++counts[static_cast<int>(state)];
  }
  console_print(kTotals, static_cast<int>(nights.size()), counts[0], counts[1], counts[2], counts[3], counts[4]);
  return counts[0] + counts[1] == static_cast<int>(nights.size()) ? cli::kExitOk : cli::kExitFailed;
}

int run_all(const Call& call) {
  const bool resume = call.has("--resume");
  const std::string cwd = working_directory();
  std::vector<NightFiles> nights;
  for (const std::string& list : call.lists) {
    NightFiles night = night_files(list, cwd);
    for (const NightFiles& n : nights) {
      if (n.list == night.list) return cli::wrong_call(program(), text_format(kListTwice, night.list.c_str()));
    }
    nights.push_back(std::move(night));
  }
  const std::string run = run_id();
  std::vector<bool> busy(nights.size(), false);
  std::vector<bool> ran(nights.size(), false);
  std::vector<NightFiles> to_run;
  std::set<std::string> named_dirs;
  for (std::size_t i = 0; i < nights.size(); ++i) {
    const NightFiles& night = nights[i];
    if (resume) {
      const auto status = read_status_file(night.status);
      if (status && is_done(status->state)) continue;
      if (named_dirs.insert(night.frames).second) name_leftovers(night.frames);
    }
    FileHandle lock;
    int error = 0;
    switch (take_lock(night.lock, false, lock, error)) {
      case Lock::taken: break;
      case Lock::busy:
        if (!resume) {
          busy[i] = true;
          continue;
        }
        break;
      case Lock::unsupported:
        console_print(kNoLocking, night.lock.c_str(), std::strerror(error));
        return cli::kExitFailed;
      case Lock::failed:
        console_print(kCannotLock, night.lock.c_str(), std::strerror(error));
        console_print(kNothingStarted);
        return cli::kExitFailed;
    }
    ran[i] = true;
    to_run.push_back(night);
  }
  if (!to_run.empty()) {
    const int engine = call.has("--slurm") ? run_slurm(call, to_run, run, resume) : run_parallel(call, to_run, run, resume);
    if (engine != cli::kExitOk) return engine;
    if (call.has("--slurm") && !call.has("--wait")) {
      // Submitted: only the nights left alone can be told now.
      int left = 0;
      for (std::size_t i = 0; i < nights.size(); ++i) {
        if (!busy[i]) continue;
        console_print(kStateBusy, nights[i].list.c_str());
        ++left;
      }
      return left == 0 ? cli::kExitOk : cli::kExitFailed;
    }
  }
  return summarise(nights, busy, ran, run, resume);
}

int work(const Call& call) {
  // A night's task outlives a signal to its group long enough to record
  // how kadrix ended; kadrix itself gets the signal's default.
  if (call.has("--task") || call.has("--task-line")) {
    signal(SIGTERM, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
  }
  const std::string run = call.value("--run").value_or(run_id());
  if (call.has("--task")) return run_task(night_files(call.lists[0], working_directory()), run, call.has("--resume"));
  if (call.has("--task-line")) return run_task_line(*call.value("--task-line"), run, call.has("--resume"));
  return run_all(call);
}

}  // namespace

int run_nights(int argc, const char* const* argv) {
  Call call;
  return cli::run_program(
      program(), argc, argv, [&call](const cli::Arguments& arguments) { return understand_call(arguments, call); },
      [&call] { return work(call); });
}

}  // namespace kadrix::nights
