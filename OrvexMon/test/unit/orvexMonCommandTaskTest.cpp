// The command channel in this process: the client's requests as a stand-in socket gets them,
// then a CCommandTask thread on that port, and what the server refuses, datagram by datagram.
#include "orvexMon.h"
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

using namespace testsupport;
using namespace std::chrono_literals;

// Rows: the datagram; sockets (owner, address) on the sender's port; the sender; the line
// its refusal leaves. Stop and uninstall only from a socket of root here; no echo to a
// forged source. The buffer keeps what each row leaves in it. Runs first: nothing
// has set the flags yet.
TEST(CommandTaskTest, RefusedDatagramsAndTheirLines) {
    const std::string& dir = ensureTestLog("OrvexMonCmdTaskTest");
    const std::string p = std::to_string(freeUdpPort()), kIn = "[CCommandTask::process] ";
    CCommandTask task(0, 1000);  // never started: no reply can go out
    alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
    using Row = std::tuple<std::vector<uint8_t>, std::vector<std::pair<uid_t, const char*>>,
                           std::string, std::string>;
    // clang-format off
    for (const auto& [bytes, sockets, address, logged] : {
         Row{{}, {}, "127.0.0.1:7", "[CCommandTask::svc] Fail to read Socket, receive message length <= 0."},
         Row{std::vector<uint8_t>(1025), {}, "127.0.0.1:7", "[CCommandTask::svc] Invalid Message Length(Length = 1025,from 127.0.0.1)."},
         Row{std::vector<uint8_t>(53, 0x20), {}, "127.0.0.1:7", kIn + "Invalid command ID."},
         Row{onWire(2, 1), {}, "127.0.0.1:7", kIn + "Unknown command type 513."},
         // A short datagram (a head claiming 53 bytes) never shows the fields of an earlier one.
         Row{{0xF7, 0x10, 0x3D, 0x21, 0, 53, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, "127.0.0.1:7", kIn + "Unknown command type 0."},
         Row{onWire(1, 1), {}, "10.1.2.3:0", kIn + "Refuse echo request from 10.1.2.3:0."},
         Row{onWire(1, 1), {}, "0.0.0.0:7", kIn + "Refuse echo request from 0.0.0.0:7."},
         Row{onWire(1, 1), {}, "224.0.0.1:7", kIn + "Refuse echo request from 224.0.0.1:7."},
         Row{onWire(2, 2), {{65534, "127.0.0.1"}}, "127.0.0.1:" + p, kIn + "Refuse stop command from 127.0.0.1:" + p + ", a socket of uid 65534."},
         Row{onWire(3, 1), {{0, "127.0.0.1"}, {65534, "0.0.0.0"}}, "127.0.0.1:" + p, kIn + "Refuse uninstall command from 127.0.0.1:" + p + ", a socket of unknown owner."},
         Row{onWire(2, 2), {}, "127.0.0.1:" + p, kIn + "Refuse stop command from 127.0.0.1:" + p + ", a socket of unknown owner."},
         Row{onWire(3, 1), {{0, "0.0.0.0"}}, "128.0.0.1:" + p, kIn + "Refuse uninstall command from 128.0.0.1."}}) {
        // clang-format on
        const ACE_INET_Addr sender(address.c_str(), AF_INET);
        std::vector<std::unique_ptr<UdpSocket>> held;
        for (const auto& [nOwner, pszIp] : sockets)
            held.push_back(std::make_unique<UdpSocket>(pszIp, sender.get_port_number(), nOwner));
        std::copy(bytes.begin(), bytes.end(), buffer);
        const sockaddr_in from = *static_cast<const sockaddr_in*>(sender.get_addr());
        EXPECT_EQ(task.handleDatagram(-1, from, buffer, int(bytes.size())), -1) << logged;
        EXPECT_TRUE(hasLogLine(logText(dir), " [ERR] ", logged)) << logged << logText(dir);
    }
    EXPECT_FALSE(CProcessMng::m_bUninstall || CProcessMng::m_nProcessExit != 0);
}

// Requests go to 127.0.0.1 at the low 16 bits of the port, fields cut to their room. The
// server binds the low 16 bits too, where a second task ends at once; uninstall and stop
// (from root's sockets) return only once it has dealt with them. No ASSERT until its thread
// has ended.
TEST(CommandTaskTest, RequestsOnTheWireThenServedUntilStopped) {
    const std::string& dir = ensureTestLog("OrvexMonCmdTaskTest");  // level 4
    const uint16_t nPort = freeUdpPort();
    CCommandTask task(nPort + 0x10000);
    task.open();  // binds while the requests go to the stand-in
    const std::string longOp(30, 'o'), longText(2000, 'x');
    const UdpSocket standIn;
    const uint16_t nTo = standIn.port();
    EXPECT_TRUE(CMsgProcess(CMD_STOP, 0, 0, nullptr, nullptr).send(nTo + 0x10000) == 0 &&
                CMsgProcess::restart(nTo) == 0 &&
                CMsgProcess(CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello").send(nTo) == 0 &&
                CMsgProcess(CMD_UNINSTALL, 0, 0, longOp.c_str(), longText.c_str()).send(nTo) == 0);
    for (const auto& wire :
         {onWire(2, 2), onWire(2, 1), onWire(3, 1, "\1\2\3\4\5\6root", "hello"),
          onWire(3, 1, std::string(6, 0) + longOp.substr(0, 21), longText.substr(0, 971))}) {
        std::vector<uint8_t> got;
        EXPECT_TRUE(standIn.recvFrom(got, nullptr, 5000) && got == wire) << got.size();
    }

    // An echo sent before the server has bound is lost: the next one, 3 s on, is answered.
    // Only then may a second task try the port (it would take a free one and run on).
    EXPECT_TRUE(waitFor([nPort] { return CMsgProcess::echo(nPort) == 0; }, 8s) &&
                CCommandTask(nPort).svc() == -1);
    EXPECT_TRUE(CMsgProcess::uninstall(nPort) == 0 && CProcessMng::m_bUninstall &&
                CProcessMng::m_nProcessExit == 0);
    EXPECT_TRUE(CMsgProcess::kill(nPort) == 0 &&
                hasLogLine(logText(dir), " [DBG] ", "The daemon took the stop command."));
    EXPECT_EQ(CProcessMng::m_nProcessExit.exchange(1), 1);  // 1 in any case: wait must return
    task.wait();
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
