// The command message (wire bytes, byte order, parse, dump) and the client requests,
// against a plain UDP socket of the test that stands in for the daemon.
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

using namespace testsupport;

namespace {

std::string dump(const std::vector<uint8_t>& bytes, int nCount = -1) {
    return CMsgProcess::hexToString(bytes.data(), nCount < 0 ? int(bytes.size()) : nCount).c_str();
}

}  // namespace

// Rows: command, ip, port, operator, text; the wire bytes; typeOfCmd, codeOfCmd, command().
TEST(MsgTest, WireBytesByteOrderAndParse) {
    const std::string longOp = "abcdefghijklmnopqrstuvwxyz0123", longText(2000, 'x');
    using Row = std::tuple<uint16_t, uint32_t, uint16_t, const char*, const char*,
                           std::vector<uint8_t>, int, int, int>;
    for (const auto& [nCommand, nIp, nPort, pszOp, pszText, wire, nType, nCode, nRead] :
         {Row{CMD_STOP, 0, 0, nullptr, nullptr, onWire(2, 2), 2, 2, 0x0202},
          Row{CMD_ECHO_REQUEST, 0, 0, nullptr, "", onWire(1, 1), 1, 1, 0x0101},
          Row{CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello",
              onWire(3, 1, "\1\2\3\4\5\6", "root", "hello"), 3, 1, 0x0301},
          Row{0x80FF, 0, 0, longOp.c_str(), longText.c_str(),
              onWire(0x80, 0xFF, "", longOp.substr(0, 21), longText.substr(0, 971)), -128, -1,
              0x7FFF}}) {
        SCOPED_TRACE(nCommand);
        EXPECT_EQ(CMsgProcess::typeOfCmd(nCommand), nType);
        EXPECT_EQ(CMsgProcess::codeOfCmd(nCommand), nCode);
        CMsgProcess msg(nCommand, nIp, nPort, pszOp, pszText);
        EXPECT_EQ(msg.m_nLength, wire.size());
        EXPECT_EQ(msg.command(), nRead);
        msg.netToHost();  // already in host order: nothing to do, nor twice below
        msg.hostToNet();
        msg.hostToNet();
        const uint8_t* pBytes = reinterpret_cast<const uint8_t*>(&msg);
        EXPECT_EQ(std::vector<uint8_t>(pBytes, pBytes + wire.size()), wire);
        msg.netToHost();
        msg.netToHost();
        alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
        memcpy(buffer, wire.data(), wire.size());
        for (const CMsgProcess* pMsg : {&msg, CMsgProcess::parse(buffer)})
            EXPECT_EQ(std::make_tuple(pMsg->m_nMagic, pMsg->m_nLength, pMsg->command(), pMsg->m_nIp,
                                      pMsg->m_nPort),
                      std::make_tuple(CMD_MAGIC, uint16_t(wire.size()), nRead, nIp, nPort));
    }
    EXPECT_EQ(CMsgProcess::parse(nullptr), nullptr);
}

TEST(MsgTest, HexDump) {
    std::vector<uint8_t> bytes(1100);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0xA0 + i % 16);
    const std::string line = "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n";
    std::string full;
    for (int i = 0; i < 64; ++i)
        full += line;
    EXPECT_EQ(dump(bytes, 0), "Data length: 0\n\n");
    EXPECT_EQ(dump(bytes, 16), "Data length: 16\n" + line + "\n");
    EXPECT_EQ(dump(bytes, 17), "Data length: 17\n" + line + "A0 \n");
    EXPECT_EQ(dump(bytes, 1024), "Data length: 1024\n" + full + "\n");
    EXPECT_EQ(dump(bytes, 1100), "Data length too long, now truncate it: 1024\n" + full + "\n");
    EXPECT_STREQ(CMsgProcess::hexToString(nullptr, 5).c_str(), "");
    EXPECT_EQ(dump(onWire(1, 1)),
              "Data length: 53\n"
              "F7 10 3D 21 00 35 00 00 00 00 00 00 00 00 00 00\n"
              "00 00 00 00 00 00 01 01 00 00 00 00 00 00 00 00\n"
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
              "00 00 00 00 00 \n");
}

// Sends go to 127.0.0.1 at the low 16 bits of the port, the same bytes from the same socket.
TEST(MsgTest, SendsAndTheirDumpLines) {
    LogSince log("OrvexMonMsgTest");
    UdpSocket daemon;
    const uint16_t nPort = daemon.port();
    CMsgProcess msg(CMD_STOP, 0, 0, nullptr, nullptr);
    ASSERT_EQ(msg.send(nPort + 0x10000) + msg.send(nPort) + CMsgProcess::restart(nPort), 0);
    std::vector<uint8_t> first, second, restart;
    sockaddr_in from1, from2;
    ASSERT_TRUE(daemon.recvFrom(first, &from1, 5000) && daemon.recvFrom(second, &from2, 5000) &&
                daemon.recvFrom(restart, nullptr, 5000));
    EXPECT_EQ(std::make_tuple(first, second, from1.sin_addr.s_addr, restart),
              std::make_tuple(onWire(2, 2), first, htonl(INADDR_LOOPBACK), onWire(2, 1)));
    EXPECT_EQ(from1.sin_port, from2.sin_port);
    EXPECT_EQ(msg.send(-1, makeAddr("127.0.0.1", nPort)), -1);
    EXPECT_EQ(msg.recv(nullptr, 1), -1);
    EXPECT_TRUE(log.shows({"[CMsgProcess::recv] Send message to host 127.0.0.1:" +
                               std::to_string(nPort) + ": " + dump(first) + ".\n",
                           "[CMsgProcess::send] Socket invalid.\n",
                           "[CMsgProcess::recv] Invalid input parameters.\n"}))
        << log.text();
}

// Rows: what the stand-in daemon answers (nothing: no daemon on the port), echo's result, log.
TEST(MsgTest, OnlyAnEchoReplyWithTheMagicMeansADaemonRuns) {
    LogSince log("OrvexMonMsgTest");
    std::vector<uint8_t> noMagic = onWire(1, 2);
    noMagic[0] = 0;
    const std::vector<std::string> invalid = {"[CMsgProcess::recv] Receive a invalid message.\n",
                                              "[CMsgProcess::echo] Receive message failed.\n"};
    using Row = std::tuple<std::vector<uint8_t>, int, std::vector<std::string>>;
    for (const auto& [reply, nResult, logged] :
         {Row{onWire(1, 2), 0, {"[CMsgProcess::recv] Receive message from host 127.0.0.1:"}},
          Row{onWire(2, 2), -1, {"[CMsgProcess::echo] Receive message invalid.\n"}},
          Row{noMagic, -1, invalid}, Row{{0xF7, 0x10, 0x3D}, -1, invalid},
          Row{{}, -1, {"[CMsgProcess::recv] Receive message failed.\n", invalid[1]}}}) {
        log.mark();
        UdpSocket daemon;
        std::thread standIn([&, &reply = reply] {
            std::vector<uint8_t> request;
            sockaddr_in from;
            if (!reply.empty() && daemon.recvFrom(request, &from, 5000) && request == onWire(1, 1))
                daemon.sendTo(reply, "127.0.0.1", ntohs(from.sin_port));
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CMsgProcess::echo(reply.empty() ? freeUdpPort() : daemon.port()), nResult);
        EXPECT_TRUE(!reply.empty() ||
                    std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(2900));
        standIn.join();
        EXPECT_TRUE(log.shows(logged)) << log.text();
    }
}
