// The command server in this process: a CCommandTask on a free port, driven with raw
// datagrams and the client requests from loopback, and its decisions on other senders.
#include "orvexMon.h"
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const int kEveryLine = 1000;  // rejected lines a second: these tests look at each one
const uid_t kNobody = 65534;

class CommandTaskTest : public ::testing::Test {
protected:
    void SetUp() override { CProcessMng::m_nProcessExit = 0; }
    void TearDown() override {
        stopServer();
        CProcessMng::m_nProcessExit = 0;
        CProcessMng::m_bUninstall = false;
    }
    // A server on a free port that answers; it is given bits above the low 16 that must not count.
    void startServer() {
        for (int attempt = 0; attempt < 5 && !m_pTask; ++attempt) {
            m_nPort = freeUdpPort();
            m_pTask.reset(new CCommandTask(m_nPort + 0x10000, kEveryLine));
            m_pTask->open();
            if (!answersEcho(UdpSocket()))
                stopServer();  // the port was taken between the probe and the bind
        }
        ASSERT_TRUE(m_pTask) << "no command server answered";
    }
    // Echo requests from sock until a reply comes from the command port. The server takes
    // datagrams in order, so an answer also means that all sent before it were dealt with.
    bool answersEcho(const UdpSocket& sock) {
        return waitFor(
            [&] {
                std::vector<uint8_t> reply;
                sockaddr_in from;
                bool bSent = sock.sendTo(onWire(1, 1), "127.0.0.1", m_nPort);
                while (bSent && sock.recvFrom(reply, &from, 200))
                    if (reply == onWire(1, 2) && ntohs(from.sin_port) == m_nPort)
                        return true;
                return false;
            },
            5s);
    }
    bool serverEnded() {
        return waitFor([&] { return m_pTask->thr_count() == 0; }, 10s);
    }
    void stopServer() {
        if (!m_pTask)
            return;
        CProcessMng::m_nProcessExit = 1;
        m_client.sendTo({}, "127.0.0.1", m_nPort);  // wakes the loop to see it at once
        EXPECT_TRUE(serverEnded());
        m_pTask->wait();
        m_pTask.reset();
    }

    LogSince m_log{"OrvexMonCmdTaskTest"};
    UdpSocket m_client;
    uint16_t m_nPort = 0;
    std::unique_ptr<CCommandTask> m_pTask;
};

std::vector<uint8_t> head(size_t nCount) {
    std::vector<uint8_t> bytes = onWire(1, 1);
    bytes.resize(nCount);
    return bytes;
}

// process() on a never started task: nothing goes on the network.
int processFrom(const sockaddr_in& sender, const std::vector<uint8_t>& bytes) {
    alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
    memcpy(buffer, bytes.data(), bytes.size());
    return CCommandTask(0, kEveryLine).process(-1, sender, buffer);
}

}  // namespace

// Rows: the datagram, the reply it gets (none: none), the log line it leaves. Each is
// followed by an echo from another socket: the server takes datagrams in order.
TEST_F(CommandTaskTest, EchoesAnsweredOthersDroppedAndTheServerGoesOn) {
    std::vector<uint8_t> badMagic = onWire(1, 1),
                         tooLong = onWire(1, 1, "", "", std::string(971, 'x'));
    badMagic[3] = 0x20;
    tooLong.push_back('y');
    const std::string kErr = " [ERR] ", kDbg = " [DBG] ", kProcess = "[CCommandTask::process] ";
    const std::string kLength = "[CCommandTask::svc] Invalid Message Length(Length = ";
    using Row = std::tuple<std::vector<uint8_t>, std::vector<uint8_t>, std::string, std::string>;
    startServer();
    for (const auto& [bytes, reply, tag, logged] :
         {Row{onWire(1, 1), onWire(1, 2), kDbg, kProcess + "Receive a echo request, reply it."},
          Row{{}, {}, kErr, "[CCommandTask::svc] Fail to read Socket, receive message length <= 0."},
          Row{head(19), {}, kErr, kLength + "19,from 127.0.0.1)."},
          Row{tooLong, {}, kErr, kLength + "1025,from 127.0.0.1)."},
          Row{std::vector<uint8_t>(1500, 0xF7), {}, kErr, kLength + "1112,from 127.0.0.1)."},
          Row{badMagic, {}, kErr, kProcess + "Invalid command ID."},
          Row{onWire(2, 1), {}, kErr, kProcess + "Unknown command type 513."},
          Row{onWire(1, 2), {}, kDbg, kProcess + "Receive a echo reply."},
          // A short datagram never shows the fields of an earlier one (the echo before it).
          Row{head(20), {}, kErr, kProcess + "Unknown command type 0."},
          Row{onWire(1, 1, "\1\2\3\4\5\6", "stale-operator", std::string(971, 'x')), onWire(1, 2),
              kDbg,
              kProcess + "Execute command by ip=16909060,port=1286,operator=stale-operator'"}}) {
        m_log.mark();
        ASSERT_TRUE(m_client.sendTo(bytes, "127.0.0.1", m_nPort));
        std::vector<uint8_t> got;
        sockaddr_in from;
        if (!reply.empty()) {
            ASSERT_TRUE(m_client.recvFrom(got, &from, 5000));
            EXPECT_EQ(std::make_tuple(got, ntohs(from.sin_port), from.sin_addr.s_addr),
                      std::make_tuple(reply, m_nPort, htonl(INADDR_LOOPBACK)));
        }
        ASSERT_TRUE(answersEcho(UdpSocket()));
        EXPECT_FALSE(m_client.recvFrom(got, &from, 0)) << "another reply to " << logged;
        EXPECT_TRUE(waitFor([&, &tag = tag,
                             &logged = logged] { return hasLogLine(m_log.text(), tag, logged); },
                            5s))
            << m_log.text();
    }
}

// The client requests keep their socket until the server has looked up its owner.
TEST_F(CommandTaskTest, UninstallSetsItsFlagOnlyAndStopEndsTheServer) {
    startServer();
    EXPECT_EQ(CMsgProcess::uninstall(m_nPort), 0);  // returns once an echo behind it is answered
    EXPECT_TRUE(CProcessMng::m_bUninstall);
    EXPECT_EQ(CProcessMng::m_nProcessExit, 0);
    EXPECT_EQ(CMsgProcess::kill(m_nPort), 0);
    ASSERT_TRUE(serverEnded());
    EXPECT_EQ(CProcessMng::m_nProcessExit, 1);
    EXPECT_TRUE(m_log.shows({"[CCommandTask::process] Receive a uninstall command.\n",
                             "[CCommandTask::process] Receive a stop command.\n",
                             "[CCommandTask::process] Execute command by ip=0,port=0,operator='\n",
                             "[CCommandTask::svc] End Command Task successfully.\n"}))
        << m_log.text();
    EXPECT_TRUE(hasLogLine(m_log.text(), " [DBG] ", "[CCommandTask::loop] Command Task Quit."));
    EXPECT_TRUE(hasLogLine(m_log.text(), " [DBG] ",
                           "[CMsgProcess::kill] The daemon took the stop command."));
    EXPECT_EQ(m_log.text().find("No word"), std::string::npos) << m_log.text();
    EXPECT_TRUE(UdpSocket("0.0.0.0", m_nPort).valid()) << "the command port is still bound";
}

TEST_F(CommandTaskTest, TakenPortEndsTheTask) {
    UdpSocket holder("0.0.0.0");
    EXPECT_EQ(CCommandTask(holder.port()).svc(), -1);
    EXPECT_TRUE(hasLogLine(
        m_log.text(), " [ERR] ",
        "[CCommandTask::svc] Fail to bind Socket with Port for Command Task.Command Task Quit abnormally"));
}

TEST_F(CommandTaskTest, StopAndUninstallOnlyFromSocketsOfRootHere) {
    const struct {
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
    for (const auto& c : cases) {
        std::unique_ptr<UdpSocket> pSender, pBeside;
        if (*c.bound != '\0')
            pSender = UdpSocket::ownedBy(c.owner, c.bound, 0, c.bNobodyBeside);
        if (c.bNobodyBeside)
            pBeside = UdpSocket::ownedBy(kNobody, "0.0.0.0", pSender->port(), true);
        ASSERT_TRUE((!pSender || pSender->valid()) && (!pBeside || pBeside->valid()));
        const uint16_t nPort = pSender ? pSender->port() : freeUdpPort();
        for (const std::string command : {"stop", "uninstall"}) {
            SCOPED_TRACE(std::string(c.bound) + " " + std::to_string(c.owner) + " " + c.sender +
                         " " + command);
            CProcessMng::m_nProcessExit = 0;
            CProcessMng::m_bUninstall = false;
            m_log.mark();
            const bool bStop = command == "stop";
            EXPECT_EQ(processFrom(makeAddr(c.sender, nPort), bStop ? onWire(2, 2) : onWire(3, 1)),
                      c.refusal ? -1 : 0);
            EXPECT_EQ(CProcessMng::m_nProcessExit, bStop && !c.refusal ? 1 : 0);
            EXPECT_EQ(CProcessMng::m_bUninstall, !bStop && !c.refusal);
            const std::string port =
                c.refusal && *c.refusal != '.' ? ":" + std::to_string(nPort) : "";
            EXPECT_EQ(hasLogLine(m_log.text(), " [ERR] ",
                                 "[CCommandTask::process] Refuse " + command + " command from " +
                                     c.sender + port + (c.refusal ? c.refusal : "")),
                      c.refusal != nullptr)
                << m_log.text();
        }
    }
    // Forged sources get no echo reply: it would fail (a line per datagram) or reach many hosts.
    for (const auto& [pszAddr, nPort] : {std::pair<const char*, uint16_t>{"10.1.2.3", 0},
                                         {"0.0.0.0", 7},
                                         {"224.0.0.1", 7},
                                         {"255.255.255.255", 7}}) {
        EXPECT_EQ(processFrom(makeAddr(pszAddr, nPort), onWire(1, 1)), -1) << pszAddr;
        EXPECT_TRUE(hasLogLine(m_log.text(), " [ERR] ",
                               "[CCommandTask::process] Refuse echo request from " +
                                   std::string(pszAddr) + ":" + std::to_string(nPort) + "."))
            << pszAddr;
    }
}

TEST(LogLimiterTest, AFewLinesASecondThenHowManyWereLeftOut) {
    enum Call { kAdmit, kTake };
    const struct {
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
    for (const auto& step : steps) {
        const auto now = start + std::chrono::milliseconds(step.nMs);
        const int nGot = step.call == kAdmit ? limiter.admit(now) : limiter.takeLeftOut(now);
        EXPECT_EQ(nGot, step.nWant) << "at " << step.nMs << " ms";
    }
}
