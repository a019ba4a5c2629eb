#pragma once
// Every text kadrix-import prints on standard output, as printf formats
// with '\n' line ends (the console writes CR LF); the reasons of a wrong
// call follow "Zle wywolanie programu: ". kadrix-import(1) lists each one
// with its meaning. The reasons a source file is refused come from its
// reader.

#include "tools/common/messages.h"

namespace kadrix::import::messages {

using namespace cli::messages;

inline constexpr char kUsage[] =
    "Prawidlowe wywolanie: kadrix-import [opcje] katalog/ NAZWA ZRODLO...\n"
    "np. kadrix-import dane/ M42 m42.ser\n"
    "(kadrix-import --help opisuje program i opcje)\n";

// Reasons of a wrong call.
inline constexpr char kNoValue[] = "brak wartosci po %s";
inline constexpr char kBadCount[] = "zla wartosc %s %s (oczekiwano liczby od 1)";
inline constexpr char kBadRange[] = "zla wartosc %s %s (oczekiwano LO:HI, LO < HI)";
inline constexpr char kBadDepth[] = "zla wartosc %s %s (oczekiwano liczby od %d do %d)";
inline constexpr char kBadByteOrder[] = "zla wartosc %s %s (oczekiwano little albo big)";
inline constexpr char kNoOperands[] = "brak katalogu, nazwy obiektu i zrodel";
inline constexpr char kNoNameNorSources[] = "brak nazwy obiektu i zrodel";
inline constexpr char kNoSources[] = "brak plikow zrodlowych";
inline constexpr char kEmptyName[] = "pusta nazwa obiektu";
inline constexpr char kNameWithSeparator[] = "nazwa obiektu %s zawiera separator sciezki";
inline constexpr char kNameWithWhiteSpace[] = "nazwa obiektu %s zawiera bialy znak";
inline constexpr char kNameWithControl[] = "nazwa obiektu zawiera znak sterujacy";
inline constexpr char kDirectoryWithoutSlash[] = "katalog %s bez koncowego / (klatki nazywalyby sie %s)";
inline constexpr char kRangeAndDepth[] = "opcje --range i --depth wykluczaja sie";

inline constexpr char kStopped[] = "Przerwano; katalog zostaje bez zmian\n";
inline constexpr char kMapCopy[] = "Mapa: 8 bitow, wartosci przepisane bez zmian (dla nastepnego obiektu: --depth 8)\n";
inline constexpr char kMapShift[] = "Mapa: glebia %d bitow, wartosc = v >> %d (dla nastepnego obiektu: --depth %d)\n";
inline constexpr char kMapLinear[] =
    "Mapa: liniowa, wartosc = (v - %s) * 255 / (%s - %s) (dla nastepnego obiektu: --range %s:%s)\n";
inline constexpr char kMapFlat[] = "Mapa: liniowa, wszystkie wartosci rowne %s lub nieokreslone: piksele 0\n";
inline constexpr char kListFull[] = "Lista %s ma juz %d nazw: z kolejna kadrix nie przeanalizowalby zadnego obiektu\n";
inline constexpr char kListEndOfText[] = "Lista %s zawiera bajt 0x1A: kadrix nie zobaczylby nazw dopisanych za nim\n";
inline constexpr char kListNotAFile[] = "Lista %s nie jest zwyklym plikiem\n";
inline constexpr char kListUnreadable[] = "Nie da sie odczytac listy %s\n";
inline constexpr char kListBadName[] = "Nazwy obiektu nie da sie zapisac na liscie %s\n";
inline constexpr char kListWriteFailed[] = "Blad zapisu pliku %s (klatki zapisane, lista bez zmian)\n";
inline constexpr char kNameCut[] = "Nazwa %s ma wiecej niz %d znakow: klatki dostana nazwe %s, bo tak szuka ich kadrix\n";
inline constexpr char kNoDirectory[] = "Brak katalogu %s\n";
inline constexpr char kBadSource[] = "Zly plik %s (%s)\n";
inline constexpr char kSource[] = "%s: %s, klatek: %lld\n";
inline constexpr char kNoFrames[] = "Zrodla nie maja zadnej klatki\n";
inline constexpr char kFirstBeyond[] = "Zrodla maja klatek %lld: --first %lld wskazuje poza nie\n";
inline constexpr char kFrameCount[] = "Klatki do zapisu: %d (w zrodlach: %lld)\n";
inline constexpr char kFramesLeftOut[] =
    "Pominieto klatek: %lld (kadrix laczy najwyzej %d; wybierz inne opcjami --first i --every)\n";
inline constexpr char kFrameSize[] = "Klatka %d (%s, klatka %lld pliku) ma rozmiar %d x %d, a klatka 1 ma %d x %d\n";
inline constexpr char kSeriesExists[] = "Plik %s juz istnieje: --replace zastapi serie %s\n";
inline constexpr char kBadFrame[] = "Zly plik %s (klatka %lld: %s)\n";
inline constexpr char kNotIntegers[] =
    "Dane pliku %s nie sa liczbami calkowitymi: --depth ich nie obejmuje, sluzy do tego --range\n";
inline constexpr char kPlaceFailed[] = "Blad zapisu pliku %s; katalog zostaje bez zmian\n";
inline constexpr char kWroteFrame[] = "Zapisano klatke %s\n";
inline constexpr char kOneFrame[] = "Uwaga: kadrix potrzebuje co najmniej 2 klatek\n";
inline constexpr char kWroteFrames[] = "Zapisano klatki %s ... %s\n";
inline constexpr char kAddedToList[] = "Dodano %s do listy %s\n";
inline constexpr char kOnList[] = "%s jest juz na liscie %s\n";

inline constexpr const char* kAll[] = {
    kUsage,          kWrongCall,       kUnknownOption, kNoValue,         kOptionTwice,     kBadCount,
    kBadRange,       kBadDepth,        kBadByteOrder,  kNoOperands,      kNoNameNorSources, kNoSources,
    kEmptyName,      kNameWithSeparator, kNameWithWhiteSpace, kNameWithControl, kDirectoryWithoutSlash,
    kRangeAndDepth,  kStopped,         kMapCopy,       kMapShift,        kMapLinear,       kMapFlat,
    kListFull,       kListEndOfText,   kListNotAFile,  kListUnreadable,  kListBadName,     kListWriteFailed,
    kNameCut,        kNoDirectory,     kNoFile,        kBadSource,       kSource,          kNoFrames,
    kFirstBeyond,    kFrameCount,      kFramesLeftOut, kFrameSize,       kSeriesExists,    kBadFrame,
    kNotIntegers,    kWriteFailed,     kPlaceFailed,   kWroteFrame,      kOneFrame,        kWroteFrames,
    kAddedToList,    kOnList,          kOutOfMemory,
};

}  // namespace kadrix::import::messages
