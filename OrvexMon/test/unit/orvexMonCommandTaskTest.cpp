// The command server in this process: a CCommandTask on a free port, driven with raw
// datagrams and the client requests from loopback, and its decisions on other senders.
#include "orvexMon.h"
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

using namespace testsupport;
using namespace std::chrono_literals;

// Rows: the datagram, the reply it gets (none: none), the log line it leaves. Each is
// followed by an echo from another socket: the server takes datagrams in order.
TEST(CommandTaskTest, EchoesAnsweredOthersDroppedUninstallFlaggedStopEnds) {
    const std::string& dir = ensureTestLog("OrvexMonCmdTaskTest");  // level 4
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
    // The bits above the low 16 must not count; a line for each datagram rejected. No ASSERT
    // until the server thread has ended.
    CCommandTask task((nPort = freeUdpPort()) + 0x10000, 1000);
    task.open();
    EXPECT_TRUE(answersEcho(UdpSocket()) && CMsgProcess::echo(nPort) == 0);
    EXPECT_EQ(CCommandTask(nPort).svc(), -1);  // a taken port ends the task

    const std::vector<uint8_t> echo = onWire(1, 1), head20(echo.begin(), echo.begin() + 20);
    const std::string kErr = " [ERR] ", kDbg = " [DBG] ", kProcess = "[CCommandTask::process] ";
    const std::string kLength = "[CCommandTask::svc] Invalid Message Length(Length = ";
    using Row = std::tuple<std::vector<uint8_t>, std::vector<uint8_t>, std::string, std::string>;
    // clang-format off
    for (const auto& [bytes, reply, tag, logged] : {
         Row{echo, onWire(1, 2), kDbg, kProcess + "Receive a echo request, reply it."},
         Row{{}, {}, kErr, "[CCommandTask::svc] Fail to read Socket, receive message length <= 0."},
         Row{std::vector<uint8_t>(19), {}, kErr, kLength + "19,from 127.0.0.1)."},
         Row{onWire(1, 1, "", "", std::string(972, 'x')), {}, kErr, kLength + "1025,from 127.0.0.1)."},
         Row{std::vector<uint8_t>(53, 0x20), {}, kErr, kProcess + "Invalid command ID."},
         Row{onWire(2, 1), {}, kErr, kProcess + "Unknown command type 513."},
         Row{onWire(1, 2), {}, kDbg, kProcess + "Receive a echo reply."},
         // A short datagram never shows the fields of an earlier one (the echo before it).
         Row{head20, {}, kErr, kProcess + "Unknown command type 0."}}) {
        // clang-format on
        EXPECT_TRUE(client.sendTo(bytes, "127.0.0.1", nPort) && answersEcho(UdpSocket()));
        std::vector<uint8_t> got;
        client.recvFrom(got, nullptr, 0);
        EXPECT_TRUE(got == reply && hasLogLine(logText(dir), tag, logged))
            << logged << logText(dir);
    }

    // The client requests keep their socket until the server has looked up its owner.
    EXPECT_EQ(CMsgProcess::uninstall(nPort), 0);  // returns once an echo behind it is answered
    EXPECT_TRUE(CProcessMng::m_bUninstall && CProcessMng::m_nProcessExit == 0);
    EXPECT_EQ(CMsgProcess::kill(nPort), 0);  // returns once the command port is closed
    EXPECT_EQ(CProcessMng::m_nProcessExit.exchange(1), 1);  // 1 in any case: wait must return
    task.wait();
    EXPECT_TRUE(
        hasLogLine(logText(dir), kDbg, "[CMsgProcess::kill] The daemon took the stop command.") &&
        hasLogLine(logText(dir), kDbg, "[CCommandTask::svc] End Command Task successfully."))
        << logText(dir);
}

// Rows: the command, the sender's socket (null: gone), its owner, whether a socket of nobody
// shares its port on 0.0.0.0, the sender as the server sees it, how the refusal line ends.
TEST(CommandTaskTest, StopAndUninstallOnlyFromSocketsOfRootHere) {
    const std::string& dir = ensureTestLog("OrvexMonCmdTaskTest");  // level 4
    auto process = [](const sockaddr_in& sender, const std::vector<uint8_t>& bytes) {
        alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
        memcpy(buffer, bytes.data(), bytes.size());
        return CCommandTask(0, 1000).process(-1, sender, buffer);  // never started: no replies
    };
    using Row = std::tuple<std::string, const char*, uid_t, bool, const char*, std::string>;
    // clang-format off
    for (const auto& [command, pszBound, nOwner, bShared, pszSender, refusal] : {
         Row{"stop", "127.0.0.1", 0, false, "127.0.0.1", ""},
         Row{"uninstall", "0.0.0.0", 0, false, "127.0.0.1", ""},
         Row{"stop", "127.0.0.1", 65534, false, "127.0.0.1", ", a socket of uid 65534."},
         Row{"uninstall", "127.0.0.1", 0, true, "127.0.0.1", ", a socket of unknown owner."},
         Row{"stop", nullptr, 0, false, "127.0.0.1", ", a socket of unknown owner."},
         Row{"uninstall", "127.0.0.1", 0, false, "128.0.0.1", "."}}) {  // another host
        // clang-format on
        auto pSender = UdpSocket::ownedBy(nOwner, pszBound ? pszBound : "127.0.0.1", 0, bShared);
        const uint16_t nPort = pSender->port();
        const auto pShared = bShared ? UdpSocket::ownedBy(65534, "0.0.0.0", nPort, true) : nullptr;
        if (pszBound == nullptr)
            pSender.reset();
        CProcessMng::m_bUninstall = CProcessMng::m_nProcessExit = 0;
        const bool bStop = command == "stop", bDone = refusal.empty();
        const std::string refused =
            "[CCommandTask::process] Refuse " + command + " command from " + pszSender +
            (refusal[0] == ',' ? ":" + std::to_string(nPort) : "") + refusal;
        EXPECT_EQ(process(makeAddr(pszSender, nPort), onWire(bStop ? 2 : 3, bStop ? 2 : 1)),
                  bDone ? 0 : -1);
        EXPECT_EQ(std::tuple(CProcessMng::m_nProcessExit == 1, CProcessMng::m_bUninstall.load(),
                             hasLogLine(logText(dir), " [ERR] ", refused)),
                  std::tuple(bStop && bDone, !bStop && bDone, !bDone))
            << refused << logText(dir);
    }
    // Forged sources get no echo reply: it would fail (a line per datagram) or reach many hosts.
    // clang-format off
    for (const auto& [pszAddr, nPort] : std::vector<std::pair<const char*, uint16_t>>{
             {"10.1.2.3", 0}, {"0.0.0.0", 7}, {"224.0.0.1", 7}, {"255.255.255.255", 7}}) {
        // clang-format on
        EXPECT_TRUE(process(makeAddr(pszAddr, nPort), onWire(1, 1)) == -1 &&
                    hasLogLine(logText(dir), " [ERR] ",
                               "[CCommandTask::process] Refuse echo request from " +
                                   std::string(pszAddr) + ":" + std::to_string(nPort) + "."))
            << pszAddr;
    }
}

TEST(LogLimiterTest, AFewLinesASecondThenHowManyWereLeftOut) {
    // Rows: ms on the fake clock, takeLeftOut (else admit), and its result (admit: 1 = written).
    // Two a second: the count comes once a second has ended, and not before the next line.
    // clang-format off
    const std::tuple<int, bool, int> steps[] = {
        {0, false, 1}, {1, false, 1}, {2, false, 0}, {500, true, 0}, {999, false, 0}, {1000, true, 2},
        {1000, true, 0}, {1000, false, 1}, {1001, false, 1}, {1002, false, 0}, {2000, false, 1},
        {2000, true, 1}};
    // clang-format on
    CLogLimiter limiter(2);
    const CLogLimiter::Clock::time_point start{1h};
    for (const auto& [nMs, bTake, nWant] : steps) {
        const auto now = start + nMs * 1ms;
        EXPECT_EQ(bTake ? limiter.takeLeftOut(now) : limiter.admit(now), nWant) << nMs << " ms";
    }
}
