#include "tools/inspect/inspect.h"

#include <sys/stat.h>

#include <csignal>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bmp/result_pair.h"
#include "driver/console.h"
#include "tools/inspect/overlay.h"
#include "tools/inspect/sources.h"

namespace kadrix::inspect {

namespace {

constexpr const char* kUsage =
    "Prawidlowe wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "np. kadrix-inspect dane/M31 --overlay M31.BMP\n"
    "(kadrix-inspect --help opisuje program i opcje)\n";

constexpr const char* kHelp =
    "Wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "\n"
    "Czyta pare plikow wynikowych programu kadrix, prefiksSR.BMP i prefiksSS.BMP\n"
    "(prefiks to sciezka do plikow BMP i nazwa obiektu, np. dane/M31), wypisuje\n"
    "statystyki obiektu z palety pliku SS (Kl: liczba klatek, Sr: poziom, Var: sigma),\n"
    "liczbe wykrytych pikseli i zrodla: grupy wykrytych pikseli stykajacych sie\n"
    "bokiem lub rogiem, jako CSV x,y,pixels,peak,sum (srodek ciezkosci wazony\n"
    "srednia, y = 0 to gorny wiersz), od najjasniejszego.\n"
    "Srednia piksela = SR + (SS >> 1) / 128, piksel wykryty gdy SS & 1 = 1.\n"
    "\n"
    "  --csv               tylko CSV: naglowek i wiersze zrodel\n"
    "  --overlay plik.BMP  zapisuje tez obraz sredniej (24 bity, skala szarosci\n"
    "                      miedzy 1. a 99,9. percentylem) z wykrytymi pikselami\n"
    "                      na czerwono; plik zastepowany w calosci albo wcale\n"
    "  --help              ten opis\n"
    "  --                  koniec opcji (prefiks zaczynajacy sie od -)\n"
    "\n"
    "Kod wyjscia: 0 sukces, 1 zly plik wejsciowy lub blad zapisu, 2 zle wywolanie.\n";

struct Call {
  std::string prefix;
  bool csv = false;
  std::optional<std::string> overlay;
  bool help = false;
};

// Fills call from the arguments; returns the reason of a wrong call, empty
// when the call is right. Only the first fault is kept, and the scan goes on
// so that --help anywhere still shows the help.
std::string parse_call(int argc, const char* const* argv, Call& call) {
  std::string wrong;
  const auto fault = [&wrong](std::string reason) {
    if (wrong.empty()) wrong = std::move(reason);
  };
  bool have_prefix = false;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_end && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_end = true;
      } else if (arg == "--help" || arg == "-h") {
        call.help = true;
      } else if (arg == "--csv") {
        call.csv = true;
      } else if (arg == "--overlay" || arg.starts_with("--overlay=")) {
        std::string path;
        if (arg != "--overlay") path = arg.substr(std::string_view("--overlay=").size());
        else if (i + 1 < argc) path = argv[++i];
        if (path.empty()) fault("brak nazwy pliku po --overlay");
        else if (call.overlay) fault("opcja --overlay podana dwa razy");
        else call.overlay = path;
      } else {
        fault("nieznana opcja " + std::string(arg));
      }
      continue;
    }
    if (have_prefix) {
      fault("za duzo argumentow (" + std::string(arg) + ")");
      continue;
    }
    call.prefix = arg;
    have_prefix = true;
  }
  if (!have_prefix) fault("brak prefiksu plikow");
  return wrong;
}

int wrong_call(const std::string& reason) {
  console_print("Zle wywolanie programu: %s.\n", reason.c_str());
  console_write(kUsage);
  return kExitWrongCall;
}

// Why a file is not a result file of kadrix.
const char* bad_file_reason(BmpFault fault) {
  switch (fault) {
    case BmpFault::none: break;
    case BmpFault::short_header: return "krotszy niz naglowki BMP";
    case BmpFault::no_signature: return "brak sygnatury BM";
    case BmpFault::small_info_header: return "naglowek informacyjny krotszy niz 40 bajtow";
    case BmpFault::bit_count: return "nie 8 bitow na piksel";
    case BmpFault::compression: return "obraz skompresowany";
    case BmpFault::data_offset: return "dane pikseli wewnatrz naglowkow";
    case BmpFault::width: return "szerokosc nie jest dodatnia";
    case BmpFault::height: return "zla wysokosc";
    case BmpFault::pixel_count: return "za duzo pikseli";
    case BmpFault::short_pixels: return "plik urwany przed koncem pikseli";
    case BmpFault::read_failed: return "blad odczytu pikseli";
  }
  return "zly naglowek";
}

int bad_input(const PairError& error) {
  switch (error.fault) {
    case PairFault::none: break;
    case PairFault::missing:
      console_print("Brak pliku %s\n", error.path.c_str());
      break;
    case PairFault::bad_file:
      console_print("Zly plik %s (%s)\n", error.path.c_str(), bad_file_reason(error.check.fault));
      break;
    case PairFault::no_statistics:
      console_print("Zly plik %s (%s)\n", error.path.c_str(), "brak statystyk kadrix w palecie");
      break;
    case PairFault::size_mismatch:
      console_print("Pliki %s i %s maja rozne rozmiary\n", error.path.c_str(), error.other_path.c_str());
      break;
    case PairFault::out_of_memory:
      console_write("Brak pamieci\n");
      break;
  }
  return kExitBadInput;
}

bool same_file(const FileId& a, const struct stat& b) { return a.device == b.st_dev && a.inode == b.st_ino; }

// True when the overlay would land on one of the files it is drawn from,
// under their own name or any other (a link, a different spelling).
bool names_an_input(const std::string& path, const ResultPair& pair) {
  if (path == pair.sr_path || path == pair.ss_path) return true;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return false;
  return same_file(pair.sr_id, info) || same_file(pair.ss_id, info);
}

void print_report(const ResultPair& pair, std::int64_t flagged, const std::vector<Source>& sources,
                  bool csv_only) {
  if (!csv_only) {
    console_print("Rozmiar: %d x %d\n", pair.width, pair.height);
    console_print("Kl: %d\n", pair.stats.frame_count);
    console_print("Sr: %f\n", static_cast<double>(pair.stats.level));
    console_print("Var: %f\n", static_cast<double>(pair.stats.sigma));
    // Both counts are bounded by the pixel count, itself a signed 32-bit value.
    console_print("Wykryte piksele: %d\n", static_cast<int>(flagged));
    console_print("Zrodla: %d\n", static_cast<int>(sources.size()));
  }
  console_write("x,y,pixels,peak,sum\n");
  for (const Source& s : sources) {
    console_print("%.3f,%.3f,%d,%f,%f\n", s.x, s.y, s.pixels, steps_to_mean(s.peak_steps),
                  steps_to_mean(s.sum_steps));
  }
}

}  // namespace

int run_inspect(int argc, const char* const* argv) {
  // A closed standard output must not stop the overlay being written, and
  // an exceeded file-size limit must surface as a failed write.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  Call call;
  const std::string wrong = parse_call(argc, argv, call);
  if (call.help) {
    console_write(kHelp);
    return kExitOk;
  }
  if (!wrong.empty()) return wrong_call(wrong);

  ResultPair pair;
  if (const PairError error = read_result_pair(call.prefix, pair); error.fault != PairFault::none)
    return bad_input(error);
  if (call.overlay && names_an_input(*call.overlay, pair))
    return wrong_call("plik " + *call.overlay + " jest plikiem wejsciowym");

  try {
    const std::vector<Source> sources = find_sources(pair.codes, pair.width, pair.height);
    print_report(pair, count_flagged(pair.codes), sources, call.csv);
    if (call.overlay && !write_overlay(*call.overlay, pair)) {
      console_print("Blad zapisu pliku %s\n", call.overlay->c_str());
      return kExitBadInput;
    }
  } catch (const std::bad_alloc&) {
    return bad_input({PairFault::out_of_memory, "", "", {}});
  }
  return kExitOk;
}

}  // namespace kadrix::inspect
