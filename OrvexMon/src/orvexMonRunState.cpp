#include "orvexMon.h"
#include "orvexMonBuildPaths.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"
#include "orvexMonProcTable.h"
#include "orvexUtility.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

const char* const kServiceNames[] = {"AccessBroker", "AssetWarden", "LeakSentry"};
constexpr size_t kStateFileMax = 4096;
constexpr unsigned kCountMax = 999999999;

// Written by the daemon's main and timer threads.
std::mutex s_stateLock;
RunState s_state;
bool s_bRunDirUsable = false;

std::string runFile(const char* pszName) {
    return std::string(kRunDir) + "/" + pszName;
}

// Our own directory that no one else may write to: the files in it are trusted by systemd
// (the pid file) and by "OrvexMon status". Made here when missing, as without systemd.
bool prepareRunDir() {
    struct stat st;
    if (::lstat(kRunDir, &st) != 0) {
        if (errno != ENOENT || ::mkdir(kRunDir, 0755) != 0 || ::lstat(kRunDir, &st) != 0) {
            logX(1, "runState: cannot create the run directory %s: %s", kRunDir, strerror(errno));
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        logX(1,
             "runState: %s is not a directory of ours that only we can write; no pid or state file.",
             kRunDir);
        return false;
    }
    return true;
}

// Temporary file and rename: a reader sees the old or the new content, never a part.
bool writeAtomically(const std::string& strPath, const std::string& strText) {
    const std::string strTemp = strPath + ".tmp";
    ::unlink(strTemp.c_str());
    CUniqueFd fd(
        ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0 ||
        ::write(fd.get(), strText.data(), strText.size()) != static_cast<ssize_t>(strText.size()) ||
        ::close(fd.release()) != 0 || ::rename(strTemp.c_str(), strPath.c_str()) != 0) {
        logX(1, "runState: cannot write %s: %s", strPath.c_str(), strerror(errno));
        ::unlink(strTemp.c_str());
        return false;
    }
    return true;
}

std::string formatState(const RunState& state) {
    std::string strText = "pid=" + std::to_string(state.nDaemonPid) + "\n";
    for (const auto& entry : state.mapStarts)
        strText += entry.first + "=" + std::to_string(entry.second) + "\n";
    return strText;
}

bool isServiceName(const std::string& strName) {
    for (const char* pszName : kServiceNames) {
        if (strName == pszName)
            return true;
    }
    return false;
}

// Digits only, at most nMax; false for anything else.
bool parseNumber(const std::string& strText, unsigned nMax, unsigned& nValue) {
    if (strText.empty() || strText.size() > 9 ||
        strText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long nRead = strtoul(strText.c_str(), nullptr, 10);
    if (nRead > nMax)
        return false;
    nValue = static_cast<unsigned>(nRead);
    return true;
}

// The services "OrvexMon status" reports: those the daemon keeps running under the current
// customization, as its watchdog pass decides, and any it has started.
std::vector<std::string> reportedServices(const RunState& state) {
    unsigned char cFlags = 0;
    int nErr = 0;
    const unsigned char* pRecord = nullptr;
    if (utl_InitVerifyAndLoad(&nErr) != 0 && utl_LoadComnCusInfo(&pRecord) != 0 && pRecord)
        cFlags = pRecord[kCusFlagOffset];
    const bool bAsset = (cFlags & kCusFlagAssetManagement) != 0;
    const bool bLeak = bAsset && (cFlags & kCusFlagLeakPrevention) != 0;
    std::vector<std::string> vecNames;
    for (const char* pszName : kServiceNames) {
        const std::string strName = pszName;
        const bool bSupervised = strName == "AccessBroker" ||
                                 (strName == "AssetWarden" && bAsset) ||
                                 (strName == "LeakSentry" && bLeak);
        const auto it = state.mapStarts.find(strName);
        if (bSupervised || (it != state.mapStarts.end() && it->second > 0))
            vecNames.push_back(strName);
    }
    return vecNames;
}

}  // namespace

void runStateBegin() {
    std::lock_guard<std::mutex> guard(s_stateLock);
    s_state = RunState();
    s_state.nDaemonPid = static_cast<int>(::getpid());
    for (const char* pszName : kServiceNames)
        s_state.mapStarts[pszName] = 0;
    s_bRunDirUsable = prepareRunDir();
    if (!s_bRunDirUsable)
        return;
    writeAtomically(runFile(kStateFileName), formatState(s_state));
    // Last: once the pid file is there, systemd takes the daemon as started.
    writeAtomically(runFile(kPidFileName), std::to_string(s_state.nDaemonPid) + "\n");
}

void runStateCountStart(const char* pszName) {
    std::lock_guard<std::mutex> guard(s_stateLock);
    if (s_state.nDaemonPid <= 0)
        return;  // not the daemon
    unsigned& nCount = s_state.mapStarts[pszName];
    if (nCount < kCountMax)
        ++nCount;
    if (s_bRunDirUsable)
        writeAtomically(runFile(kStateFileName), formatState(s_state));
}

void runStateEnd() {
    std::lock_guard<std::mutex> guard(s_stateLock);
    if (!s_bRunDirUsable)
        return;
    ::unlink(runFile(kPidFileName).c_str());
    ::unlink(runFile(kStateFileName).c_str());
}

bool parseRunState(const std::string& strText, RunState& state) {
    state = RunState();
    size_t nPos = 0;
    while (nPos < strText.size()) {
        size_t nEnd = strText.find('\n', nPos);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        const std::string strLine = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        const size_t nEq = strLine.find('=');
        if (nEq == std::string::npos)
            return false;
        const std::string strKey = strLine.substr(0, nEq);
        unsigned nValue = 0;
        if (strKey == "pid" && parseNumber(strLine.substr(nEq + 1), 0x7fffffff, nValue) &&
            nValue > 0)
            state.nDaemonPid = static_cast<int>(nValue);
        else if (isServiceName(strKey) && parseNumber(strLine.substr(nEq + 1), kCountMax, nValue))
            state.mapStarts[strKey] = nValue;
        else
            return false;
    }
    return state.nDaemonPid > 0;
}

bool readRunState(const std::string& strPath, RunState& state) {
    // Not followed through a link, not a device or pipe, written by root or by us only.
    CUniqueFd fd(::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & 022) != 0 ||
        st.st_size > static_cast<off_t>(kStateFileMax))
        return false;
    char szBuf[kStateFileMax];
    const ssize_t nRead = ::read(fd.get(), szBuf, sizeof(szBuf));
    return nRead > 0 && parseRunState(std::string(szBuf, static_cast<size_t>(nRead)), state);
}

int printStatus(int nPort) {
    const bool bRunning = CMsgProcess::echo(nPort) == 0;
    RunState state;
    // A state file counts only while the daemon it names is alive.
    const bool bState = bRunning && readRunState(runFile(kStateFileName), state) &&
                        procTableHasName(state.nDaemonPid, "OrvexMon");
    if (!bRunning)
        printf("OrvexMon: not running (no answer on UDP port %d)\n", nPort);
    else if (bState)
        printf("OrvexMon: running, pid %d, UDP port %d\n", state.nDaemonPid, nPort);
    else
        printf("OrvexMon: running, UDP port %d (no state in %s)\n", nPort, kRunDir);
    for (const std::string& strName : reportedServices(state)) {
        int nPid = -1;
        std::string strLine = strName + ": ";
        strLine += procTableFind(strName.c_str(), nPid) == ProcLookup::kFound
                       ? "pid " + std::to_string(nPid)
                       : std::string("not running");
        if (bState) {
            const unsigned nStarts = state.mapStarts[strName];
            strLine += ", " + std::to_string(nStarts) + (nStarts == 1 ? " start" : " starts");
        }
        puts(strLine.c_str());
    }
    return bRunning ? 0 : 3;
}
