#include "orvexMon.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"
#include "orvexMonProcTable.h"

#include <ace/Singleton.h>
#include <ace/Thread_Mutex.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kMinDatagram = 20;
constexpr int kMaxDatagram = static_cast<int>(sizeof(CCmdRecord));

// Dotted text of the sender; inet_ntoa's static buffer is not ours to share between threads.
struct CAddrText {
    explicit CAddrText(const sockaddr_in& addr) {
        if (::inet_ntop(AF_INET, &addr.sin_addr, m_szText, sizeof(m_szText)) == nullptr)
            strcpy(m_szText, "?");
    }
    char m_szText[INET_ADDRSTRLEN];
};

bool isLoopback(const sockaddr_in& addr) {
    return (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
}

// A forged source (port 0, this network, multicast or broadcast) cannot be answered: the
// reply would fail, one log line per datagram, or go to many hosts at once.
bool isAnswerable(const sockaddr_in& addr) {
    const uint32_t nAddr = ntohl(addr.sin_addr.s_addr);
    return addr.sin_port != 0 && (nAddr >> 24) != 0 && (nAddr >> 28) < 0xE;
}

int commandPort(int nPort) {
    if (nPort != CCommandTask::kPortFromConfig)
        return nPort;
    return ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance()->m_nCommandPort;
}

}  // namespace

bool CLogLimiter::admit(Clock::time_point now) {
    if (!m_bStarted || now - m_secondStart >= std::chrono::seconds(1)) {
        m_bStarted = true;
        m_secondStart = now;
        m_nInSecond = 0;
        m_nLeftOutDue += m_nLeftOut;
        m_nLeftOut = 0;
    }
    if (m_nInSecond < m_nLinesPerSecond) {
        ++m_nInSecond;
        return true;
    }
    ++m_nLeftOut;
    return false;
}

int CLogLimiter::takeLeftOut(Clock::time_point now) {
    if (now - m_secondStart >= std::chrono::seconds(1)) {
        m_nLeftOutDue += m_nLeftOut;
        m_nLeftOut = 0;
    }
    const int nLeftOut = m_nLeftOutDue;
    m_nLeftOutDue = 0;
    return nLeftOut;
}

CCommandTask::CCommandTask(int nPort, int nRejectLinesPerSecond)
    : ACE_Task<ACE_MT_SYNCH, ACE_System_Time_Policy>(nullptr, nullptr),
      m_nPort(nPort),
      m_rejectLog(nRejectLinesPerSecond) {}

CCommandTask::~CCommandTask() = default;

int CCommandTask::open(void* /*pArg*/) {
    if (activate(THR_NEW_LWP, 1) == -1)
        logX(1, "[CCommandTask::open] Fail to start the command thread: %s", strerror(errno));
    return 0;
}

int CCommandTask::close(u_long /*nFlags*/) {
    return 0;
}

int CCommandTask::loop() {
    if (CProcessMng::m_nProcessExit.load() == 1) {
        logX(4, "[CCommandTask::loop] Command Task Quit.");
        return 0;
    }
    return 1;
}

int CCommandTask::svc() {
    logX(4, "[CCommandTask::svc] Command task starts now.");
    CUniqueFd sock(::socket(AF_INET, SOCK_DGRAM, 0));
    // select cannot watch a descriptor past FD_SETSIZE; such a socket is no use to us.
    if (sock.get() < 0 || sock.get() >= FD_SETSIZE) {
        logX(1,
             "[CCommandTask::svc] Fail to Create Socket for Command Thread.Command Task Quit abnormally.");
        return -1;
    }
    // A service we restart through the shell would otherwise inherit this socket and keep
    // the command port bound after we are gone.
    ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);

    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(commandPort(m_nPort) & 0xFFFF));
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        logX(1,
             "[CCommandTask::svc] Fail to bind Socket with Port for Command Task.Command Task Quit abnormally");
        return -1;
    }

    // parse works on a whole CMsgProcess in place, so the buffer is shaped like one.
    alignas(CMsgProcess) char szBuffer[sizeof(CMsgProcess)];
    while (loop() == 1) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(sock.get(), &readSet);
        timeval timeout = {1, 0};  // the longest a stop request waits for the loop test
        const int nReady = ::select(sock.get() + 1, &readSet, nullptr, nullptr, &timeout);
        reportLeftOut(CLogLimiter::Clock::now());  // also once a flood is over
        if (nReady <= 0 || !FD_ISSET(sock.get(), &readSet))
            continue;
        sockaddr_in sender;
        memset(&sender, 0, sizeof(sender));
        socklen_t nSenderLen = sizeof(sender);
        const ssize_t nRecv = ::recvfrom(sock.get(), szBuffer, sizeof(szBuffer), 0,
                                         reinterpret_cast<sockaddr*>(&sender), &nSenderLen);
        handleDatagram(sock.get(), sender, szBuffer, static_cast<int>(nRecv));
    }
    sock.reset();
    logX(4, "[CCommandTask::svc] End Command Task successfully.");
    return 0;
}

void CCommandTask::reportLeftOut(CLogLimiter::Clock::time_point now) {
    const int nLeftOut = m_rejectLog.takeLeftOut(now);
    if (nLeftOut > 0)
        logX(1, "[CCommandTask::svc] %d more rejected datagrams were not logged.", nLeftOut);
}

bool CCommandTask::mayLogReject() {
    const CLogLimiter::Clock::time_point now = CLogLimiter::Clock::now();
    reportLeftOut(now);
    return m_rejectLog.admit(now);
}

// UDP carries no credential, but the kernel knows who owns the socket a datagram from this
// machine left from; the client keeps that socket open until we are done with it.
bool CCommandTask::fromRootHere(const sockaddr_in& sender, const char* pszCommand) {
    // The port listens on every interface; only this machine may stop us.
    if (!isLoopback(sender)) {
        if (mayLogReject())
            logX(1, "[CCommandTask::process] Refuse %s command from %s.", pszCommand,
                 CAddrText(sender).m_szText);
        return false;
    }
    uid_t nUid = 0;
    const bool bKnown = udpSocketOwner(sender, nUid);
    if (bKnown && nUid == 0)
        return true;
    if (!mayLogReject())
        return false;
    if (bKnown)
        logX(1, "[CCommandTask::process] Refuse %s command from %s:%u, a socket of uid %u.",
             pszCommand, CAddrText(sender).m_szText, ntohs(sender.sin_port),
             static_cast<unsigned>(nUid));
    else
        logX(1, "[CCommandTask::process] Refuse %s command from %s:%u, a socket of unknown owner.",
             pszCommand, CAddrText(sender).m_szText, ntohs(sender.sin_port));
    return false;
}

int CCommandTask::handleDatagram(int nSock, const sockaddr_in& sender, char* pszBuffer, int nLen) {
    if (nLen <= 0) {
        if (mayLogReject())
            logX(1, "[CCommandTask::svc] Fail to read Socket, receive message length <= 0.");
        return -1;
    }
    if (nLen < kMinDatagram || nLen > kMaxDatagram) {
        if (mayLogReject())
            logX(1, "[CCommandTask::svc] Invalid Message Length(Length = %d,from %s).", nLen,
                 CAddrText(sender).m_szText);
        return -1;
    }
    // A short datagram must not show the fields of an earlier, longer one.
    memset(pszBuffer + nLen, 0, sizeof(CMsgProcess) - static_cast<size_t>(nLen));
    return process(nSock, sender, pszBuffer);
}

int CCommandTask::process(int nSock, const sockaddr_in& sender, char* pszBuffer) {
    if (pszBuffer == nullptr) {
        logX(1, "[CCommandTask::process] Invalid input parameters.");
        return -1;
    }
    CMsgProcess* pMsg = CMsgProcess::parse(pszBuffer);
    if (pMsg->m_nMagic != CMD_MAGIC) {
        if (mayLogReject())
            logX(1, "[CCommandTask::process] Invalid command ID.");
        return -1;
    }
    switch (pMsg->command()) {
        case CMD_ECHO_REQUEST: {
            if (!isAnswerable(sender)) {
                if (mayLogReject())
                    logX(1, "[CCommandTask::process] Refuse echo request from %s:%u.",
                         CAddrText(sender).m_szText, ntohs(sender.sin_port));
                return -1;
            }
            logX(4, "[CCommandTask::process] Receive a echo request, reply it.");
            CMsgProcess reply(CMD_ECHO_REPLY, 0, 0, nullptr, nullptr);
            reply.send(nSock, sender);  // a failure is logged by send; the loop goes on
            break;
        }
        case CMD_ECHO_REPLY:
            logX(4, "[CCommandTask::process] Receive a echo reply.");
            break;
        case CMD_STOP:
            if (!fromRootHere(sender, "stop"))
                return -1;
            logX(4, "[CCommandTask::process] Receive a stop command.");
            CProcessMng::m_nProcessExit = 1;
            break;
        case CMD_UNINSTALL:
            if (!fromRootHere(sender, "uninstall"))
                return -1;
            logX(4, "[CCommandTask::process] Receive a uninstall command.");
            CProcessMng::m_bUninstall = true;
            break;
        default:
            if (mayLogReject())
                logX(1, "[CCommandTask::process] Unknown command type %d.", pMsg->command());
            return -1;
    }
    logX(4, "[CCommandTask::process] Execute command by ip=%u,port=%u,operator=%.*s'",
         static_cast<unsigned>(pMsg->m_nIp), static_cast<unsigned>(pMsg->m_nPort),
         static_cast<int>(sizeof(pMsg->m_szOperator)), pMsg->m_szOperator);
    return 0;
}
