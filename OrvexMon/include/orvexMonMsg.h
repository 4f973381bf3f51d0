// Command channel: the fixed-layout UDP command message (CMsgProcess), the client requests
// that send it to 127.0.0.1 at the command port, and the server task (CCommandTask) that
// answers them in one thread of its own.
#ifndef ORVEXMON_MSG_H
#define ORVEXMON_MSG_H

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>
#include <ace/SString.h>
#include <ace/Task.h>

#include <netinet/in.h>
#include <stdint.h>

#include <chrono>

// ---- Commands: type in the high byte, code in the low byte ----

constexpr uint32_t CMD_MAGIC = 0xF7103D21;
constexpr uint16_t CMD_ECHO_REQUEST = 0x0101;
constexpr uint16_t CMD_ECHO_REPLY = 0x0102;
constexpr uint16_t CMD_RESTART = 0x0201;  ///< Sent by restart(); the server rejects it.
constexpr uint16_t CMD_STOP = 0x0202;
constexpr uint16_t CMD_UNINSTALL = 0x0301;

// ---- The message ----

// The 1024-byte wire record, exactly as it travels: multi-byte fields big-endian on the
// wire, host order while m_nConverted is 0. A plain struct so that its offsets can be
// checked at compile time; CMsgProcess begins with it, so a CMsgProcess's first 1024
// bytes are the record.
struct CCmdRecord {
    uint32_t m_nMagic;
    uint16_t m_nLength;  ///< Bytes sent from offset 0: 53 + text length, at most 1024.
    char m_szReserved[16];
    char m_cType;
    char m_cCode;
    uint32_t m_nIp;
    uint16_t m_nPort;
    char m_szOperator[22];  ///< At most 21 characters and a NUL.
    char m_szData[972];     ///< At most 971 characters; byte 1023 of the record is always 0.
};

// One command message and the client side of the channel. Each object and its socket
// belong to one thread at a time; the destructor closes the socket.
class CMsgProcess : public CCmdRecord {
public:
    /// Builds the record in host order. pszOperator and pszText may be null; longer ones
    /// are cut to 21 and 971 characters.
    CMsgProcess(uint16_t nCommand, uint32_t nIp, uint16_t nPort, const char* pszOperator,
                const char* pszText);
    ~CMsgProcess();
    CMsgProcess(const CMsgProcess&) = delete;
    CMsgProcess& operator=(const CMsgProcess&) = delete;

    static int typeOfCmd(uint16_t nCommand);  ///< High byte as a signed 8-bit value.
    static int codeOfCmd(uint16_t nCommand);  ///< Low byte as a signed 8-bit value.
    /// type * 256 + code (code signed), kept to 16 bits: 0..65535.
    int command() const;

    void hostToNet();  ///< No-op when already in network order.
    void netToHost();  ///< No-op when already in host order.

    /// Converts a received network-order datagram to host order in place and returns the
    /// buffer as a message; null for a null buffer. pszBuffer must hold a whole CMsgProcess
    /// (sizeof bytes, aligned as one) since m_nConverted follows the record. No object is
    /// constructed: never destroy the result nor touch its socket or peer address.
    static CMsgProcess* parse(char* pszBuffer);

    /// "Data length: N\n" then the bytes as "%02X", 16 to a line, and a final "\n";
    /// at most 1024 bytes are dumped. "" for null bytes.
    static ACE_CString hexToString(const unsigned char* pBytes, int nCount);

    // ---- Client: each request goes to 127.0.0.1 at the low 16 bits of nPort ----

    /// Sends the record (network order afterwards) on the object's socket, opened on the
    /// first call. 0 / -1.
    int send(int nPort);
    /// Sends the record on a socket the caller owns (the server's). 0 / -1.
    int send(int nSock, const sockaddr_in& addr);
    /// One datagram of at most 1024 bytes on the object's socket, waiting nTimeout seconds.
    /// Bytes received when they begin with the magic (left in network order), else -1.
    int recv(char* pszBuffer, int nTimeout);

    /// 0 when a daemon answered an echo request within 3 seconds, else -1.
    static int echo(int nPort);
    /// Send CMD_STOP, CMD_RESTART, CMD_UNINSTALL; the send's result. Stop and uninstall
    /// then keep their socket until the daemon has dealt with the command (its port closed,
    /// or an echo answered behind it), 3 seconds at most, and log what became of it.
    static int kill(int nPort);
    static int restart(int nPort);
    static int uninstall(int nPort);

    ACE_INET_Addr m_addrPeer;  ///< Sender of the last datagram that recv received.
    int m_nConverted;          ///< 0 = host order, 1 = network order.

private:
    enum class Outcome { kPortClosed, kAnswered, kNoWord };
    static int request(uint16_t nCommand, int nPort);
    Outcome awaitOutcome(int nPort);  ///< What the daemon did with the command just sent.
    const unsigned char* recordBytes() const;
    int sendLength() const;  ///< m_nLength in host order, whatever the conversion state.

    ACE_SOCK_Dgram m_sock;  // invalid until the first send(port); close-on-exec
};

// ---- The server ----

// Bounds the log lines that a stream of bad datagrams costs: at most nLinesPerSecond in
// any one second, then one line with the count of those left out. No clock of its own.
class CLogLimiter {
public:
    using Clock = std::chrono::steady_clock;
    explicit CLogLimiter(int nLinesPerSecond) : m_nLinesPerSecond(nLinesPerSecond) {}
    /// True when a line may be written at now; otherwise counts it as left out.
    bool admit(Clock::time_point now);
    /// The lines left out in a second that has ended by now, once; 0 otherwise.
    int takeLeftOut(Clock::time_point now);

private:
    int m_nLinesPerSecond;
    bool m_bStarted = false;
    Clock::time_point m_secondStart;  // of the second the latest lines count against
    int m_nInSecond = 0;
    int m_nLeftOut = 0;     // in that second
    int m_nLeftOutDue = 0;  // in seconds that have ended, not reported yet
};

// The daemon's command server: one thread (under the ACE_Thread_Manager singleton) that
// owns a UDP socket on all IPv4 interfaces at the command port, answers echo requests from
// anyone and turns a stop command from a socket of root on this machine into
// CProcessMng::m_nProcessExit = 1.
class CCommandTask : public ACE_Task<ACE_MT_SYNCH, ACE_System_Time_Policy> {
public:
    static constexpr int kPortFromConfig = -1;
    static constexpr int kRejectLinesPerSecond = 5;
    /// nPort: the port to bind (low 16 bits used); by default the configuration's
    /// m_nCommandPort, read by the server thread. Tests pass a free port. Lines about
    /// rejected datagrams are limited to nRejectLinesPerSecond.
    explicit CCommandTask(int nPort = kPortFromConfig,
                          int nRejectLinesPerSecond = kRejectLinesPerSecond);
    ~CCommandTask() override;

    int open(void* pArg = nullptr) override;  ///< Starts the server thread; always 0.
    int close(u_long nFlags = 0) override;    ///< Thread-exit hook; always 0.
    /// Body of the server thread: 0 after a stop, -1 when the socket could not be made
    /// or bound.
    int svc() override;

    int loop();  ///< 1 = go on; 0 once m_nProcessExit is 1.
    /// Everything the server does with one recvfrom result: the length test (20 to 1024
    /// bytes), zeroing the buffer beyond nLen, then process. pszBuffer holds a whole
    /// CMsgProcess (see parse). Replies, if any, go out on nSock (-1: none can be sent).
    int handleDatagram(int nSock, const sockaddr_in& sender, char* pszBuffer, int nLen);
    /// Validates and dispatches one message, converting pszBuffer in place. Stop and
    /// uninstall are carried out only from a socket of root on this machine. 0 = done,
    /// -1 = rejected.
    int process(int nSock, const sockaddr_in& sender, char* pszBuffer);

private:
    bool fromRootHere(const sockaddr_in& sender, const char* pszCommand);
    bool mayLogReject();  ///< Asks the limiter, after reporting what it left out.
    void reportLeftOut(CLogLimiter::Clock::time_point now);

    int m_nPort;              // kPortFromConfig or the port given
    CLogLimiter m_rejectLog;  // used by the server thread only
};

#endif
