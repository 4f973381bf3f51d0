#include "orvexMon.h"
#include "orvexMonExitWatch.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"
#include "orvexMonProcTable.h"
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

#include <map>
#include <mutex>
#include <optional>

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

// Starts of each name by exit passes, for the restart rules. Timer thread only.
std::map<std::string, RestartClock::time_point> s_mapExitStart;

void startService(PassKind kind, const char* pszName, const std::string& strPath) {
    // One shell word, whatever blanks or shell characters the install directory holds.
    if (CProcessMng::startProcess(shellQuote(strPath).c_str()) == 0)
        runStateCountStart(pszName);
    if (kind == PassKind::kExit)
        s_mapExitStart[pszName] = RestartClock::now();
    followUpAfterStart();
}

// Looks the service up, then starts it, watches it or leaves it as the restart rules
// say. True when it was missing.
bool superviseService(PassKind kind, const char* pszName, const std::string& strPath,
                      const char* pszMissingFormat) {
    int nPid;
    const ProcLookup result = findLogged(pszName, nPid);
    const auto it = s_mapExitStart.find(pszName);
    const std::optional<RestartClock::time_point> lastExitStart =
        it == s_mapExitStart.end() ? std::nullopt : std::make_optional(it->second);
    switch (decideRestart(kind, result, lastExitStart, RestartClock::now())) {
        case RestartAction::kStart:
            logX(2, pszMissingFormat, pszName);
            startService(kind, pszName, strPath);
            break;
        case RestartAction::kWatch:
            watchServiceEnd(pszName, nPid);
            break;
        case RestartAction::kLeave:
            if (kind == PassKind::kExit && result == ProcLookup::kNotFound)
                logX(2,
                     "procMng.chkProc: %s ended again right after its restart; the 5-second pass starts it.",
                     pszName);
            break;
    }
    return result == ProcLookup::kNotFound;
}

const char kMissingFormat[] = "procMng.chkProc: Process %s not exists now restart it.";

}  // namespace

bool runWatchdogPass(PassKind kind) {
    CConfigT* pConfig = ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance();
    bool bMissing =
        superviseService(kind, "AccessBroker", pConfig->m_strAccessBrokerPath, kMissingFormat);

    int nErr = 0;
    if (utl_InitVerifyAndLoad(&nErr) == 0) {
        logX(1, "procMng.chkProc: verify OrvexCustom.xml failed with err %d", nErr);
        return bMissing;
    }
    const unsigned char* pRecord = nullptr;
    const bool bLoaded = utl_LoadComnCusInfo(&pRecord) != 0 && pRecord != nullptr;
    const unsigned char cFlags = bLoaded ? pRecord[kCusFlagOffset] : 0;

    if (cFlags & kCusFlagAssetManagement) {
        logX(4, "procMng.chkProc: cus dam.");
        bMissing |=
            superviseService(kind, "AssetWarden", pConfig->m_strAssetWardenPath, kMissingFormat);
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
        bMissing |=
            superviseService(kind, "LeakSentry", pConfig->m_strLeakSentryPath,
                             "[CProcessMng::checkProcess] Process %s not exists now restart it.");
    }
    if (kind != PassKind::kFollowUp)
        doCoreTask();
    return bMissing;
}

void* CProcessMng::checkProcess(void*) {
    runWatchdogPass(PassKind::kRegular);
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
