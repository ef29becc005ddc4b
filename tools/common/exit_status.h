// The exit statuses shared by all programs, as kvx::ExitStatusOf gives them
// for each kind of failure (meshcore/failure.h).
#pragma once

#include "meshcore/failure.h"

inline constexpr int kExitOk = kvx::ExitStatusOf(kvx::FailureKind::none);
inline constexpr int kExitUsage = kvx::ExitStatusOf(kvx::FailureKind::usage);
inline constexpr int kExitBadInput = kvx::ExitStatusOf(kvx::FailureKind::bad_input);
inline constexpr int kExitWriteFailed = kvx::ExitStatusOf(kvx::FailureKind::output);
inline constexpr int kExitNoMemory = kvx::ExitStatusOf(kvx::FailureKind::memory);
