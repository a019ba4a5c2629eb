#pragma once
// Every text kadrix-inspect prints on standard output, as printf formats
// with '\n' line ends (the console writes CR LF); the reasons of a wrong
// call follow "Zle wywolanie programu: ". kadrix-inspect(1) lists each one
// with its meaning. A bad file's BMP fault is named from
// bmp/bmp_fault_text.h, in kadrix's words.

#include "tools/common/messages.h"

namespace kadrix::inspect::messages {

using namespace cli::messages;

inline constexpr char kUsage[] =
    "Prawidlowe wywolanie: kadrix-inspect prefiks [--csv] [--overlay plik.BMP]\n"
    "                      [--fits plik.fits] [--regions plik.reg]\n"
    "               albo:  kadrix-inspect --night katalog lista [--html plik.html]\n"
    "np. kadrix-inspect dane/M31 --overlay M31.BMP\n"
    "(kadrix-inspect --help opisuje program i opcje)\n";

// Reasons of a wrong call.
inline constexpr char kNoFileName[] = "brak nazwy pliku po %s";
inline constexpr char kHtmlWithoutNight[] = "opcja --html wymaga --night";
inline constexpr char kNotForNight[] = "opcja %s nie dotyczy --night";
inline constexpr char kNoOperandsNight[] = "brak katalogu i pliku listy";
inline constexpr char kNoPrefix[] = "brak prefiksu plikow";
inline constexpr char kNoList[] = "brak pliku listy";
inline constexpr char kNoValue[] = "brak wartosci po %s";
inline constexpr char kBadNumber[] = "zla wartosc %s %s (oczekiwano liczby)";
inline constexpr char kBadPositive[] = "zla wartosc %s %s (oczekiwano liczby wiekszej od 0)";
inline constexpr char kBadNonNegative[] = "zla wartosc %s %s (oczekiwano liczby nie mniejszej od 0)";
inline constexpr char kBadWhole[] = "zla wartosc %s %s (oczekiwano liczby calkowitej od %d do %d)";
inline constexpr char kBadDeblend[] = "zla wartosc --deblend %s (oczekiwano N,C: N od 1 do 64, C od 0 do 1)";
inline constexpr char kCleanWithoutThreshold[] = "opcja --clean wymaga --threshold";
inline constexpr char kDeblendTwice[] = "opcje --deblend i --no-deblend wykluczaja sie";
inline constexpr char kOutputIsInput[] = "plik %s jest plikiem wejsciowym";
inline constexpr char kSameOutput[] = "ten sam plik %s po %s i %s";

inline constexpr char kBadFile[] = "Zly plik %s (%s)\n";
inline constexpr char kNoStatistics[] = "brak statystyk kadrix w palecie";
inline constexpr char kSizesDiffer[] = "Pliki %s i %s maja rozne rozmiary\n";
inline constexpr char kSize[] = "Rozmiar: %d x %d\n";
inline constexpr char kFrames[] = "Kl: %d\n";
inline constexpr char kLevel[] = "Sr: %f\n";
inline constexpr char kSigma[] = "Var: %f\n";
inline constexpr char kFlagged[] = "Wykryte piksele: %d\n";
inline constexpr char kSources[] = "Zrodla: %d\n";
inline constexpr char kFlatBackground[] = "Tlo: plaskie, poziom i sigma z palety SS (brak uzytecznej siatki)\n";
inline constexpr char kSepFailed[] = "Blad pomiaru zrodel (SEP: %s)\n";
// SEP's reason for kSepFailed: its error number.
inline constexpr char kSepNumber[] = "blad nr %d";
inline constexpr char kSourceHeader[] =
    "x,y,pixels,peak,sum,id,background,flux_iso,flux_iso_err,snr,flux_auto,flux_auto_err,fwhm,a,b,theta,"
    "elongation,flags\n";
// x, y, pixels, peak, sum, id, background, flux_iso, flux_iso_err, snr,
// flux_auto, flux_auto_err, fwhm, a, b, theta, elongation, flags; each
// value that may be undefined comes as a field already formatted.
inline constexpr char kSourceLine[] = "%s,%s,%d,%f,%f,%d,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%d\n";
inline constexpr char kListTooLong[] = "Za duzo linii w pliku %s. Popraw zawartosc pliku.\n";
// The night's CSV: a line per object, its name quoted as CSV needs, then
// its numbers (none when the pair was not read) and its status.
inline constexpr char kNightHeader[] = "name,width,height,frames,level,sigma,detected,sources,fwhm,status\n";
inline constexpr char kNightLine[] = "%s,%d,%d,%d,%f,%f,%lld,%lld,%s,%s\n";
inline constexpr char kNightUnread[] = "%s,,,,,,,,,%s\n";
inline constexpr char kStatusOk[] = "ok";
inline constexpr char kStatusMissing[] = "brak pliku";
inline constexpr char kStatusDamaged[] = "uszkodzony";
inline constexpr char kStatusSizes[] = "rozne rozmiary";
inline constexpr char kStatusNoMemory[] = "brak pamieci";
inline constexpr char kStatusNotMeasured[] = "blad pomiaru";

inline constexpr const char* kAll[] = {
    kUsage,        kWrongCall,     kUnknownOption, kOptionTwice,     kTooManyOperands,
    kNoFileName,   kNoValue,       kBadNumber,     kBadPositive,     kBadNonNegative,  kBadWhole,
    kBadDeblend,   kDeblendTwice,  kCleanWithoutThreshold, kFlatBackground, kSepFailed, kSepNumber, kStatusNotMeasured,
    kHtmlWithoutNight, kNotForNight, kNoOperandsNight, kNoPrefix,       kNoList,
    kOutputIsInput, kSameOutput,   kNoFile,        kBadFile,         kNoStatistics,    kSizesDiffer,
    kOutOfMemory,  kSize,          kFrames,        kLevel,           kSigma,           kFlagged,
    kSources,      kSourceHeader,  kSourceLine,    kWriteFailed,     kListTooLong,     kNightHeader,
    kNightLine,    kNightUnread,   kStatusOk,     kStatusMissing,   kStatusDamaged,   kStatusSizes,
    kStatusNoMemory,
};

}  // namespace kadrix::inspect::messages
