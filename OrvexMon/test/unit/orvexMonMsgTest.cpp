// The command message (wire bytes, byte order, parse) and the client requests,
// against a plain UDP socket of the test that stands in for the daemon.
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace testsupport;

// Rows: command, ip, port, operator, text; the wire bytes; command() read back.
TEST(MsgTest, WireBytesByteOrderAndParse) {
    const std::string longOp = "abcdefghijklmnopqrstuvwxyz0123", longText(2000, 'x');
    using Row =
        std::tuple<uint16_t, uint32_t, uint16_t, const char*, const char*, std::vector<uint8_t>, int>;
    // clang-format off
    for (const auto& [nCommand, nIp, nPort, pszOp, pszText, wire, nRead] : {
         Row{CMD_STOP, 0, 0, nullptr, nullptr, onWire(2, 2), 0x0202},
         Row{CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello", onWire(3, 1, "\1\2\3\4\5\6", "root", "hello"), 0x0301},
         Row{0x80FF, 0, 0, longOp.c_str(), longText.c_str(), onWire(0x80, 0xFF, "", longOp.substr(0, 21), longText.substr(0, 971)), 0x7FFF}}) {
        // clang-format on
        CMsgProcess msg(nCommand, nIp, nPort, pszOp, pszText);
        (msg.netToHost(), msg.hostToNet(), msg.hostToNet());  // no-ops when already so
        const uint8_t* pBytes = reinterpret_cast<const uint8_t*>(&msg);
        EXPECT_EQ(std::vector<uint8_t>(pBytes, pBytes + wire.size()), wire);
        CMsgProcess::parse(reinterpret_cast<char*>(&msg))->netToHost();
        EXPECT_EQ(std::tuple(msg.m_nMagic, msg.m_nLength, msg.command(), msg.m_nIp, msg.m_nPort),
                  std::tuple(CMD_MAGIC, uint16_t(wire.size()), nRead, nIp, nPort))
            << nCommand;
    }
    EXPECT_EQ(std::tuple(CMsgProcess::typeOfCmd(0x80FF), CMsgProcess::codeOfCmd(0x80FF)),
              std::tuple(-128, -1));
}

// Sends go to 127.0.0.1 at the low 16 bits of the port; an echo nobody answers fails.
TEST(MsgTest, RequestsToAStandIn) {
    UdpSocket daemon;
    std::vector<uint8_t> stop, restart;
    CMsgProcess msg(CMD_STOP, 0, 0, nullptr, nullptr);
    EXPECT_EQ(msg.send(daemon.port() + 0x10000) + CMsgProcess::restart(daemon.port()), 0);
    EXPECT_TRUE(daemon.recvFrom(stop, nullptr, 5000) && daemon.recvFrom(restart, nullptr, 5000));
    EXPECT_EQ(std::tuple(stop, restart), std::tuple(onWire(2, 2), onWire(2, 1)));
    EXPECT_EQ(CMsgProcess::echo(daemon.port()), -1);
}
