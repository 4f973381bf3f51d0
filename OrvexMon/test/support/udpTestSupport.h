// UDP and log helpers for the command channel tests: a datagram socket that closes itself,
// a command message written out from its wire layout, and a process-wide level-4 log.
#pragma once

#include "orvexMonLog.h"
#include "testSupport.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>

#include <fcntl.h>
#include <sys/fsuid.h>

#include <filesystem>
#include <memory>

namespace testsupport {

// A datagram socket bound to ip:port, closed on destruction; port() is 0 when the bind
// failed. Made while this thread's file-system uid was nUid (-1: ours), so the kernel counts
// it as that user's socket. Port 0: the system picks one no other socket holds; a port given
// is bound with SO_REUSEADDR, so that sockets of several users may share it.
class UdpSocket {
public:
    explicit UdpSocket(const char* pszIp = "127.0.0.1", uint16_t nPort = 0, uid_t nUid = -1) {
        const int nOldUid = ::setfsuid(nUid);
        m_sock.open(ACE_INET_Addr(nPort, pszIp, AF_INET), AF_INET, 0, nPort != 0);
        ::setfsuid(nOldUid);
        ::fcntl(m_sock.get_handle(), F_SETFD, FD_CLOEXEC);  // not into the daemons we start
        m_sock.get_local_addr(m_local);
    }
    ~UdpSocket() { m_sock.close(); }
    static std::unique_ptr<UdpSocket> ownedBy(uid_t nUid, const char* pszIp) {
        return std::make_unique<UdpSocket>(pszIp, 0, nUid);
    }
    uint16_t port() const { return m_local.get_port_number(); }
    bool sendTo(const std::vector<uint8_t>& data, const char* pszIp, uint16_t nPort) const {
        const ACE_INET_Addr to(nPort, pszIp, AF_INET);
        return m_sock.send(data.data(), data.size(), to) == static_cast<ssize_t>(data.size());
    }
    /// One datagram within nTimeoutMs (0: only one already queued) and its sender (pFrom may
    /// be null); false when none came.
    bool recvFrom(std::vector<uint8_t>& data, sockaddr_in* pFrom, int nTimeoutMs) const {
        ACE_INET_Addr from;
        const ACE_Time_Value timeout(0, nTimeoutMs * 1000);
        data.resize(65536);
        const ssize_t nRecv = m_sock.recv(data.data(), data.size(), from, 0, &timeout);
        data.resize(nRecv < 0 ? 0 : nRecv);
        if (pFrom != nullptr)
            *pFrom = *static_cast<const sockaddr_in*>(from.get_addr());
        return nRecv >= 0;
    }

private:
    ACE_SOCK_Dgram m_sock;
    ACE_INET_Addr m_local;
};

/// A UDP port free on all interfaces a moment ago.
inline uint16_t freeUdpPort() {
    return UdpSocket("0.0.0.0").port();
}

/// A command message as it goes on the wire, written from the layout: magic, length, 16
/// reserved bytes, type, code, then from byte 24 the fields (ip, port, operator at 30), and
/// the text at 52 with its NUL.
inline std::vector<uint8_t> onWire(uint8_t cType, uint8_t cCode, const std::string& fields = "",
                                   const std::string& text = "") {
    const size_t nLength = 53 + text.size();
    std::string b = "\xF7\x10\x3D\x21" + std::string{char(nLength >> 8), char(nLength)};
    b += std::string(16, 0) + char(cType) + char(cCode) + fields;
    b.resize(52);
    b += text + '\0';
    return {b.begin(), b.end()};
}

/// The process log, created once at level 4 in a directory removed at exit.
inline const std::string& ensureTestLog(const char* pszModule) {
    static TempDir s_dir;
    [[maybe_unused]] static const bool s_bCreated = utl_CreateLog(s_dir.path(), 4, pszModule);
    return s_dir.path();
}

/// Every log file of the directory, in name (so date) order.
inline std::string logText(const std::string& strDir) {
    std::string text;
    for (const auto& path :
         std::set<std::filesystem::path>(std::filesystem::directory_iterator(strDir), {}))
        text += readFile(path);
    return text;
}

/// True when a line of the log carries the level tag (" [ERR] ") and ends with strText.
inline bool hasLogLine(const std::string& strLog, const std::string& strTag,
                       const std::string& strText) {
    for (size_t nEnd = strLog.find(strText + "\n"); nEnd != std::string::npos;
         nEnd = strLog.find(strText + "\n", nEnd + 1))
        if (strLog.rfind(strTag, nEnd) + 1 > strLog.rfind('\n', nEnd) + 1)  // npos + 1 = 0
            return true;
    return false;
}

}  // namespace testsupport
