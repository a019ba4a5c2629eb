#include "tools/nights/plan.h"

#include <filesystem>

namespace kadrix::nights {

NightFiles night_files(const std::string& list, const std::string& cwd) {
  namespace fs = std::filesystem;
  fs::path path(list);
  if (path.is_relative()) path = fs::path(cwd) / path;
  NightFiles files;
  files.list = path.lexically_normal().string();
  files.frames = fs::path(files.list).parent_path().string();
  if (files.frames.empty() || files.frames.back() != '/') files.frames += '/';
  constexpr std::string_view kListEnd = ".list";
  const std::string& l = files.list;
  const bool ends = l.size() > kListEnd.size() && l.ends_with(kListEnd) && l[l.size() - kListEnd.size() - 1] != '/';
  files.transcript = (ends ? l.substr(0, l.size() - kListEnd.size()) : l) + ".txt";
  files.part = files.transcript + ".part";
  files.status = l + ".status";
  files.lock = l + ".lock";
  return files;
}

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::vector<std::string> task_options(const std::string& run, bool resume) {
  std::vector<std::string> options = {"--task", "--run", run};
  if (resume) options.emplace_back("--resume");
  options.emplace_back("--");
  return options;
}

std::vector<std::string> parallel_arguments(const ParallelPlan& plan, const std::string& arg_file,
                                            const std::vector<std::string>& task) {
  // Output of each task as it comes, without parallel's notice; every night
  // is run whatever the others did (the summary tells).
  std::vector<std::string> args = {"--will-cite", "--line-buffer", "--halt", "never"};
  if (plan.hosts.empty()) {
    args.insert(args.end(), {"--jobs", std::to_string(plan.jobs)});
  } else {
    std::string logins;
    for (const std::string& host : plan.hosts) logins += (logins.empty() ? "" : ",") + host;
    args.insert(args.end(), {"--jobs", "1", "--sshlogin", logins});
    if (!plan.ssh.empty()) args.insert(args.end(), {"--ssh", plan.ssh});
  }
  // One night a line, taken whole; parallel quotes it for the shell.
  args.insert(args.end(), {"--arg-file", arg_file});
  args.insert(args.end(), task.begin(), task.end());
  return args;
}

std::uint64_t task_memory_bytes(int cpus, std::uint64_t largest_pixels) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  return 2 * (static_cast<std::uint64_t>(cpus) + 1) * (24 * largest_pixels + 32 * kMiB);
}

std::string mem_option(std::uint64_t bytes) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  return std::to_string((bytes + kMiB - 1) / kMiB) + "M";
}

std::vector<std::string> sbatch_arguments(const SlurmRequest& request, int count, const std::string& log_dir,
                                          const std::string& wrap,
                                          const std::map<std::string, std::string>& environment) {
  const auto set = [&environment](const char* name) {
    const auto it = environment.find(name);
    return it != environment.end() && !it->second.empty();
  };
  std::vector<std::string> args = {"--parsable", "--job-name=kadrix-nights",
                                   "--array=0-" + std::to_string(count - 1),
                                   "--output=" + log_dir + "kadrix-nights-%A_%a.log"};
  if (request.partition) args.push_back("--partition=" + *request.partition);
  if (request.account) args.push_back("--account=" + *request.account);
  if (request.time) args.push_back("--time=" + *request.time);
  const bool env_cores = set("SBATCH_CPUS_PER_TASK") || set("SBATCH_EXCLUSIVE");
  const bool env_memory = set("SBATCH_MEM_PER_NODE") || set("SBATCH_MEM_PER_CPU") || set("SBATCH_MEM_PER_GPU");
  if (request.cpus) {
    args.push_back("--cpus-per-task=" + std::to_string(*request.cpus));
    if (request.mem) args.push_back("--mem=" + *request.mem);
    else if (!env_memory) args.push_back("--mem=" + mem_option(task_memory_bytes(*request.cpus, request.largest_pixels)));
  } else {
    if (!env_cores) args.emplace_back("--exclusive");
    if (request.mem) args.push_back("--mem=" + *request.mem);
    else if (!env_memory) args.emplace_back("--mem=0");
  }
  args.push_back("--wrap=" + wrap);
  return args;
}

std::optional<int> max_array_size(const std::string& config) {
  constexpr std::string_view kKey = "MaxArraySize";
  std::size_t at = 0;
  while ((at = config.find(kKey, at)) != std::string::npos) {
    const bool line_start = at == 0 || config[at - 1] == '\n';
    at += kKey.size();
    if (!line_start) continue;
    std::size_t i = at;
    while (i < config.size() && config[i] == ' ') ++i;
    if (i == config.size() || config[i] != '=') continue;
    ++i;
    while (i < config.size() && config[i] == ' ') ++i;
    long long value = 0;
    std::size_t digits = 0;
    for (; i < config.size() && config[i] >= '0' && config[i] <= '9' && digits < 10; ++i, ++digits)
      value = value * 10 + (config[i] - '0');
    if (digits == 0 || digits == 10 || value < 1 || value > 4000001) return std::nullopt;
    return static_cast<int>(value);
  }
  return std::nullopt;
}

std::vector<ArraySlice> split_arrays(int count, int max_size) {
  std::vector<ArraySlice> slices;
  for (int first = 0; first < count; first += max_size)
    slices.push_back({first, std::min(max_size, count - first)});
  return slices;
}

std::optional<std::string> parsable_job_id(const std::string& output) {
  std::string id;
  for (const char c : output) {
    if (c >= '0' && c <= '9') id += c;
    else break;
  }
  if (id.empty()) return std::nullopt;
  return id;
}

}  // namespace kadrix::nights
