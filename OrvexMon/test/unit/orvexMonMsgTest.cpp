// The command message (wire bytes, byte order, parse, dump) and the client requests,
// against a plain UDP socket of the test that stands in for the daemon.
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

using namespace testsupport;

// Rows: command, ip, port, operator, text; the wire bytes; typeOfCmd, codeOfCmd, command().
TEST(MsgTest, WireBytesByteOrderParseAndDump) {
    const std::string longOp = "abcdefghijklmnopqrstuvwxyz0123", longText(2000, 'x');
    using Row = std::tuple<uint16_t, uint32_t, uint16_t, const char*, const char*,
                           std::vector<uint8_t>, int, int, int>;
    for (const auto& [nCommand, nIp, nPort, pszOp, pszText, wire, nType, nCode, nRead] :
         {Row{CMD_STOP, 0, 0, nullptr, nullptr, onWire(2, 2), 2, 2, 0x0202},
          Row{CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello",
              onWire(3, 1, "\1\2\3\4\5\6", "root", "hello"), 3, 1, 0x0301},
          Row{0x80FF, 0, 0, longOp.c_str(), longText.c_str(),
              onWire(0x80, 0xFF, "", longOp.substr(0, 21), longText.substr(0, 971)), -128, -1,
              0x7FFF}}) {
        SCOPED_TRACE(nCommand);
        CMsgProcess msg(nCommand, nIp, nPort, pszOp, pszText);
        EXPECT_EQ(std::tuple(CMsgProcess::typeOfCmd(nCommand), CMsgProcess::codeOfCmd(nCommand),
                             msg.m_nLength, msg.command()),
                  std::tuple(nType, nCode, uint16_t(wire.size()), nRead));
        // Already in host order: nothing to do; nor twice, either way.
        (msg.netToHost(), msg.hostToNet(), msg.hostToNet());
        const uint8_t* pBytes = reinterpret_cast<const uint8_t*>(&msg);
        EXPECT_EQ(std::vector<uint8_t>(pBytes, pBytes + wire.size()), wire);
        CMsgProcess::parse(reinterpret_cast<char*>(&msg))->netToHost();  // back, and no further
        EXPECT_EQ(std::tuple(msg.m_nMagic, msg.m_nLength, msg.command(), msg.m_nIp, msg.m_nPort),
                  std::tuple(CMD_MAGIC, uint16_t(wire.size()), nRead, nIp, nPort));
    }
    EXPECT_EQ(CMsgProcess::parse(nullptr), nullptr);
    // The dump: 16 bytes a line, each digit upper-case; the client's send line shows 53 bytes.
    std::vector<uint8_t> bytes(1100);
    std::string full;  // 64 lines
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0xA0 + i % 16);
    while (full.size() < 64 * 48)
        full += "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n";
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 0).c_str(), "Data length: 0\n\n");
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 1024).c_str(),
                 ("Data length: 1024\n" + full + "\n").c_str());
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 1100).c_str(),
                 ("Data length too long, now truncate it: 1024\n" + full + "\n").c_str());
    EXPECT_STREQ(CMsgProcess::hexToString(nullptr, 5).c_str(), "");
}

// Sends go to 127.0.0.1 at the low 16 bits of the port, the same bytes from the same socket.
// Echo rows: what the stand-in daemon answers (nothing: as if none ran), echo's result, log.
TEST(MsgTest, RequestsAndTheirLogLines) {
    LogSince log("OrvexMonMsgTest");
    UdpSocket daemon;
    const uint16_t nPort = daemon.port();
    CMsgProcess msg(CMD_STOP, 0, 0, nullptr, nullptr);
    EXPECT_EQ(msg.send(nPort + 0x10000) + msg.send(nPort) + CMsgProcess::restart(nPort), 0);
    std::vector<uint8_t> got[3];
    sockaddr_in from[3];
    for (int i = 0; i < 3; ++i)
        daemon.recvFrom(got[i], &from[i], 5000);
    EXPECT_EQ(std::tuple(got[0], got[1], got[2], from[0].sin_port),
              std::tuple(onWire(2, 2), onWire(2, 2), onWire(2, 1), from[1].sin_port));
    EXPECT_EQ(msg.send(-1, makeAddr("127.0.0.1", nPort)) + msg.recv(nullptr, 1), -2);
    EXPECT_TRUE(
        log.shows({"[CMsgProcess::recv] Send message to host 127.0.0.1:" + std::to_string(nPort) +
                       ": Data length: 53\n"
                       "F7 10 3D 21 00 35 00 00 00 00 00 00 00 00 00 00\n"
                       "00 00 00 00 00 00 02 02 00 00 00 00 00 00 00 00\n"
                       "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
                       "00 00 00 00 00 \n.\n",
                   "[CMsgProcess::send] Socket invalid.\n",
                   "[CMsgProcess::recv] Invalid input parameters.\n"}))
        << log.text();

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
        std::thread standIn([&, &reply = reply] {
            std::vector<uint8_t> request;
            sockaddr_in sender;
            if (!reply.empty() && daemon.recvFrom(request, &sender, 5000) && request == onWire(1, 1))
                daemon.sendTo(reply, "127.0.0.1", ntohs(sender.sin_port));
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CMsgProcess::echo(nPort), nResult);
        EXPECT_TRUE(!reply.empty() ||
                    std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(2900));
        standIn.join();
        EXPECT_TRUE(log.shows(logged)) << log.text();
    }
}
