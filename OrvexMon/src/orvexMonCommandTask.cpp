#include "orvexMon.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"

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

int commandPort(int nPort) {
    if (nPort != CCommandTask::kPortFromConfig)
        return nPort;
    return ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance()->m_nCommandPort;
}

}  // namespace

CCommandTask::CCommandTask(int nPort)
    : ACE_Task<ACE_MT_SYNCH, ACE_System_Time_Policy>(nullptr, nullptr), m_nPort(nPort) {}

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
        if (::select(sock.get() + 1, &readSet, nullptr, nullptr, &timeout) <= 0 ||
            !FD_ISSET(sock.get(), &readSet))
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

int CCommandTask::handleDatagram(int nSock, const sockaddr_in& sender, char* pszBuffer, int nLen) {
    if (nLen <= 0) {
        logX(1, "[CCommandTask::svc] Fail to read Socket, receive message length <= 0.");
        return -1;
    }
    if (nLen < kMinDatagram || nLen > kMaxDatagram) {
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
        logX(1, "[CCommandTask::process] Invalid command ID.");
        return -1;
    }
    switch (pMsg->command()) {
        case CMD_ECHO_REQUEST: {
            logX(4, "[CCommandTask::process] Receive a echo request, reply it.");
            CMsgProcess reply(CMD_ECHO_REPLY, 0, 0, nullptr, nullptr);
            reply.send(nSock, sender);  // a failure is logged by send; the loop goes on
            break;
        }
        case CMD_ECHO_REPLY:
            logX(4, "[CCommandTask::process] Receive a echo reply.");
            break;
        case CMD_STOP:
            logX(4, "[CCommandTask::process] Receive a stop command.");
            // The port listens on every interface; only this machine may stop us.
            if (!isLoopback(sender)) {
                logX(1, "[CCommandTask::process] Refuse stop command from %s.",
                     CAddrText(sender).m_szText);
                return -1;
            }
            CProcessMng::m_nProcessExit = 1;
            break;
        case CMD_UNINSTALL:
            logX(4, "[CCommandTask::process] Receive a uninstall command.");
            if (!isLoopback(sender)) {
                logX(1, "[CCommandTask::process] Refuse uninstall command from %s.",
                     CAddrText(sender).m_szText);
                return -1;
            }
            CProcessMng::m_bUninstall = true;
            break;
        default:
            logX(1, "[CCommandTask::process] Unknown command type %d.", pMsg->command());
            return -1;
    }
    logX(4, "[CCommandTask::process] Execute command by ip=%u,port=%u,operator=%.*s'",
         static_cast<unsigned>(pMsg->m_nIp), static_cast<unsigned>(pMsg->m_nPort),
         static_cast<int>(sizeof(pMsg->m_szOperator)), pMsg->m_szOperator);
    return 0;
}
