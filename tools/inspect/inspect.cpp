#include "tools/inspect/inspect.h"

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bmp/result_pair.h"
#include "driver/console.h"
#include "driver/object_list.h"
#include "tools/inspect/fits_export.h"
#include "tools/inspect/night.h"
#include "tools/inspect/night_report.h"
#include "tools/inspect/overlay.h"
#include "tools/inspect/regions.h"
#include "tools/inspect/sources.h"

namespace kadrix::inspect {

namespace {

constexpr const char* kUsage =
    "Prawidlowe wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "                      [--fits plik.fits] [--regions plik.reg]\n"
    "               albo:  kadrix-inspect --night katalog lista [--html plik.html]\n"
    "np. kadrix-inspect dane/M31 --overlay M31.BMP\n"
    "(kadrix-inspect --help opisuje program i opcje)\n";

constexpr const char* kHelp =
    "Wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "                          [--fits plik.fits] [--regions plik.reg]\n"
    "     albo: kadrix-inspect --night katalog lista [--html plik.html]\n"
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
    "                      na czerwono; plik zastepowany w calosci albo wcale;\n"
    "                      nazwa konczaca sie na .png daje ten sam obraz jako PNG\n"
    "  --fits plik.fits    zapisuje srednia (obraz glowny), flagi wykrycia\n"
    "                      (rozszerzenie DETECT) i zrodla (tabela SOURCES) jako FITS\n"
    "  --regions plik.reg  zapisuje zrodla jako regiony DS9 (okregi we wspolrzednych\n"
    "                      obrazu FITS: X = x + 1, Y = wysokosc - y)\n"
    "  --night             tryb nocy: czyta liste obiektow jak kadrix (katalog jak\n"
    "                      w kadrix, z koncowym /) i pary plikow kazdego obiektu;\n"
    "                      wypisuje CSV name,width,height,frames,level,sigma,\n"
    "                      detected,sources,status (status: ok, brak pliku,\n"
    "                      uszkodzony, rozne rozmiary); kod wyjscia 1, gdy jakakolwiek\n"
    "                      para nie zostala odczytana\n"
    "  --html plik.html    z --night: zapisuje tez raport nocy, jedna strone HTML\n"
    "                      z tabela, podgladami i najjasniejszymi zrodlami obiektow\n"
    "  --version           wersja programu\n"
    "  --help              ten opis\n"
    "  --                  koniec opcji (prefiks zaczynajacy sie od -)\n"
    "\n"
    "Opcje moga stac przed argumentami i po nich, takze w postaci --fits=plik.\n"
    "Zaden plik wynikowy nie moze byc plikiem wejsciowym.\n"
    "Kod wyjscia: 0 sukces, 1 zly plik wejsciowy lub blad zapisu, 2 zle wywolanie.\n";

constexpr const char* kCreator = "kadrix-inspect " KADRIX_VERSION;

// The options that name an output file, in the order the outputs are
// written.
enum Output { kOverlay, kFits, kRegions, kHtml, kOutputCount };
constexpr const char* kOutputOptions[kOutputCount] = {"--overlay", "--fits", "--regions", "--html"};

struct Call {
  std::vector<std::string> operands;
  bool csv = false;
  bool night = false;
  bool help = false;
  bool version = false;
  std::optional<std::string> outputs[kOutputCount];
};

// True when the arguments ask for the night, wherever --night stands
// before a "--" (and not as the file name of an option).
bool asks_for_night(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--night") return true;
    for (const char* option : kOutputOptions)
      if (arg == option) ++i;
  }
  return false;
}

// Fills call from the arguments; returns the reason of a wrong call, empty
// when the call is right. Only the first fault is kept, and the scan goes on
// so that --help anywhere still shows the help.
std::string parse_call(int argc, const char* const* argv, Call& call) {
  std::string wrong;
  const auto fault = [&wrong](std::string reason) {
    if (wrong.empty()) wrong = std::move(reason);
  };
  // The mode decides how many operands there are, wherever --night stands.
  call.night = asks_for_night(argc, argv);
  const std::size_t operand_count = call.night ? 2 : 1;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_end && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_end = true;
        continue;
      }
      if (arg == "--help" || arg == "-h") {
        call.help = true;
        continue;
      }
      if (arg == "--version") {
        call.version = true;
        continue;
      }
      if (arg == "--night") continue;
      if (arg == "--csv") {
        if (call.night) fault("opcja --csv nie dotyczy --night");
        call.csv = true;
        continue;
      }
      bool known = false;
      for (int o = 0; o < kOutputCount && !known; ++o) {
        const std::string option = kOutputOptions[o];
        if (arg != option && !arg.starts_with(option + "=")) continue;
        known = true;
        std::string path;
        if (arg != option) path = arg.substr(option.size() + 1);
        else if (i + 1 < argc) path = argv[++i];
        if (path.empty()) fault("brak nazwy pliku po " + option);
        else if (call.outputs[o]) fault("opcja " + option + " podana dwa razy");
        else call.outputs[o] = path;
        if (o == kHtml && !call.night) fault("opcja --html wymaga --night");
        if (o != kHtml && call.night) fault("opcja " + option + " nie dotyczy --night");
      }
      if (!known) fault("nieznana opcja " + std::string(arg));
      continue;
    }
    if (call.operands.size() == operand_count) {
      fault("za duzo argumentow (" + std::string(arg) + ")");
      continue;
    }
    call.operands.emplace_back(arg);
  }
  if (call.operands.empty()) fault(call.night ? "brak katalogu i pliku listy" : "brak prefiksu plikow");
  else if (call.operands.size() < operand_count) fault("brak pliku listy");
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

// True when a and b name the same file: the same spelling, the same path
// once made absolute and resolved, or (both existing) the same inode.
bool same_place(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error_a, error_b;
  const std::filesystem::path pa = std::filesystem::weakly_canonical(a, error_a);
  const std::filesystem::path pb = std::filesystem::weakly_canonical(b, error_b);
  if (!error_a && !error_b && pa == pb) return true;
  struct stat info_a {}, info_b {};
  return ::stat(a.c_str(), &info_a) == 0 && ::stat(b.c_str(), &info_b) == 0 && info_a.st_dev == info_b.st_dev &&
         info_a.st_ino == info_b.st_ino;
}

// The reason to refuse the outputs of a call: one that would land on an
// input, under its own name or any other (a link, a different spelling),
// or two options naming one file, which would leave only the last written.
std::string refused_outputs(const Call& call, const std::vector<std::string>& inputs) {
  for (int o = 0; o < kOutputCount; ++o) {
    if (!call.outputs[o]) continue;
    const std::string& path = *call.outputs[o];
    for (const std::string& input : inputs)
      if (same_place(path, input)) return "plik " + path + " jest plikiem wejsciowym";
    for (int p = 0; p < o; ++p) {
      if (call.outputs[p] && same_place(path, *call.outputs[p]))
        return "ten sam plik " + path + " po " + kOutputOptions[p] + " i " + kOutputOptions[o];
    }
  }
  return "";
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

// One object: the report, then each output asked for.
int inspect_object(const Call& call) {
  ResultPair pair;
  if (const PairError error = read_result_pair(call.operands[0], pair); error.fault != PairFault::none)
    return bad_input(error);
  if (const std::string refused = refused_outputs(call, {pair.sr_path, pair.ss_path}); !refused.empty())
    return wrong_call(refused);

  int status = kExitOk;
  try {
    const std::vector<Source> sources = find_sources(pair.codes, pair.width, pair.height);
    const std::int64_t flagged = count_flagged(pair.codes);
    print_report(pair, flagged, sources, call.csv);
    for (int o = 0; o < kOutputCount; ++o) {
      if (!call.outputs[o]) continue;
      const std::string& path = *call.outputs[o];
      bool ok = true;
      if (o == kOverlay) ok = write_overlay(path, pair);
      if (o == kFits) ok = write_fits(path, pair, sources, flagged, kCreator);
      if (o == kRegions) ok = write_regions(path, sources, pair.height);
      if (!ok) {
        console_print("Blad zapisu pliku %s\n", path.c_str());
        status = kExitBadInput;
      }
    }
  } catch (const std::bad_alloc&) {
    return bad_input({PairFault::out_of_memory, "", "", {}});
  }
  return status;
}

// The night: the list read as kadrix reads it, one CSV line per object as
// it is read, then the page when asked for.
int inspect_night(const Call& call) {
  const std::string& directory = call.operands[0];
  const std::string& list_path = call.operands[1];
  const ObjectList list = read_object_list(list_path, kNameCapacity);
  if (list.missing) {
    console_print("Brak pliku %s\n", list_path.c_str());
    return kExitBadInput;
  }
  if (list.over_capacity) {
    console_print("Za duzo linii w pliku %s. Popraw zawartosc pliku.\n", list_path.c_str());
    return kExitBadInput;
  }
  std::vector<std::string> inputs = {list_path};
  for (const std::string& name : list.names) {
    inputs.push_back(result_path(directory + name, ResultFile::sr));
    inputs.push_back(result_path(directory + name, ResultFile::ss));
  }
  if (const std::string refused = refused_outputs(call, inputs); !refused.empty()) return wrong_call(refused);

  const bool page = call.outputs[kHtml].has_value();
  try {
    NightReport report{directory, list_path, kCreator, {}};
    bool all_read = true;
    console_write(night_csv_header());
    for (const std::string& name : list.names) {
      NightObject object = read_night_object(directory, name, page);
      console_write(night_csv_line(object));
      all_read = all_read && object.status == NightStatus::ok;
      if (page) report.objects.push_back(std::move(object));
    }
    if (page && !write_night_page(*call.outputs[kHtml], report)) {
      console_print("Blad zapisu pliku %s\n", call.outputs[kHtml]->c_str());
      return kExitBadInput;
    }
    return all_read ? kExitOk : kExitBadInput;
  } catch (const std::bad_alloc&) {
    console_write("Brak pamieci\n");
    return kExitBadInput;
  }
}

}  // namespace

int run_inspect(int argc, const char* const* argv) {
  // A closed standard output must not stop the outputs being written, and
  // an exceeded file-size limit must surface as a failed write.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  Call call;
  const std::string wrong = parse_call(argc, argv, call);
  if (call.help) {
    console_write(kHelp);
    return kExitOk;
  }
  if (call.version) {
    console_print("%s\n", kCreator);
    return kExitOk;
  }
  if (!wrong.empty()) return wrong_call(wrong);
  return call.night ? inspect_night(call) : inspect_object(call);
}

}  // namespace kadrix::inspect
