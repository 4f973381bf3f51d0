#include "orvexMonRestartPolicy.h"

RestartAction decideRestart(PassKind kind, ProcLookup lookup,
                            std::optional<RestartClock::time_point> lastExitStart,
                            RestartClock::time_point now) {
    if (lookup == ProcLookup::kFound)
        return RestartAction::kWatch;
    // A table we could not read says nothing: a start might run a second copy.
    if (lookup == ProcLookup::kTableUnreadable)
        return RestartAction::kLeave;
    switch (kind) {
        case PassKind::kRegular:
            return RestartAction::kStart;
        case PassKind::kFollowUp:
            // A service whose shell has not yet run it is not in the table; a start now
            // would make two.
            return RestartAction::kLeave;
        case PassKind::kExit:
            // A service that dies at once is started about twice per 5 seconds, never in a
            // tight loop: the regular pass takes over.
            return lastExitStart && now - *lastExitStart < kExitRestartPause
                       ? RestartAction::kLeave
                       : RestartAction::kStart;
    }
    return RestartAction::kLeave;
}
