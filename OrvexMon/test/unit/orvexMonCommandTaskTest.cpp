// The command server in this process: a CCommandTask on a free port, driven with raw
// datagrams from loopback, and its decisions on senders of other users and other hosts.
#include "orvexMon.h"
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string& logDir() {
    return ensureTestLog("OrvexMonCmdTaskTest");
}

const int kEveryLine = 1000;  // rejected lines a second: these tests look at each one
const uid_t kNobody = 65534;

std::vector<uint8_t> wire(uint16_t nCommand, uint32_t nIp = 0, uint16_t nPort = 0,
                          const char* pszOperator = nullptr, const char* pszText = nullptr) {
    CMsgProcess msg(nCommand, nIp, nPort, pszOperator, pszText);
    const size_t nLength = msg.m_nLength;
    msg.hostToNet();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&msg);
    return std::vector<uint8_t>(p, p + nLength);
}

std::vector<uint8_t> prefix(std::vector<uint8_t> bytes, size_t nCount) {
    bytes.resize(nCount);
    return bytes;
}

// Written by hand so that the server is not checked against the code that built it.
const std::vector<uint8_t> kEchoRequest = {0xF7, 0x10, 0x3D, 0x21, 0x00, 0x35, 0, 0, 0, 0, 0,
                                           0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,
                                           0x01, 0x01, 0,    0,    0,    0,    0, 0, 0, 0, 0,
                                           0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0,
                                           0,    0,    0,    0,    0,    0,    0, 0, 0};
const std::vector<uint8_t> kEchoReply = [] {
    std::vector<uint8_t> v = kEchoRequest;
    v[23] = 0x02;
    return v;
}();

// One echo request at a time from sock until a reply comes from ip:nPort or the time is up.
// A late reply may follow the one that counted: use a fresh socket where that matters.
bool answersEcho(const UdpSocket& sock, const char* pszIp, uint16_t nPort,
                 std::chrono::milliseconds timeout) {
    return waitFor(
        [&] {
            if (!sock.sendTo(kEchoRequest, pszIp, nPort))
                return false;
            std::vector<uint8_t> data;
            sockaddr_in from;
            while (sock.recvFrom(data, &from, 200)) {
                if (data == kEchoReply && ntohs(from.sin_port) == nPort && addrText(from) == pszIp)
                    return true;
            }
            return false;
        },
        timeout);
}

class CommandTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        logDir();
        utl_SetLogLevel(4);
        CProcessMng::m_nProcessExit = 0;
        CProcessMng::m_bUninstall = false;
        m_nMark = logText(logDir()).size();
    }
    void TearDown() override {
        stopServer();
        CProcessMng::m_nProcessExit = 0;
        CProcessMng::m_bUninstall = false;
    }
    std::string newLog() const { return logText(logDir()).substr(m_nMark); }
    // The server logs its execute line after the reply is out, so a reply comes first.
    bool logShows(const std::vector<std::string>& needles) const {
        return waitFor([&] { return containsInOrder(newLog(), needles); }, 5s);
    }

    // A server on a free loopback port that answers; nPortAbove is added to the port given.
    void startServer(int nPortAbove = 0) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            m_nPort = freeUdpPort();
            m_pTask.reset(new CCommandTask(m_nPort + nPortAbove, kEveryLine));
            m_pTask->open();
            UdpSocket probe;
            if (answersEcho(probe, "127.0.0.1", m_nPort, 5s))
                return;
            stopServer();  // the port was taken between the probe and the bind
        }
        FAIL() << "no command server answered";
    }
    bool serverEnded(std::chrono::milliseconds timeout = 5s) {
        return waitFor([&] { return m_pTask->thr_count() == 0; }, timeout);
    }
    void stopServer() {
        if (!m_pTask)
            return;
        CProcessMng::m_nProcessExit = 1;  // the loop sees it within its one-second wait
        m_client.sendTo("", 0, "127.0.0.1", m_nPort);  // or at once, woken by a datagram
        EXPECT_TRUE(serverEnded(10s));
        m_pTask->wait();
        m_pTask.reset();
    }
    // Sends bytes from m_client and then proves, with an echo from another socket, that the
    // server has dealt with them: it takes datagrams in the order they came.
    void sendAndSync(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(m_client.sendTo(bytes, "127.0.0.1", m_nPort));
        UdpSocket sync;
        ASSERT_TRUE(answersEcho(sync, "127.0.0.1", m_nPort, 5s));
    }

    UdpSocket m_client;
    uint16_t m_nPort = 0;
    std::unique_ptr<CCommandTask> m_pTask;
    size_t m_nMark = 0;
};

}  // namespace

TEST_F(CommandTaskTest, EchoRequestGetsOneReplyFromTheCommandPort) {
    startServer();
    UdpSocket requester, other;
    ASSERT_TRUE(requester.sendTo(kEchoRequest, "127.0.0.1", m_nPort));
    std::vector<uint8_t> reply;
    sockaddr_in from;
    ASSERT_TRUE(requester.recvFrom(reply, &from, 5000));
    EXPECT_EQ(reply, kEchoReply);
    EXPECT_EQ(ntohs(from.sin_port), m_nPort);
    EXPECT_EQ(addrText(from), "127.0.0.1");

    // The server works in order: once other is answered, a second reply would be queued.
    ASSERT_TRUE(answersEcho(other, "127.0.0.1", m_nPort, 5s));
    EXPECT_FALSE(requester.recvFrom(reply, &from, 0)) << "more than one reply";
    EXPECT_TRUE(logShows({"[CCommandTask::process] Receive a echo request, reply it.\n",
                          "[CCommandTask::process] Execute command by ip=0,port=0,operator='\n"}));
}

TEST_F(CommandTaskTest, DroppedDatagramsGetNoReplyAndTheServerGoesOn) {
    std::vector<uint8_t> badMagic = kEchoRequest;
    badMagic[3] = 0x20;
    std::vector<uint8_t> tooLong =
        wire(CMD_ECHO_REQUEST, 0, 0, nullptr, std::string(971, 'x').c_str());
    tooLong.push_back('y');
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string tag;
        std::string logged;
    } cases[] = {
        {"empty",
         {},
         " [ERR] ",
         "[CCommandTask::svc] Fail to read Socket, receive message length <= 0."},
        {"19 bytes", prefix(kEchoRequest, 19), " [ERR] ",
         "[CCommandTask::svc] Invalid Message Length(Length = 19,from 127.0.0.1)."},
        {"1025 bytes", tooLong, " [ERR] ",
         "[CCommandTask::svc] Invalid Message Length(Length = 1025,from 127.0.0.1)."},
        {"1500 bytes, read as much as the buffer holds", std::vector<uint8_t>(1500, 0xF7),
         " [ERR] ", "[CCommandTask::svc] Invalid Message Length(Length = 1112,from 127.0.0.1)."},
        {"bad magic", badMagic, " [ERR] ", "[CCommandTask::process] Invalid command ID."},
        {"restart", wire(CMD_RESTART), " [ERR] ",
         "[CCommandTask::process] Unknown command type 513."},
        {"echo reply", kEchoReply, " [DBG] ", "[CCommandTask::process] Receive a echo reply."},
        {"20 bytes: type and code beyond the end read as 0", prefix(kEchoRequest, 20), " [ERR] ",
         "[CCommandTask::process] Unknown command type 0."},
    };
    startServer();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t nMark = newLog().size();
        sendAndSync(c.bytes);
        std::vector<uint8_t> extra;
        EXPECT_FALSE(m_client.recvFrom(extra, nullptr, 0)) << "a reply to a dropped datagram";
        EXPECT_TRUE(hasLogLine(newLog().substr(nMark), c.tag, c.logged)) << newLog().substr(nMark);
    }
    EXPECT_EQ(CProcessMng::m_nProcessExit, 0);
}

TEST_F(CommandTaskTest, ShortDatagramNeverShowsAnEarlierMessage) {
    startServer();
    // Nothing else may reach the server in between: any datagram would overwrite the fields.
    const std::vector<uint8_t> longest = wire(CMD_ECHO_REQUEST, 0x01020304, 0x0506,
                                              "stale-operator", std::string(2000, 'x').c_str());
    ASSERT_EQ(longest.size(), 1024u);
    ASSERT_TRUE(m_client.sendTo(longest, "127.0.0.1", m_nPort));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(m_client.recvFrom(reply, nullptr, 5000));
    EXPECT_EQ(reply, kEchoReply) << "the longest datagram is answered";
    // Type and code but no ip, port or operator: they must read as zero, not as the above.
    ASSERT_TRUE(m_client.sendTo(prefix(kEchoRequest, 24), "127.0.0.1", m_nPort));
    ASSERT_TRUE(m_client.recvFrom(reply, nullptr, 5000));
    EXPECT_EQ(reply, kEchoReply);
    EXPECT_TRUE(logShows(
        {"[CCommandTask::process] Execute command by ip=16909060,port=1286,operator=stale-operator'\n",
         "[CCommandTask::process] Execute command by ip=0,port=0,operator='\n"}))
        << newLog();
}

TEST_F(CommandTaskTest, StopCommandEndsTheServer) {
    startServer();
    EXPECT_EQ(CMsgProcess::kill(m_nPort), 0);
    ASSERT_TRUE(serverEnded());
    EXPECT_EQ(CProcessMng::m_nProcessExit, 1);
    EXPECT_TRUE(
        containsInOrder(newLog(),
                        {"[CCommandTask::process] Receive a stop command.\n",
                         "[CCommandTask::process] Execute command by ip=0,port=0,operator='\n",
                         "[CCommandTask::loop] Command Task Quit.\n",
                         "[CCommandTask::svc] End Command Task successfully.\n"}))
        << newLog();
    EXPECT_TRUE(hasLogLine(newLog(), " [DBG] ", "[CCommandTask::loop] Command Task Quit."));
    UdpSocket rebind("0.0.0.0", m_nPort);
    EXPECT_TRUE(rebind.valid()) << "the command port is still bound";
}

TEST_F(CommandTaskTest, UninstallFromLoopbackSetsItsFlagOnly) {
    startServer();
    EXPECT_EQ(CMsgProcess::uninstall(m_nPort), 0);
    UdpSocket sync;
    ASSERT_TRUE(answersEcho(sync, "127.0.0.1", m_nPort, 5s));
    EXPECT_TRUE(CProcessMng::m_bUninstall);
    EXPECT_EQ(CProcessMng::m_nProcessExit, 0);
    EXPECT_NE(newLog().find("[CCommandTask::process] Receive a uninstall command.\n"),
              std::string::npos);
}

TEST_F(CommandTaskTest, OnlyTheLow16BitsOfThePortCount) {
    startServer(0x10000);  // answers on m_nPort, or startServer fails
}

TEST_F(CommandTaskTest, ServerSocketIsCloseOnExec) {
    startServer();
    int nFound = 0;
    for (int fd : socketFds()) {
        if (boundPort(fd) != m_nPort)
            continue;
        ++nFound;
        EXPECT_TRUE(isCloseOnExec(fd));
    }
    EXPECT_EQ(nFound, 1);
}

TEST_F(CommandTaskTest, TakenPortEndsTheTask) {
    UdpSocket holder("0.0.0.0", 0);
    ASSERT_TRUE(holder.valid());
    CCommandTask task(holder.port());
    EXPECT_EQ(task.svc(), -1);
    EXPECT_TRUE(hasLogLine(
        newLog(), " [ERR] ",
        "[CCommandTask::svc] Fail to bind Socket with Port for Command Task.Command Task Quit abnormally"));
}

TEST_F(CommandTaskTest, StopAndUninstallOnlyFromSocketsOfRootHere) {
    struct Case {
        const char* bound;  // the sender's socket; "" for none (gone, or another host)
        uid_t owner;
        bool bNobodyBeside;   // a socket of nobody on 0.0.0.0 at its port (both SO_REUSEADDR)
        const char* sender;   // as the server sees it
        const char* refusal;  // how the refusal line ends; null when carried out
    } cases[] = {
        {"127.0.0.1", 0, false, "127.0.0.1", nullptr},
        {"0.0.0.0", 0, false, "127.0.0.1", nullptr},
        {"127.1.2.3", 0, false, "127.1.2.3", nullptr},
        {"0.0.0.0", kNobody, false, "127.0.0.1", ", a socket of uid 65534."},
        {"127.0.0.1", kNobody, false, "127.0.0.1", ", a socket of uid 65534."},
        {"127.0.0.1", 0, true, "127.0.0.1", ", a socket of unknown owner."},
        {"", 0, false, "127.0.0.1", ", a socket of unknown owner."},
        {"", 0, false, "169.254.77.2", "."},
        {"", 0, false, "10.20.30.40", "."},
        {"", 0, false, "128.0.0.1", "."},
    };
    for (const Case& c : cases) {
        std::unique_ptr<UdpSocket> pSender, pBeside;
        if (*c.bound != '\0')
            pSender = UdpSocket::ownedBy(c.owner, c.bound, 0, c.bNobodyBeside);
        if (c.bNobodyBeside)
            pBeside = UdpSocket::ownedBy(kNobody, "0.0.0.0", pSender->port(), true);
        ASSERT_TRUE((!pSender || pSender->valid()) && (!pBeside || pBeside->valid()));
        const uint16_t nPort = pSender ? pSender->port() : freeUdpPort();
        for (uint16_t nCommand : {CMD_STOP, CMD_UNINSTALL}) {
            const std::string command = nCommand == CMD_STOP ? "stop" : "uninstall";
            SCOPED_TRACE(std::string(c.bound) + " " + std::to_string(c.owner) + " " + c.sender +
                         " " + command);
            CProcessMng::m_nProcessExit = 0;
            CProcessMng::m_bUninstall = false;
            const size_t nMark = newLog().size();
            CCommandTask task(0, kEveryLine);  // never started: nothing goes on the network
            alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
            const std::vector<uint8_t> bytes = wire(nCommand);
            memcpy(buffer, bytes.data(), bytes.size());
            const int nResult = task.process(-1, makeAddr(c.sender, nPort), buffer);
            const std::string log = newLog().substr(nMark);
            if (c.refusal == nullptr) {
                EXPECT_EQ(nResult, 0);
                EXPECT_EQ(log.find("Refuse"), std::string::npos) << log;
            } else {
                const std::string port = *c.refusal == '.' ? "" : ":" + std::to_string(nPort);
                EXPECT_EQ(nResult, -1);
                EXPECT_TRUE(hasLogLine(log, " [ERR] ",
                                       "[CCommandTask::process] Refuse " + command +
                                           " command from " + c.sender + port + c.refusal))
                    << log;
                EXPECT_EQ(log.find("Execute command"), std::string::npos);
            }
            EXPECT_EQ(CProcessMng::m_nProcessExit, nCommand == CMD_STOP && !c.refusal ? 1 : 0);
            EXPECT_EQ(CProcessMng::m_bUninstall, nCommand == CMD_UNINSTALL && !c.refusal);
        }
    }
    CCommandTask task(0);
    EXPECT_EQ(task.process(-1, makeAddr("127.0.0.1", 1), nullptr), -1);
    EXPECT_NE(newLog().find("[CCommandTask::process] Invalid input parameters.\n"),
              std::string::npos);
}

// Forged sources get no reply: it would fail (a line per datagram) or reach many hosts.
TEST_F(CommandTaskTest, EchoFromAnUnanswerableSourceIsRefused) {
    CCommandTask task(0, kEveryLine);
    for (const auto& [pszAddr, nPort] : {std::pair<const char*, uint16_t>{"10.1.2.3", 0},
                                         {"0.0.0.0", 7},
                                         {"224.0.0.1", 7},
                                         {"255.255.255.255", 7}}) {
        alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
        const std::vector<uint8_t> bytes = wire(CMD_ECHO_REQUEST);
        memcpy(buffer, bytes.data(), bytes.size());
        EXPECT_EQ(task.process(-1, makeAddr(pszAddr, nPort), buffer), -1) << pszAddr;
        EXPECT_TRUE(hasLogLine(newLog(), " [ERR] ",
                               "[CCommandTask::process] Refuse echo request from " +
                                   std::string(pszAddr) + ":" + std::to_string(nPort) + "."))
            << pszAddr;
    }
}

TEST(LogLimiterTest, AFewLinesASecondThenHowManyWereLeftOut) {
    enum Call { kAdmit, kTake };
    struct Step {
        int nMs;
        Call call;
        int nWant;  // admit: 1 = written, 0 = left out; take: the count reported
    } steps[] = {
        {0, kAdmit, 1},    {1, kAdmit, 1},    {2, kAdmit, 1},    {3, kAdmit, 1},
        {4, kAdmit, 1},    {5, kAdmit, 0},    {6, kAdmit, 0},    {500, kTake, 0},  // not yet
        {999, kAdmit, 0},  {1000, kTake, 3},  {1000, kTake, 0},                    // once
        {1000, kAdmit, 1}, {1999, kAdmit, 1}, {2000, kTake, 0},                    // none left out
        {9000, kAdmit, 1}, {9001, kAdmit, 1}, {9002, kAdmit, 1}, {9003, kAdmit, 1},
        {9004, kAdmit, 1}, {9005, kAdmit, 0}, {9999, kTake, 0},  {10000, kAdmit, 1},
        {10000, kTake, 1},  // the new second's first line may come before the count
    };
    CLogLimiter limiter(5);
    const CLogLimiter::Clock::time_point start{std::chrono::hours(1)};
    for (const Step& step : steps) {
        const auto now = start + std::chrono::milliseconds(step.nMs);
        const int nGot = step.call == kAdmit ? limiter.admit(now) : limiter.takeLeftOut(now);
        EXPECT_EQ(nGot, step.nWant) << "at " << step.nMs << " ms";
    }
}
