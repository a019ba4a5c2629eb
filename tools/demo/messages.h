#pragma once
// Every text kadrix-demo prints on standard output, as printf formats with
// '\n' line ends (the console writes CR LF); the reasons of a wrong call
// follow "Zle wywolanie programu: ". kadrix-demo(1) lists each one with
// its meaning.

#include "tools/common/messages.h"

namespace kadrix::demo::messages {

using namespace cli::messages;

inline constexpr char kUsage[] =
    "Prawidlowe wywolanie: kadrix-demo [opcje] katalog\n"
    "np. kadrix-demo dane/\n"
    "(kadrix-demo --help opisuje program i opcje)\n";

// Reasons of a wrong call.
inline constexpr char kNoValue[] = "brak wartosci po %s";
inline constexpr char kBadNumber[] = "zla wartosc %s %s (oczekiwano liczby od %d do %d)";
inline constexpr char kBadSeed[] = "zla wartosc %s %s (oczekiwano liczby od 0 do 2^64-1)";
inline constexpr char kBadListName[] = "zla wartosc %s %s (oczekiwano nazwy pliku bez /)";
inline constexpr char kNoDirectory[] = "brak katalogu";
inline constexpr char kEmptyDirectory[] = "pusta nazwa katalogu";

inline constexpr char kCannotCreate[] = "Nie da sie utworzyc katalogu %s\n";
inline constexpr char kObject[] = "Zapisano %-6s klatek %3d, %dx%d, gwiazd %d\n";
inline constexpr char kRawObject[] = "Zapisano %-6s ciemnych %d, plaskich %d, dryf %.1f px\n";
inline constexpr char kListWritten[] = "Lista obiektow: %s\n";

inline constexpr const char* kAll[] = {
    kUsage,        kWrongCall,   kUnknownOption, kNoValue,        kOptionTwice,     kBadNumber,
    kBadSeed,      kBadListName, kNoDirectory,   kEmptyDirectory, kTooManyOperands, kCannotCreate,
    kWriteFailed,  kObject,      kRawObject,     kListWritten,
};

}  // namespace kadrix::demo::messages
