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
inline constexpr char kBadNumber[] = "zla wartosc %s %s (oczekiwano liczby)";
inline constexpr char kMastersWithoutCalibration[] = "--save-masters bez --dark, --flat, --bias ani --flat-dark";
inline constexpr char kFlatDarkWithoutFlat[] = "--flat-dark bez --flat";
inline constexpr char kWithoutAlign[] = "%s bez --align ani --align-whole";

inline constexpr char kStopped[] = "Przerwano; katalog zostaje bez zmian\n";
inline constexpr char kMapCopy[] = "Mapa: 8 bitow, wartosci przepisane bez zmian (dla nastepnego obiektu: --depth 8)\n";
inline constexpr char kMapShift[] = "Mapa: glebia %d bitow, wartosc = v >> %d (dla nastepnego obiektu: --depth %d)\n";
inline constexpr char kMapLinear[] =
    "Mapa: liniowa, wartosc = (v - %s) * 255 / (%s - %s) (dla nastepnego obiektu: --range %s:%s)\n";
inline constexpr char kMapFlat[] = "Mapa: liniowa, wszystkie wartosci rowne %s lub nieokreslone: piksele 0\n";
inline constexpr char kMapCopyPedestal[] =
    "Mapa: 8 bitow, wartosc = c + %s (dla nastepnego obiektu: --depth 8 --pedestal %s)\n";
inline constexpr char kMapShiftPedestal[] =
    "Mapa: glebia %d bitow, wartosc = (c + %s) >> %d (dla nastepnego obiektu: --depth %d --pedestal %s)\n";
inline constexpr char kMapLinearPedestal[] =
    "Mapa: liniowa, wartosc = (c + %s - %s) * 255 / (%s - %s) (dla nastepnego obiektu: --range %s:%s --pedestal %s)\n";
inline constexpr char kListFull[] = "Lista %s ma juz %d nazw: z kolejna kadrix nie przeanalizowalby zadnego obiektu\n";
inline constexpr char kListEndOfText[] = "Lista %s zawiera bajt 0x1A: kadrix nie zobaczylby nazw dopisanych za nim\n";
inline constexpr char kListNotAFile[] = "Lista %s nie jest zwyklym plikiem\n";
inline constexpr char kListUnreadable[] = "Nie da sie odczytac listy %s\n";
inline constexpr char kListBadName[] = "Nazwy obiektu nie da sie zapisac na liscie %s\n";
inline constexpr char kListWriteFailed[] = "Blad zapisu pliku %s (klatki zapisane, lista bez zmian)\n";
inline constexpr char kNameCut[] =
    "Nazwa %s ma wiecej niz %d znakow: klatki dostana nazwe %s, bo tak szuka ich kadrix\n";
inline constexpr char kNoDirectory[] = "Brak katalogu %s\n";
inline constexpr char kBadSource[] = "Zly plik %s (%s)\n";
inline constexpr char kSource[] = "%s: %s, klatek: %lld\n";
inline constexpr char kNoFrames[] = "Zrodla nie maja zadnej klatki\n";
inline constexpr char kFirstBeyond[] = "Zrodla maja klatek %lld: --first %lld wskazuje poza nie\n";
inline constexpr char kFrameCount[] = "Klatki do zapisu: %d (w zrodlach: %lld)\n";
inline constexpr char kFramesLeftOut[] =
    "Pominieto klatek: %lld (kadrix laczy najwyzej %d; wybierz inne opcjami --first i --every)\n";
inline constexpr char kFrameSize[] = "Klatka %d (%s, klatka %lld pliku) ma rozmiar %d x %d, a klatka 1 ma %d x %d\n";
inline constexpr char kSourceListUnreadable[] = "Nie da sie odczytac listy zrodel %s\n";
inline constexpr char kSourceListEmpty[] = "Lista zrodel %s nie podaje zadnego pliku\n";
inline constexpr char kSourceListTooLong[] = "Lista zrodel %s ma ponad %d MiB\n";
inline constexpr char kCalibrationSource[] = "%s (%s): %s, klatek: %lld\n";
inline constexpr char kCalibrationSize[] = "Klatka 1 pliku %s (%s) ma rozmiar %d x %d, a klatki do zapisu %d x %d\n";
inline constexpr char kExposureDiffers[] =
    "Uwaga: EXPTIME pliku %s to %s, a pliku %s to %s (roznica ponad 1 procent; ekspozycja nie jest skalowana)\n";
inline constexpr char kTemperatureDiffers[] = "Uwaga: CCD-TEMP pliku %s to %s, a pliku %s to %s (roznica ponad 2 C)\n";
inline constexpr char kCalibration[] = "Kalibracja: %s\n";
inline constexpr char kCalibrationDark[] = "ciemna z %lld klatek";
inline constexpr char kCalibrationFlat[] = "plaska z %lld klatek";
inline constexpr char kCalibrationBias[] = "bias z %lld klatek";
inline constexpr char kCalibrationFlatDark[] = "ciemna plaskiej z %lld klatek";
inline constexpr char kFlatKeepsOffset[] = "Uwaga: bez --flat-dark i --bias plaska zachowuje swoje przesuniecie\n";
inline constexpr char kFlatUnusablePixels[] =
    "Pikseli bez korekcji plaskiej: %lld (plaska nieokreslona lub nie wieksza niz 0.05 sredniej)\n";
inline constexpr char kFlatNoPixel[] =
    "Plaska (%s, klatek: %lld) nie ma piksela zdatnego do korekcji (kazdy nieokreslony lub nie wiekszy niz 0.05 "
    "sredniej)\n";
inline constexpr char kWroteMaster[] = "Zapisano %s (klatek: %lld)\n";
inline constexpr char kSeriesExists[] = "Plik %s juz istnieje: --replace zastapi serie %s\n";
inline constexpr char kBadFrame[] = "Zly plik %s (klatka %lld: %s)\n";
inline constexpr char kNotIntegers[] =
    "Dane pliku %s nie sa liczbami calkowitymi: --depth ich nie obejmuje, sluzy do tego --range\n";
inline constexpr char kPlaceFailed[] = "Blad zapisu pliku %s; katalog zostaje bez zmian\n";
inline constexpr char kWroteFrame[] = "Zapisano klatke %s\n";
inline constexpr char kOneFrame[] = "Uwaga: kadrix potrzebuje co najmniej 2 klatek\n";
inline constexpr char kWroteFrames[] = "Zapisano klatki %s ... %s\n";
inline constexpr char kAlignCandidates[] = "Klatki do dopasowania: %lld (w zrodlach: %lld)\n";
inline constexpr char kTooManyToAlign[] =
    "Klatek do dopasowania: %lld, wiecej niz %d: wybierz mniej opcjami --first i --every\n";
inline constexpr char kReferenceBeyond[] = "Klatek do dopasowania jest %lld: --reference %lld wskazuje poza nie\n";
inline constexpr char kReference[] = "Klatka odniesienia: %lld (%s, klatka %lld pliku)\n";
inline constexpr char kNoMatch[] =
    "Klatka %lld (%s, klatka %lld pliku) nie pasuje do klatki odniesienia: pominieta (zgodnosc %.3f, prog %.3f)\n";
inline constexpr char kFewMatch[] =
    "Do klatki odniesienia pasuje klatek %lld z %lld, mniej niz polowa: wskaz inna klatke opcja --reference\n";
inline constexpr char kCommonArea[] = "Wspolny obszar: %dx%d, od x %d, y %d klatki odniesienia\n";
inline constexpr char kNoCommonArea[] = "Klatki po przesunieciu nie maja wspolnego obszaru\n";
inline constexpr char kShiftsPlaceFailed[] = "Blad zapisu pliku %s (klatki zapisane, plik przesuniec bez zmian)\n";
inline constexpr char kShiftsNotAFile[] = "Plik przesuniec %s nie jest zwyklym plikiem\n";
inline constexpr char kWroteShifts[] = "Zapisano przesuniecia klatek w %s\n";
inline constexpr char kAddedToList[] = "Dodano %s do listy %s\n";
inline constexpr char kOnList[] = "%s jest juz na liscie %s\n";

// What a source is, after "%s: " in kSource: the reader's summary, with the
// FITS parts that apply.
inline constexpr char kSummarySer[] = "SER %d x %d, %s, %d bitow";
inline constexpr char kSummaryFits[] = "FITS %d x %d, BITPIX %d";
inline constexpr char kSummaryBzero[] = ", BZERO %s";
inline constexpr char kSummaryBscale[] = ", BSCALE %s";
inline constexpr char kSummaryCompressed[] = ", skompresowany";
inline constexpr char kSummaryHdu[] = ", HDU %s";
inline constexpr char kSummaryPng[] = "PNG %d x %d, %d bitow, %s%s";
inline constexpr char kSummaryBmp[] = "BMP %d x %d, 8 bitow";
inline constexpr char kPngPalette[] = "paleta";
inline constexpr char kPngColour[] = "kolor";
inline constexpr char kPngGrey[] = "skala szarosci";
inline constexpr char kPngInterlaced[] = ", z przeplotem";

// Why a source is refused or a frame of it unreadable: the reason in
// kBadSource and kBadFrame.
inline constexpr char kCannotOpen[] = "nie da sie otworzyc pliku";
inline constexpr char kChangedWhileRead[] = "plik zmienil sie w trakcie odczytu";
inline constexpr char kNoMemoryInReader[] = "brak pamieci";
inline constexpr char kSerShortHeader[] = "krotszy niz naglowek SER (178 bajtow)";
inline constexpr char kSerNoSignature[] = "brak sygnatury LUCAM-RECORDER";
inline constexpr char kSerBayer[] = "mozaika Bayera %s (ColorID %d) nie jest obslugiwana, tylko MONO, RGB i BGR";
inline constexpr char kSerColour[] = "nieznany ColorID %d";
inline constexpr char kSerDepth[] = "glebia %d bitow nie jest obslugiwana (tylko 1 do 16)";
inline constexpr char kSerWidth[] = "zla szerokosc %d";
inline constexpr char kSerHeight[] = "zla wysokosc %d";
inline constexpr char kSerPixelCount[] = "za duzo pikseli w klatce";
inline constexpr char kSerFrameCount[] = "zla liczba klatek %d";
inline constexpr char kSerTruncated[] = "plik urwany: naglowek podaje klatek %d, plik miesci pelnych %lld";
inline constexpr char kSerReadFailed[] = "blad odczytu";
inline constexpr char kSerBadHeader[] = "zly naglowek SER";
inline constexpr char kSerFrameUnread[] = "blad odczytu lub plik urwany";
inline constexpr char kFitsUnreadable[] = "plik urwany lub nieczytelny";
inline constexpr char kFitsNoMemory[] = "brak pamieci w cfitsio";
inline constexpr char kFitsDecompression[] = "nie da sie rozpakowac obrazu";
inline constexpr char kFitsNoTrial[] = "nie mozna uruchomic procesu sprawdzajacego plik";
inline constexpr char kFitsFatal[] = "uszkodzony plik FITS: cfitsio nie przetrwal jego odczytu";
inline constexpr char kFitsTooSlow[] = "uszkodzony plik FITS: cfitsio nie skonczyl jego odczytu w %lld s";
inline constexpr char kFitsBadHeader[] = "zly naglowek FITS (kod cfitsio %d)";
inline constexpr char kFitsError[] = "blad cfitsio nr %d";
inline constexpr char kFitsNoImage[] = "brak obrazu o co najmniej dwoch osiach";
inline constexpr char kFitsAxes[] = "obraz ma %d osi";
inline constexpr char kFitsExtraAxis[] = "obraz ma wiecej niz trzy osie (NAXIS%d = %lld)";
inline constexpr char kFitsBitpix[] = "BITPIX %d nie jest obslugiwany (tylko 8, 16, 32, -32, -64)";
inline constexpr char kFitsEmpty[] = "pusty obraz (NAXIS1 lub NAXIS2 rowne 0)";
inline constexpr char kTooManyPixels[] = "za duzo pikseli w obrazie";
inline constexpr char kFitsPlanes[] = "zla liczba plaszczyzn (NAXIS3)";
inline constexpr char kFitsBadKey[] = "zla wartosc %s";
inline constexpr char kFitsBadScale[] = "zla wartosc BZERO lub BSCALE";
inline constexpr char kSizeAgainstLength[] = "rozmiary obrazu nie do pogodzenia z dlugoscia pliku";
inline constexpr char kFitsTruncated[] = "plik urwany: dane obrazu siegaja poza koniec pliku";
inline constexpr char kPngTruncated[] = "plik urwany";
inline constexpr char kPngDamaged[] = "uszkodzony plik PNG";
inline constexpr char kGzip[] = "plik skompresowany gzip: rozpakuj go najpierw (gunzip)";
inline constexpr char kUnknownFormat[] = "nieznany format (oczekiwano SER, FITS, PNG lub BMP)";

inline constexpr const char* kAll[] = {
    kUsage,          kWrongCall,       kUnknownOption, kNoValue,         kOptionTwice,     kBadCount,
    kBadRange,       kBadDepth,        kBadByteOrder,  kNoOperands,      kNoNameNorSources, kNoSources,
    kEmptyName,      kNameWithSeparator, kNameWithWhiteSpace, kNameWithControl, kDirectoryWithoutSlash,
    kRangeAndDepth,  kBadNumber, kMastersWithoutCalibration, kFlatDarkWithoutFlat, kMapCopyPedestal, kMapShiftPedestal,
    kMapLinearPedestal, kSourceListUnreadable, kSourceListEmpty, kSourceListTooLong, kCalibrationSource,
    kCalibrationSize, kExposureDiffers, kTemperatureDiffers, kCalibration, kCalibrationDark, kCalibrationFlat,
    kCalibrationBias, kCalibrationFlatDark, kFlatKeepsOffset, kFlatUnusablePixels, kFlatNoPixel, kWroteMaster,
    kStopped,         kMapCopy,       kMapShift,        kMapLinear,       kMapFlat,
    kListFull,       kListEndOfText,   kListNotAFile,  kListUnreadable,  kListBadName,     kListWriteFailed,
    kNameCut,        kNoDirectory,     kNoFile,        kBadSource,       kSource,          kNoFrames,
    kFirstBeyond,    kFrameCount,      kFramesLeftOut, kFrameSize,       kSeriesExists,    kBadFrame,
    kNotIntegers,    kWriteFailed,     kPlaceFailed,   kWroteFrame,      kOneFrame,        kWroteFrames,
    kAddedToList,    kOnList,          kOutOfMemory,
    kWithoutAlign, kAlignCandidates, kReferenceBeyond, kReference, kNoMatch, kFewMatch, kCommonArea, kNoCommonArea,
    kShiftsPlaceFailed, kWroteShifts, kShiftsNotAFile, kTooManyToAlign,
    kSummarySer, kSummaryFits, kSummaryBzero, kSummaryBscale, kSummaryCompressed, kSummaryHdu, kSummaryPng, kSummaryBmp,
    kPngPalette, kPngColour, kPngGrey, kPngInterlaced, kCannotOpen, kChangedWhileRead, kNoMemoryInReader,
    kSerShortHeader, kSerNoSignature, kSerBayer, kSerColour, kSerDepth, kSerWidth, kSerHeight, kSerPixelCount,
    kSerFrameCount, kSerTruncated, kSerReadFailed, kSerBadHeader, kSerFrameUnread, kFitsUnreadable, kFitsNoMemory,
    kFitsDecompression, kFitsNoTrial, kFitsFatal, kFitsTooSlow, kFitsBadHeader, kFitsError, kFitsNoImage, kFitsAxes, kFitsExtraAxis, kFitsBitpix,
    kFitsEmpty, kTooManyPixels, kFitsPlanes, kFitsBadKey, kFitsBadScale, kSizeAgainstLength, kFitsTruncated,
    kPngTruncated, kPngDamaged, kGzip, kUnknownFormat,
};

}  // namespace kadrix::import::messages
