// kadrix-demo: writes a deterministic sample night of frames for kadrix.

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bmp/console.h"
#include "driver/object_list.h"
#include "bmp/text_format.h"
#include "tools/common/cli.h"
#include "tools/demo/messages.h"
#include "tools/demo/night.h"

namespace {

using namespace kadrix::demo::messages;
using kadrix::text_format;
using kadrix::demo::NightSettings;

constexpr kadrix::cli::KnownOption kOptions[] = {
    {"--objects", true}, {"--frames", true}, {"--width", true},
    {"--height", true},  {"--seed", true},   {"--list", true},
    {"--raw", false},
};

std::string help_text() {
  return text_format(
      "Wywolanie: kadrix-demo [opcje] katalog\n"
      "\n"
      "Zapisuje w katalogu (tworzonym, gdy go brak) sztuczna noc 8-bitowych klatek:\n"
      "dla kazdego obiektu NAZWA01.BMP, NAZWA02.BMP, ... (dryfujace pole gwiazd\n"
      "z gradientem nieba, szumem, sladami promieni kosmicznych i goracymi\n"
      "pikselami), NAZWA_stars.csv (x,y,peak kazdej umieszczonej gwiazdy; y = 0 to\n"
      "gorny wiersz) i liste obiektow. Te same opcje daja zawsze te same bajty.\n"
      "\n"
      "  --objects N   liczba obiektow, 1 do %d (domyslnie 3)\n"
      "  --frames N    klatek na obiekt, 1 do %d (domyslnie 10 do 20, rozne)\n"
      "  --width W     szerokosc klatki, %d do %d (domyslnie 203)\n"
      "  --height H    wysokosc klatki, %d do %d (domyslnie 157)\n"
      "  --seed S      ziarno losowania, 0 do 2^64-1, dziesietnie lub 0x... (domyslnie 1)\n"
      "  --list NAZWA  nazwa pliku listy w katalogu (domyslnie lista.list)\n"
      "  --raw         klatki jak z kamery bez kalibracji (prad ciemny, gorace\n"
      "                piksele, winietowanie, pylek, dryf kilku pikseli), a obok\n"
      "                NAZWA_DARK01.BMP ... (%d ciemnych), NAZWA_FLAT01.BMP ...\n"
      "                (%d plaskich) i NAZWA_offsets.csv (frame,dx,dy przesuniecia\n"
      "                pola w kazdej klatce wzgledem NAZWA_stars.csv)\n"
      "  --help        ten opis\n"
      "  --version     wersja programu\n"
      "  --            koniec opcji\n"
      "\n"
      "Potem: kadrix katalog/ katalog/lista.list\n"
      "Kod wyjscia: 0 sukces, 1 blad zapisu, 2 zle wywolanie.\n",
      kadrix::demo::kMaxObjects, kadrix::kMaxFrames, kadrix::demo::kMinSide, kadrix::demo::kMaxSide,
      kadrix::demo::kMinSide, kadrix::demo::kMaxSide, kadrix::demo::kDarkFrames, kadrix::demo::kFlatFrames);
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

struct Call {
  NightSettings settings;
  std::string dir;
};

// Fills call from the arguments; returns the reason of a wrong call, empty
// when the call is right. Only the first fault is kept.
std::string understand_call(const kadrix::cli::Arguments& arguments, Call& call) {
  std::string wrong;
  const auto fault = [&wrong](std::string reason) {
    if (wrong.empty()) wrong = std::move(reason);
  };
  NightSettings& settings = call.settings;
  std::vector<std::string_view> given;
  bool have_dir = false;
  for (const kadrix::cli::Argument& arg : arguments.items) {
    using Kind = kadrix::cli::Argument::Kind;
    if (arg.kind == Kind::unknown) {
      fault(text_format(kUnknownOption, arg.text.c_str()));
      continue;
    }
    if (arg.kind == Kind::operand) {
      if (have_dir) fault(text_format(kTooManyOperands, arg.text.c_str()));
      else if (arg.text.empty()) fault(kEmptyDirectory);
      call.dir = arg.text;
      have_dir = true;
      continue;
    }
    const std::string name(arg.name);
    const auto given_before = [&given, &arg] {
      bool twice = false;
      for (const std::string_view g : given) twice = twice || g == arg.name;
      return twice;
    };
    if (arg.kind == Kind::flag) {  // --raw, the one flag
      if (given_before()) fault(text_format(kOptionTwice, name.c_str()));
      given.push_back(arg.name);
      settings.raw = true;
      continue;
    }
    if (!arg.value || arg.value->empty()) {
      fault(text_format(kNoValue, name.c_str()));
      continue;
    }
    if (given_before()) {
      fault(text_format(kOptionTwice, name.c_str()));
      continue;
    }
    given.push_back(arg.name);
    const char* v = arg.value->c_str();
    const auto number = [&](int lo, int hi, int& out) {
      if (!parse_int(v, lo, hi, out)) fault(text_format(kBadNumber, name.c_str(), v, lo, hi));
    };
    if (name == "--objects") {
      number(1, kadrix::demo::kMaxObjects, settings.objects);
    } else if (name == "--frames") {
      number(1, kadrix::kMaxFrames, settings.frames);
    } else if (name == "--width") {
      number(kadrix::demo::kMinSide, kadrix::demo::kMaxSide, settings.width);
    } else if (name == "--height") {
      number(kadrix::demo::kMinSide, kadrix::demo::kMaxSide, settings.height);
    } else if (name == "--seed") {
      if (!parse_seed(v, settings.seed)) fault(text_format(kBadSeed, name.c_str(), v));
    } else {
      // A plain file name: it is written inside the directory.
      const std::string& value = *arg.value;
      if (value.find('/') == std::string::npos && value != "." && value != "..") settings.list_name = value;
      else fault(text_format(kBadListName, name.c_str(), v));
    }
  }
  if (!have_dir) fault(kNoDirectory);
  return wrong;
}

int write_night(Call& call) {
  std::string& dir = call.dir;
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error || !std::filesystem::is_directory(dir)) {
    kadrix::console_print(kCannotCreate, dir.c_str());
    return kadrix::cli::kExitFailed;
  }
  if (dir.back() != '/') dir += '/';

  const auto night = kadrix::demo::plan_night(call.settings);
  std::vector<std::string> names;
  for (const auto& plan : night) {
    std::string failed;
    if (!kadrix::demo::write_object(dir, plan, failed)) {
      kadrix::console_print(kWriteFailed, failed.c_str());
      return kadrix::cli::kExitFailed;
    }
    kadrix::console_print(kObject, plan.name.c_str(), plan.frame_count, plan.width, plan.height,
                          static_cast<int>(plan.stars.size()));
    if (plan.raw) {
      const double dx = plan.offset_x.back() - plan.offset_x.front();
      const double dy = plan.offset_y.back() - plan.offset_y.front();
      kadrix::console_print(kRawObject, plan.name.c_str(), kadrix::demo::kDarkFrames, kadrix::demo::kFlatFrames,
                            std::sqrt(dx * dx + dy * dy));
    }
    names.push_back(plan.name);
  }

  const std::string list_path = dir + call.settings.list_name;
  if (!kadrix::write_object_list(list_path, names)) {
    kadrix::console_print(kWriteFailed, list_path.c_str());
    return kadrix::cli::kExitFailed;
  }
  kadrix::console_print(kListWritten, list_path.c_str());
  return kadrix::cli::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::string help = help_text();
  const kadrix::cli::Program program{"kadrix-demo", kUsage, help.c_str(), kOptions};
  Call call;
  return kadrix::cli::run_program(
      program, argc, argv,
      [&call](const kadrix::cli::Arguments& arguments) { return understand_call(arguments, call); },
      [&call] { return write_night(call); });
}
