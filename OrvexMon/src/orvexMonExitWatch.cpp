#include "orvexMonExitWatch.h"

#include "orvexMonLog.h"
#include "orvexMonProcTable.h"
#include "orvexMonTimerTask.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <iterator>
#include <map>
#include <string>

namespace {

constexpr int kFirstFollowUpMs = 100;
constexpr int kLastFollowUpMs = 1600;  // then the 5-second pass finds it

std::map<std::string, int> s_mapWatchedPid;  // name -> pid whose end we watch
int s_nFollowUpMs = 0;                       // delay of the follow-up pass pending; 0 = none
bool s_bWatchRefused = false;                // the system refused a watch: ticks alone from then on

void* runFollowUp(void*);

void scheduleFollowUp(int nDelayMs) {
    CTimerTask* pTimer = CTimerTask::current();
    if (pTimer == nullptr || s_bWatchRefused || s_nFollowUpMs != 0)
        return;
    if (pTimer->callAfter(ACE_Time_Value(0, nDelayMs * 1000), runFollowUp, nullptr) == 0)
        s_nFollowUpMs = nDelayMs;
}

void* runFollowUp(void*) {
    const int nDelayMs = s_nFollowUpMs;
    s_nFollowUpMs = 0;
    if (runWatchdogPass(PassKind::kFollowUp) && nDelayMs < kLastFollowUpMs)
        scheduleFollowUp(nDelayMs * 2);
    return nullptr;
}

void* onServiceEnd(void* pArg) {
    const int nPid = static_cast<int>(reinterpret_cast<intptr_t>(pArg));
    for (auto it = s_mapWatchedPid.begin(); it != s_mapWatchedPid.end();)
        it = it->second == nPid ? s_mapWatchedPid.erase(it) : std::next(it);
    runWatchdogPass(PassKind::kExit);
    return nullptr;
}

}  // namespace

void watchServiceEnd(const char* pszName, int nPid) {
    CTimerTask* pTimer = CTimerTask::current();
    if (pTimer == nullptr || s_bWatchRefused)
        return;
    const auto it = s_mapWatchedPid.find(pszName);
    if (it != s_mapWatchedPid.end() && it->second == nPid)
        return;
    const int fd = procWatchExit(nPid);
    if (fd < 0) {
        if (errno == ESRCH)
            return;  // ended since the look-up; the next pass sees it missing
        logX(1,
             "procMng.chkProc: cannot watch the end of %s[%d]: %s; restarts wait for the 5-second pass.",
             pszName, nPid, strerror(errno));
        s_bWatchRefused = true;
        return;
    }
    if (pTimer->callWhenReadable(fd, onServiceEnd, reinterpret_cast<void*>(intptr_t{nPid})) == 0)
        s_mapWatchedPid[pszName] = nPid;
}

void followUpAfterStart() {
    scheduleFollowUp(kFirstFollowUpMs);
}
