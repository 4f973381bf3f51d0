// libFuzzer target: arbitrary bytes as one datagram through the command server's own
// per-datagram path (length test, zeroing, parse, process), once as sent from a socket of
// root on this machine (so the owner look-up runs) and once from another host, and
// through the hex dump.
#include "orvexMon.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Echo replies to the loopback sender go to a socket of our own on 127.0.0.1 and are
// drained; the other host's replies get no socket, so nothing leaves this machine.
class CFuzzServer {
public:
    // Every line of every input is formatted, none left out by the limiter.
    CFuzzServer() : m_nSock(::socket(AF_INET, SOCK_DGRAM, 0)), m_task(0, 1 << 30) {
        memset(&m_local, 0, sizeof(m_local));
        m_local.sin_family = AF_INET;
        m_local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof(m_local);
        if (m_nSock < 0 ||
            ::bind(m_nSock, reinterpret_cast<const sockaddr*>(&m_local), sizeof(m_local)) != 0 ||
            ::getsockname(m_nSock, reinterpret_cast<sockaddr*>(&m_local), &n) != 0)
            __builtin_trap();
        ::fcntl(m_nSock, F_SETFL, O_NONBLOCK);
        m_remote = m_local;
        inet_pton(AF_INET, "169.254.77.2", &m_remote.sin_addr);
        // Level 4 so that every log line is formatted (the sanitizers see each argument);
        // the directory does not exist, so none is written.
        utl_CreateLog("/nonexistent/orvexmon-fuzz", 4, "OrvexMonFuzz");
    }

    void feed(const uint8_t* pData, size_t nSize, bool bFromLoopback) {
        // What recvfrom leaves in the server's buffer: at most a buffer's worth, after
        // whatever an earlier datagram left there.
        alignas(CMsgProcess) char szBuffer[sizeof(CMsgProcess)];
        memset(szBuffer, 0xA5, sizeof(szBuffer));
        const size_t nLen = std::min(nSize, sizeof(szBuffer));
        memcpy(szBuffer, pData, nLen);
        m_task.handleDatagram(bFromLoopback ? m_nSock : -1, bFromLoopback ? m_local : m_remote,
                              szBuffer, static_cast<int>(nLen));
        if (nLen >= 20 && nLen <= 1024) {
            // The byte swaps of parse may move received bytes of a field cut at the end
            // (ip at 24, port at 28) past nLen; everything after them must read as zero.
            for (size_t i = std::max<size_t>(nLen, 30); i < sizeof(szBuffer); ++i)
                if (szBuffer[i] != 0)
                    __builtin_trap();  // an earlier datagram showed through
        }
        char szReply[2048];
        while (::recv(m_nSock, szReply, sizeof(szReply), 0) > 0) {
        }
        CProcessMng::m_nProcessExit = 0;
        CProcessMng::m_bUninstall = false;
    }

private:
    int m_nSock;
    sockaddr_in m_local;
    sockaddr_in m_remote;
    CCommandTask m_task;  // never started: only its per-datagram path runs
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CFuzzServer s_server;
    s_server.feed(pData, nSize, true);
    s_server.feed(pData, nSize, false);
    CMsgProcess::hexToString(pData, static_cast<int>(nSize));
    return 0;
}
