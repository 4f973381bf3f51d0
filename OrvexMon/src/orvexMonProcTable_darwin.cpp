// Process table from sysctl(KERN_PROC_ALL): the whole table as kinfo_proc records,
// copied in one call into a buffer of the size the kernel asked for.
#include "orvexMonProcTable.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/event.h>
#include <sys/param.h>
#include <sys/proc.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>

namespace {

// p_comm is MAXCOMLEN (16) characters plus the NUL.
constexpr size_t kCommMax = MAXCOMLEN;
// Processes started between the size query and the copy make the copy fail with ENOMEM.
constexpr int kReadAttempts = 5;
constexpr size_t kSlackEntries = 64;

struct FreeDeleter {
    void operator()(void* p) const { ::free(p); }
};

bool isMatchableName(const char* pszName, size_t& nLen) {
    if (pszName == nullptr)
        return false;
    nLen = ::strnlen(pszName, kCommMax + 1);
    return nLen > 0 && nLen <= kCommMax;
}

// Real and effective user both ours: a user may run a setuid program under a link
// named like a service.
bool runsAsUs(const kinfo_proc& entry) {
    const uid_t nOurs = ::geteuid();
    return entry.kp_eproc.e_pcred.p_ruid == nOurs && entry.kp_eproc.e_ucred.cr_uid == nOurs;
}

// Reads the one entry of process nPid; false when there is no such process.
bool readEntry(int nPid, kinfo_proc& entry) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, nPid};
    ::memset(&entry, 0, sizeof(entry));
    size_t nBytes = sizeof(entry);
    // A pid nobody holds succeeds with no bytes copied.
    return ::sysctl(mib, 4, &entry, &nBytes, nullptr, 0) == 0 && nBytes >= sizeof(entry) &&
           entry.kp_proc.p_pid == nPid;
}

bool entryMatches(const kinfo_proc& entry, const char* pszName, size_t nNameLen) {
    const char* pComm = entry.kp_proc.p_comm;
    return entry.kp_proc.p_stat != SZOMB && runsAsUs(entry) &&
           ::strnlen(pComm, sizeof(entry.kp_proc.p_comm)) == nNameLen &&
           ::memcmp(pComm, pszName, nNameLen) == 0;
}

// Copies the whole table into pTable; nCount entries. False with errno when it won't.
bool readTable(std::unique_ptr<kinfo_proc, FreeDeleter>& pTable, size_t& nCount) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    for (int nAttempt = 0; nAttempt < kReadAttempts; ++nAttempt) {
        size_t nBytes = 0;
        if (::sysctl(mib, 4, nullptr, &nBytes, nullptr, 0) != 0)
            return false;
        nBytes += kSlackEntries * sizeof(kinfo_proc);
        pTable.reset(static_cast<kinfo_proc*>(::malloc(nBytes)));
        if (!pTable) {
            errno = ENOMEM;
            return false;
        }
        if (::sysctl(mib, 4, pTable.get(), &nBytes, nullptr, 0) == 0) {
            nCount = nBytes / sizeof(kinfo_proc);
            return true;
        }
        if (errno != ENOMEM)
            return false;
    }
    return false;
}

}  // namespace

size_t procTableNameMax() {
    return kCommMax;
}

ProcLookup procTableFind(const char* pszName, int& nPid) {
    size_t nNameLen = 0;
    if (!isMatchableName(pszName, nNameLen))
        return ProcLookup::kNotFound;
    std::unique_ptr<kinfo_proc, FreeDeleter> pTable;
    size_t nCount = 0;
    if (!readTable(pTable, nCount))
        return ProcLookup::kTableUnreadable;
    for (size_t i = 0; i < nCount; ++i) {
        if (entryMatches(pTable.get()[i], pszName, nNameLen)) {
            nPid = pTable.get()[i].kp_proc.p_pid;
            return ProcLookup::kFound;
        }
    }
    return ProcLookup::kNotFound;
}

bool procTableHasName(int nPid, const char* pszName) {
    size_t nNameLen = 0;
    if (nPid <= 0 || !isMatchableName(pszName, nNameLen))
        return false;
    kinfo_proc entry;
    return readEntry(nPid, entry) && entryMatches(entry, pszName, nNameLen);
}

bool procRunsAsUs(int nPid) {
    kinfo_proc entry;
    return nPid > 0 && readEntry(nPid, entry) && runsAsUs(entry);
}

int procWatchExit(int nPid) {
    // A kqueue holding one NOTE_EXIT filter is readable once the process has ended.
    const int nQueue = ::kqueue();
    if (nQueue < 0)
        return -1;
    ::fcntl(nQueue, F_SETFD, FD_CLOEXEC);
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(nPid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0,
           nullptr);
    if (::kevent(nQueue, &change, 1, nullptr, 0, nullptr) != 0) {
        const int nErr = errno;
        ::close(nQueue);
        errno = nErr;
        return -1;
    }
    return nQueue;
}

const char* openDescriptorDir() {
    return "/dev/fd";
}

// ---- Owner of a local UDP socket ----

#include <net/route.h>
#include <netinet/in.h>
#include <sys/queue.h>
#include <sys/socket.h>
#include <sys/socketvar.h>

// After socketvar.h: xinpcb64 holds an xsocket64.
#include <netinet/in_pcb.h>

namespace {

// The whole list of net.inet.udp.pcblist64: an xinpgen, one xinpcb64 per socket (each
// begins with its length), and a closing xinpgen. False with errno when it won't copy.
bool readUdpList(std::unique_ptr<char, FreeDeleter>& pList, size_t& nBytes) {
    const char kName[] = "net.inet.udp.pcblist64";
    for (int nAttempt = 0; nAttempt < kReadAttempts; ++nAttempt) {
        nBytes = 0;
        if (::sysctlbyname(kName, nullptr, &nBytes, nullptr, 0) != 0)
            return false;
        nBytes += kSlackEntries * sizeof(xinpcb64);
        pList.reset(static_cast<char*>(::malloc(nBytes)));
        if (!pList) {
            errno = ENOMEM;
            return false;
        }
        if (::sysctlbyname(kName, pList.get(), &nBytes, nullptr, 0) == 0)
            return true;
        if (errno != ENOMEM)
            return false;
    }
    return false;
}

}  // namespace

bool udpSocketOwner(const sockaddr_in& addr, uid_t& nUid) {
    std::unique_ptr<char, FreeDeleter> pList;
    size_t nBytes = 0;
    if (!readUdpList(pList, nBytes) || nBytes < sizeof(xinpgen))
        return false;
    const char* p = pList.get();
    const char* const pEnd = p + nBytes;
    xinpgen head;
    ::memcpy(&head, p, sizeof(head));
    if (head.xig_len < sizeof(xinpgen) || head.xig_len > nBytes)
        return false;
    p += head.xig_len;
    bool bFound = false;
    while (p + sizeof(xinpgen) <= pEnd) {
        xinpgen gen;
        ::memcpy(&gen, p, sizeof(gen));  // records are packed one after another
        if (gen.xig_len <= sizeof(xinpgen) || gen.xig_len > static_cast<size_t>(pEnd - p))
            break;  // the closing xinpgen, or a record cut short
        if (gen.xig_len >= sizeof(xinpcb64)) {
            xinpcb64 inp;
            ::memcpy(&inp, p, sizeof(inp));
            const in_addr local = inp.inp_dependladdr.inp46_local.ia46_addr4;
            const bool bMatch =
                (inp.inp_vflag & INP_IPV4) != 0 && inp.xi_socket.xso_protocol == IPPROTO_UDP &&
                inp.inp_lport == addr.sin_port &&
                (local.s_addr == addr.sin_addr.s_addr || local.s_addr == INADDR_ANY);
            if (bMatch) {
                // Two sockets on one port (SO_REUSEADDR) of different owners: we can't tell
                // which one sent it.
                if (bFound && inp.xi_socket.so_uid != nUid)
                    return false;
                nUid = inp.xi_socket.so_uid;
                bFound = true;
            }
        }
        p += gen.xig_len;
    }
    return bFound;
}
