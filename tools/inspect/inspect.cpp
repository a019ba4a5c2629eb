#include "tools/inspect/inspect.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bmp/bmp_fault_text.h"
#include "bmp/result_pair.h"
#include "bmp/console.h"
#include "driver/object_list.h"
#include "bmp/text_format.h"
#include "tools/common/cli.h"
#include "tools/inspect/catalogue.h"
#include "tools/inspect/fits_export.h"
#include "tools/inspect/messages.h"
#include "tools/inspect/night.h"
#include "tools/inspect/night_report.h"
#include "tools/inspect/overlay.h"
#include "tools/inspect/regions.h"
#include "tools/inspect/sources.h"

namespace kadrix::inspect {

namespace {

using namespace messages;

constexpr const char* kHelp =
    "Wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "                          [--fits plik.fits] [--regions plik.reg]\n"
    "     albo: kadrix-inspect --night katalog lista [--html plik.html]\n"
    "\n"
    "Czyta pare plikow wynikowych programu kadrix, prefiksSR.BMP i prefiksSS.BMP\n"
    "(prefiks to sciezka do plikow BMP i nazwa obiektu, np. dane/M31), wypisuje\n"
    "statystyki obiektu z palety pliku SS (Kl: liczba klatek, Sr: poziom, Var: sigma),\n"
    "liczbe wykrytych pikseli i katalog zrodel jako CSV x,y,pixels,peak,sum,id,\n"
    "background,flux_iso,flux_iso_err,snr,flux_auto,flux_auto_err,fwhm,a,b,theta,\n"
    "elongation,flags (y = 0 to gorny wiersz), od najjasniejszego wg flux_iso.\n"
    "Zrodla to grupy wykrytych pikseli stykajacych sie bokiem lub rogiem, z\n"
    "wypelnionymi dziurami, rozdzielone progami jak w SExtractorze; tlo z siatki.\n"
    "Srednia piksela = SR + (SS >> 1) / 128, piksel wykryty gdy SS & 1 = 1.\n"
    "\n"
    "  --csv               tylko CSV: naglowek i wiersze zrodel\n"
    "  --overlay plik.BMP  zapisuje tez obraz sredniej (24 bity, skala szarosci\n"
    "                      miedzy 1. a 99,9. percentylem) z wykrytymi pikselami\n"
    "                      na czerwono i zrodlami w zielonych okregach; plik\n"
    "                      zastepowany w calosci albo wcale; nazwa konczaca sie\n"
    "                      na .png daje ten sam obraz jako PNG\n"
    "  --fits plik.fits    zapisuje srednia (obraz glowny), flagi wykrycia\n"
    "                      (rozszerzenie DETECT), zrodla (tabela SOURCES), tlo\n"
    "                      i jego RMS (BACKGROUND, RMS) jako FITS; SExtractor\n"
    "                      czyta sama srednia: plik.fits[0]\n"
    "  --regions plik.reg  zapisuje zrodla jako regiony DS9 (okregi we wspolrzednych\n"
    "                      obrazu FITS: X = x + 1, Y = wysokosc - y)\n"
    "  --night             tryb nocy: czyta liste obiektow jak kadrix (katalog jak\n"
    "                      w kadrix, z koncowym /) i pary plikow kazdego obiektu;\n"
    "                      wypisuje CSV name,width,height,frames,level,sigma,\n"
    "                      detected,sources,fwhm,status (fwhm: mediana FWHM zrodel\n"
    "                      o flagach 0 i S/N > 20; status: ok, brak pliku,\n"
    "                      uszkodzony, rozne rozmiary, blad pomiaru); kod wyjscia 1,\n"
    "                      gdy jakakolwiek para nie zostala odczytana\n"
    "  --html plik.html    z --night: zapisuje tez raport nocy, jedna strone HTML\n"
    "                      z tabela, podgladami i najjasniejszymi zrodlami obiektow\n"
    "Katalog (takze z --night):\n"
    "  --threshold K       zrodla z progu K x RMS tla zamiast flag kadrix\n"
    "                      (filtr 3 x 3, domyslnie --min-pixels 5)\n"
    "  --deblend N,C       N progow rozdzielania, kontrast C (domyslnie 32,0.005)\n"
    "  --no-deblend        zrodla bez rozdzielania\n"
    "  --clean             z --threshold: czysci wykrycia w skrzydlach jasniejszych\n"
    "                      zrodel jak SExtractor (CLEAN Y)\n"
    "  --min-pixels N      pomija zrodla mniejsze niz N pikseli (domyslnie 1)\n"
    "  --min-snr S         pomija zrodla o S/N mniejszym niz S (domyslnie 0)\n"
    "  --back-size N       bok oczka siatki tla w pikselach (domyslnie 64)\n"
    "  --saturate L        szczyt od L to nasycenie, flaga 4 (domyslnie 254.5)\n"
    "  --gain G            elektrony na jednostke sredniej: blad Poissona\n"
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

constexpr cli::KnownOption kOptions[] = {
    {"--overlay", true},    {"--fits", true},      {"--regions", true},   {"--html", true},
    {"--csv", false},       {"--night", false},    {"--threshold", true}, {"--deblend", true},
    {"--no-deblend", false}, {"--clean", false},   {"--min-pixels", true}, {"--min-snr", true},
    {"--back-size", true},  {"--saturate", true},  {"--gain", true},
};

struct Call {
  std::vector<std::string> operands;
  bool csv = false;
  bool night = false;
  std::optional<std::string> outputs[kOutputCount];
  CatalogueOptions catalogue;
};

// A whole decimal number, all of text, or nothing.
std::optional<double> number_of(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<long> whole_of(const std::string& text) {
  if (text.empty() || text[0] == ' ' || text[0] == '+') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return std::nullopt;
  return value;
}

// A catalogue option's value into call.catalogue; the reason when it is
// wrong.
std::string understand_catalogue_option(std::string_view name, const std::string& value, Call& call) {
  CatalogueOptions& c = call.catalogue;
  const char* option = name.data();
  const auto positive = [&](std::optional<double>& into) {
    const std::optional<double> v = number_of(value);
    if (!v || *v <= 0) return text_format(kBadPositive, option, value.c_str());
    into = *v;
    return std::string();
  };
  const auto whole = [&](std::int32_t& into, int lo, int hi) {
    const std::optional<long> v = whole_of(value);
    if (!v || *v < lo || *v > hi) return text_format(kBadWhole, option, value.c_str(), lo, hi);
    into = static_cast<std::int32_t>(*v);
    return std::string();
  };
  if (name == "--threshold") return positive(c.threshold);
  if (name == "--gain") return positive(c.gain);
  if (name == "--back-size") return whole(c.back_size, 1, 4096);
  if (name == "--min-pixels") {
    std::int32_t n = 0;
    std::string wrong = whole(n, 1, INT_MAX);
    c.min_pixels = n;
    return wrong;
  }
  if (name == "--min-snr") {
    const std::optional<double> v = number_of(value);
    if (!v || *v < 0) return text_format(kBadNonNegative, option, value.c_str());
    c.min_snr = *v;
    return "";
  }
  if (name == "--saturate") {
    const std::optional<double> v = number_of(value);
    if (!v) return text_format(kBadNumber, option, value.c_str());
    c.saturate = *v;
    return "";
  }
  // --deblend N,C
  const std::size_t comma = value.find(',');
  const std::optional<long> levels = comma == std::string::npos ? std::nullopt : whole_of(value.substr(0, comma));
  const std::optional<double> contrast =
      comma == std::string::npos ? std::nullopt : number_of(value.substr(comma + 1));
  if (!levels || !contrast || *levels < 1 || *levels > 64 || *contrast < 0 || *contrast > 1)
    return text_format(kBadDeblend, value.c_str());
  c.deblend_levels = static_cast<std::int32_t>(*levels);
  c.deblend_contrast = *contrast;
  return "";
}

const cli::Program& program();

// Fills call from the arguments; returns the reason of a wrong call, empty
// when the call is right. Only the first fault is kept.
std::string understand_call(const cli::Arguments& arguments, Call& call) {
  std::string wrong;
  const auto fault = [&wrong](std::string reason) {
    if (wrong.empty()) wrong = std::move(reason);
  };
  // The mode decides how many operands there are, wherever --night stands.
  call.night = arguments.has_flag("--night");
  const std::size_t operand_count = call.night ? 2 : 1;
  std::vector<std::string_view> catalogue_seen;
  bool deblend_given = false;
  for (const cli::Argument& arg : arguments.items) {
    using Kind = cli::Argument::Kind;
    if (arg.kind == Kind::unknown) {
      fault(text_format(kUnknownOption, arg.text.c_str()));
      continue;
    }
    if (arg.kind == Kind::flag) {
      if (arg.name == "--csv") {
        if (call.night) fault(text_format(kNotForNight, "--csv"));
        call.csv = true;
      }
      if (arg.name == "--clean") {
        if (call.catalogue.clean) fault(text_format(kOptionTwice, "--clean"));
        call.catalogue.clean = true;
      }
      if (arg.name == "--no-deblend") {
        if (!call.catalogue.deblend) fault(text_format(kOptionTwice, "--no-deblend"));
        if (deblend_given) fault(kDeblendTwice);
        call.catalogue.deblend = false;
      }
      continue;
    }
    if (arg.kind == Kind::option && std::find(std::begin(kOutputOptions), std::end(kOutputOptions), arg.name) ==
                                        std::end(kOutputOptions)) {
      const std::string name(arg.name);
      if (!arg.value || arg.value->empty()) {
        fault(text_format(kNoValue, name.c_str()));
      } else if (std::find(catalogue_seen.begin(), catalogue_seen.end(), arg.name) != catalogue_seen.end()) {
        fault(text_format(kOptionTwice, name.c_str()));
      } else {
        fault(understand_catalogue_option(name, *arg.value, call));
      }
      catalogue_seen.push_back(arg.name);
      if (arg.name == "--deblend") {
        deblend_given = true;
        if (!call.catalogue.deblend) fault(kDeblendTwice);
      }
      continue;
    }
    if (arg.kind == Kind::option) {
      int o = 0;
      while (kOutputOptions[o] != arg.name) ++o;
      const char* option = kOutputOptions[o];
      const std::string path = arg.value.value_or("");
      if (path.empty()) fault(text_format(kNoFileName, option));
      else if (call.outputs[o]) fault(text_format(kOptionTwice, option));
      else call.outputs[o] = path;
      if (o == kHtml && !call.night) fault(kHtmlWithoutNight);
      if (o != kHtml && call.night) fault(text_format(kNotForNight, option));
      continue;
    }
    if (call.operands.size() == operand_count) {
      fault(text_format(kTooManyOperands, arg.text.c_str()));
      continue;
    }
    call.operands.push_back(arg.text);
  }
  if (call.catalogue.clean && !call.catalogue.threshold) fault(kCleanWithoutThreshold);
  if (call.operands.empty()) fault(call.night ? kNoOperandsNight : kNoPrefix);
  else if (call.operands.size() < operand_count) fault(kNoList);
  return wrong;
}

int wrong_call(const std::string& reason) { return cli::wrong_call(program(), reason); }

std::string sep_reason(int status) { return text_format(kSepNumber, status); }

int bad_input(const PairError& error) {
  switch (error.fault) {
    case PairFault::none: break;
    case PairFault::missing:
      console_print(kNoFile, error.path.c_str());
      break;
    case PairFault::bad_file:
      console_print(kBadFile, error.path.c_str(),
                    text_format(bmp_fault_format(error.check.fault), error.check.value).c_str());
      break;
    case PairFault::no_statistics:
      console_print(kBadFile, error.path.c_str(), kNoStatistics);
      break;
    case PairFault::size_mismatch:
      console_print(kSizesDiffer, error.path.c_str(), error.other_path.c_str());
      break;
    case PairFault::out_of_memory:
      console_write(kOutOfMemory);
      break;
  }
  return cli::kExitFailed;
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
      if (same_place(path, input)) return text_format(kOutputIsInput, path.c_str());
    for (int p = 0; p < o; ++p) {
      if (call.outputs[p] && same_place(path, *call.outputs[p]))
        return text_format(kSameOutput, path.c_str(), kOutputOptions[p], kOutputOptions[o]);
    }
  }
  return "";
}

void print_report(const ResultPair& pair, std::int64_t flagged, const Catalogue& catalogue, bool csv_only) {
  const std::vector<Source>& sources = catalogue.sources;
  if (!csv_only) {
    console_print(kSize, pair.width, pair.height);
    console_print(kFrames, pair.stats.frame_count);
    console_print(kLevel, static_cast<double>(pair.stats.level));
    console_print(kSigma, static_cast<double>(pair.stats.sigma));
    // Both counts are bounded by the pixel count, itself a signed 32-bit value.
    console_print(kFlagged, static_cast<int>(flagged));
    console_print(kSources, static_cast<int>(sources.size()));
    if (catalogue.flat_background) console_write(kFlatBackground);
  }
  console_write(kSourceHeader);
  for (std::size_t k = 0; k < sources.size(); ++k) {
    const Source& s = sources[k];
    console_print(kSourceLine, fixed(s.x, 3).c_str(), fixed(s.y, 3).c_str(), s.pixels, steps_to_mean(s.peak_steps),
                  steps_to_mean(s.sum_steps), static_cast<int>(k + 1), fixed(s.background, 6).c_str(),
                  fixed(s.flux_iso, 6).c_str(), fixed(s.flux_iso_err, 6).c_str(), fixed(s.snr, 2).c_str(),
                  fixed(s.flux_auto, 6).c_str(), fixed(s.flux_auto_err, 6).c_str(), fixed(s.fwhm, 3).c_str(),
                  fixed(s.a, 3).c_str(), fixed(s.b, 3).c_str(), fixed(s.theta, 2).c_str(),
                  fixed(s.elongation, 3).c_str(), s.flags);
  }
}

// One object: the report, then each output asked for.
int inspect_object(const Call& call) {
  ResultPair pair;
  if (const PairError error = read_result_pair(call.operands[0], pair); error.fault != PairFault::none)
    return bad_input(error);
  if (const std::string refused = refused_outputs(call, {pair.sr_path, pair.ss_path}); !refused.empty())
    return wrong_call(refused);

  int status = cli::kExitOk;
  try {
    const Catalogue catalogue = build_catalogue(pair, call.catalogue);
    if (catalogue.sep_status != 0) {
      console_print(kSepFailed, sep_reason(catalogue.sep_status).c_str());
      return cli::kExitFailed;
    }
    const std::vector<Source>& sources = catalogue.sources;
    const std::int64_t flagged = count_flagged(pair.codes);
    print_report(pair, flagged, catalogue, call.csv);
    for (int o = 0; o < kOutputCount; ++o) {
      if (!call.outputs[o]) continue;
      const std::string& path = *call.outputs[o];
      bool ok = true;
      if (o == kOverlay) ok = write_overlay(path, pair, sources);
      if (o == kFits) ok = write_fits(path, pair, catalogue, call.catalogue, flagged, kCreator);
      if (o == kRegions) ok = write_regions(path, sources, pair.height);
      if (!ok) {
        console_print(kWriteFailed, path.c_str());
        status = cli::kExitFailed;
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
    console_print(kNoFile, list_path.c_str());
    return cli::kExitFailed;
  }
  if (list.over_capacity) {
    console_print(kListTooLong, list_path.c_str());
    return cli::kExitFailed;
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
      NightObject object = read_night_object(directory, name, call.catalogue, page);
      console_write(night_csv_line(object));
      all_read = all_read && object.status == NightStatus::ok;
      if (page) report.objects.push_back(std::move(object));
    }
    if (page && !write_night_page(*call.outputs[kHtml], report)) {
      console_print(kWriteFailed, call.outputs[kHtml]->c_str());
      return cli::kExitFailed;
    }
    return all_read ? cli::kExitOk : cli::kExitFailed;
  } catch (const std::bad_alloc&) {
    console_write(kOutOfMemory);
    return cli::kExitFailed;
  }
}

const cli::Program& program() {
  static const cli::Program kProgram{"kadrix-inspect", kUsage, kHelp, kOptions};
  return kProgram;
}

}  // namespace

int run_inspect(int argc, const char* const* argv) {
  set_sep_limits(kPixelStack, kSubObjectLimit);
  serve_heap_in_huge_pages(kHeapStep);
  Call call;
  return cli::run_program(
      program(), argc, argv, [&call](const cli::Arguments& arguments) { return understand_call(arguments, call); },
      [&call] { return call.night ? inspect_night(call) : inspect_object(call); });
}

}  // namespace kadrix::inspect
