#pragma once
// The command line every companion tool shares: options before, between
// and after the operands, "--opt V" or "--opt=V", "--" ending the options;
// --help and --version; the exit statuses; and the outer frame of a run
// (signals, help, version, the wrong call's message).

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kadrix::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // bad input, a refusal or a failed write
inline constexpr int kExitWrongCall = 2;  // the command line itself is wrong

// An option of a tool: a flag, or one that takes a value.
struct KnownOption {
  std::string_view name;  // with its "--"
  bool takes_value = false;
};

// One argument as the parser understood it.
struct Argument {
  enum class Kind { operand, flag, option, unknown };
  Kind kind = Kind::operand;
  std::string text;                  // the argument as given (operand, unknown)
  std::string_view name;             // flag or option: its name as the tool declares it
  std::optional<std::string> value;  // option: its value; none when the call ends first
};

struct Arguments {
  std::vector<Argument> items;  // in order; --help and --version are not among them
  bool help = false;            // --help or -h anywhere before "--"
  bool version = false;         // --version anywhere before "--"
  bool has_flag(std::string_view name) const;
};

// Sorts the arguments: "-" alone and everything after "--" are operands.
Arguments parse_arguments(int argc, const char* const* argv, std::span<const KnownOption> options);

struct Program {
  const char* name;   // as the tool calls itself, e.g. "kadrix-import"
  const char* usage;  // the lines that follow a wrong call's reason
  const char* help;   // the --help text
  std::span<const KnownOption> options;
};

// Prints "Zle wywolanie programu: REASON." and the usage; kExitWrongCall.
int wrong_call(const Program& program, const std::string& reason);

// The frame of a tool's run: output signals ignored, the arguments parsed
// and understood (understand returns a wrong call's reason, or empty),
// then --help, --version or the wrong call answered, else work done.
int run_program(const Program& program, int argc, const char* const* argv,
                const std::function<std::string(const Arguments&)>& understand,
                const std::function<int()>& work);

}  // namespace kadrix::cli
