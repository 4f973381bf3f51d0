// Process table from /proc: one open and one read of /proc/<pid>/stat per process, into
// a stack buffer; the open dominates. pgrep reads several files per process.
#include "orvexMonFd.h"
#include "orvexMonProcTable.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

namespace {

// Linux keeps TASK_COMM_LEN = 16 bytes including the NUL.
constexpr size_t kCommMax = 15;

// "<pid> (<comm>) <state> ...": comm may hold blanks and ')' itself, so it ends at the
// last ')'. Everything after it is numbers, so a line cut after the state still parses.
bool parseStat(const char* pszLine, size_t nLen, const char*& pComm, size_t& nCommLen,
               char& cState) {
    const char* pOpen = static_cast<const char*>(::memchr(pszLine, '(', nLen));
    const char* pClose = static_cast<const char*>(::memrchr(pszLine, ')', nLen));
    if (pOpen == nullptr || pClose == nullptr || pClose < pOpen)
        return false;
    if (pClose + 2 >= pszLine + nLen || pClose[1] != ' ')
        return false;
    pComm = pOpen + 1;
    nCommLen = static_cast<size_t>(pClose - pComm);
    cState = pClose[2];
    return true;
}

// Zombies and dead tasks hold their name but run nothing.
bool isLive(char cState) {
    return cState != 'Z' && cState != 'X' && cState != 'x';
}

// Reads the start of file pszFile of the /proc directory pszPidDir (relative to nDirFd)
// into szBuf; the bytes read, or 0. A process that ended since it was listed simply fails
// to open.
template <size_t N>
size_t readProcFile(int nDirFd, const char* pszPidDir, const char* pszFile, char (&szBuf)[N]) {
    char szPath[40];
    ::snprintf(szPath, sizeof(szPath), "%s/%s", pszPidDir, pszFile);
    CUniqueFd fd(::openat(nDirFd, szPath, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    const ssize_t nRead = fd.get() < 0 ? -1 : ::read(fd.get(), szBuf, N);
    return nRead > 0 ? static_cast<size_t>(nRead) : 0;
}

// Are the real and the effective user of the process whose /proc directory is pszPidDir
// (relative to nDirFd) both ours? Read from its status file, not from the owner of its
// /proc files: those show as root's for a process that made itself non-dumpable.
bool runsAsUs(int nDirFd, const char* pszPidDir) {
    // "Uid:" follows the name and a few short lines; a name in it is escaped, so it holds
    // no line break of its own.
    char szText[1024];
    const size_t nRead = readProcFile(nDirFd, pszPidDir, "status", szText);
    if (nRead == 0)
        return false;
    szText[nRead == sizeof(szText) ? nRead - 1 : nRead] = '\0';
    const char* pUid = ::strstr(szText, "\nUid:");
    unsigned long nReal = 0, nEffective = 0;
    if (pUid == nullptr || ::sscanf(pUid, "\nUid: %lu %lu", &nReal, &nEffective) != 2)
        return false;
    const unsigned long nOurs = ::geteuid();
    return nReal == nOurs && nEffective == nOurs;
}

// Tells whether the process whose /proc directory is pszPidDir (relative to nDirFd) is a
// live process of ours named pszName.
bool statMatches(int nDirFd, const char* pszPidDir, const char* pszName, size_t nNameLen) {
    // Room for the pid, a kernel thread's longer name and the state; the rest is unused.
    char szLine[256];
    const size_t nRead = readProcFile(nDirFd, pszPidDir, "stat", szLine);
    const char* pComm = nullptr;
    size_t nCommLen = 0;
    char cState = 0;
    if (nRead == 0 || !parseStat(szLine, nRead, pComm, nCommLen, cState))
        return false;
    if (nCommLen != nNameLen || ::memcmp(pComm, pszName, nNameLen) != 0 || !isLive(cState))
        return false;
    return runsAsUs(nDirFd, pszPidDir);  // only for the rare match: one more small read
}

// A pid directory's name: 1 to 10 digits. Returns its length, 0 for anything else.
size_t pidNameLength(const char* psz) {
    size_t nLen = 0;
    for (; psz[nLen] != '\0'; ++nLen)
        if (psz[nLen] < '0' || psz[nLen] > '9' || nLen == 10)
            return 0;
    return nLen;
}

// A name the kernel cannot hold (empty, too long) matches no process.
bool isMatchableName(const char* pszName, size_t& nLen) {
    if (pszName == nullptr)
        return false;
    nLen = ::strnlen(pszName, kCommMax + 1);
    return nLen > 0 && nLen <= kCommMax;
}

}  // namespace

size_t procTableNameMax() {
    return kCommMax;
}

ProcLookup procTableFind(const char* pszName, int& nPid) {
    size_t nNameLen = 0;
    if (!isMatchableName(pszName, nNameLen))
        return ProcLookup::kNotFound;
    const int nProcFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nProcFd < 0)
        return ProcLookup::kTableUnreadable;
    DirPtr dir(::fdopendir(nProcFd));
    if (!dir) {
        const int nErr = errno;
        ::close(nProcFd);
        errno = nErr;
        return ProcLookup::kTableUnreadable;
    }
    bool bAnyProcess = false;
    for (;;) {
        errno = 0;
        const dirent* pEntry = ::readdir(dir.get());
        if (pEntry == nullptr && errno != 0)
            return ProcLookup::kTableUnreadable;
        if (pEntry == nullptr) {
            // Not even ourselves: /proc is not mounted here, which tells nothing about
            // the processes.
            if (bAnyProcess)
                return ProcLookup::kNotFound;
            errno = ENOENT;
            return ProcLookup::kTableUnreadable;
        }
        if (pidNameLength(pEntry->d_name) == 0)
            continue;
        bAnyProcess = true;
        if (statMatches(::dirfd(dir.get()), pEntry->d_name, pszName, nNameLen)) {
            nPid = ::atoi(pEntry->d_name);
            return ProcLookup::kFound;
        }
    }
}

bool procTableHasName(int nPid, const char* pszName) {
    size_t nNameLen = 0;
    if (nPid <= 0 || !isMatchableName(pszName, nNameLen))
        return false;
    char szPidDir[24];
    ::snprintf(szPidDir, sizeof(szPidDir), "/proc/%d", nPid);
    return statMatches(AT_FDCWD, szPidDir, pszName, nNameLen);
}

bool procRunsAsUs(int nPid) {
    if (nPid <= 0)
        return false;
    char szPidDir[24];
    ::snprintf(szPidDir, sizeof(szPidDir), "/proc/%d", nPid);
    return runsAsUs(AT_FDCWD, szPidDir);
}

int procWatchExit(int nPid) {
    // pidfd descriptors are always close-on-exec. The libc wrapper is newer than Debian 12.
    return static_cast<int>(::syscall(SYS_pidfd_open, nPid, 0));
}

const char* openDescriptorDir() {
    return "/proc/self/fd";
}

// ---- Owner of a local UDP socket ----

namespace {

struct FileCloser {
    void operator()(FILE* pFile) const { ::fclose(pFile); }
};

}  // namespace

// /proc/net/udp lists the IPv4 UDP sockets of a network namespace, one a line:
// "sl: local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...". An
// address is its 32-bit value as the kernel holds it (network order) printed as a number,
// so it compares with s_addr as it stands; a port is in host order. A socket bound to the
// wildcard shows 00000000.
bool udpSocketOwner(const sockaddr_in& addr, uid_t& nUid) {
    // The calling thread's network namespace, which may differ from the process's.
    std::unique_ptr<FILE, FileCloser> pFile(::fopen("/proc/thread-self/net/udp", "re"));
    if (!pFile)
        pFile.reset(::fopen("/proc/net/udp", "re"));  // kernels before 3.17
    if (!pFile)
        return false;
    const unsigned nWantAddr = addr.sin_addr.s_addr;
    const unsigned nWantPort = ntohs(addr.sin_port);
    bool bFound = false;
    char szLine[512];  // a line is about 130 characters; the heading matches nothing
    while (::fgets(szLine, sizeof(szLine), pFile.get()) != nullptr) {
        unsigned nAddr = 0, nPort = 0;
        unsigned long nOwner = 0;
        if (::sscanf(szLine, " %*u: %8X:%4X %*8X:%*4X %*X %*X:%*X %*X:%*X %*X %lu", &nAddr, &nPort,
                     &nOwner) != 3)
            continue;
        if (nPort != nWantPort || (nAddr != nWantAddr && nAddr != INADDR_ANY))
            continue;
        // Two sockets on one port (SO_REUSEADDR) of different owners: we can't tell which
        // one sent it.
        if (bFound && nOwner != nUid)
            return false;
        nUid = static_cast<uid_t>(nOwner);
        bFound = true;
    }
    return bFound && !::ferror(pFile.get());
}
