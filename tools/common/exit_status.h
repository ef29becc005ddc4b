// The exit statuses shared by all programs. 1 belongs to usage mistakes.
#pragma once

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitBadInput = 2;  // the input is missing, unreadable or invalid
inline constexpr int kExitWriteFailed =
    3;                                   // the output file or standard output could not be written
inline constexpr int kExitNoMemory = 4;  // an allocation failed
