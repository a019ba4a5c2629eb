#include "tools/import/import.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bmp/frame_files.h"
#include "bmp/replace_files.h"
#include "bmp/console.h"
#include "bmp/image_buffer.h"
#include "driver/object_list.h"
#include "bmp/text_format.h"
#include "tools/common/cli.h"
#include "tools/import/calibration.h"
#include "tools/import/frame_shift.h"
#include "tools/import/master_files.h"
#include "tools/import/messages.h"
#include "tools/import/pixel_map.h"
#include "tools/import/resample.h"
#include "tools/import/series_files.h"
#include "tools/import/shifts_file.h"
#include "tools/import/sources.h"

namespace kadrix::import {

namespace {

using namespace messages;

// A format: the depths come from their constants.
constexpr const char* kHelp =
    "Wywolanie: kadrix-import [opcje] katalog/ NAZWA ZRODLO...\n"
    "\n"
    "Zapisuje klatki ze zrodel jako katalog/NAZWA01.BMP, NAZWA02.BMP, ...\n"
    "NAZWA99.BMP, NAZWA100.BMP (8 bitow, szara paleta), tak jak czyta je kadrix.\n"
    "Katalog jest przedrostkiem nazw plikow, jak w wywolaniu kadrix, wiec konczy\n"
    "sie znakiem /. Nazwe dluzsza niz 6 znakow kadrix skraca do 6; klatki dostaja\n"
    "nazwe skrocona.\n"
    "\n"
    "Zrodla, czytane w podanej kolejnosci (format poznawany po zawartosci):\n"
    "  SER   wideo MONO, RGB lub BGR, 1 do 16 bitow\n"
    "  FITS  obraz 2-D albo kostka 3-D (kazda plaszczyzna to klatka), BITPIX 8,\n"
    "        16, 32, -32 lub -64, z BZERO i BSCALE; takze obraz skompresowany\n"
    "  PNG   skala szarosci, kolor lub paleta, do 16 bitow\n"
    "  BMP   8 bitow, jedna klatka, czytana tak jak czyta ja kadrix\n"
    "Kolor staje sie szaroscia: (299 R + 587 G + 114 B + 500) / 1000.\n"
    "Bez --first i --every brane jest pierwszych 100 klatek.\n"
    "\n"
    "Glebia: dane 8-bitowe sa przepisywane bez zmian. Glebsze dane calkowite\n"
    "zachowuja 8 najstarszych bitow, z jednym przesunieciem dla calej serii:\n"
    "o glebie SER, a dla innych zrodel o najmniejsza glebie mieszczaca najwieksza\n"
    "wartosc. Dane zmiennoprzecinkowe, ujemne lub z BSCALE rozna od 1 sa\n"
    "skalowane liniowo od najmniejszej do najwiekszej wartosci serii. Uzyta mapa\n"
    "jest wypisywana razem z opcja, ktora ja powtarza.\n"
    "\n"
    "  --first K            pierwsza klatka (od 1) polaczonych zrodel\n"
    "  --every S            co S-ta klatka (domyslnie kazda)\n"
    "  --range LO:HI        skala liniowa: LO daje 0, HI daje 255\n"
    "  --depth D            dane calkowite o glebi D bitow (%d do %d):\n"
    "                       wartosc >> (D - 8)\n"
    "  --byte-order little|big\n"
    "                       kolejnosc bajtow 16-bitowych probek SER (wbrew\n"
    "                       naglowkowi)\n"
    "  --replace            zastepuje istniejaca serie NAZWA; stare klatki znikaja,\n"
    "                       gdy nowe sa juz kompletne\n"
    "  --list LISTA         dopisuje NAZWA do listy obiektow kadrix (brakujaca\n"
    "                       liste tworzy)\n"
    "\n"
    "Kalibracja (kazda opcja wielokrotnie; @PLIK czyta zrodla z PLIKU, jedno w\n"
    "wierszu; wszystkie klatki zrodel jednego rodzaju tworza jego serie):\n"
    "  --dark ZRODLO        ciemne klatki o ekspozycji swiatla\n"
    "  --bias ZRODLO        klatki bias (odejmowane, gdy brak ciemnych)\n"
    "  --flat ZRODLO        klatki plaskie\n"
    "  --flat-dark ZRODLO   ciemne klatki o ekspozycji plaskich\n"
    "  --pedestal P         dodawane do wartosci skalibrowanych przed mapa\n"
    "                       (domyslnie dolna mediana ciemnej)\n"
    "  --saturation L       probka swiatla od L w gore daje 255\n"
    "  --save-masters KATALOG/\n"
    "                       zapisuje mistrzow jako master_dark.fits,\n"
    "                       master_bias.fits, master_flat.fits\n"
    "Wyrownanie (przesuniecia klatek wzgledem klatki odniesienia):\n"
    "  --align              kazda klatka na siatce klatki odniesienia (Lanczos-3,\n"
    "                       przesuniecie do 0.001 piksela); klatki niepasujace sa\n"
    "                       pomijane, zapisywanych jest pierwszych 100 pasujacych,\n"
    "                       przycietych do wspolnego obszaru\n"
    "  --align-whole        jak --align, ale przesuniecia w calych pikselach,\n"
    "                       wartosci przepisane bez interpolacji\n"
    "  --reference K        klatka odniesienia: K-ta wybrana (domyslnie 1)\n"
    "  --shifts PLIK.csv    zapisuje przesuniecia wybranych klatek (CSV)\n"
    "\n"
    "Zrodla BMP (8 bitow, jak klatki kadrix) podaje sie jako NAZWA[0-9][0-9].BMP\n"
    "NAZWA100.BMP albo lista @, nie NAZWA*.BMP (to wzieloby tez pliki wynikow).\n"
    "\n"
    "  --help               ten opis\n"
    "  --version            wersja programu\n"
    "  --                   koniec opcji\n"
    "\n"
    "Kod wyjscia: 0 sukces, 1 zly plik zrodlowy, odmowa lub blad zapisu\n"
    "(katalog zostaje bez zmian; gdy zawiedzie tylko zapis listy, klatki sa juz\n"
    "zapisane), 2 zle wywolanie.\n";

struct Call {
  std::string directory;
  std::string name;
  std::vector<std::string> sources;
  std::optional<std::int64_t> first;
  std::optional<std::int64_t> every;
  std::optional<std::pair<double, double>> range;
  std::optional<int> depth;
  std::optional<SerByteOrder> byte_order;
  bool replace = false;
  std::optional<std::string> list;
  // Calibration sources of each kind, in the order given (@FILE not yet read).
  std::array<std::vector<std::string>, 4> calibration;
  std::optional<double> pedestal;
  std::optional<double> saturation;
  std::optional<std::string> save_masters;
  // Alignment: every light on the reference frame's grid.
  bool align = false;
  bool align_whole = false;  // whole-pixel shifts, values copied
  std::optional<std::int64_t> reference;
  std::optional<std::string> shifts;
  int workers = 2;  // threads reading the lights of an aligned import
  bool aligned() const { return align || align_whole; }
};

// The kinds of calibration frames, in the order of Call::calibration.
enum CalibrationKind { kDark, kFlat, kBias, kFlatDark };
constexpr const char* kCalibrationOptions[] = {"--dark", "--flat", "--bias", "--flat-dark"};

constexpr cli::KnownOption kOptions[] = {
    {"--first", true},      {"--every", true},     {"--range", true},     {"--depth", true},
    {"--byte-order", true}, {"--list", true},      {"--replace", false},  {"--dark", true},
    {"--flat", true},       {"--bias", true},      {"--flat-dark", true}, {"--pedestal", true},
    {"--saturation", true}, {"--save-masters", true}, {"--align", false},  {"--align-whole", false},
    {"--reference", true},  {"--shifts", true},
};

// Whole decimal number from 1 to limit, nothing else in the text.
bool parse_count(std::string_view text, std::int64_t limit, std::int64_t& out) {
  if (text.empty()) return false;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > limit) return false;
  }
  if (value < 1) return false;
  out = value;
  return true;
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Why NAME cannot be an object's name, or empty.
std::string name_fault(const std::string& name) {
  if (name.empty()) return kEmptyName;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\') return text_format(kNameWithSeparator, name.c_str());
    if (is_white_space(byte)) return text_format(kNameWithWhiteSpace, name.c_str());
    if (byte < 0x20 || byte == 0x7F) return kNameWithControl;
  }
  return "";
}

// Fills call from the arguments; returns the reason of a wrong call, empty
// when the call is right. Only the first fault is kept.
std::string understand_call(const cli::Arguments& arguments, Call& call) {
  std::string wrong;
  const auto fault = [&wrong](std::string reason) {
    if (wrong.empty()) wrong = std::move(reason);
  };
  std::vector<std::string> positional;
  for (const cli::Argument& arg : arguments.items) {
    using Kind = cli::Argument::Kind;
    if (arg.kind == Kind::operand) {
      positional.push_back(arg.text);
      continue;
    }
    if (arg.kind == Kind::unknown) {
      fault(text_format(kUnknownOption, arg.text.c_str()));
      continue;
    }
    const std::string_view option = arg.name;
    if (option == "--replace" || option == "--align" || option == "--align-whole") {
      (option == "--replace" ? call.replace : option == "--align" ? call.align : call.align_whole) = true;
      continue;
    }
    const std::string name(option);
    if (!arg.value || arg.value->empty()) {
      fault(text_format(kNoValue, name.c_str()));
      continue;
    }
    const std::string& value = *arg.value;
    bool calibration_source = false;
    for (int kind = kDark; kind <= kFlatDark; ++kind) {
      if (option != kCalibrationOptions[kind]) continue;
      call.calibration[static_cast<std::size_t>(kind)].push_back(value);
      calibration_source = true;
    }
    if (calibration_source) continue;
    const bool twice = (option == "--first" && call.first) || (option == "--every" && call.every) ||
                       (option == "--range" && call.range) || (option == "--depth" && call.depth) ||
                       (option == "--byte-order" && call.byte_order) || (option == "--list" && call.list) ||
                       (option == "--pedestal" && call.pedestal) || (option == "--saturation" && call.saturation) ||
                       (option == "--save-masters" && call.save_masters) ||
                       (option == "--reference" && call.reference) || (option == "--shifts" && call.shifts);
    if (twice) {
      fault(text_format(kOptionTwice, name.c_str()));
      continue;
    }
    std::int64_t number = 0;
    if (option == "--first" || option == "--every" || option == "--reference") {
      if (!parse_count(value, INT64_C(1000000000000), number))
        fault(text_format(kBadCount, name.c_str(), value.c_str()));
      else (option == "--first" ? call.first : option == "--every" ? call.every : call.reference) = number;
    } else if (option == "--range") {
      double lo = 0;
      double hi = 0;
      if (!parse_range(value, lo, hi)) fault(text_format(kBadRange, name.c_str(), value.c_str()));
      else call.range = std::pair{lo, hi};
    } else if (option == "--depth") {
      if (!parse_count(value, kMaxDepth, number) || number < kMinDepth)
        fault(text_format(kBadDepth, name.c_str(), value.c_str(), kMinDepth, kMaxDepth));
      else call.depth = static_cast<int>(number);
    } else if (option == "--byte-order") {
      if (value == "little") call.byte_order = SerByteOrder::little;
      else if (value == "big") call.byte_order = SerByteOrder::big;
      else fault(text_format(kBadByteOrder, name.c_str(), value.c_str()));
    } else if (option == "--pedestal" || option == "--saturation") {
      double number_value = 0;
      if (!parse_number(value, number_value)) fault(text_format(kBadNumber, name.c_str(), value.c_str()));
      else (option == "--pedestal" ? call.pedestal : call.saturation) = number_value;
    } else if (option == "--save-masters") {
      call.save_masters = value;
    } else if (option == "--shifts") {
      call.shifts = value;
    } else {
      call.list = value;
    }
  }

  if (positional.empty()) fault(kNoOperands);
  else if (positional.size() == 1) fault(kNoNameNorSources);
  else if (positional.size() == 2) fault(kNoSources);
  if (positional.size() >= 2) {
    call.directory = positional[0];
    call.name = positional[1];
    call.sources.assign(positional.begin() + 2, positional.end());
    if (const std::string why = name_fault(call.name); !why.empty()) fault(why);
    // kadrix takes the directory as a plain prefix; without its '/' the
    // frames would land beside it under other names.
    const std::string& dir = call.directory;
    if (!dir.empty() && dir.back() != '/' && is_directory(dir))
      fault(text_format(kDirectoryWithoutSlash, dir.c_str(),
                        frame_path(dir, call.name.substr(0, kNameMaxChars), 1).c_str()));
  }
  if (call.range && call.depth) fault(kRangeAndDepth);
  const bool calibrating = std::any_of(call.calibration.begin(), call.calibration.end(),
                                       [](const std::vector<std::string>& paths) { return !paths.empty(); });
  if (call.save_masters && !calibrating) fault(kMastersWithoutCalibration);
  // Darks at the flats' exposure serve only a flat.
  if (!call.calibration[kFlatDark].empty() && call.calibration[kFlat].empty()) fault(kFlatDarkWithoutFlat);
  // Without alignment there is no reference and no shift.
  if (call.reference && !call.aligned()) fault(text_format(kWithoutAlign, "--reference"));
  if (call.shifts && !call.aligned()) fault(text_format(kWithoutAlign, "--shifts"));
  return wrong;
}

int failed(const char* format, const std::string& a, const std::string& b = "") {
  console_print(format, a.c_str(), b.c_str());
  return cli::kExitFailed;
}

// A frame of the series: frame index of source number source.
struct FrameRef {
  std::size_t source = 0;
  std::int64_t index = 0;
};

// Set by SIGINT, SIGTERM and SIGHUP; until the frames are put in place the
// import then stops and removes what it wrote.
volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int) { g_stop = 1; }

int stopped() {
  console_write(kStopped);
  return cli::kExitFailed;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void print_map(const PixelMap& map) {
  if (map.kind == PixelMap::Kind::shift) {
    if (map.depth == kMinDepth)
      console_write(kMapCopy);
    else
      console_print(kMapShift, map.depth,
                    map.depth - 8, map.depth);
    return;
  }
  const std::string lo = shortest_text(map.lo);
  const std::string hi = shortest_text(map.hi);
  if (map.lo < map.hi)
    console_print(kMapLinear,
                  lo.c_str(), hi.c_str(), lo.c_str(), lo.c_str(), hi.c_str());
  else
    console_print(kMapFlat, lo.c_str());
}

// The map with the pedestal P it adds to each calibrated value c.
void print_map_with_pedestal(const PixelMap& map, double pedestal) {
  const std::string p = shortest_text(pedestal);
  if (map.kind == PixelMap::Kind::shift) {
    if (map.depth == kMinDepth)
      console_print(kMapCopyPedestal, p.c_str(), p.c_str());
    else
      console_print(kMapShiftPedestal, map.depth, p.c_str(), map.depth - 8, map.depth, p.c_str());
    return;
  }
  const std::string lo = shortest_text(map.lo);
  const std::string hi = shortest_text(map.hi);
  if (map.lo < map.hi)
    console_print(kMapLinearPedestal, p.c_str(), lo.c_str(), hi.c_str(), lo.c_str(), lo.c_str(), hi.c_str(),
                  p.c_str());
  else
    console_print(kMapFlat, lo.c_str());
}

constexpr int kMaxSourceListMiB = 16;

// The paths of a calibration option: "@FILE" stands for the lines of FILE
// (a CR before the line end is dropped, empty lines are skipped). False
// after printing why the list cannot serve.
bool expand_sources(const std::vector<std::string>& given, std::vector<std::string>& paths) {
  for (const std::string& item : given) {
    if (item.size() < 2 || item[0] != '@') {
      paths.push_back(item);
      continue;
    }
    const std::string list = item.substr(1);
    std::uint64_t size = 0;
    const FileHandle file = open_regular_file(list, size);
    if (!file.valid()) {
      console_print(kSourceListUnreadable, list.c_str());
      return false;
    }
    if (size > (std::uint64_t{kMaxSourceListMiB} << 20)) {
      console_print(kSourceListTooLong, list.c_str(), kMaxSourceListMiB);
      return false;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!read_exact_at(file.get(), bytes, 0)) {
      console_print(kSourceListUnreadable, list.c_str());
      return false;
    }
    const std::size_t before = paths.size();
    std::string line;
    const auto end_line = [&] {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) paths.push_back(line);
      line.clear();
    };
    for (const std::uint8_t byte : bytes) {
      if (byte == '\n') end_line();
      else line += static_cast<char>(byte);
    }
    end_line();
    if (paths.size() == before) {
      console_print(kSourceListEmpty, list.c_str());
      return false;
    }
  }
  return true;
}

// Warns when FITS headers of the calibration frames and of the frames they
// serve give exposures more than 1 % or temperatures more than 2 C apart.
void warn_conditions(const std::vector<SourceInfo>& served, const std::vector<SourceInfo>& frames) {
  const SourceInfo* exposure = nullptr;
  const SourceInfo* temperature = nullptr;
  for (const SourceInfo& s : served) {
    if (!exposure && s.fits.exposure) exposure = &s;
    if (!temperature && s.fits.temperature) temperature = &s;
  }
  for (const SourceInfo& s : frames) {
    if (exposure && s.fits.exposure &&
        std::fabs(*s.fits.exposure - *exposure->fits.exposure) > 0.01 * std::fabs(*exposure->fits.exposure))
      console_print(kExposureDiffers, s.path.c_str(), shortest_text(*s.fits.exposure).c_str(),
                    exposure->path.c_str(), shortest_text(*exposure->fits.exposure).c_str());
    if (temperature && s.fits.temperature && std::fabs(*s.fits.temperature - *temperature->fits.temperature) > 2)
      console_print(kTemperatureDiffers, s.path.c_str(), shortest_text(*s.fits.temperature).c_str(),
                    temperature->path.c_str(), shortest_text(*temperature->fits.temperature).c_str());
  }
}

int report_list_refusal(ListAddition outcome, const std::string& list) {
  switch (outcome) {
    case ListAddition::full:
      console_print(kListFull, list.c_str(), kMaxNames);
      return cli::kExitFailed;
    case ListAddition::end_of_text:
      return failed(kListEndOfText, list);
    case ListAddition::not_a_file:
      return failed(kListNotAFile, list);
    case ListAddition::unreadable:
      return failed(kListUnreadable, list);
    case ListAddition::bad_name:
      return failed(kListBadName, list);
    case ListAddition::write_failed:
      return failed(kListWriteFailed, list);
    case ListAddition::added:
    case ListAddition::present:
      break;
  }
  return cli::kExitOk;
}

// Runs job(0) .. job(n - 1) at once, one thread each, and waits for all;
// an exception of any is thrown again here.
void run_together(std::size_t n, const std::function<void(std::size_t)>& job) {
  std::vector<std::exception_ptr> errors(n);
  const auto guarded = [&](std::size_t j) {
    try {
      job(j);
    } catch (...) {
      errors[j] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  std::size_t started = 1;
  try {
    for (; started < n; ++started) threads.emplace_back(guarded, started);
  } catch (const std::system_error&) {
    // No thread to spare: the rest run here.
  }
  guarded(0);
  for (std::size_t j = started; j < n; ++j) guarded(j);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

// Runs job(worker, item) for items 0 .. n - 1 on up to `workers` threads,
// each taking the next item as soon as it is free, until every item is
// taken or stop() holds; waits for all. Items are taken in order, so when
// some fail, every item before the first failure was done.
void run_items(std::size_t n, std::size_t workers, const std::function<bool()>& stop,
               const std::function<void(std::size_t worker, std::size_t item)>& job) {
  std::atomic<std::size_t> next{0};
  run_together(std::max<std::size_t>(1, std::min(workers, n)), [&](std::size_t worker) {
    for (;;) {
      if (stop()) return;
      const std::size_t item = next.fetch_add(1);
      if (item >= n) return;
      job(worker, item);
    }
  });
}

// How the lights are read: c + P of every pixel.
struct Lights {
  const std::vector<SourceInfo>& sources;
  const Calibration& calibration;
  double pedestal = 0;
  bool calibrated = false;
};

// One worker's tools and frame.
struct Worker {
  explicit Worker(SerByteOrder order) : reader(order) {}
  SourceReader reader;
  ImageBuffer<double> held;             // kept from frame to frame
  ImageBuffer<double> second;           // the masters' other frame
  std::span<double> values;             // c + P, rows from the top, in held
  std::vector<std::uint8_t> saturated;  // 1 where the light's sample is saturated
  bool any_saturated = false;
  std::vector<double> row;
  Resampler resampler;
  std::vector<double> resampled;
  std::vector<std::uint8_t> reach;
  ByteImage image;
  bool ok = false;
  std::string why;
};

// Reads frame f into worker.values; the raw values and (when calibrating)
// c + P widen the ranges given, and with saturation the mask is made.
bool read_light(Worker& worker, const Lights& lights, const FrameRef& f, ValueRange* raw, ValueRange* calibrated,
                const double* saturation) {
  const SourceInfo& source = lights.sources[f.source];
  const auto width = static_cast<std::size_t>(source.width);
  const std::size_t pixels = width * static_cast<std::size_t>(source.height);
  worker.values = worker.held.take(pixels);
  if (saturation) worker.saturated.resize(pixels);
  worker.any_saturated = false;
  const auto add = [&](std::int32_t y, std::span<const double> values) {
    const std::size_t at = static_cast<std::size_t>(y) * width;
    // Calibrated where it is kept.
    const std::span<double> row = worker.values.subspan(at, width);
    std::copy(values.begin(), values.end(), row.begin());
    calibrate_row(lights.calibration, y, row);
    for (double& c : row) c = c + lights.pedestal;
    if (raw) raw->add_all(values);
    if (calibrated && lights.calibrated) calibrated->add_all(row);
    if (saturation) {
      // +infinity would turn NaN under the kernel's negative weights.
      std::uint8_t any = 0;
      for (std::size_t x = 0; x < width; ++x) {
        const bool saturated = saturated_light(lights.calibration, at + x, values[x], *saturation) ||
                               row[x] == std::numeric_limits<double>::infinity();
        worker.saturated[at + x] = saturated;
        any |= saturated;
      }
      if (any) worker.any_saturated = true;
    }
  };
  worker.why.clear();
  return worker.reader.read_frame(source, f.index, add, worker.why);
}

// The most frames an aligned import measures.
constexpr int kMaxAlignFrames = 100000;

// What the first pass learns of a chosen frame.
struct Measured {
  bool read = false;
  std::string why;
  FrameShift shift;
  ValueRange raw, calibrated;
};

// The shift put into effect: to 0.001 px, or to whole pixels (half away
// from zero); the same value the shifts file shows.
double applied_shift(double measured, bool whole) {
  if (!std::isfinite(measured)) return 0;
  const double value = whole ? std::round(measured) : std::round(measured * 1000) / 1000;
  return value + 0.0;
}

int import_series(const Call& call) {
  const std::string name = call.name.substr(0, kNameMaxChars);
  if (name.size() < call.name.size())
    console_print(kNameCut,
                  call.name.c_str(), kNameMaxChars, name.c_str());
  const std::string folder = folder_of(frame_path(call.directory, name, 1));
  if (!is_directory(folder)) return failed(kNoDirectory, folder);

  // What each source holds, before any pixel is read.
  std::vector<SourceInfo> sources(call.sources.size());
  std::int64_t total = 0;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const std::string& path = call.sources[i];
    const SourceError error = describe_source(path, sources[i]);
    if (error.fault == SourceFault::absent) return failed(kNoFile, path);
    if (error.fault == SourceFault::bad) return failed(kBadSource, path, error.reason);
    console_print(kSource, path.c_str(), sources[i].summary.c_str(),
                  static_cast<long long>(sources[i].frames));
    total += sources[i].frames;
  }

  // Which frames: from --first on, every --every-th, at most kMaxFrames.
  const std::int64_t first = call.first.value_or(1);
  const std::int64_t every = call.every.value_or(1);
  if (total == 0) return failed(kNoFrames, "");
  if (first > total) {
    console_print(kFirstBeyond, static_cast<long long>(total),
                  static_cast<long long>(first));
    return cli::kExitFailed;
  }
  const std::int64_t candidates = (total - first) / every + 1;
  // Aligned, each candidate holds its measurement until the end: a bound
  // keeps that small whatever frame count a source claims.
  if (call.aligned() && candidates > kMaxAlignFrames) {
    console_print(kTooManyToAlign, static_cast<long long>(candidates), kMaxAlignFrames);
    return cli::kExitFailed;
  }
  // Aligned, every candidate is measured and the first 100 that match are
  // written.
  const std::int64_t chosen = call.aligned() ? candidates : std::min<std::int64_t>(candidates, kMaxFrames);
  int count = static_cast<int>(std::min<std::int64_t>(candidates, kMaxFrames));
  std::vector<FrameRef> frames;
  {
    std::size_t source = 0;
    std::int64_t start = 0;  // the first global index of source
    for (std::int64_t k = 0; k < chosen; ++k) {
      const std::int64_t global = first - 1 + k * every;
      while (global >= start + sources[source].frames) start += sources[source++].frames;
      frames.push_back({source, global - start});
    }
  }
  const std::int64_t reference = call.reference.value_or(1) - 1;
  if (call.aligned()) {
    console_print(kAlignCandidates, static_cast<long long>(chosen), static_cast<long long>(total));
    if (reference >= chosen) {
      console_print(kReferenceBeyond, static_cast<long long>(chosen), static_cast<long long>(reference + 1));
      return cli::kExitFailed;
    }
  } else {
    console_print(kFrameCount, count, static_cast<long long>(total));
    if (candidates > count)
      console_print(kFramesLeftOut,
                    static_cast<long long>(candidates - count), kMaxFrames);
  }

  const SourceInfo& first_source = sources[frames[0].source];
  for (std::size_t k = 1; k < frames.size(); ++k) {
    const SourceInfo& s = sources[frames[k].source];
    if (s.width == first_source.width && s.height == first_source.height) continue;
    console_print(kFrameSize, static_cast<int>(std::min<std::size_t>(k + 1, INT32_MAX)),
                  s.path.c_str(), static_cast<long long>(frames[k].index + 1), s.width,
                  s.height, first_source.width, first_source.height);
    return cli::kExitFailed;
  }

  // The calibration sources: described and checked against the lights'
  // size before anything is read or written.
  std::array<std::vector<SourceInfo>, 4> calibration_sources;
  for (std::size_t kind = 0; kind < calibration_sources.size(); ++kind) {
    std::vector<std::string> paths;
    if (!expand_sources(call.calibration[kind], paths)) return cli::kExitFailed;
    for (const std::string& path : paths) {
      SourceInfo info;
      const SourceError error = describe_source(path, info);
      if (error.fault == SourceFault::absent) return failed(kNoFile, path);
      if (error.fault == SourceFault::bad) return failed(kBadSource, path, error.reason);
      console_print(kCalibrationSource, path.c_str(), kCalibrationOptions[kind], info.summary.c_str(),
                    static_cast<long long>(info.frames));
      if (info.frames == 0) return failed(kNoFrames, "");
      if (info.width != first_source.width || info.height != first_source.height) {
        console_print(kCalibrationSize, path.c_str(), kCalibrationOptions[kind], info.width, info.height,
                      first_source.width, first_source.height);
        return cli::kExitFailed;
      }
      calibration_sources[kind].push_back(std::move(info));
    }
  }
  // The masters' directory, as a prefix of their names.
  std::string masters_prefix;
  if (call.save_masters) {
    masters_prefix = *call.save_masters;
    if (masters_prefix.back() != '/') masters_prefix += '/';
    const std::string masters_folder = folder_of(masters_prefix + "x");
    if (!is_directory(masters_folder)) return failed(kNoDirectory, masters_folder);
  }
  warn_conditions(sources, calibration_sources[kDark]);
  warn_conditions(sources, calibration_sources[kBias]);
  warn_conditions(calibration_sources[kFlat], calibration_sources[kFlatDark]);

  // Without --replace nothing of an object of that name is touched: any
  // frame file of it, even one kadrix would not reach, stops the import.
  if (!call.replace) {
    for (int number = 1; number <= kMaxFrames; ++number) {
      const std::string path = frame_path(call.directory, name, number);
      struct stat info {};
      if (::lstat(path.c_str(), &info) == 0)
        return failed(kSeriesExists, path, name);
    }
  }
  // The shifts file takes the place of a file only, in a directory that
  // exists: found out now, not once the frames are written.
  if (call.shifts) {
    const std::string shifts_folder = folder_of(*call.shifts);
    if (!is_directory(shifts_folder)) return failed(kNoDirectory, shifts_folder);
    struct stat info {};
    if (::stat(call.shifts->c_str(), &info) == 0 && !S_ISREG(info.st_mode))
      return failed(kShiftsNotAFile, *call.shifts);
  }
  if (call.list) {
    const ListAddition outcome = add_to_object_list(*call.list, name, true);
    if (outcome != ListAddition::added && outcome != ListAddition::present)
      return report_list_refusal(outcome, *call.list);
  }

  std::string why;
  const auto read_failed = [&](const FrameRef& f) {
    console_print(kBadFrame, sources[f.source].path.c_str(),
                  static_cast<long long>(f.index + 1), why.c_str());
    return cli::kExitFailed;
  };

  // Workers read frames at once, each with its own reader; what they read
  // is used in frame order, so the bytes do not depend on their number.
  std::vector<std::unique_ptr<Worker>> workers;
  for (int j = 0; j < std::max(call.workers, 1); ++j)
    workers.push_back(std::make_unique<Worker>(call.byte_order.value_or(SerByteOrder::from_header)));

  // The masters, one series after another, the frames of each summed in
  // order; the lights stay on disk.
  Masters masters;
  std::array<std::int64_t, 4> master_frames{};
  const auto width = static_cast<std::size_t>(first_source.width);
  const std::size_t frame_pixels = width * static_cast<std::size_t>(first_source.height);
  // Batches of a frame per worker, each of one series.
  struct Batch {
    std::size_t kind, first, count;
  };
  std::vector<std::pair<const SourceInfo*, std::int64_t>> series;
  std::vector<Batch> batches;
  for (std::size_t kind = 0; kind < calibration_sources.size(); ++kind) {
    const std::size_t first = series.size();
    for (const SourceInfo& s : calibration_sources[kind])
      for (std::int64_t index = 0; index < s.frames; ++index) series.emplace_back(&s, index);
    for (std::size_t at = first; at < series.size(); at += workers.size())
      batches.push_back({kind, at, std::min(workers.size(), series.size() - at)});
  }
  // One builder's memory serves every series in turn.
  std::optional<MasterBuilder> builder;
  if (!batches.empty()) builder.emplace(first_source.width, first_source.height);
  // The workers read the next batch into one of their two buffers while
  // each sums a band of rows over the batch before, from the other, its
  // frames in order: every pixel still gets its frames in series order. A
  // series is finished once its last batch is summed, as the next one's
  // first batch is read.
  std::vector<std::int64_t> numbers;  // of the batch being summed
  for (std::size_t b = 0; !batches.empty() && b <= batches.size(); ++b) {
    if (g_stop) return stopped();
    const std::size_t at = b < batches.size() ? batches[b].first : 0;
    const std::size_t batch = b < batches.size() ? batches[b].count : 0;
    const std::size_t parts = numbers.empty() ? batch : workers.size();
    run_together(parts, [&](std::size_t j) {
      Worker& w = *workers[j];
      if (j < batch) {
        const std::span<double> into = (b % 2 == 0 ? w.held : w.second).take(frame_pixels);
        w.why.clear();
        const auto keep = [into, width](std::int32_t y, std::span<const double> values) {
          std::copy(values.begin(), values.end(),
                    into.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(y) * width));
        };
        w.ok = w.reader.read_frame(*series[at + j].first, series[at + j].second, keep, w.why);
      }
      if (numbers.empty()) return;
      const auto rows = static_cast<std::size_t>(first_source.height);
      const auto top = static_cast<std::int32_t>(rows * j / parts);
      const auto bottom = static_cast<std::int32_t>(rows * (j + 1) / parts);
      const auto frame = [&](std::size_t f) {
        const Worker& reader = *workers[f];
        return (b % 2 == 1 ? reader.held : reader.second).view(frame_pixels);
      };
      const auto row = [width](std::span<const double> values, std::int32_t y) {
        return values.subspan(static_cast<std::size_t>(y) * width, width);
      };
      // Two frames at a time, each row's sums and largest samples read and
      // written once for both.
      std::size_t f = 0;
      for (; f + 1 < numbers.size(); f += 2)
        for (std::int32_t y = top; y < bottom; ++y)
          builder->add_rows(numbers[f], y, row(frame(f), y), row(frame(f + 1), y));
      for (; f < numbers.size(); ++f)
        for (std::int32_t y = top; y < bottom; ++y) builder->add_row(numbers[f], y, row(frame(f), y));
    });
    for (std::size_t j = 0; j < batch; ++j) {
      if (workers[j]->ok) continue;
      const auto& [s, index] = series[at + j];
      console_print(kBadFrame, s->path.c_str(), static_cast<long long>(index + 1), workers[j]->why.c_str());
      return cli::kExitFailed;
    }
    if (b > 0 && (b == batches.size() || batches[b].kind != batches[b - 1].kind)) {
      const std::size_t kind = batches[b - 1].kind;
      master_frames[kind] = builder->frames();
      std::optional<std::vector<double>>& master = kind == kDark   ? masters.dark
                                                   : kind == kFlat ? masters.flat
                                                   : kind == kBias ? masters.bias
                                                                   : masters.flat_dark;
      master = builder->finish();
      builder->restart();
    }
    numbers.resize(batch);
    for (std::size_t j = 0; j < batch; ++j) numbers[j] = builder->next_frame();
  }
  builder.reset();
  for (const std::unique_ptr<Worker>& w : workers) w->second.release();
  // Masters not saved are not needed past the calibration: it takes them.
  const Calibration calibration = call.save_masters ? make_calibration(masters) : make_calibration(std::move(masters));
  if (!calibration.flat.empty() && calibration.unusable_count == static_cast<std::int64_t>(calibration.flat.size())) {
    console_print(kFlatNoPixel, calibration_sources[kFlat][0].path.c_str(),
                  static_cast<long long>(master_frames[kFlat]));
    return cli::kExitFailed;
  }
  if (masters.dark || masters.flat || masters.bias || masters.flat_dark) {
    std::string parts;
    const char* formats[] = {kCalibrationDark, kCalibrationFlat, kCalibrationBias, kCalibrationFlatDark};
    for (std::size_t kind = 0; kind < master_frames.size(); ++kind) {
      if (master_frames[kind] == 0) continue;
      if (!parts.empty()) parts += ", ";
      parts += text_format(formats[kind], static_cast<long long>(master_frames[kind]));
    }
    console_print(kCalibration, parts.c_str());
  }
  if (calibration.flat_keeps_offset) console_write(kFlatKeepsOffset);
  if (calibration.unusable_count > 0)
    console_print(kFlatUnusablePixels, static_cast<long long>(calibration.unusable_count));
  const bool calibrated = calibration.any() || call.pedestal.has_value();
  const double pedestal = call.pedestal.value_or(lower_median(calibration.dark));
  // The masters asked for are saved, then let go: the calibration keeps
  // what the lights need. Aligned, before the first pass, so that its
  // frames do not share the memory with them.
  const auto save_masters = [&]() {
    const std::string& prefix = masters_prefix;
    const std::pair<const std::optional<std::vector<double>>*, std::size_t> saved[] = {
        {&masters.dark, kDark}, {&masters.bias, kBias}};
    const auto save = [&](const std::string& file, std::span<const double> master, std::int64_t frames) {
      const std::string path = prefix + file;
      if (!write_master(path, master, first_source.width, first_source.height, frames)) return false;
      console_print(kWroteMaster, path.c_str(), static_cast<long long>(frames));
      return true;
    };
    for (const auto& [master, kind] : saved) {
      if (!*master) continue;
      const std::string file = kind == kDark ? "master_dark.fits" : "master_bias.fits";
      if (!save(file, **master, master_frames[kind])) return failed(kWriteFailed, prefix + file);
    }
    if (!calibration.flat.empty() && !save("master_flat.fits", calibration.flat, master_frames[kFlat]))
      return failed(kWriteFailed, prefix + "master_flat.fits");
    masters = {};
    return cli::kExitOk;
  };
  if (!call.save_masters) masters = {};
  else if (call.aligned())
    if (const int status = save_masters(); status != cli::kExitOk) return status;
  // Aligned, the heap keeps what it frees (see run_import); what the
  // masters took is not needed again, and the measuring takes pages of
  // its own.
  if (call.aligned()) malloc_trim(0);

  // Aligned: a first pass reads, calibrates and measures every chosen
  // frame, one per worker at a time; the first 100 that match the
  // reference are written, on the area all of them cover.
  const Lights lights{sources, calibration, pedestal, calibrated};
  std::vector<std::size_t> written;  // indices into frames, in series order
  std::vector<Shift> shifts;         // applied, per chosen frame
  std::vector<ShiftRow> shift_rows;
  Area area{0, 0, first_source.width, first_source.height};
  ValueRange aligned_raw;
  ValueRange aligned_calibrated;
  if (call.aligned()) {
    // The ranges serve only a map found from the values.
    const bool all_ser_frames = std::all_of(frames.begin(), frames.end(), [&sources](const FrameRef& f) {
      return sources[f.source].kind == SourceKind::ser;
    });
    const bool ranges = !call.range && !call.depth && !all_ser_frames;
    const auto r = static_cast<std::size_t>(reference);
    console_print(kReference, static_cast<long long>(reference + 1), sources[frames[r].source].path.c_str(),
                  static_cast<long long>(frames[r].index + 1));
    std::vector<Measured> measured(frames.size());
    if (g_stop) return stopped();
    std::vector<std::size_t> others;
    for (std::size_t i = 0; i < frames.size(); ++i)
      if (i != r) others.push_back(i);
    // The first worker reads the reference and builds the finder while the
    // others read the next frames; a frame is measured once the finder is
    // there. Each frame's measure depends on that frame alone.
    std::unique_ptr<ShiftFinder> finder;
    std::string reference_why;
    std::mutex finder_mutex;
    std::condition_variable finder_built;
    bool finder_done = false;
    std::atomic<bool> failed{false};
    std::atomic<std::size_t> next{0};
    const auto build_finder = [&](Worker& w) {
      // The others wait for the finder however this ends.
      struct Done {
        std::mutex& mutex;
        std::condition_variable& built;
        bool& done;
        ~Done() {
          {
            const std::lock_guard<std::mutex> lock(mutex);
            done = true;
          }
          built.notify_all();
        }
      } done{finder_mutex, finder_built, finder_done};
      Measured& m = measured[r];
      m.read = read_light(w, lights, frames[r], ranges ? &m.raw : nullptr, ranges ? &m.calibrated : nullptr, nullptr);
      if (!m.read) {
        reference_why = w.why;
        failed = true;
        return;
      }
      m.shift.matched = true;
      m.shift.confidence = 1;
      auto built = std::make_unique<ShiftFinder>(w.values, first_source.width, first_source.height);
      const std::lock_guard<std::mutex> lock(finder_mutex);
      finder = std::move(built);
    };
    const auto finder_ready = [&]() {
      std::unique_lock<std::mutex> lock(finder_mutex);
      finder_built.wait(lock, [&] { return finder_done; });
      return finder != nullptr;
    };
    run_together(std::min(workers.size(), others.size() + 1), [&](std::size_t j) {
      Worker& w = *workers[j];
      if (j == 0) build_finder(w);
      for (;;) {
        if (g_stop || failed) return;
        const std::size_t k = next.fetch_add(1);
        if (k >= others.size()) return;
        Measured& m = measured[others[k]];
        m.read = read_light(w, lights, frames[others[k]], ranges ? &m.raw : nullptr, ranges ? &m.calibrated : nullptr,
                            nullptr);
        if (!m.read) {
          m.why = w.why;
          failed = true;
          return;
        }
        if (!finder_ready()) return;
        m.shift = finder->measure(w.values);
        // A shift that is no number places nothing.
        if (!std::isfinite(m.shift.dx) || !std::isfinite(m.shift.dy)) m.shift.matched = false;
      }
    });
    if (g_stop) return stopped();
    if (!measured[r].read) {
      why = reference_why;
      return read_failed(frames[r]);
    }
    // Messages in frame order, up to the first frame that could not be read.
    for (const std::size_t i : others) {
      const Measured& m = measured[i];
      if (!m.read) {
        why = m.why;
        return read_failed(frames[i]);
      }
      if (!m.shift.matched)
        console_print(kNoMatch, static_cast<long long>(i + 1), sources[frames[i].source].path.c_str(),
                      static_cast<long long>(frames[i].index + 1), m.shift.confidence, kMinShiftConfidence);
    }
    std::int64_t matching = 0;
    std::int64_t over = 0;
    shift_rows.resize(frames.size());
    shifts.resize(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const Measured& m = measured[i];
      ShiftRow& row = shift_rows[i];
      row.source = sources[frames[i].source].path;
      row.index = frames[i].index + 1;
      row.dx = shifts[i].dx = applied_shift(m.shift.dx, call.align_whole);
      row.dy = shifts[i].dy = applied_shift(m.shift.dy, call.align_whole);
      if (!m.shift.matched) {
        row.status = ShiftStatus::skipped;
        continue;
      }
      ++matching;
      if (written.size() == static_cast<std::size_t>(kMaxFrames)) {
        row.status = ShiftStatus::over_limit;
        ++over;
        continue;
      }
      written.push_back(i);
      row.frame = static_cast<int>(written.size());
      // A frame without a finite value adds nothing.
      if (m.raw.any) {
        aligned_raw.add(m.raw.min);
        aligned_raw.add(m.raw.max);
      }
      if (m.calibrated.any) {
        aligned_calibrated.add(m.calibrated.min);
        aligned_calibrated.add(m.calibrated.max);
      }
    }
    if (matching * 2 < static_cast<std::int64_t>(frames.size())) {
      console_print(kFewMatch, static_cast<long long>(matching), static_cast<long long>(frames.size()));
      return cli::kExitFailed;
    }
    count = static_cast<int>(written.size());
    console_print(kFrameCount, count, static_cast<long long>(total));
    if (over > 0) console_print(kFramesLeftOut, static_cast<long long>(over), kMaxFrames);
    std::vector<Shift> written_shifts;
    for (const std::size_t i : written) written_shifts.push_back(shifts[i]);
    area = common_area(written_shifts, first_source.width, first_source.height);
    if (area.empty()) {
      console_write(kNoCommonArea);
      return cli::kExitFailed;
    }
    console_print(kCommonArea, area.width, area.height, area.x, area.y);
  }

  // The map, one for the whole series.
  bool integer = true;
  bool all_ser = true;
  int ser_depth = 0;
  for (const FrameRef& f : frames) {
    const SourceInfo& s = sources[f.source];
    if (!s.integer && integer) {
      integer = false;
      if (call.depth) {
        return failed(kNotIntegers,
                      s.path);
      }
    }
    all_ser = all_ser && s.kind == SourceKind::ser;
    ser_depth = std::max(ser_depth, s.ser_depth);
  }
  PixelMap map;
  if (call.range) {
    map.kind = PixelMap::Kind::linear;
    map.lo = call.range->first;
    map.hi = call.range->second;
  } else if (call.depth) {
    map.depth = *call.depth;
  } else if (all_ser) {
    map.depth = std::max(ser_depth, kMinDepth);
  } else {
    // A first pass finds the range, one frame at a time (aligned, the
    // first pass found it).
    ValueRange range = aligned_raw;
    ValueRange calibrated_range = aligned_calibrated;
    if (!call.aligned()) {
      // Each frame's ranges on its own, by the workers; then joined in
      // frame order, up to the first frame that could not be read.
      std::vector<Measured> seen(frames.size());
      std::atomic<bool> unread{false};
      run_items(
          frames.size(), workers.size(), [&] { return g_stop != 0 || unread; },
          [&](std::size_t j, std::size_t k) {
            Worker& w = *workers[j];
            Measured& m = seen[k];
            w.row.resize(width);
            const auto add = [&](std::int32_t y, std::span<const double> values) {
              m.raw.add_all(values);
              if (!calibrated) return;
              std::copy(values.begin(), values.end(), w.row.begin());
              calibrate_row(calibration, y, w.row);
              for (double& c : w.row) c = c + pedestal;
              m.calibrated.add_all(w.row);
            };
            w.why.clear();
            m.read = w.reader.read_frame(sources[frames[k].source], frames[k].index, add, w.why);
            if (!m.read) {
              m.why = w.why;
              unread = true;
            }
          });
      if (g_stop) return stopped();
      for (std::size_t k = 0; k < frames.size(); ++k) {
        const Measured& m = seen[k];
        if (!m.read) {
          why = m.why;
          return read_failed(frames[k]);
        }
        if (m.raw.any) {
          range.add(m.raw.min);
          range.add(m.raw.max);
        }
        if (m.calibrated.any) {
          calibrated_range.add(m.calibrated.min);
          calibrated_range.add(m.calibrated.max);
        }
      }
    }
    // The kind and depth come from the raw lights; a linear map spans the
    // calibrated values.
    map = series_map(integer, ser_depth, range);
    if (calibrated && map.kind == PixelMap::Kind::linear) {
      map.lo = calibrated_range.any ? calibrated_range.min : 0;
      map.hi = calibrated_range.any ? calibrated_range.max : 0;
    }
  }
  if (calibrated) print_map_with_pedestal(map, pedestal);
  else print_map(map);
  // A sample saturated in the light stays so, whatever calibration makes
  // of it, unless the dark is saturated there too.
  const double saturation = call.saturation                        ? *call.saturation
                            : map.kind == PixelMap::Kind::shift ? std::ldexp(1.0, map.depth) - 1
                                                                 : std::numeric_limits<double>::infinity();

  if (call.save_masters && !call.aligned())
    if (const int status = save_masters(); status != cli::kExitOk) return status;

  // Every frame is written to a temporary; only a complete series takes
  // the frames' names. The shifts file is complete before the frames are
  // placed and takes its name right after them.
  std::unique_ptr<PendingGroup> shifts_file;
  if (call.shifts) {
    shifts_file = std::make_unique<PendingGroup>(std::vector<std::string>{*call.shifts});
    if (!write_shifts((*shifts_file)[0].temp_path, shift_rows)) return failed(kWriteFailed, *call.shifts);
  }
  PendingGroup group(series_paths(call.directory, name, count));
  if (call.aligned()) {
    // The second pass: each worker reads, calibrates, resamples, crops,
    // maps and writes one frame at a time, each to its own temporary.
    const std::size_t pixels = static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height);
    enum class Outcome : std::uint8_t { not_done, written, unread, unwritten };
    std::vector<Outcome> outcomes(written.size(), Outcome::not_done);
    std::vector<std::string> whys(written.size());
    std::atomic<bool> stopping{false};
    run_items(
        written.size(), workers.size(), [&] { return g_stop != 0 || stopping; },
        [&](std::size_t j, std::size_t k) {
          Worker& w = *workers[j];
          const std::size_t i = written[k];
          if (!read_light(w, lights, frames[i], nullptr, nullptr, &saturation)) {
            whys[k] = w.why;
            outcomes[k] = Outcome::unread;
            stopping = true;
            return;
          }
          w.image.width = area.width;
          w.image.height = area.height;
          w.image.pixels.resize(pixels);
          // A stripe of rows at a time: its doubles, not the frame's, are held.
          constexpr std::int32_t kStripe = 64;
          for (std::int32_t top = 0; top < area.height; top += kStripe) {
            const Area stripe{area.x, area.y + top, area.width, std::min(kStripe, area.height - top)};
            const std::size_t n = static_cast<std::size_t>(stripe.width) * static_cast<std::size_t>(stripe.height);
            w.resampled.resize(n);
            w.reach.resize(n);
            w.resampler.resample(w.values, first_source.width, first_source.height, shifts[i], stripe, w.resampled);
            if (w.any_saturated)
              w.resampler.reach(w.saturated, first_source.width, first_source.height, shifts[i], stripe, w.reach);
            else
              std::fill(w.reach.begin(), w.reach.end(), std::uint8_t{0});
            std::uint8_t* out =
                w.image.pixels.data() + static_cast<std::size_t>(top) * static_cast<std::size_t>(area.width);
            for (std::size_t p = 0; p < n; ++p) out[p] = w.reach[p] ? 255 : map_value(map, w.resampled[p]);
          }
          if (!write_frame(group[static_cast<std::size_t>(count) - 1 - k].temp_path, w.image)) {
            outcomes[k] = Outcome::unwritten;
            stopping = true;
            return;
          }
          outcomes[k] = Outcome::written;
        });
    if (g_stop) return stopped();
    // The first frame that failed, in series order.
    for (std::size_t k = 0; k < written.size(); ++k) {
      if (outcomes[k] == Outcome::unread) {
        why = whys[k];
        return read_failed(frames[written[k]]);
      }
      if (outcomes[k] == Outcome::unwritten)
        return failed(kWriteFailed, group[static_cast<std::size_t>(count) - 1 - k].final_path);
    }
  } else {
    // Each worker reads, calibrates, maps and writes one frame at a time,
    // each to its own temporary.
    enum class Outcome : std::uint8_t { not_done, written, unread, unwritten };
    std::vector<Outcome> outcomes(static_cast<std::size_t>(count), Outcome::not_done);
    std::vector<std::string> whys(static_cast<std::size_t>(count));
    std::atomic<bool> stopping{false};
    run_items(
        static_cast<std::size_t>(count), workers.size(), [&] { return g_stop != 0 || stopping; },
        [&](std::size_t j, std::size_t k) {
          Worker& w = *workers[j];
          const FrameRef& f = frames[k];
          w.image.width = first_source.width;
          w.image.height = first_source.height;
          w.image.pixels.resize(frame_pixels);
          w.row.resize(width);
          const auto put = [&](std::int32_t y, std::span<const double> values) {
            std::uint8_t* out = w.image.pixels.data() + static_cast<std::size_t>(y) * width;
            if (!calibrated && !call.saturation) {
              for (std::size_t x = 0; x < width; ++x) out[x] = map_value(map, values[x]);
              return;
            }
            std::copy(values.begin(), values.end(), w.row.begin());
            calibrate_row(calibration, y, w.row);
            for (double& c : w.row) c = c + pedestal;
            const std::size_t at = static_cast<std::size_t>(y) * width;
            for (std::size_t x = 0; x < width; ++x)
              out[x] = saturated_light(calibration, at + x, values[x], saturation) ? 255 : map_value(map, w.row[x]);
          };
          w.why.clear();
          if (!w.reader.read_frame(sources[f.source], f.index, put, w.why)) {
            whys[k] = w.why;
            outcomes[k] = Outcome::unread;
            stopping = true;
            return;
          }
          if (!write_frame(group[static_cast<std::size_t>(count) - 1 - k].temp_path, w.image)) {
            outcomes[k] = Outcome::unwritten;
            stopping = true;
            return;
          }
          outcomes[k] = Outcome::written;
        });
    if (g_stop) return stopped();
    for (std::size_t k = 0; k < static_cast<std::size_t>(count); ++k) {
      if (outcomes[k] == Outcome::unread) {
        why = whys[k];
        return read_failed(frames[k]);
      }
      if (outcomes[k] == Outcome::unwritten)
        return failed(kWriteFailed, group[static_cast<std::size_t>(count) - 1 - k].final_path);
    }
  }
  if (g_stop) return stopped();
  if (const std::string failed_path = place_series(call.directory, name, count, group); !failed_path.empty())
    return failed(kPlaceFailed, failed_path);
  const bool shifts_placed = !shifts_file || shifts_file->commit() == -1;
  if (count == 1) {
    console_print(kWroteFrame, frame_path(call.directory, name, 1).c_str());
    console_write(kOneFrame);
  } else {
    console_print(kWroteFrames, frame_path(call.directory, name, 1).c_str(),
                  frame_path(call.directory, name, count).c_str());
  }
  if (!shifts_placed) return failed(kShiftsPlaceFailed, *call.shifts);
  if (call.shifts) console_print(kWroteShifts, call.shifts->c_str());

  if (call.list) {
    const ListAddition outcome = add_to_object_list(*call.list, name);
    if (outcome == ListAddition::added) console_print(kAddedToList, name.c_str(), call.list->c_str());
    else if (outcome == ListAddition::present) console_print(kOnList, name.c_str(), call.list->c_str());
    else return report_list_refusal(outcome, *call.list);
  }
  return cli::kExitOk;
}

}  // namespace

int run_import(int argc, const char* const* argv) {
  static const std::string help = text_format(kHelp, kMinDepth, kMaxDepth);
  const cli::Program program{"kadrix-import", kUsage, help.c_str(), kOptions};
  Call call;
  // Tests force one worker to show the bytes do not depend on the count.
  if (const char* threads = std::getenv("KADRIX_IMPORT_THREADS")) {
    std::int64_t n = 0;
    if (parse_count(threads, 64, n)) call.workers = static_cast<int>(n);
  }
  return cli::run_program(
      program, argc, argv, [&call](const cli::Arguments& arguments) { return understand_call(arguments, call); },
      [&call] {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, on_stop_signal);
        // Aligning allocates and frees buffers of a frame's size for every
        // frame; kept in the heap they are reused, rather than mapped and
        // cleared afresh by the system each time.
        if (call.aligned()) {
          mallopt(M_MMAP_THRESHOLD, 1 << 30);
          mallopt(M_TRIM_THRESHOLD, 1 << 30);
        }
        try {
          return import_series(call);
        } catch (const std::bad_alloc&) {
          console_write(kOutOfMemory);
          return cli::kExitFailed;
        }
      });
}

}  // namespace kadrix::import
