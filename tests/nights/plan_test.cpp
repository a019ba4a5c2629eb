// What kadrix-nights works out before anything runs: the files of a night,
// the command lines it hands GNU parallel and sbatch, a Slurm task's memory
// and the split into arrays.

#include "tools/nights/plan.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace kadrix::nights;

TEST(NightsPlan, EveryFileOfANightFollowsFromItsListMadeAbsolute) {
  struct Case {
    const char* list;
    const char* cwd;
    const char* absolute;
    const char* frames;
    const char* transcript;
  } cases[] = {
      {"noc/lista.list", "/dane", "/dane/noc/lista.list", "/dane/noc/", "/dane/noc/lista.txt"},
      {"/a/b/x.list", "/elsewhere", "/a/b/x.list", "/a/b/", "/a/b/x.txt"},
      {"./n/../m/lista", "/d", "/d/m/lista", "/d/m/", "/d/m/lista.txt"},  // no ".list": ".txt" appended
      {"/s/lista.lst", "/", "/s/lista.lst", "/s/", "/s/lista.lst.txt"},
      {"/s/.list", "/", "/s/.list", "/s/", "/s/.list.txt"},              // nothing before ".list"
      {"top.list", "/", "/top.list", "/", "/top.txt"},
      {"/s/a.list.list", "/", "/s/a.list.list", "/s/", "/s/a.list.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list);
    const NightFiles files = night_files(c.list, c.cwd);
    EXPECT_EQ(files.list, c.absolute);
    EXPECT_EQ(files.frames, c.frames);
    EXPECT_EQ(files.transcript, c.transcript);
    EXPECT_EQ(files.part, std::string(c.transcript) + ".part");
    EXPECT_EQ(files.status, std::string(c.absolute) + ".status");
    EXPECT_EQ(files.lock, std::string(c.absolute) + ".lock");
  }
}

TEST(NightsPlan, ShellQuotingSurvivesTheShell) {
  EXPECT_EQ(shell_quote("abc"), "'abc'");
  EXPECT_EQ(shell_quote("it's $HOME"), "'it'\\''s $HOME'");
  EXPECT_EQ(shell_quote(""), "''");
}

TEST(NightsPlan, ParallelRunsEachLineOfItsFileOnThisMachineOrOneAHost) {
  const std::vector<std::string> task = {"/bin/kadrix-nights", "--task", "--run", "R", "--"};
  const auto local = parallel_arguments({3, {}, ""}, "/tmp/lists", task);
  const std::vector<std::string> local_expected = {
      "--will-cite", "--line-buffer", "--halt", "never", "--jobs", "3", "--arg-file", "/tmp/lists",
      "/bin/kadrix-nights", "--task", "--run", "R", "--"};
  EXPECT_EQ(local, local_expected);

  const auto remote = parallel_arguments({5, {"n1", "n2"}, "ssh -F cfg"}, "/tmp/lists", task);
  const std::vector<std::string> remote_expected = {
      "--will-cite", "--line-buffer", "--halt", "never", "--jobs", "1", "--sshlogin", "n1,n2", "--ssh",
      "ssh -F cfg", "--arg-file", "/tmp/lists", "/bin/kadrix-nights", "--task", "--run", "R", "--"};
  EXPECT_EQ(remote, remote_expected);
  // Without --ssh parallel uses its own.
  const auto plain = parallel_arguments({1, {"n1"}, ""}, "f", task);
  EXPECT_EQ(std::count(plain.begin(), plain.end(), "--ssh"), 0);
}

TEST(NightsPlan, ATasksMemoryIsTwiceWhatItsObjectsInFlightTake) {
  // 2 x (cpus + 1) x (24 B x pixels + 32 MiB), and sbatch's whole MiB above.
  struct Case {
    int cpus;
    std::uint64_t pixels;
    std::uint64_t bytes;
    const char* mem;
  } cases[] = {
      {8, 203 * 157, 617748048, "590M"},
      {1, 0, 134217728, "128M"},
      {3, 8192ULL * 8192, 13153337344ULL, "12544M"},
      {64, 4096ULL * 4096, 56706990080ULL, "54080M"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cpus);
    EXPECT_EQ(task_memory_bytes(c.cpus, c.pixels), c.bytes);
    EXPECT_EQ(mem_option(c.bytes), c.mem);
  }
  EXPECT_EQ(mem_option(1), "1M");
  EXPECT_EQ(mem_option(1024 * 1024 + 1), "2M");
}

// The options sbatch gets besides --array, --output and --wrap.
std::vector<std::string> resources(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (const std::string& a : args)
    if (!a.starts_with("--array=") && !a.starts_with("--output=") && !a.starts_with("--wrap=") &&
        a != "--parsable" && a != "--job-name=kadrix-nights")
      out.push_back(a);
  return out;
}

TEST(NightsPlan, SbatchAsksForTheCoresAndMemoryTheCallOrTheEnvironmentGives) {
  using Env = std::map<std::string, std::string>;
  SlurmRequest whole_node;
  SlurmRequest four;
  four.cpus = 4;
  four.largest_pixels = 1000;  // 2 x 5 x (24000 + 32 MiB) = 335784960 B = 321 MiB (rounded up)
  SlurmRequest four_mem = four;
  four_mem.mem = "6G";
  SlurmRequest placed;
  placed.partition = "nocne";
  placed.account = "astro";
  placed.time = "2:00:00";
  struct Case {
    const char* name;
    SlurmRequest request;
    Env environment;
    std::vector<std::string> expected;
  } cases[] = {
      {"whole node", whole_node, {}, {"--exclusive", "--mem=0"}},
      {"cores and formula", four, {}, {"--cpus-per-task=4", "--mem=321M"}},
      {"cores and memory given", four_mem, {}, {"--cpus-per-task=4", "--mem=6G"}},
      {"memory of the environment", four, {{"SBATCH_MEM_PER_NODE", "8G"}}, {"--cpus-per-task=4"}},
      {"cores of the environment", whole_node, {{"SBATCH_EXCLUSIVE", "user"}}, {"--mem=0"}},
      {"empty variable ignored", whole_node, {{"SBATCH_MEM_PER_CPU", ""}}, {"--exclusive", "--mem=0"}},
      {"placed", placed, {{"SBATCH_PARTITION", "other"}},
       {"--partition=nocne", "--account=astro", "--time=2:00:00", "--exclusive", "--mem=0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto args = sbatch_arguments(c.request, 7, "/jobs/", "exec x", c.environment);
    EXPECT_EQ(resources(args), c.expected);
    EXPECT_NE(std::find(args.begin(), args.end(), "--array=0-6"), args.end());
    EXPECT_NE(std::find(args.begin(), args.end(), "--output=/jobs/kadrix-nights-%A_%a.log"), args.end());
    EXPECT_EQ(args.back(), "--wrap=exec x");
  }
}

TEST(NightsPlan, MaxArraySizeIsReadFromTheConfigAndArraysNeverExceedIt) {
  const std::string config =
      "Configuration data as of 2026-01-01T00:00:00\n"
      "MaxArraySizeX          = 7\n"
      "MaxArraySize            = 1001\n"
      "MaxJobCount             = 10000\n";
  EXPECT_EQ(max_array_size(config), 1001);
  EXPECT_EQ(max_array_size("MaxArraySize=4\n"), 4);
  EXPECT_EQ(max_array_size("MaxJobCount = 5\n"), std::nullopt);
  EXPECT_EQ(max_array_size("MaxArraySize = 0\n"), std::nullopt);
  EXPECT_EQ(max_array_size("MaxArraySize = lots\n"), std::nullopt);

  struct Case {
    int count, max;
    std::vector<ArraySlice> slices;
  } cases[] = {
      {3, 1001, {{0, 3}}},
      {4, 4, {{0, 4}}},
      {5, 4, {{0, 4}, {4, 1}}},
      {9, 3, {{0, 3}, {3, 3}, {6, 3}}},
      {1, 1, {{0, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count * 10000 + c.max);
    EXPECT_EQ(split_arrays(c.count, c.max), c.slices);
  }
}

TEST(NightsPlan, TheJobIdIsTakenFromSbatchParsableOutput) {
  EXPECT_EQ(parsable_job_id("1234\n"), "1234");
  EXPECT_EQ(parsable_job_id("77;klaster\n"), "77");
  EXPECT_EQ(parsable_job_id("sbatch: error: Batch job submission failed\n"), std::nullopt);
}

}  // namespace
