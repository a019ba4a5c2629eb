// The companions' option parser: where options may stand, how values are
// taken, and what "--" ends.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/common/cli.h"

namespace {

using kadrix::cli::Argument;
using kadrix::cli::KnownOption;

constexpr KnownOption kKnown[] = {{"--list", true}, {"--seed", true}, {"--replace", false}};

// An argument written as "o:TEXT" (operand), "f:NAME" (flag), "u:TEXT"
// (unknown), "v:NAME=VALUE" or "n:NAME" (option with no value).
std::string describe(const Argument& a) {
  switch (a.kind) {
    case Argument::Kind::operand: return "o:" + a.text;
    case Argument::Kind::flag: return "f:" + std::string(a.name);
    case Argument::Kind::unknown: return "u:" + a.text;
    case Argument::Kind::option:
      return a.value ? "v:" + std::string(a.name) + "=" + *a.value : "n:" + std::string(a.name);
  }
  return "?";
}

struct Case {
  const char* title;
  std::vector<std::string> args;
  std::vector<std::string> items;
  bool help = false;
  bool version = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.title; }

class ParseArguments : public ::testing::TestWithParam<Case> {};

TEST_P(ParseArguments, SortsEachArgument) {
  const Case& c = GetParam();
  std::vector<const char*> argv = {"tool"};
  for (const std::string& a : c.args) argv.push_back(a.c_str());
  const auto parsed = kadrix::cli::parse_arguments(static_cast<int>(argv.size()), argv.data(), kKnown);
  std::vector<std::string> items;
  for (const Argument& a : parsed.items) items.push_back(describe(a));
  EXPECT_EQ(items, c.items);
  EXPECT_EQ(parsed.help, c.help);
  EXPECT_EQ(parsed.version, c.version);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ParseArguments,
    ::testing::Values(
        Case{"options_anywhere", {"a", "--list", "L", "b", "--replace", "c"},
             {"o:a", "v:--list=L", "o:b", "f:--replace", "o:c"}},
        Case{"value_after_equals", {"--seed=0x2a", "--list="}, {"v:--seed=0x2a", "v:--list="}},
        Case{"value_may_look_like_an_option", {"--list", "--help"}, {"v:--list=--help"}},
        Case{"value_missing_at_the_end", {"a", "--seed"}, {"o:a", "n:--seed"}},
        Case{"double_dash_ends_options", {"--", "--replace", "-h", "--version"},
             {"o:--replace", "o:-h", "o:--version"}},
        Case{"lone_dash_is_an_operand", {"-", "--replace"}, {"o:-", "f:--replace"}},
        Case{"flag_with_a_value_is_unknown", {"--replace=yes", "--bogus", "-x"},
             {"u:--replace=yes", "u:--bogus", "u:-x"}},
        Case{"prefix_of_an_option_is_unknown", {"--lis", "x"}, {"u:--lis", "o:x"}},
        Case{"help_and_version_anywhere", {"a", "-h", "b", "--version"}, {"o:a", "o:b"}, true, true},
        Case{"help_spelled_long", {"--help"}, {}, true, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.title); });

}  // namespace
