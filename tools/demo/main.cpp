// kadrix-demo: writes a deterministic sample night of frames for kadrix.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "driver/object_list.h"
#include "tools/demo/night.h"

namespace {

using kadrix::demo::NightSettings;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the files could not be written
constexpr int kExitUsage = 2;   // bad command line

void print_help(std::FILE* to) {
  std::fprintf(to,
               "usage: kadrix-demo [options] DIR\n"
               "\n"
               "Writes a synthetic night of 8-bit frames into DIR (created if missing):\n"
               "for every object NAME01.BMP, NAME02.BMP, ... (a drifting star field with\n"
               "a sky gradient, noise, cosmic-ray hits and hot pixels), NAME_stars.csv\n"
               "(x,y,peak of every star placed; y = 0 is the top row), and a list file\n"
               "naming the objects. The same options give the same bytes on every run.\n"
               "\n"
               "options:\n"
               "  --objects N   number of objects, 1 to %d (default 3)\n"
               "  --frames N    frames per object, 1 to %d (default: 10 to 20, per object)\n"
               "  --width W     frame width, %d to %d (default 203)\n"
               "  --height H    frame height, %d to %d (default 157)\n"
               "  --seed S      random seed, 0 to 2^64-1, decimal or 0x-hex (default 1)\n"
               "  --list NAME   list file name inside DIR (default lista.list)\n"
               "  --help        show this text\n"
               "\n"
               "then run: kadrix DIR/ DIR/lista.list\n",
               kadrix::demo::kMaxObjects, kadrix::kMaxFrames, kadrix::demo::kMinSide,
               kadrix::demo::kMaxSide, kadrix::demo::kMinSide, kadrix::demo::kMaxSide);
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "kadrix-demo: %s\n(kadrix-demo --help shows the options)\n", message.c_str());
  return kExitUsage;
}

// Whole decimal number within [lo, hi], nothing else in the text.
bool parse_int(const char* text, int lo, int hi, int& out) {
  if (*text < '0' || *text > '9') return false;
  long long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > hi) return false;
  }
  if (value < lo) return false;
  out = static_cast<int>(value);
  return true;
}

bool parse_seed(const char* text, std::uint64_t& out) {
  // Decimal, or hex after an explicit 0x; a leading zero does not mean octal.
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  // strtoull would accept a sign or leading space: insist on a digit first.
  const bool digit_first = hex ? std::isxdigit(static_cast<unsigned char>(*digits)) != 0
                               : (*digits >= '0' && *digits <= '9');
  if (!digit_first) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0') return false;
  out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  NightSettings settings;
  std::string dir;
  bool have_dir = false;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      print_help(stdout);
      return kExitOk;
    }
    if (!arg.empty() && arg[0] == '-') {
      // "--name value" or "--name=value"
      std::string name(arg);
      std::string value;
      bool have_value = false;
      if (const auto eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        have_value = true;
      } else if (i + 1 < argc) {
        value = argv[++i];
        have_value = true;
      }
      if (name != "--objects" && name != "--frames" && name != "--width" && name != "--height" &&
          name != "--seed" && name != "--list") {
        return usage_error("unknown option " + name);
      }
      if (!have_value) return usage_error(name + " needs a value");
      const char* v = value.c_str();
      bool ok = true;
      std::string allowed;
      if (name == "--objects") {
        ok = parse_int(v, 1, kadrix::demo::kMaxObjects, settings.objects);
        allowed = "a whole number from 1 to " + std::to_string(kadrix::demo::kMaxObjects);
      } else if (name == "--frames") {
        ok = parse_int(v, 1, kadrix::kMaxFrames, settings.frames);
        allowed = "a whole number from 1 to " + std::to_string(kadrix::kMaxFrames);
      } else if (name == "--width" || name == "--height") {
        ok = parse_int(v, kadrix::demo::kMinSide, kadrix::demo::kMaxSide,
                       name == "--width" ? settings.width : settings.height);
        allowed = "a whole number from " + std::to_string(kadrix::demo::kMinSide) + " to " +
                  std::to_string(kadrix::demo::kMaxSide);
      } else if (name == "--seed") {
        ok = parse_seed(v, settings.seed);
        allowed = "a whole number from 0 to 2^64-1";
      } else {
        // A plain file name: it is written inside DIR.
        ok = !value.empty() && value.find('/') == std::string::npos && value != "." &&
             value != "..";
        if (ok) settings.list_name = value;
        allowed = "a file name without '/'";
      }
      if (!ok) return usage_error("bad value '" + value + "' for " + name + ": expected " + allowed);
      continue;
    }
    if (have_dir) return usage_error("more than one directory given: " + dir + " and " + std::string(arg));
    if (arg.empty()) return usage_error("the directory must not be empty");
    dir = argv[i];
    have_dir = true;
  }
  if (!have_dir) return usage_error("no output directory given");

  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error || !std::filesystem::is_directory(dir)) {
    std::fprintf(stderr, "kadrix-demo: cannot create directory %s\n", dir.c_str());
    return kExitFailed;
  }
  if (dir.back() != '/') dir += '/';

  const auto night = kadrix::demo::plan_night(settings);
  std::vector<std::string> names;
  for (const auto& plan : night) {
    std::string failed;
    if (!kadrix::demo::write_object(dir, plan, failed)) {
      std::fprintf(stderr, "kadrix-demo: cannot write %s\n", failed.c_str());
      return kExitFailed;
    }
    std::printf("%-6s %3d frame%s %dx%d, %zu stars\n", plan.name.c_str(), plan.frame_count,
                plan.frame_count == 1 ? " " : "s", plan.width, plan.height, plan.stars.size());
    names.push_back(plan.name);
  }

  const std::string list_path = dir + settings.list_name;
  if (!kadrix::write_object_list(list_path, names)) {
    std::fprintf(stderr, "kadrix-demo: cannot write %s\n", list_path.c_str());
    return kExitFailed;
  }
  std::printf("list: %s\n", list_path.c_str());
  return kExitOk;
}
