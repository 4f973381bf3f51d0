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

// Rows: the datagram, the reply it gets (none: none), the log line it leaves. Each is
// followed by an echo from another socket: the server takes datagrams in order.
TEST(CommandTaskTest, EchoesAnsweredOthersDroppedUninstallFlaggedStopEnds) {
    LogSince log("OrvexMonCmdTaskTest");
    UdpSocket client;
    uint16_t nPort = 0;
    // A reply from the command port means that all sent to it before were dealt with.
    auto answersEcho = [&nPort](const UdpSocket& sock) {
        std::vector<uint8_t> reply;
        sockaddr_in from{};
        for (int i = 0; i < 25 && (reply != onWire(1, 2) || ntohs(from.sin_port) != nPort); ++i)
            sock.sendTo(onWire(1, 1), "127.0.0.1", nPort) && sock.recvFrom(reply, &from, 200);
        return reply == onWire(1, 2) && ntohs(from.sin_port) == nPort;
    };
    CProcessMng::m_nProcessExit = 0;
    std::unique_ptr<CCommandTask> pTask;
    for (int nAttempt = 0; nAttempt < 5 && !pTask; ++nAttempt) {
        nPort = freeUdpPort();  // the bits above the low 16 must not count; a line per reject
        pTask = std::make_unique<CCommandTask>(nPort + 0x10000, 1000);
        pTask->open();
        if (!answersEcho(UdpSocket())) {  // the port was taken between the probe and the bind
            CProcessMng::m_nProcessExit = 1;
            pTask->wait();
            pTask.reset();
            CProcessMng::m_nProcessExit = 0;
        }
    }
    ASSERT_TRUE(pTask) << "no command server answered";
    // From here on no ASSERT: the server thread must be stopped before pTask goes.
    EXPECT_EQ(CCommandTask(nPort).svc(), -1);  // a taken port ends the task
    EXPECT_TRUE(hasLogLine(
        log.text(), " [ERR] ",
        "[CCommandTask::svc] Fail to bind Socket with Port for Command Task.Command Task Quit abnormally"));

    const std::vector<uint8_t> echo = onWire(1, 1), head20(echo.begin(), echo.begin() + 20);
    std::vector<uint8_t> badMagic = echo, tooLong = onWire(1, 1, "", "", std::string(971, 'x'));
    badMagic[3] = 0x20;
    tooLong.push_back('y');
    const std::string kErr = " [ERR] ", kDbg = " [DBG] ", kProcess = "[CCommandTask::process] ";
    const std::string kLength = "[CCommandTask::svc] Invalid Message Length(Length = ";
    using Row = std::tuple<std::vector<uint8_t>, std::vector<uint8_t>, std::string, std::string>;
    for (const auto& [bytes, reply, tag, logged] :
         {Row{echo, onWire(1, 2), kDbg, kProcess + "Receive a echo request, reply it."},
          Row{{}, {}, kErr, "[CCommandTask::svc] Fail to read Socket, receive message length <= 0."},
          Row{std::vector<uint8_t>(19), {}, kErr, kLength + "19,from 127.0.0.1)."},
          Row{tooLong, {}, kErr, kLength + "1025,from 127.0.0.1)."},
          Row{std::vector<uint8_t>(1500, 0xF7), {}, kErr, kLength + "1112,from 127.0.0.1)."},
          Row{badMagic, {}, kErr, kProcess + "Invalid command ID."},
          Row{onWire(2, 1), {}, kErr, kProcess + "Unknown command type 513."},
          Row{onWire(1, 2), {}, kDbg, kProcess + "Receive a echo reply."},
          // A short datagram never shows the fields of an earlier one (the echo before it).
          Row{head20, {}, kErr, kProcess + "Unknown command type 0."},
          Row{onWire(1, 1, "\1\2\3\4\5\6", "operator-21-chars-max", std::string(971, 'x')),
              onWire(1, 2), kDbg,
              kProcess +
                  "Execute command by ip=16909060,port=1286,operator=operator-21-chars-max'"}}) {
        log.mark();
        EXPECT_TRUE(client.sendTo(bytes, "127.0.0.1", nPort));
        EXPECT_TRUE(answersEcho(UdpSocket()));
        std::vector<uint8_t> got, more;
        client.recvFrom(got, nullptr, 0);
        EXPECT_EQ(std::make_tuple(got, client.recvFrom(more, nullptr, 0),
                                  hasLogLine(log.text(), tag, logged)),
                  std::make_tuple(reply, false, true))
            << logged << "\n"
            << log.text();
    }

    // The client requests keep their socket until the server has looked up its owner.
    log.mark();
    EXPECT_EQ(CMsgProcess::uninstall(nPort), 0);  // returns once an echo behind it is answered
    EXPECT_EQ(std::make_tuple(CProcessMng::m_bUninstall.load(), CProcessMng::m_nProcessExit.load()),
              std::make_tuple(true, 0));
    EXPECT_EQ(CMsgProcess::kill(nPort), 0);  // returns once the command port is closed
    EXPECT_EQ(CProcessMng::m_nProcessExit.exchange(1), 1);  // 1 in any case: wait must return
    pTask->wait();
    EXPECT_TRUE(log.shows({"[CCommandTask::process] Receive a uninstall command.\n",
                           "[CCommandTask::process] Receive a stop command.\n",
                           "[CCommandTask::process] Execute command by ip=0,port=0,operator='\n",
                           "[CCommandTask::loop] Command Task Quit.\n",
                           "[CMsgProcess::kill] The daemon took the stop command.\n"}) &&
                log.shows({"[CCommandTask::svc] End Command Task successfully.\n"}) &&
                log.text().find("No word") == std::string::npos)
        << log.text();
}

// Rows: the sender's socket (null: gone), its owner, whether a socket of nobody shares its
// port on 0.0.0.0, the sender as the server sees it, how the refusal line ends (null: none).
TEST(CommandTaskTest, StopAndUninstallOnlyFromSocketsOfRootHere) {
    LogSince log("OrvexMonCmdTaskTest");
    const uid_t kNobody = 65534;
    auto process = [](const sockaddr_in& sender, const std::vector<uint8_t>& bytes) {
        alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
        memcpy(buffer, bytes.data(), bytes.size());
        return CCommandTask(0, 1000).process(-1, sender, buffer);  // never started: no replies
    };
    using Row = std::tuple<const char*, uid_t, bool, const char*, const char*>;
    for (const auto& [pszBound, nOwner, bShared, pszSender, pszRefusal] :
         {Row{"127.0.0.1", 0, false, "127.0.0.1", nullptr},
          Row{"0.0.0.0", 0, false, "127.0.0.1", nullptr},
          Row{"127.1.2.3", 0, false, "127.1.2.3", nullptr},
          Row{"0.0.0.0", kNobody, false, "127.0.0.1", ", a socket of uid 65534."},
          Row{"127.0.0.1", kNobody, false, "127.0.0.1", ", a socket of uid 65534."},
          Row{"127.0.0.1", 0, true, "127.0.0.1", ", a socket of unknown owner."},
          Row{nullptr, 0, false, "127.0.0.1", ", a socket of unknown owner."},
          // Another host, though a socket of root here has the port.
          Row{"127.0.0.1", 0, false, "10.20.30.40", "."},
          Row{"127.0.0.1", 0, false, "128.0.0.1", "."}}) {
        auto pSender = UdpSocket::ownedBy(nOwner, pszBound ? pszBound : "127.0.0.1", 0, bShared);
        const uint16_t nPort = pSender->port();
        const auto pShared =
            bShared ? UdpSocket::ownedBy(kNobody, "0.0.0.0", nPort, true) : nullptr;
        if (pszBound == nullptr)
            pSender.reset();
        ASSERT_TRUE(nPort != 0 && (!pShared || pShared->valid()));
        const std::string port =
            pszRefusal && *pszRefusal != '.' ? ":" + std::to_string(nPort) : "";
        for (const std::string command : {"stop", "uninstall"}) {
            CProcessMng::m_nProcessExit = 0;
            CProcessMng::m_bUninstall = false;
            log.mark();
            const bool bStop = command == "stop";
            const int nResult =
                process(makeAddr(pszSender, nPort), onWire(bStop ? 2 : 3, bStop ? 2 : 1));
            EXPECT_EQ(std::make_tuple(nResult, CProcessMng::m_nProcessExit.load(),
                                      CProcessMng::m_bUninstall.load(),
                                      hasLogLine(log.text(), " [ERR] ",
                                                 "[CCommandTask::process] Refuse " + command +
                                                     " command from " + pszSender + port +
                                                     (pszRefusal ? pszRefusal : ""))),
                      std::make_tuple(pszRefusal ? -1 : 0, bStop && !pszRefusal ? 1 : 0,
                                      !bStop && !pszRefusal, pszRefusal != nullptr))
                << command << " from " << pszSender << port << " of " << nOwner << "\n"
                << log.text();
        }
    }
    // Forged sources get no echo reply: it would fail (a line per datagram) or reach many hosts.
    for (const std::string from : {"10.1.2.3:0", "0.0.0.0:7", "224.0.0.1:7", "255.255.255.255:7"}) {
        const size_t nColon = from.find(':');
        const sockaddr_in sender =
            makeAddr(from.substr(0, nColon).c_str(), std::stoi(from.substr(nColon + 1)));
        EXPECT_TRUE(process(sender, onWire(1, 1)) == -1 &&
                    hasLogLine(log.text(), " [ERR] ",
                               "[CCommandTask::process] Refuse echo request from " + from + "."))
            << from;
    }
}

TEST(LogLimiterTest, AFewLinesASecondThenHowManyWereLeftOut) {
    // Rows: ms on the fake clock, takeLeftOut (else admit), and its result (admit: 1 = written).
    const std::tuple<int, bool, int> steps[] = {
        {0, false, 1},     {1, false, 1},    {2, false, 0},    {500, true, 0},  // not yet
        {999, false, 0},   {1000, true, 2},  {1000, true, 0},                   // once
        {1000, false, 1},  {1999, false, 1}, {2000, true, 0},                   // none left out
        {9000, false, 1},  {9001, false, 1}, {9002, false, 0}, {9999, true, 0},
        {10000, false, 1}, {10000, true, 1},  // the new second's first line may come first
    };
    CLogLimiter limiter(2);
    const CLogLimiter::Clock::time_point start{std::chrono::hours(1)};
    for (const auto& [nMs, bTake, nWant] : steps) {
        const auto now = start + std::chrono::milliseconds(nMs);
        EXPECT_EQ(bTake ? limiter.takeLeftOut(now) : limiter.admit(now), nWant) << nMs << " ms";
    }
}
