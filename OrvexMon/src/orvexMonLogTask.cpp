#include "orvexMon.h"
#include "orvexMonLog.h"

#include <stdio.h>

// The daily maintenance itself is not built yet: the daemon's trigger only notes the
// request, and the log task mode does nothing.
void startLogTask(const char* pszArg) {
    if (pszArg == nullptr || *pszArg == '\0')
        return;
    logX(2, "[dbg-in-wrn] %s not run: log maintenance is not available yet.", pszArg);
}

void startLogCleanTask() {
    char szArg[32];
    snprintf(szArg, sizeof(szArg), "log_clean,%d", s_iLogKeepDays);
    startLogTask(szArg);
}

void doLogTask(const std::string&) {}
