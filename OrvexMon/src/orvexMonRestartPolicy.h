// What a watchdog pass does about one supervised name, decided from facts alone, so that
// the rules read in one place and can be tried with a clock of one's own.
#ifndef ORVEXMON_RESTART_POLICY_H
#define ORVEXMON_RESTART_POLICY_H

#include "orvexMonProcTable.h"

#include <chrono>
#include <optional>

/// Regular: the 5-second tick. Exit: a watched service just ended. Follow-up: shortly
/// after a start, to watch what was started.
enum class PassKind { kRegular, kExit, kFollowUp };

/// Start it; watch the end of the process found; or leave it to a later pass.
enum class RestartAction { kStart, kWatch, kLeave };

using RestartClock = std::chrono::steady_clock;

/// An exit pass does not start a name that an exit pass started this long ago or less.
constexpr std::chrono::seconds kExitRestartPause(5);

/// lastExitStart: when an exit pass last started this name, if ever.
RestartAction decideRestart(PassKind kind, ProcLookup lookup,
                            std::optional<RestartClock::time_point> lastExitStart,
                            RestartClock::time_point now);

#endif
