#pragma once
// Every text kadrix can print on standard output, as printf formats with
// '\n' line ends (the console writes CR LF). The transcript formats from
// here and nowhere else; kadrix(1) lists each one with its meaning. The
// reasons a frame file is unusable come from bmp/bmp_fault_text.h.

namespace kadrix::messages {

inline constexpr char kUsage[] =
    "\nZle wywolanie programu.\n"
    "Prawidlowe wywolanie: nazwa_programu sciezka_do_klatek plik_do_listy_klatek\n"
    "np. kadrix.exe c:\\dane\\ lista.list\n";
inline constexpr char kDirectory[] = "%s sciezka do plikow BMP\n";
inline constexpr char kNoList[] = "Brak pliku %s\n";
inline constexpr char kListToken[] = "%s %d\n";
inline constexpr char kListTooLong[] = "Za duzo linii w pliku. Popraw zawartosc pliku.\n";
inline constexpr char kObjectCount[] = "%d obrazkow do analizy\n";
inline constexpr char kUnusableFrame[] = "Zly plik %s: %s\n";
inline constexpr char kFrameSize[] = "rozmiar %dx%d, klatka 01 ma %dx%d";
inline constexpr char kFrames[] = "Obr: %s Kl: %d ";
inline constexpr char kTooFewFrames[] = "za malo klatek, obiekt pominiety\n";
inline constexpr char kStatistics[] = "Sr: %f, Var: %f ";
inline constexpr char kNewSigma[] = "new Var: %f\n";
inline constexpr char kWriteFailed[] = "Blad zapisu pliku %s\n";
inline constexpr char kOutOfMemory[] = "brak pamieci, obiekt pominiety\n";

inline constexpr const char* kAll[] = {
    kUsage,  kDirectory,     kNoList, kListToken,    kListTooLong,  kObjectCount, kUnusableFrame,
    kFrameSize, kFrames, kTooFewFrames, kStatistics, kNewSigma, kWriteFailed, kOutOfMemory,
};

}  // namespace kadrix::messages
