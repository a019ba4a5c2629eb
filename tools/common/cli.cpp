#include "tools/common/cli.h"

#include "bmp/console.h"
#include "tools/common/messages.h"

#ifndef KADRIX_VERSION
#error "KADRIX_VERSION must be defined by the build"
#endif

namespace kadrix::cli {

bool Arguments::has_flag(std::string_view name) const {
  for (const Argument& a : items)
    if (a.kind == Argument::Kind::flag && a.name == name) return true;
  return false;
}

Arguments parse_arguments(int argc, const char* const* argv, std::span<const KnownOption> options) {
  Arguments out;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      out.items.push_back({Argument::Kind::operand, std::string(arg), {}, {}});
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      continue;
    }
    if (arg == "--version") {
      out.version = true;
      continue;
    }
    const std::string_view name = arg.substr(0, arg.find('='));
    const KnownOption* known = nullptr;
    for (const KnownOption& o : options) {
      // A flag is only ever written whole; a value option may carry "=V".
      if (o.takes_value ? o.name == name : o.name == arg) known = &o;
    }
    if (known == nullptr) {
      out.items.push_back({Argument::Kind::unknown, std::string(arg), {}, {}});
      continue;
    }
    Argument a{known->takes_value ? Argument::Kind::option : Argument::Kind::flag, std::string(arg), known->name, {}};
    if (known->takes_value) {
      if (name.size() < arg.size()) a.value = std::string(arg.substr(name.size() + 1));
      else if (i + 1 < argc) a.value = argv[++i];
    }
    out.items.push_back(std::move(a));
  }
  return out;
}

int wrong_call(const Program& program, const std::string& reason) {
  console_print(messages::kWrongCall, reason.c_str());
  console_write(program.usage);
  return kExitWrongCall;
}

int run_program(const Program& program, int argc, const char* const* argv,
                const std::function<std::string(const Arguments&)>& understand,
                const std::function<int()>& work) {
  ignore_output_signals();
  const Arguments arguments = parse_arguments(argc, argv, program.options);
  const std::string wrong = understand(arguments);
  if (arguments.help) {
    console_write(program.help);
    return kExitOk;
  }
  if (arguments.version) {
    console_print("%s %s\n", program.name, KADRIX_VERSION);
    return kExitOk;
  }
  if (!wrong.empty()) return wrong_call(program, wrong);
  return work();
}

}  // namespace kadrix::cli
