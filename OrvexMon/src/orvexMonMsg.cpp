#include "orvexMonMsg.h"

#include "orvexMonLog.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <type_traits>

// The record is what goes on the wire; a field that moves breaks every peer.
static_assert(offsetof(CCmdRecord, m_nMagic) == 0, "wire offset of m_nMagic");
static_assert(offsetof(CCmdRecord, m_nLength) == 4, "wire offset of m_nLength");
static_assert(offsetof(CCmdRecord, m_szReserved) == 6, "wire offset of m_szReserved");
static_assert(offsetof(CCmdRecord, m_cType) == 22, "wire offset of m_cType");
static_assert(offsetof(CCmdRecord, m_cCode) == 23, "wire offset of m_cCode");
static_assert(offsetof(CCmdRecord, m_nIp) == 24, "wire offset of m_nIp");
static_assert(offsetof(CCmdRecord, m_nPort) == 28, "wire offset of m_nPort");
static_assert(offsetof(CCmdRecord, m_szOperator) == 30, "wire offset of m_szOperator");
static_assert(offsetof(CCmdRecord, m_szData) == 52, "wire offset of m_szData");
static_assert(sizeof(CCmdRecord) == 1024, "the record is 1024 bytes");
// offsetof on CMsgProcess itself is not allowed (ACE_INET_Addr is polymorphic, so the class
// is not standard-layout); the record is its only base, which the ABI puts at offset 0.
static_assert(std::is_standard_layout<CCmdRecord>::value, "offsetof needs standard layout");

namespace {

constexpr int kFixedLength = 53;  // the 52 bytes of the fixed fields and the text's NUL
constexpr int kMaxOperator = static_cast<int>(sizeof(CCmdRecord::m_szOperator)) - 1;
constexpr int kMaxText = static_cast<int>(sizeof(CCmdRecord::m_szData)) - 1;
constexpr int kMaxDatagram = static_cast<int>(sizeof(CCmdRecord));
constexpr int kEchoTimeout = 3;  // seconds
// An echo that reaches the daemon's socket just before it closes is lost without a word;
// the next one meets the closed port. The daemon takes a stop within a millisecond or two,
// so the echoes start close together and spread out to this.
constexpr int kProbeIntervalMaxMs = 50;
const unsigned char kMagicOnWire[4] = {0xF7, 0x10, 0x3D, 0x21};

// The command port would otherwise stay reachable through a service we start by the shell.
void setCloseOnExec(ACE_HANDLE h) {
    if (h != ACE_INVALID_HANDLE)
        ::fcntl(h, F_SETFD, FD_CLOEXEC);
}

}  // namespace

CMsgProcess::CMsgProcess(uint16_t nCommand, uint32_t nIp, uint16_t nPort, const char* pszOperator,
                         const char* pszText)
    : m_nConverted(0) {
    // The whole record, not just the fixed fields: a dump or a peer never sees stale stack.
    memset(static_cast<CCmdRecord*>(this), 0, sizeof(CCmdRecord));
    m_nMagic = CMD_MAGIC;
    m_cType = static_cast<char>(nCommand >> 8);
    m_cCode = static_cast<char>(nCommand & 0xFF);
    m_nIp = nIp;
    m_nPort = nPort;
    if (pszOperator != nullptr)
        memcpy(m_szOperator, pszOperator, strnlen(pszOperator, kMaxOperator));
    size_t nText = 0;
    if (pszText != nullptr) {
        nText = strnlen(pszText, kMaxText);
        memcpy(m_szData, pszText, nText);
    }
    m_nLength = static_cast<uint16_t>(kFixedLength + nText);
}

CMsgProcess::~CMsgProcess() {
    m_sock.close();
}

int CMsgProcess::typeOfCmd(uint16_t nCommand) {
    return static_cast<int8_t>(nCommand >> 8);
}

int CMsgProcess::codeOfCmd(uint16_t nCommand) {
    return static_cast<int8_t>(nCommand & 0xFF);
}

int CMsgProcess::command() const {
    return static_cast<uint16_t>(static_cast<int8_t>(m_cType) * 256 + static_cast<int8_t>(m_cCode));
}

void CMsgProcess::hostToNet() {
    if (m_nConverted != 0)
        return;
    m_nMagic = htonl(m_nMagic);
    m_nLength = htons(m_nLength);
    m_nIp = htonl(m_nIp);
    m_nPort = htons(m_nPort);
    m_nConverted = 1;
}

void CMsgProcess::netToHost() {
    if (m_nConverted != 1)
        return;
    m_nMagic = ntohl(m_nMagic);
    m_nLength = ntohs(m_nLength);
    m_nIp = ntohl(m_nIp);
    m_nPort = ntohs(m_nPort);
    m_nConverted = 0;
}

CMsgProcess* CMsgProcess::parse(char* pszBuffer) {
    if (pszBuffer == nullptr) {
        logX(1, "[CMsgProcess::parse] Invalid input parameters.");
        return nullptr;
    }
    CMsgProcess* pMsg = reinterpret_cast<CMsgProcess*>(pszBuffer);
    pMsg->m_nConverted = 1;
    pMsg->netToHost();
    return pMsg;
}

ACE_CString CMsgProcess::hexToString(const unsigned char* pBytes, int nCount) {
    if (pBytes == nullptr)
        return ACE_CString();
    char szLine[64];
    if (nCount > kMaxDatagram) {
        nCount = kMaxDatagram;
        snprintf(szLine, sizeof(szLine), "Data length too long, now truncate it: %d\n", nCount);
    } else {
        snprintf(szLine, sizeof(szLine), "Data length: %d\n", nCount);
    }
    std::string strText(szLine);
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < nCount; ++i) {
        strText += kHex[pBytes[i] >> 4];
        strText += kHex[pBytes[i] & 0x0F];
        strText += (i + 1) % 16 == 0 ? '\n' : ' ';
    }
    strText += '\n';
    return ACE_CString(strText.c_str(), strText.size());
}

const unsigned char* CMsgProcess::recordBytes() const {
    return reinterpret_cast<const unsigned char*>(static_cast<const CCmdRecord*>(this));
}

int CMsgProcess::sendLength() const {
    return m_nConverted == 0 ? m_nLength : ntohs(m_nLength);
}

int CMsgProcess::send(int nPort) {
    ACE_INET_Addr addrDest(static_cast<u_short>(nPort & 0xFFFF), "127.0.0.1");
    if (m_sock.get_handle() == ACE_INVALID_HANDLE) {
        // An open that fails leaves the handle invalid; the sendto below reports it.
        if (m_sock.open(ACE_INET_Addr(static_cast<u_short>(0)), AF_INET) == 0)
            setCloseOnExec(m_sock.get_handle());
    }
    hostToNet();
    const int nLength = sendLength();
    if (m_sock.send(recordBytes(), nLength, addrDest) < 0) {
        logX(1, "[CMsgProcess::send] Send message by port failed.");
        return -1;
    }
    if (utl_GetLogLevel() >= 4) {
        char szAddr[64] = "";
        addrDest.addr_to_string(szAddr, sizeof(szAddr), 1);
        logX(4, "[CMsgProcess::recv] Send message to host %s: %s.", szAddr,
             hexToString(recordBytes(), nLength).c_str());
    }
    return 0;
}

int CMsgProcess::send(int nSock, const sockaddr_in& addr) {
    if (nSock == -1) {
        logX(1, "[CMsgProcess::send] Socket invalid.");
        return -1;
    }
    hostToNet();
    if (::sendto(nSock, recordBytes(), sendLength(), 0, reinterpret_cast<const sockaddr*>(&addr),
                 sizeof(addr)) < 0) {
        logX(1, "[CMsgProcess::send] Send message failed.");
        return -1;
    }
    return 0;
}

int CMsgProcess::recv(char* pszBuffer, int nTimeout) {
    if (pszBuffer == nullptr) {
        logX(1, "[CMsgProcess::recv] Invalid input parameters.");
        return -1;
    }
    const ACE_Time_Value timeout(nTimeout, 0);
    const ssize_t nRecv = m_sock.recv(pszBuffer, kMaxDatagram, m_addrPeer, 0, &timeout);
    if (nRecv < 0) {
        logX(1, "[CMsgProcess::recv] Receive message failed.");
        return -1;
    }
    const int nLength = static_cast<int>(nRecv);
    if (utl_GetLogLevel() >= 4) {
        char szAddr[64] = "";
        m_addrPeer.addr_to_string(szAddr, sizeof(szAddr), 1);
        logX(4, "[CMsgProcess::recv] Receive message from host %s: %s.", szAddr,
             hexToString(reinterpret_cast<const unsigned char*>(pszBuffer), nLength).c_str());
    }
    // A datagram of under four bytes cannot carry the magic; its tail is not ours to read.
    if (nLength < 4 || memcmp(pszBuffer, kMagicOnWire, sizeof(kMagicOnWire)) != 0) {
        logX(1, "[CMsgProcess::recv] Receive a invalid message.");
        return -1;
    }
    return nLength;
}

int CMsgProcess::echo(int nPort) {
    CMsgProcess request(CMD_ECHO_REQUEST, 0, 0, nullptr, nullptr);
    request.send(nPort);  // a failed send shows as a failed receive
    alignas(CMsgProcess) char szReply[sizeof(CMsgProcess)];
    memset(szReply, 0, sizeof(szReply));
    if (request.recv(szReply, kEchoTimeout) == -1) {
        logX(1, "[CMsgProcess::echo] Receive message failed.");
        return -1;
    }
    if (parse(szReply)->command() != CMD_ECHO_REPLY) {
        logX(1, "[CMsgProcess::echo] Receive message invalid.");
        return -1;
    }
    return 0;
}

int CMsgProcess::request(uint16_t nCommand, int nPort) {
    CMsgProcess msg(nCommand, 0, 0, nullptr, nullptr);
    return msg.send(nPort);
}

// The daemon carries out a stop or an uninstall only after finding our socket among root's,
// so the socket must outlive the daemon's look-up. It reads datagrams in order and none
// after a stop: an echo answered behind the command means it was dealt with and the daemon
// runs on; a refused echo (ICMP port unreachable, seen on a connected socket) means the
// daemon closed its command port, which it does right after taking a stop.
CMsgProcess::Outcome CMsgProcess::awaitOutcome(int nPort) {
    const ACE_HANDLE h = m_sock.get_handle();
    sockaddr_in dest;
    memset(&dest, 0, sizeof(dest));
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dest.sin_port = htons(static_cast<uint16_t>(nPort & 0xFFFF));
    if (::connect(h, reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) != 0)
        return Outcome::kNoWord;
    CMsgProcess probe(CMD_ECHO_REQUEST, 0, 0, nullptr, nullptr);
    probe.hostToNet();
    alignas(CMsgProcess) char szReply[sizeof(CMsgProcess)];
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kEchoTimeout);
    for (int nWaitMs = 1; Clock::now() < deadline;
         nWaitMs = std::min(nWaitMs * 2, kProbeIntervalMaxMs)) {
        if (::send(h, probe.recordBytes(), probe.sendLength(), 0) < 0 && errno == ECONNREFUSED)
            return Outcome::kPortClosed;
        pollfd pfd = {h, POLLIN, 0};
        if (::poll(&pfd, 1, nWaitMs) <= 0)
            continue;
        const ssize_t nRecv = ::recv(h, szReply, kMaxDatagram, 0);
        if (nRecv < 0 && errno == ECONNREFUSED)
            return Outcome::kPortClosed;
        if (nRecv >= kFixedLength && memcmp(szReply, kMagicOnWire, sizeof(kMagicOnWire)) == 0 &&
            parse(szReply)->command() == CMD_ECHO_REPLY)
            return Outcome::kAnswered;
    }
    return Outcome::kNoWord;
}

int CMsgProcess::kill(int nPort) {
    CMsgProcess msg(CMD_STOP, 0, 0, nullptr, nullptr);
    if (msg.send(nPort) != 0)
        return -1;
    switch (msg.awaitOutcome(nPort)) {
        case Outcome::kPortClosed:
            logX(4, "[CMsgProcess::kill] The daemon took the stop command.");
            break;
        case Outcome::kAnswered:
            logX(1, "[CMsgProcess::kill] The daemon did not take the stop command; it runs on.");
            break;
        case Outcome::kNoWord:
            logX(1, "[CMsgProcess::kill] No word from the daemon on the stop command.");
            break;
    }
    return 0;
}

int CMsgProcess::restart(int nPort) {
    return request(CMD_RESTART, nPort);
}

int CMsgProcess::uninstall(int nPort) {
    CMsgProcess msg(CMD_UNINSTALL, 0, 0, nullptr, nullptr);
    if (msg.send(nPort) != 0)
        return -1;
    if (msg.awaitOutcome(nPort) != Outcome::kAnswered)
        logX(1, "[CMsgProcess::uninstall] No word from the daemon on the uninstall command.");
    return 0;
}
