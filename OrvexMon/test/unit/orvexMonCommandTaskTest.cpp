// The command server in this process: a CCommandTask thread on a free port driven by the
// client requests, and what it refuses, datagram by datagram, through handleDatagram.
#include "orvexMon.h"
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <tuple>

using namespace testsupport;
using namespace std::chrono_literals;

// Bound at the low 16 bits of its port, where a second task ends at once; uninstall and stop
// (from root's sockets) return only once the server has dealt with them. No ASSERT until its
// thread has ended.
TEST(CommandTaskTest, ServesEchoUninstallAndStop) {
    const std::string& dir = ensureTestLog("OrvexMonCmdTaskTest");  // level 4
    const uint16_t nPort = freeUdpPort();
    CCommandTask task(nPort + 0x10000);
    task.open();
    EXPECT_TRUE(waitFor([nPort] { return CMsgProcess::echo(nPort) == 0; }, 10s));
    EXPECT_EQ(CCommandTask(nPort).svc(), -1);
    EXPECT_EQ(CMsgProcess::uninstall(nPort), 0);
    EXPECT_TRUE(CProcessMng::m_bUninstall && CProcessMng::m_nProcessExit == 0);
    EXPECT_EQ(CMsgProcess::kill(nPort), 0);
    EXPECT_EQ(CProcessMng::m_nProcessExit.exchange(1), 1);  // 1 in any case: wait must return
    task.wait();
    EXPECT_TRUE(hasLogLine(logText(dir), " [DBG] ", "The daemon took the stop command."))
        << logText(dir);
}

// Rows: the datagram; sockets (owner, address) on the sender's port; the sender; the line
// its refusal leaves. Stop and uninstall only from a socket of root here; no echo to a
// forged source. The buffer keeps what each row leaves in it.
TEST(CommandTaskTest, RefusedDatagramsAndTheirLines) {
    const std::string& dir = ensureTestLog("OrvexMonCmdTaskTest");
    const uint16_t nPort = freeUdpPort();
    const std::string p = std::to_string(nPort), kIn = "[CCommandTask::process] Refuse ";
    const std::string kLength = "[CCommandTask::svc] Invalid Message Length(Length = ";
    const std::vector<uint8_t> echo = onWire(1, 1), stop = onWire(2, 2), uninstall = onWire(3, 1);
    CCommandTask task(0, 1000);  // never started: no reply can go out
    alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
    CProcessMng::m_bUninstall = CProcessMng::m_nProcessExit = 0;
    using Row = std::tuple<std::vector<uint8_t>, std::vector<std::pair<uid_t, const char*>>,
                           const char*, uint16_t, std::string>;
    // clang-format off
    for (const auto& [bytes, sockets, pszFrom, nFromPort, logged] : {
         Row{{}, {}, "127.0.0.1", nPort, "[CCommandTask::svc] Fail to read Socket, receive message length <= 0."},
         Row{std::vector<uint8_t>(19), {}, "127.0.0.1", nPort, kLength + "19,from 127.0.0.1)."},
         Row{std::vector<uint8_t>(1025), {}, "127.0.0.1", nPort, kLength + "1025,from 127.0.0.1)."},
         Row{std::vector<uint8_t>(53, 0x20), {}, "127.0.0.1", nPort, "[CCommandTask::process] Invalid command ID."},
         Row{onWire(2, 1), {}, "127.0.0.1", nPort, "[CCommandTask::process] Unknown command type 513."},
         // A short datagram never shows the fields of an earlier one.
         Row{{echo.begin(), echo.begin() + 20}, {}, "127.0.0.1", nPort, "[CCommandTask::process] Unknown command type 0."},
         Row{echo, {}, "10.1.2.3", 0, kIn + "echo request from 10.1.2.3:0."},
         Row{echo, {}, "0.0.0.0", 7, kIn + "echo request from 0.0.0.0:7."},
         Row{echo, {}, "224.0.0.1", 7, kIn + "echo request from 224.0.0.1:7."},
         Row{echo, {}, "255.255.255.255", 7, kIn + "echo request from 255.255.255.255:7."},
         Row{stop, {{65534, "127.0.0.1"}}, "127.0.0.1", nPort, kIn + "stop command from 127.0.0.1:" + p + ", a socket of uid 65534."},
         Row{uninstall, {{0, "127.0.0.1"}, {65534, "0.0.0.0"}}, "127.0.0.1", nPort, kIn + "uninstall command from 127.0.0.1:" + p + ", a socket of unknown owner."},
         Row{stop, {}, "127.0.0.1", nPort, kIn + "stop command from 127.0.0.1:" + p + ", a socket of unknown owner."},
         Row{uninstall, {{0, "0.0.0.0"}}, "128.0.0.1", nPort, kIn + "uninstall command from 128.0.0.1."}}) {
        // clang-format on
        std::vector<std::unique_ptr<UdpSocket>> held;
        for (const auto& [nOwner, pszIp] : sockets)
            held.push_back(std::make_unique<UdpSocket>(pszIp, nPort, nOwner));
        sockaddr_in from{AF_INET, htons(nFromPort), {}, {}};
        inet_pton(AF_INET, pszFrom, &from.sin_addr);
        std::copy(bytes.begin(), bytes.end(), buffer);
        EXPECT_TRUE(task.handleDatagram(-1, from, buffer, int(bytes.size())) == -1 &&
                    hasLogLine(logText(dir), " [ERR] ", logged))
            << logged << logText(dir);
    }
    EXPECT_FALSE(CProcessMng::m_bUninstall || CProcessMng::m_nProcessExit != 0);
}

TEST(LogLimiterTest, AFewLinesASecondThenHowManyWereLeftOut) {
    // Rows: ms on the fake clock, takeLeftOut (else admit), and its result (admit: 1 = written).
    // Two a second: the count comes once a second has ended, and not before the next line.
    CLogLimiter limiter(2);
    // clang-format off
    for (const auto& [nMs, bTake, nWant] : std::vector<std::tuple<int, bool, int>>{
             {0, false, 1}, {1, false, 1}, {2, false, 0}, {500, true, 0}, {999, false, 0}, {1000, true, 2},
             {1000, true, 0}, {1000, false, 1}, {1001, false, 1}, {1002, false, 0}, {2000, false, 1}, {2000, true, 1}}) {
        // clang-format on
        const CLogLimiter::Clock::time_point now(1h + nMs * 1ms);
        EXPECT_EQ(bTake ? limiter.takeLeftOut(now) : limiter.admit(now), nWant) << nMs << " ms";
    }
}
