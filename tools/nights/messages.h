#pragma once
// Every text kadrix-nights prints on standard output, as printf formats
// with '\n' line ends (the console writes CR LF); the reasons of a wrong
// call follow "Zle wywolanie programu: ". kadrix-nights(1) lists each one
// with its meaning.

#include "tools/common/messages.h"

namespace kadrix::nights::messages {

using namespace cli::messages;

inline constexpr char kUsage[] =
    "Prawidlowe wywolanie: kadrix-nights [--jobs N] [--resume] lista...\n"
    "               albo:  kadrix-nights --hosts H1,H2,... [--ssh polecenie] lista...\n"
    "               albo:  kadrix-nights --slurm [--wait] [--cpus N] [--mem M] lista...\n"
    "np. kadrix-nights /dane/noce/*/lista.list\n"
    "(kadrix-nights --help opisuje program i opcje)\n";

// Reasons of a wrong call.
inline constexpr char kNoLists[] = "brak pliku listy";
inline constexpr char kNoValue[] = "brak wartosci po %s";
inline constexpr char kBadCount[] = "%s wymaga liczby calkowitej od 1, podano %s";
inline constexpr char kOnlyWith[] = "opcja %s wymaga %s";
inline constexpr char kEnginesTogether[] = "opcje --hosts i --slurm wykluczaja sie";
inline constexpr char kNotWithEngine[] = "opcja %s nie dotyczy %s";
inline constexpr char kBadListName[] = "nazwa listy %s zawiera znak nowej linii";
inline constexpr char kListTwice[] = "lista %s podana dwa razy";
inline constexpr char kOneTaskList[] = "--task wymaga dokladnie jednej listy";

// A night's task.
inline constexpr char kNightStarts[] = "Noc %s\n";
inline constexpr char kNightBusy[] = "Noc %s jest zajeta przez inny przebieg, pominieta\n";
inline constexpr char kWaitingForNight[] = "Czekam, az inny przebieg zwolni noc %s\n";
inline constexpr char kNightAlreadyDone[] = "Noc %s jest juz zakonczona, pominieta\n";
inline constexpr char kNoTaskLine[] = "Brak nocy nr %d w pliku %s\n";
inline constexpr char kNoTaskIndex[] = "Brak numeru zadania w SLURM_ARRAY_TASK_ID\n";
inline constexpr char kCannotLock[] = "Nie da sie zablokowac pliku %s (%s)\n";
inline constexpr char kNoLocking[] =
    "System plikow pliku %s nie obsluguje blokad (flock: %s); zadna noc nie zostala uruchomiona\n";
inline constexpr char kCannotStart[] = "Nie da sie uruchomic programu %s\n";

// Before the nights start.
inline constexpr char kLeftover[] = "Pozostalosc przerwanego zapisu: %s (do usuniecia)\n";
inline constexpr char kHostUnreachable[] = "Brak polaczenia z komputerem %s: %s\n";
inline constexpr char kHostLacksProgram[] = "Na komputerze %s brak programu %s w PATH\n";
inline constexpr char kHostNotShared[] = "Komputer %s nie widzi katalogu %s (wymagany wspolny system plikow)\n";
inline constexpr char kNothingStarted[] = "Zadna noc nie zostala uruchomiona\n";
inline constexpr char kEngineFailed[] = "Program %s zakonczyl sie bledem: %s\n";
inline constexpr char kNoArraySize[] = "Nie da sie odczytac MaxArraySize z scontrol show config\n";
inline constexpr char kNoFrameSize[] = "Brak klatki 01 obiektu %s nocy %s; pamiec liczona bez niego\n";
inline constexpr char kSubmitted[] = "Zadanie Slurm %s: %d nocy\n";

// The summary: a line per night, then the counts.
inline constexpr char kStateOk[] = "%s: ok\n";
inline constexpr char kStateRemarks[] = "%s: uwagi (%s)\n";
inline constexpr char kStateLost[] = "%s: utracone (%s)\n";
inline constexpr char kStateExit[] = "%s: blad (kod wyjscia %d)\n";
inline constexpr char kStateSignal[] = "%s: blad (sygnal %d)\n";
inline constexpr char kStateNothing[] = "%s: blad (zaden obiekt nie zostal przeanalizowany)\n";
inline constexpr char kStateNoStatus[] = "%s: blad (brak pliku stanu)\n";
inline constexpr char kStateBusy[] = "%s: zajeta\n";
inline constexpr char kTotals[] = "Nocy: %d, ok: %d, uwagi: %d, utracone: %d, blad: %d, zajete: %d\n";

inline constexpr const char* kAll[] = {
    kUsage,         kWrongCall,       kUnknownOption,    kOptionTwice,   kTooManyOperands, kNoLists,
    kNoValue,       kBadCount,        kOnlyWith,         kEnginesTogether, kNotWithEngine, kBadListName,
    kListTwice,     kOneTaskList,     kNightStarts,      kNightBusy,     kWaitingForNight, kNightAlreadyDone,
    kNoTaskLine,    kNoTaskIndex,     kCannotLock,       kNoLocking,     kCannotStart,     kLeftover,
    kHostUnreachable, kHostLacksProgram, kHostNotShared, kNothingStarted, kEngineFailed,   kNoArraySize,
    kNoFrameSize,   kSubmitted,       kStateOk,          kStateRemarks,  kStateLost,       kStateExit,
    kStateSignal,   kStateNothing,    kStateNoStatus,    kStateBusy,     kTotals,          kWriteFailed,
};

}  // namespace kadrix::nights::messages
