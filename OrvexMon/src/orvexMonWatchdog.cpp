#include "orvexMon.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"
#include "orvexMonProcTable.h"
#include "orvexMonTimerTask.h"
#include "orvexUtility.h"

#include <ace/Singleton.h>
#include <ace/Thread_Mutex.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <map>
#include <mutex>

namespace {

// The pid each name was last found under. A pass over running services then costs one
// small read per name; the whole table is scanned only when that pid no longer carries
// the name.
std::mutex s_lastPidLock;
std::map<std::string, int> s_mapLastPid;

ProcLookup lookupProcess(const char* pszName, int& nPid) {
    {
        std::lock_guard<std::mutex> guard(s_lastPidLock);
        const auto it = s_mapLastPid.find(pszName);
        if (it != s_mapLastPid.end() && procTableHasName(it->second, pszName)) {
            nPid = it->second;
            return ProcLookup::kFound;
        }
    }
    const ProcLookup result = procTableFind(pszName, nPid);
    if (result == ProcLookup::kTableUnreadable) {
        logX(1, "procMng.findProc: Query process list failed.");
        return result;
    }
    std::lock_guard<std::mutex> guard(s_lastPidLock);
    if (result == ProcLookup::kFound)
        s_mapLastPid[pszName] = nPid;
    else
        s_mapLastPid.erase(pszName);
    return result;
}

ProcLookup findLogged(const char* pszName, int& nPid) {
    nPid = -1;
    const ProcLookup result = lookupProcess(pszName, nPid);
    if (result == ProcLookup::kTableUnreadable)
        return result;
    if (result == ProcLookup::kNotFound)
        nPid = -1;
    logX(4, "procMng.findProc: find process %s[%u].", pszName, static_cast<unsigned>(nPid));
    return result;
}

// A service started through the shell inherits every descriptor that lacks close-on-exec,
// whoever opened it: ACE, a library, or our own launcher.
void closeOnExecAllDescriptors() {
    DirPtr dir(::opendir(openDescriptorDir()));
    if (!dir)
        return;
    const int nDirFd = ::dirfd(dir.get());
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const int fd = ::atoi(pEntry->d_name);
        if (fd <= STDERR_FILENO || fd == nDirFd)
            continue;
        const int nFlags = ::fcntl(fd, F_GETFD);
        if (nFlags >= 0 && !(nFlags & FD_CLOEXEC))
            ::fcntl(fd, F_SETFD, nFlags | FD_CLOEXEC);
    }
}

// ---- Restart at once: watching the end of the services we found ----
// Passes between the 5-second ticks, all in the timer thread. An exit pass runs when a
// watched service ends and restarts what is missing, but never a name that an exit pass
// started in the last 5 seconds: a service that dies at once is then started about twice
// per 5 seconds, never in a tight loop. A follow-up pass, shortly after any start, only
// looks the services up to watch what was started; it starts nothing, since a service
// whose shell has not yet run it is not in the table, and a start then would make two.

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kExitRestartPause(5);
constexpr int kFirstFollowUpMs = 100;
constexpr int kLastFollowUpMs = 1600;  // then the 5-second pass finds it

enum class PassKind { kRegular, kExit, kFollowUp };

std::map<std::string, int> s_mapWatchedPid;               // name -> pid whose end we watch
std::map<std::string, Clock::time_point> s_mapExitStart;  // name -> last start by an exit pass
PassKind s_passKind = PassKind::kRegular;                 // the pass running now
int s_nFollowUpMs = 0;         // delay of the follow-up pass pending; 0 = none
bool s_bMissingSeen = false;   // the follow-up pass running now missed a service
bool s_bWatchRefused = false;  // the system refused a watch: ticks alone from then on

void runPass(PassKind kind) {
    s_passKind = kind;
    CProcessMng::checkProcess(nullptr);
    s_passKind = PassKind::kRegular;
}

void* runFollowUp(void*);

void scheduleFollowUp(int nDelayMs) {
    CTimerTask* pTimer = CTimerTask::current();
    if (pTimer == nullptr || s_bWatchRefused || s_nFollowUpMs != 0)
        return;
    if (pTimer->callAfter(ACE_Time_Value(0, nDelayMs * 1000), runFollowUp, nullptr) == 0)
        s_nFollowUpMs = nDelayMs;
}

// Until every service that should run was seen, look again later and later.
void* runFollowUp(void*) {
    const int nDelayMs = s_nFollowUpMs;
    s_nFollowUpMs = 0;
    s_bMissingSeen = false;
    runPass(PassKind::kFollowUp);
    if (s_bMissingSeen && nDelayMs < kLastFollowUpMs)
        scheduleFollowUp(nDelayMs * 2);
    return nullptr;
}

void* onServiceEnd(void* pArg) {
    const int nPid = static_cast<int>(reinterpret_cast<intptr_t>(pArg));
    for (auto it = s_mapWatchedPid.begin(); it != s_mapWatchedPid.end();)
        it = it->second == nPid ? s_mapWatchedPid.erase(it) : std::next(it);
    runPass(PassKind::kExit);
    return nullptr;
}

void watchEnd(const char* pszName, int nPid) {
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

// Only a table that was read and holds no such name means missing: starting a service
// we could not look up may well run a second copy of it. A running one is watched.
bool needsStart(const char* pszName) {
    int nPid;
    const ProcLookup result = findLogged(pszName, nPid);
    if (result == ProcLookup::kFound)
        watchEnd(pszName, nPid);
    if (result != ProcLookup::kNotFound)
        return false;
    if (s_passKind == PassKind::kFollowUp) {
        s_bMissingSeen = true;
        return false;
    }
    if (s_passKind == PassKind::kExit) {
        const auto it = s_mapExitStart.find(pszName);
        if (it != s_mapExitStart.end() && Clock::now() - it->second < kExitRestartPause) {
            logX(2,
                 "procMng.chkProc: %s ended again right after its restart; the 5-second pass starts it.",
                 pszName);
            return false;
        }
    }
    return true;
}

void startService(const char* pszName, const std::string& strPath) {
    // One shell word, whatever blanks or shell characters the install directory holds.
    if (CProcessMng::startProcess(shellQuote(strPath).c_str()) == 0)
        runStateCountStart(pszName);
    if (s_passKind == PassKind::kExit)
        s_mapExitStart[pszName] = Clock::now();
    scheduleFollowUp(kFirstFollowUpMs);
}

}  // namespace

void* CProcessMng::checkProcess(void*) {
    CConfigT* pConfig = ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance();
    if (needsStart("AccessBroker")) {
        logX(2, "procMng.chkProc: Process %s not exists now restart it.", "AccessBroker");
        startService("AccessBroker", pConfig->m_strAccessBrokerPath);
    }

    int nErr = 0;
    if (utl_InitVerifyAndLoad(&nErr) == 0) {
        logX(1, "procMng.chkProc: verify OrvexCustom.xml failed with err %d", nErr);
        return nullptr;
    }
    const unsigned char* pRecord = nullptr;
    const bool bLoaded = utl_LoadComnCusInfo(&pRecord) != 0 && pRecord != nullptr;
    const unsigned char cFlags = bLoaded ? pRecord[kCusFlagOffset] : 0;

    if (cFlags & kCusFlagAssetManagement) {
        logX(4, "procMng.chkProc: cus dam.");
        if (needsStart("AssetWarden")) {
            logX(2, "procMng.chkProc: Process %s not exists now restart it.", "AssetWarden");
            startService("AssetWarden", pConfig->m_strAssetWardenPath);
        }
    }
    if (cFlags & kCusFlagLeakPrevention)
        logX(4, "[CProcessMng::checkProcess] cus dlp.");
    if (bLoaded) {
        uint64_t nProtect;
        memcpy(&nProtect, pRecord + kCusUninstallSetOffset, sizeof(nProtect));
        if (nProtect != 0) {
            const char* pszText = reinterpret_cast<const char*>(pRecord + kCusUninstallTextOffset);
            pConfig->m_strUninstallProtect.assign(pszText,
                                                  strnlen(pszText, kCusRecordSize -
                                                                       kCusUninstallTextOffset));
            logX(4, "procMng.chkProc: cus uninstall protect.");
        }
    }
    // Data-leak prevention runs only beside the asset agent; its own flag is not enough.
    if ((cFlags & kCusFlagAssetManagement) && (cFlags & kCusFlagLeakPrevention)) {
        if (needsStart("LeakSentry")) {
            logX(2, "[CProcessMng::checkProcess] Process %s not exists now restart it.",
                 "LeakSentry");
            startService("LeakSentry", pConfig->m_strLeakSentryPath);
        }
    }
    if (s_passKind != PassKind::kFollowUp)
        doCoreTask();
    return nullptr;
}

int CProcessMng::findProcess(const char* pszName) {
    if (pszName == nullptr) {
        logX(1, "procMng.findProc: Input parameters invalid.");
        return -1;
    }
    int nPid;
    return findLogged(pszName, nPid) == ProcLookup::kFound ? nPid : -1;
}

int CProcessMng::startProcess(const char* pszCommand) {
    if (pszCommand == nullptr) {
        logX(1, "procMng.startProc: Input parameters invalid.");
        return -1;
    }
    const std::string strCommand = std::string(pszCommand) + " &";
    closeOnExecAllDescriptors();
    if (system(strCommand.c_str()) == -1) {
        logX(1, "procMng.startProc: Execute command line: %s failed.", strCommand.c_str());
        return -1;
    }
    logX(4, "procMng.startProc: Start process %s successful.", pszCommand);
    return 0;
}

int CProcessMng::startPorcess(const char* pszFile, char* const argv[]) {
    const pid_t pid = fork();
    if (pid < 0) {
        logX(4, "procMng.startPorcess: fork failed.");
        return -1;
    }
    if (pid == 0) {
        execvp(pszFile, argv);
        logX(4, "procMng.startPorcess: Start process %s failed.reason:%s", pszFile, strerror(errno));
        _exit(1);
    }
    return pid;
}

std::string CProcessMng::getResFromLinuxCMD(const std::string& strCommand) {
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) {
        logX(1, "procMng.getResFrmCmd: popen failed");
        return "";
    }
    char szLine[32];
    const bool bRead = fgets(szLine, sizeof(szLine), pPipe) != nullptr;
    pclose(pPipe);
    if (!bRead) {
        logX(1, "procMng.getResFrmCmd: fgets failed");
        return "";
    }
    return szLine;
}

int CProcessMng::createUninstallFile() {
    return 0;
}
int CProcessMng::findKernelModule(const char*) {
    return 0;
}
int CProcessMng::insmodKernelModule(const char*) {
    return 0;
}
int CProcessMng::rmmodKernelModule(const char*) {
    return 0;
}
