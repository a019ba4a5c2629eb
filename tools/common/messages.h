#pragma once
// Texts every companion tool prints alike; each tool's table lists them
// among its own.

namespace kadrix::cli::messages {

inline constexpr char kWrongCall[] = "Zle wywolanie programu: %s.\n";
inline constexpr char kUnknownOption[] = "nieznana opcja %s";
inline constexpr char kOptionTwice[] = "opcja %s podana dwa razy";
inline constexpr char kTooManyOperands[] = "za duzo argumentow (%s)";
inline constexpr char kWriteFailed[] = "Blad zapisu pliku %s\n";
inline constexpr char kNoFile[] = "Brak pliku %s\n";
inline constexpr char kOutOfMemory[] = "Brak pamieci\n";

}  // namespace kadrix::cli::messages
