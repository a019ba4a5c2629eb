#include "driver/transcript.h"

#include <cstdarg>
#include <cstdio>

namespace kadrix {

namespace {

// printf-style formatting in the C locale, into a string of any length.
__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
  std::va_list args;
  va_start(args, pattern);
  std::va_list again;
  va_copy(again, args);
  char small[256];
  const int length = std::vsnprintf(small, sizeof small, pattern, args);
  va_end(args);
  std::string text;
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof small) {
    text.assign(small, static_cast<std::size_t>(length));
  } else if (length >= 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), pattern, again);
    text.resize(static_cast<std::size_t>(length));
  }
  va_end(again);
  return text;
}

// Why a frame file is unusable, in the order the rules are checked.
std::string frame_fault_reason(const UnusableFrame& frame) {
  const BmpCheck& check = frame.check;
  switch (check.fault) {
    case BmpFault::none:
      return format("rozmiar %dx%d, klatka 01 ma %dx%d", frame.size.width, frame.size.height,
                    frame.first_size.width, frame.first_size.height);
    case BmpFault::short_header: return "plik krotszy niz naglowek";
    case BmpFault::no_signature: return "brak sygnatury BM";
    case BmpFault::small_info_header: return "naglowek informacyjny za krotki";
    case BmpFault::bit_count: return format("glebia bitowa %d, wymagana 8", check.value);
    case BmpFault::compression: return format("kompresja %d, wymagany brak", check.value);
    case BmpFault::data_offset: return "bledne przesuniecie danych";
    case BmpFault::width: return format("bledna szerokosc %d", check.value);
    case BmpFault::height: return format("bledna wysokosc %d", check.value);
    case BmpFault::pixel_count: return "za duzo pikseli";
    case BmpFault::short_pixels: return "plik urwany";
    case BmpFault::read_failed: return "blad odczytu";
  }
  return "blad odczytu";
}

}  // namespace

std::string usage_text() {
  return "\nZle wywolanie programu.\n"
         "Prawidlowe wywolanie: nazwa_programu sciezka_do_klatek plik_do_listy_klatek\n"
         "np. kadrix.exe c:\\dane\\ lista.list\n";
}

std::string directory_line(const std::string& directory) {
  return format("%s sciezka do plikow BMP\n", directory.c_str());
}

std::string list_text(const ObjectList& list, const std::string& list_path) {
  if (list.missing) return format("Brak pliku %s\n", list_path.c_str());
  std::string text;
  for (std::size_t i = 0; i < list.tokens.size(); ++i) {
    text += format("%s ", list.tokens[i].c_str());
    text += format("%d\n", static_cast<int>(i));
  }
  if (list.over_capacity) text += "Za duzo linii w pliku. Popraw zawartosc pliku.\n";
  return text;
}

std::string object_count_line(std::size_t count) {
  return format("%d obrazkow do analizy\n", static_cast<int>(count));
}

std::string unusable_frame_line(const UnusableFrame& frame) {
  return format("Zly plik %s: %s\n", frame.path.c_str(), frame_fault_reason(frame).c_str());
}

std::string frames_text(const std::string& name, std::int32_t frame_count) {
  return format("Obr: %s Kl: %d ", name.c_str(), frame_count);
}

std::string too_few_frames_line() { return "za malo klatek, obiekt pominiety\n"; }

std::string statistics_text(const ImageStatistics& statistics) {
  return format("Sr: %f, Var: %f ", statistics.level, statistics.sigma);
}

std::string new_sigma_line(double sigma) { return format("new Var: %f\n", sigma); }

std::string write_failed_line(const std::string& path) { return format("Blad zapisu pliku %s\n", path.c_str()); }

std::string out_of_memory_line() { return "brak pamieci, obiekt pominiety\n"; }

}  // namespace kadrix
