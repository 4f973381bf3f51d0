// Restart at once: besides the 5-second tick, the watchdog runs a pass when a service it
// watches ends (an exit pass) and, shortly after a start, passes that only look to watch
// what was started (follow-up passes). All of it runs in the timer thread.
#ifndef ORVEXMON_EXIT_WATCH_H
#define ORVEXMON_EXIT_WATCH_H

#include "orvexMonRestartPolicy.h"

/// One watchdog pass of this kind; true when a supervised service was missing.
bool runWatchdogPass(PassKind kind);

/// Runs an exit pass when process nPid (service pszName) ends; nothing when already
/// watched, outside the timer thread, or once the system refused a watch.
void watchServiceEnd(const char* pszName, int nPid);

/// Follow-up passes after a start, later and later, until every service was seen.
void followUpAfterStart();

#endif
