// UDP and log helpers for the command channel tests: a datagram socket that closes itself,
// a command message written out from its wire layout, and a process-wide level-4 log.
#ifndef ORVEXMON_UDP_TEST_SUPPORT_H
#define ORVEXMON_UDP_TEST_SUPPORT_H

#include "orvexMonLog.h"
#include "testSupport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

inline sockaddr_in makeAddr(const char* pszIp, uint16_t nPort) {
    sockaddr_in addr{AF_INET, htons(nPort), {}, {}};
    inet_pton(AF_INET, pszIp, &addr.sin_addr);
    return addr;
}

// A datagram socket bound to ip:port (port 0: the system picks), closed on destruction.
// Made while this thread's file-system uid was nUid (-1: ours), so the kernel counts it as
// that user's socket; SO_REUSEADDR when bReuse. Invalid on failure.
class UdpSocket {
public:
    explicit UdpSocket(const char* pszIp = "127.0.0.1", uint16_t nPort = 0, uid_t nUid = -1,
                       bool bReuse = false) {
        const int nOldUid = ::setfsuid(nUid), nReuse = bReuse;
        m_nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::setfsuid(nOldUid);
        const sockaddr_in addr = makeAddr(pszIp, nPort);
        ::setsockopt(m_nFd, SOL_SOCKET, SO_REUSEADDR, &nReuse, sizeof(nReuse));
        if (::bind(m_nFd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
            m_nFd = (::close(m_nFd), -1);
    }
    ~UdpSocket() { ::close(m_nFd); }
    static std::unique_ptr<UdpSocket> ownedBy(uid_t nUid, const char* pszIp, uint16_t nPort = 0,
                                              bool bReuse = false) {
        return std::make_unique<UdpSocket>(pszIp, nPort, nUid, bReuse);
    }
    bool valid() const { return m_nFd >= 0; }
    uint16_t port() const {
        sockaddr_in addr{};
        socklen_t n = sizeof(addr);
        ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&addr), &n);
        return ntohs(addr.sin_port);
    }
    bool sendTo(const std::vector<uint8_t>& data, const char* pszIp, uint16_t nPort) const {
        const sockaddr_in addr = makeAddr(pszIp, nPort);
        return ::sendto(m_nFd, data.data(), data.size(), 0,
                        reinterpret_cast<const sockaddr*>(&addr),
                        sizeof(addr)) == static_cast<ssize_t>(data.size());
    }
    /// One datagram within nTimeoutMs (0: only one already queued) and its sender (pFrom not
    /// written when none came: false).
    bool recvFrom(std::vector<uint8_t>& data, sockaddr_in* pFrom, int nTimeoutMs) const {
        pollfd pfd = {m_nFd, POLLIN, 0};
        socklen_t n = sizeof(sockaddr_in);
        data.resize(65536);
        const ssize_t nRecv =
            ::poll(&pfd, 1, nTimeoutMs) != 1
                ? -1
                : ::recvfrom(m_nFd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(pFrom),
                             pFrom ? &n : nullptr);
        data.resize(std::max<ssize_t>(nRecv, 0));
        return nRecv >= 0;
    }

private:
    int m_nFd;
};

/// A UDP port free on all interfaces a moment ago.
inline uint16_t freeUdpPort() {
    return UdpSocket("0.0.0.0").port();
}

/// A command message as it goes on the wire, written from the layout: magic, length,
/// 16 reserved bytes, type, code, ip and port (6 bytes), operator at 30, text at 52 and its NUL.
inline std::vector<uint8_t> onWire(uint8_t cType, uint8_t cCode, const std::string& ipPort = "",
                                   const std::string& op = "", const std::string& text = "") {
    std::vector<uint8_t> b(53 + text.size(), 0);
    const uint8_t head[] = {0xF7, 0x10, 0x3D, 0x21, uint8_t(b.size() >> 8), uint8_t(b.size())};
    std::copy(head, head + 6, b.begin());
    b[22] = cType;
    b[23] = cCode;
    std::copy(ipPort.begin(), ipPort.end(), b.begin() + 24);
    std::copy(op.begin(), op.end(), b.begin() + 30);
    std::copy(text.begin(), text.end(), b.begin() + 52);
    return b;
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
    for (const auto& entry : std::filesystem::directory_iterator(strDir))
        names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names)
        text += readFile(name);
    return text;
}

/// True when a line of the log carries the level tag (" [ERR] ") and ends with strText.
inline bool hasLogLine(const std::string& strLog, const std::string& strTag,
                       const std::string& strText) {
    for (size_t nEnd = strLog.find(strText + "\n"); nEnd != std::string::npos;
         nEnd = strLog.find(strText + "\n", nEnd + 1)) {
        const size_t nStart = strLog.rfind('\n', nEnd) + 1;  // npos + 1 = 0
        if (strLog.substr(nStart, nEnd - nStart).find(strTag) != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace testsupport

#endif
