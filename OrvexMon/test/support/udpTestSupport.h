// UDP and log helpers for the command channel tests: a raw datagram socket that closes
// itself, a free port, the socket descriptors of the process, and the text of a
// process-wide level-4 log in a temporary directory.
#ifndef ORVEXMON_UDP_TEST_SUPPORT_H
#define ORVEXMON_UDP_TEST_SUPPORT_H

#include "orvexMonLog.h"
#include "testSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline sockaddr_in makeAddr(const char* pszIp, uint16_t nPort) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    inet_pton(AF_INET, pszIp, &addr.sin_addr);
    return addr;
}

inline std::string addrText(const sockaddr_in& addr) {
    char sz[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, sz, sizeof(sz));
    return sz;
}

// A datagram socket bound to ip:port (port 0: the system picks), closed on destruction.
class UdpSocket {
public:
    explicit UdpSocket(const char* pszIp = "127.0.0.1", uint16_t nPort = 0)
        : m_nFd(::socket(AF_INET, SOCK_DGRAM, 0)) {
        if (m_nFd >= 0)
            ::fcntl(m_nFd, F_SETFD, FD_CLOEXEC);
        const sockaddr_in addr = makeAddr(pszIp, nPort);
        if (m_nFd < 0 || ::bind(m_nFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
            reset();
    }
    ~UdpSocket() { reset(); }
    /// Made while this thread's file-system uid was nUid, so the kernel counts it as that
    /// user's socket; bound to ip:port, with SO_REUSEADDR when bReuse. Invalid on failure.
    static std::unique_ptr<UdpSocket> ownedBy(uid_t nUid, const char* pszIp, uint16_t nPort = 0,
                                              bool bReuse = false) {
        std::unique_ptr<UdpSocket> pSocket(new UdpSocket(-1));
        const int nOldUid = ::setfsuid(nUid);
        pSocket->m_nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::setfsuid(nOldUid);
        const int nOne = 1;
        const sockaddr_in addr = makeAddr(pszIp, nPort);
        if (pSocket->m_nFd < 0 ||
            (bReuse &&
             ::setsockopt(pSocket->m_nFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne)) != 0) ||
            ::bind(pSocket->m_nFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
            pSocket->reset();
        return pSocket;
    }
    bool valid() const { return m_nFd >= 0; }
    int fd() const { return m_nFd; }
    uint16_t port() const {
        sockaddr_in addr;
        socklen_t n = sizeof(addr);
        if (m_nFd < 0 || ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&addr), &n) != 0)
            return 0;
        return ntohs(addr.sin_port);
    }
    bool sendTo(const void* pData, size_t nSize, const char* pszIp, uint16_t nPort) const {
        const sockaddr_in addr = makeAddr(pszIp, nPort);
        return ::sendto(m_nFd, pData, nSize, 0, reinterpret_cast<const sockaddr*>(&addr),
                        sizeof(addr)) == static_cast<ssize_t>(nSize);
    }
    bool sendTo(const std::vector<uint8_t>& data, const char* pszIp, uint16_t nPort) const {
        return sendTo(data.data(), data.size(), pszIp, nPort);
    }
    /// One datagram within nTimeoutMs (0: only one already queued); false when none came.
    bool recvFrom(std::vector<uint8_t>& data, sockaddr_in* pFrom, int nTimeoutMs) const {
        pollfd pfd = {m_nFd, POLLIN, 0};
        if (::poll(&pfd, 1, nTimeoutMs) != 1)
            return false;
        data.resize(65536);
        sockaddr_in from;
        socklen_t n = sizeof(from);
        const ssize_t nRecv =
            ::recvfrom(m_nFd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
        if (nRecv < 0)
            return false;
        data.resize(static_cast<size_t>(nRecv));
        if (pFrom != nullptr)
            *pFrom = from;
        return true;
    }

private:
    explicit UdpSocket(int nFd) : m_nFd(nFd) {}
    void reset() {
        if (m_nFd >= 0)
            ::close(m_nFd);
        m_nFd = -1;
    }
    int m_nFd;
};

/// A UDP port free on all interfaces a moment ago.
inline uint16_t freeUdpPort() {
    UdpSocket probe("0.0.0.0", 0);
    return probe.port();
}

/// The socket descriptors of this process that are open now.
inline std::vector<int> socketFds() {
    std::vector<int> fds;
    const int nMax = static_cast<int>(std::min<long>(::sysconf(_SC_OPEN_MAX), 4096));
    for (int fd = 0; fd < nMax; ++fd) {
        int nType = 0;
        socklen_t n = sizeof(nType);
        if (::fcntl(fd, F_GETFD) != -1 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &n) == 0)
            fds.push_back(fd);
    }
    return fds;
}

inline bool isCloseOnExec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

/// The UDP port a socket is bound to, 0 when it is not an IPv4 socket.
inline uint16_t boundPort(int fd) {
    sockaddr_in addr;
    socklen_t n = sizeof(addr);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &n) != 0 || addr.sin_family != AF_INET)
        return 0;
    return ntohs(addr.sin_port);
}

/// The process log, created once at level 4 in a directory removed at exit.
inline const std::string& ensureTestLog(const char* pszModule) {
    static TempDir s_dir;
    static const bool s_bCreated = utl_CreateLog(s_dir.path(), 4, pszModule);
    (void)s_bCreated;
    return s_dir.path();
}

/// Every log file of the directory, in name (so date) order.
inline std::string logText(const std::string& strDir) {
    std::vector<std::string> names;
    if (DIR* pDir = ::opendir(strDir.c_str())) {
        while (const dirent* pEntry = ::readdir(pDir))
            if (pEntry->d_name[0] != '.')
                names.push_back(pEntry->d_name);
        ::closedir(pDir);
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names)
        text += readFile(strDir + "/" + name);
    return text;
}

/// True when a line of the log carries the level tag (" [ERR] ") and ends with strText.
inline bool hasLogLine(const std::string& strLog, const std::string& strTag,
                       const std::string& strText) {
    size_t nStart = 0;
    while (nStart < strLog.size()) {
        size_t nEnd = strLog.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strLog.size();
        const std::string line = strLog.substr(nStart, nEnd - nStart);
        if (line.find(strTag) != std::string::npos && line.size() >= strText.size() &&
            line.compare(line.size() - strText.size(), strText.size(), strText) == 0)
            return true;
        nStart = nEnd + 1;
    }
    return false;
}

/// True when the needles occur in text in this order.
inline bool containsInOrder(const std::string& text, const std::vector<std::string>& needles) {
    size_t pos = 0;
    for (const std::string& needle : needles) {
        pos = text.find(needle, pos);
        if (pos == std::string::npos)
            return false;
        pos += needle.size();
    }
    return true;
}

}  // namespace testsupport

#endif
