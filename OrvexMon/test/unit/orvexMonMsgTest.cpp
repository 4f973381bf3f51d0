// The command message (layout, conversions, parse, dump) and the client requests,
// against a plain UDP socket of the test that stands in for the daemon.
#include "orvexMonMsg.h"
#include "orvexMonProcTable.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

const std::string& logDir() {
    return ensureTestLog("OrvexMonMsgTest");
}

std::vector<uint8_t> bytesOf(const CMsgProcess& msg, size_t nCount) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&msg);
    return std::vector<uint8_t>(p, p + nCount);
}

std::vector<uint8_t> wireBytes(uint16_t nCommand) {
    CMsgProcess msg(nCommand, 0, 0, nullptr, nullptr);
    msg.hostToNet();
    return bytesOf(msg, 53);
}

// Lines written to the log since the fixture started.
class MsgLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        logDir();
        utl_SetLogLevel(4);
        m_nMark = logText(logDir()).size();
    }
    std::string newLog() const { return logText(logDir()).substr(m_nMark); }

    size_t m_nMark = 0;
};

const char kEchoRequestDump[] =
    "Data length: 53\n"
    "F7 10 3D 21 00 35 00 00 00 00 00 00 00 00 00 00\n"
    "00 00 00 00 00 00 01 01 00 00 00 00 00 00 00 00\n"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
    "00 00 00 00 00 \n";

}  // namespace

// ---- Layout ----

TEST(MsgLayoutTest, StopMessageOnTheWire) {
    CMsgProcess msg(CMD_STOP, 0, 0, nullptr, nullptr);
    EXPECT_EQ(msg.m_nLength, 53);
    msg.hostToNet();
    const std::vector<uint8_t> bytes = bytesOf(msg, 53);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 6),
              (std::vector<uint8_t>{0xF7, 0x10, 0x3D, 0x21, 0x00, 0x35}));
    EXPECT_EQ(bytes[22], 0x02);
    EXPECT_EQ(bytes[23], 0x02);
    for (int i : {6, 12, 21, 24, 29, 30, 51, 52})
        EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

TEST(MsgLayoutTest, TextSetsLengthAndIsCut) {
    struct Case {
        const char* name;
        size_t nText;  // characters; SIZE_MAX for a null text
        int nLength;
        size_t nKept;
    } cases[] = {
        {"null", SIZE_MAX, 53, 0}, {"empty", 0, 53, 0},     {"ten", 10, 63, 10},
        {"970", 970, 1023, 970},   {"971", 971, 1024, 971}, {"972", 972, 1024, 971},
        {"2000", 2000, 1024, 971},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        for (size_t i = 0; c.nText != SIZE_MAX && i < c.nText; ++i)
            text += static_cast<char>('a' + i % 26);
        CMsgProcess msg(CMD_ECHO_REQUEST, 0, 0, nullptr,
                        c.nText == SIZE_MAX ? nullptr : text.c_str());
        EXPECT_EQ(msg.m_nLength, c.nLength);
        const std::vector<uint8_t> bytes = bytesOf(msg, 1024);
        EXPECT_EQ(std::string(bytes.begin() + 52, bytes.begin() + 52 + c.nKept),
                  text.substr(0, c.nKept));
        EXPECT_EQ(bytes[52 + c.nKept], 0);
        EXPECT_EQ(bytes[1023], 0);
    }
}

TEST(MsgLayoutTest, OperatorIsCutTo21Characters) {
    struct Case {
        const char* pszOperator;
        const char* pszKept;
    } cases[] = {
        {nullptr, ""},
        {"admin", "admin"},
        {"abcdefghijklmnopqrstu", "abcdefghijklmnopqrstu"},           // 21
        {"abcdefghijklmnopqrstuvwxyz0123", "abcdefghijklmnopqrstu"},  // 30
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszOperator ? c.pszOperator : "null");
        CMsgProcess msg(CMD_STOP, 0, 0, c.pszOperator, "T");
        const std::vector<uint8_t> bytes = bytesOf(msg, 54);
        const size_t nKept = strlen(c.pszKept);
        EXPECT_EQ(std::string(bytes.begin() + 30, bytes.begin() + 30 + nKept), c.pszKept);
        for (size_t i = 30 + nKept; i < 52; ++i)
            EXPECT_EQ(bytes[i], 0) << "byte " << i;
        EXPECT_EQ(bytes[52], 'T');  // the text is not overwritten by a long name
        EXPECT_EQ(msg.m_nLength, 54);
    }
}

// ---- Commands ----

TEST(MsgCommandTest, TypeAndCodeAreSignedBytes) {
    struct Case {
        uint16_t nCommand;
        int nType;
        int nCode;
    } cases[] = {
        {0x0301, 3, 1},       {0x01FF, 1, -1},    {0xFF01, -1, 1},
        {0x8080, -128, -128}, {0x7F7F, 127, 127}, {0x0000, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CMsgProcess::typeOfCmd(c.nCommand), c.nType) << std::hex << c.nCommand;
        EXPECT_EQ(CMsgProcess::codeOfCmd(c.nCommand), c.nCode) << std::hex << c.nCommand;
    }
}

TEST(MsgCommandTest, CommandIsTypeTimes256PlusSignedCode) {
    struct Case {
        uint16_t nBuilt;
        int nCommand;
    } cases[] = {
        {0x0101, 257},    {0x0102, 258},    {0x0201, 513},
        {0x0202, 514},    {0x0301, 769},    {0x01FF, 255},  // code -1: 256 - 1
        {0xFF01, 0xFF01}, {0x0080, 0xFF80}, {0x0000, 0},
    };
    for (const Case& c : cases) {
        CMsgProcess msg(c.nBuilt, 0, 0, nullptr, nullptr);
        EXPECT_EQ(msg.command(), c.nCommand) << std::hex << c.nBuilt;
    }
}

// ---- Conversions and parse ----

TEST(MsgConvertTest, ConversionsAreIdempotent) {
    CMsgProcess reference(CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello");
    const std::vector<uint8_t> host = bytesOf(reference, 1024);
    reference.hostToNet();
    const std::vector<uint8_t> net = bytesOf(reference, 1024);
    ASSERT_NE(host, net);

    CMsgProcess msg(CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello");
    msg.netToHost();
    EXPECT_EQ(bytesOf(msg, 1024), host) << "netToHost of a host-order record";
    EXPECT_EQ(msg.m_nConverted, 0);
    msg.hostToNet();
    msg.hostToNet();
    EXPECT_EQ(bytesOf(msg, 1024), net) << "hostToNet twice";
    EXPECT_EQ(msg.m_nConverted, 1);
    msg.netToHost();
    msg.netToHost();
    EXPECT_EQ(bytesOf(msg, 1024), host) << "back to host order";
}

TEST(MsgConvertTest, OnlyTheFourNumbersAreSwapped) {
    CMsgProcess msg(CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello");
    const std::vector<uint8_t> host = bytesOf(msg, 1024);
    msg.hostToNet();
    const std::vector<uint8_t> net = bytesOf(msg, 1024);
    for (size_t i = 0; i < 1024; ++i) {
        const bool bSwapped = i < 6 || (i >= 24 && i < 30);
        if (!bSwapped) {
            EXPECT_EQ(net[i], host[i]) << "byte " << i;
        }
    }
    EXPECT_EQ(std::vector<uint8_t>(net.begin() + 24, net.begin() + 30),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(MsgLogTest, ParseOfNullLogsAndFails) {
    EXPECT_EQ(CMsgProcess::parse(nullptr), nullptr);
    EXPECT_NE(newLog().find(" [ERR] "), std::string::npos);
    EXPECT_NE(newLog().find("[CMsgProcess::parse] Invalid input parameters.\n"), std::string::npos);
}

TEST(MsgConvertTest, ParseConvertsAReceivedReplyInPlace) {
    alignas(CMsgProcess) char buffer[sizeof(CMsgProcess)] = {};
    const uint8_t received[] = {0xF7, 0x10, 0x3D, 0x21, 0x00, 0x35, 0, 0, 0,    0,
                                0,    0,    0,    0,    0,    0,    0, 0, 0,    0,
                                0,    0,    1,    2,    0xC0, 0xA8, 0, 1, 0x1F, 0x90};
    memcpy(buffer, received, sizeof(received));
    CMsgProcess* pMsg = CMsgProcess::parse(buffer);
    ASSERT_EQ(reinterpret_cast<char*>(pMsg), buffer);
    EXPECT_EQ(pMsg->m_nMagic, 0xF7103D21u);
    EXPECT_EQ(pMsg->m_nLength, 53);
    EXPECT_EQ(pMsg->command(), 0x0102);
    EXPECT_EQ(pMsg->m_nIp, 0xC0A80001u);
    EXPECT_EQ(pMsg->m_nPort, 8080);
    EXPECT_EQ(pMsg->m_nConverted, 0);
    EXPECT_EQ(static_cast<uint8_t>(buffer[0]), 0x21) << "converted in place";
}

// ---- Dump ----

TEST(MsgDumpTest, EchoRequestDumpsInFiveLines) {
    const std::vector<uint8_t> bytes = wireBytes(CMD_ECHO_REQUEST);
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 53).c_str(), kEchoRequestDump);
}

TEST(MsgDumpTest, LineBreaksAndTruncation) {
    std::vector<uint8_t> bytes(1100);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0xA0 + i % 16);
    EXPECT_STREQ(CMsgProcess::hexToString(nullptr, 5).c_str(), "");
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 0).c_str(), "Data length: 0\n\n");
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 1).c_str(), "Data length: 1\nA0 \n");
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 16).c_str(),
                 "Data length: 16\nA0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n\n");
    EXPECT_STREQ(CMsgProcess::hexToString(bytes.data(), 17).c_str(),
                 "Data length: 17\nA0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\nA0 \n");

    const std::string full(CMsgProcess::hexToString(bytes.data(), 1024).c_str());
    EXPECT_EQ(full.substr(0, 18), "Data length: 1024\n");
    EXPECT_EQ(full.size(), 18u + 1024 * 3 + 1);
    const std::string cut(CMsgProcess::hexToString(bytes.data(), 1025).c_str());
    EXPECT_EQ(cut.substr(0, 44), "Data length too long, now truncate it: 1024\n");
    EXPECT_EQ(cut.substr(44), full.substr(18));
    const std::string longer(CMsgProcess::hexToString(bytes.data(), 1100).c_str());
    EXPECT_EQ(longer, cut);
}

// ---- Client ----

class MsgClientTest : public MsgLogTest {
protected:
    void SetUp() override {
        MsgLogTest::SetUp();
        ASSERT_TRUE(m_daemon.valid());
        m_nPort = m_daemon.port();
    }
    // The next datagram that reached the stand-in daemon.
    std::vector<uint8_t> received(sockaddr_in* pFrom = nullptr) {
        std::vector<uint8_t> data;
        EXPECT_TRUE(m_daemon.recvFrom(data, pFrom, 5000));
        return data;
    }

    UdpSocket m_daemon{"127.0.0.1", 0};
    uint16_t m_nPort = 0;
};

TEST_F(MsgClientTest, SendByPortDeliversTheRecordAndLogsItsDump) {
    CMsgProcess msg(CMD_STOP, 0, 0, nullptr, nullptr);
    ASSERT_EQ(msg.send(m_nPort), 0);
    sockaddr_in from;
    EXPECT_EQ(received(&from), wireBytes(CMD_STOP));
    EXPECT_EQ(addrText(from), "127.0.0.1");

    const std::string expected =
        "[CMsgProcess::recv] Send message to host 127.0.0.1:" + std::to_string(m_nPort) +
        ": Data length: 53\n"
        "F7 10 3D 21 00 35 00 00 00 00 00 00 00 00 00 00\n"
        "00 00 00 00 00 00 02 02 00 00 00 00 00 00 00 00\n"
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
        "00 00 00 00 00 \n"
        ".\n";
    EXPECT_NE(newLog().find(expected), std::string::npos) << newLog();
}

TEST_F(MsgClientTest, SecondSendUsesTheSameSocketAndBytes) {
    CMsgProcess msg(CMD_ECHO_REQUEST, 7, 8, "op", "text");
    ASSERT_EQ(msg.send(m_nPort), 0);
    ASSERT_EQ(msg.send(m_nPort), 0);
    sockaddr_in first, second;
    const std::vector<uint8_t> a = received(&first);
    const std::vector<uint8_t> b = received(&second);
    EXPECT_EQ(a.size(), 57u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(first.sin_port, second.sin_port);
}

TEST_F(MsgClientTest, RestartSendsOneDatagramToTheLow16BitsOfThePort) {
    ASSERT_EQ(CMsgProcess::restart(m_nPort + 0x10000), 0);
    EXPECT_EQ(received(), wireBytes(CMD_RESTART));
}

// The daemon looks up the owner of the socket a stop or an uninstall came from, so kill
// and uninstall keep it open until they know what the daemon made of the command.
TEST_F(MsgLogTest, StopAndUninstallKeepTheirSocketUntilTheDaemonIsDone) {
    struct Case {
        int (*pfnRequest)(int);
        uint16_t nCommand;
        bool bDaemonStops;  // closes its port after the command, else answers the echo behind it
        const char* pszLogged;
    } cases[] = {
        {&CMsgProcess::kill, CMD_STOP, true,
         "[CMsgProcess::kill] The daemon took the stop command."},
        {&CMsgProcess::kill, CMD_STOP, false,
         "[CMsgProcess::kill] The daemon did not take the stop command; it runs on."},
        {&CMsgProcess::uninstall, CMD_UNINSTALL, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszLogged);
        std::unique_ptr<UdpSocket> pDaemon(new UdpSocket("127.0.0.1", 0));
        const uint16_t nPort = pDaemon->port();
        std::vector<uint8_t> command;
        uid_t nOwner = 1;
        std::thread daemon([&] {
            sockaddr_in from;
            if (!pDaemon->recvFrom(command, &from, 5000) || !udpSocketOwner(from, nOwner))
                return;
            if (c.bDaemonStops) {
                pDaemon.reset();
                return;
            }
            std::vector<uint8_t> echo;
            if (pDaemon->recvFrom(echo, &from, 5000) && echo == wireBytes(CMD_ECHO_REQUEST))
                pDaemon->sendTo(wireBytes(CMD_ECHO_REPLY), "127.0.0.1", ntohs(from.sin_port));
        });
        const size_t nMark = newLog().size();
        EXPECT_EQ(c.pfnRequest(nPort), 0);
        daemon.join();
        EXPECT_EQ(command, wireBytes(c.nCommand));
        EXPECT_EQ(nOwner, 0u) << "the socket was gone when the daemon looked";
        const std::string log = newLog().substr(nMark);
        EXPECT_NE(log.find(c.pszLogged), std::string::npos) << log;
        EXPECT_EQ(log.find("No word"), std::string::npos) << log;
    }
}

TEST_F(MsgClientTest, SendOnCallersSocket) {
    const sockaddr_in dest = makeAddr("127.0.0.1", m_nPort);
    CMsgProcess msg(CMD_ECHO_REPLY, 0, 0, nullptr, nullptr);
    EXPECT_EQ(msg.send(-1, dest), -1);
    EXPECT_NE(newLog().find("[CMsgProcess::send] Socket invalid.\n"), std::string::npos);

    UdpSocket client;
    ASSERT_EQ(msg.send(client.fd(), dest), 0);
    sockaddr_in from;
    EXPECT_EQ(received(&from), wireBytes(CMD_ECHO_REPLY));
    EXPECT_EQ(ntohs(from.sin_port), client.port());
    EXPECT_EQ(newLog().find("Send message to host"), std::string::npos) << "no dump for this form";
}

TEST_F(MsgClientTest, RecvFailures) {
    CMsgProcess msg(CMD_ECHO_REQUEST, 0, 0, nullptr, nullptr);
    char buffer[1024];
    EXPECT_EQ(msg.recv(nullptr, 1), -1);
    EXPECT_NE(newLog().find("[CMsgProcess::recv] Invalid input parameters.\n"), std::string::npos);

    ASSERT_EQ(msg.send(m_nPort), 0);
    sockaddr_in client;
    received(&client);
    EXPECT_EQ(msg.recv(buffer, 1), -1);
    EXPECT_NE(newLog().find("[CMsgProcess::recv] Receive message failed.\n"), std::string::npos);

    const std::vector<uint8_t> notMagic = {0xF7, 0x10, 0x3D, 0x22, 0, 0x35};
    ASSERT_TRUE(m_daemon.sendTo(notMagic, "127.0.0.1", ntohs(client.sin_port)));
    EXPECT_EQ(msg.recv(buffer, 5), -1);
    EXPECT_NE(newLog().find("[CMsgProcess::recv] Receive a invalid message.\n"), std::string::npos);

    const std::vector<uint8_t> tooShort = {0xF7, 0x10, 0x3D};
    ASSERT_TRUE(m_daemon.sendTo(tooShort, "127.0.0.1", ntohs(client.sin_port)));
    EXPECT_EQ(msg.recv(buffer, 5), -1);

    const std::vector<uint8_t> reply = wireBytes(CMD_ECHO_REPLY);
    ASSERT_TRUE(m_daemon.sendTo(reply, "127.0.0.1", ntohs(client.sin_port)));
    ASSERT_EQ(msg.recv(buffer, 5), 53);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 53), reply) << "left in network order";
    EXPECT_EQ(msg.m_addrPeer.get_port_number(), m_nPort);
    EXPECT_NE(newLog().find("[CMsgProcess::recv] Receive message from host 127.0.0.1:" +
                            std::to_string(m_nPort) + ": Data length: 53\nF7 10 3D 21 00 35 "),
              std::string::npos);
}

// Answers the next datagram on the stand-in daemon with reply, from a thread.
class MsgEchoTest : public MsgClientTest {
protected:
    void answerWith(std::vector<uint8_t> reply) {
        m_thread = std::thread([this, reply] {
            std::vector<uint8_t> request;
            sockaddr_in from;
            if (m_daemon.recvFrom(request, &from, 5000))
                m_daemon.sendTo(reply, "127.0.0.1", ntohs(from.sin_port));
        });
    }
    void TearDown() override {
        if (m_thread.joinable())
            m_thread.join();
    }
    std::thread m_thread;
};

TEST_F(MsgEchoTest, OnlyAnEchoReplyWithTheMagicMeansADaemonRuns) {
    std::vector<uint8_t> noMagic = wireBytes(CMD_ECHO_REPLY);
    noMagic[0] = 0x00;
    struct Case {
        std::vector<uint8_t> reply;
        int nResult;
        std::vector<std::string> logged;
    } cases[] = {
        {wireBytes(CMD_ECHO_REPLY), 0, {}},
        {wireBytes(CMD_STOP), -1, {"[CMsgProcess::echo] Receive message invalid.\n"}},
        {noMagic,
         -1,
         {"[CMsgProcess::recv] Receive a invalid message.\n",
          "[CMsgProcess::echo] Receive message failed.\n"}},
    };
    for (const Case& c : cases) {
        const size_t nMark = newLog().size();
        answerWith(c.reply);
        EXPECT_EQ(CMsgProcess::echo(m_nPort), c.nResult);
        m_thread.join();
        EXPECT_TRUE(containsInOrder(newLog().substr(nMark), c.logged)) << newLog().substr(nMark);
    }
}

TEST_F(MsgLogTest, EchoWithNoDaemonFailsAfterItsTimeout) {
    const uint16_t nPort = freeUdpPort();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CMsgProcess::echo(nPort), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2900)) << "it gave up before its 3 seconds";
    EXPECT_TRUE(containsInOrder(newLog(), {"[CMsgProcess::recv] Receive message failed.\n",
                                           "[CMsgProcess::echo] Receive message failed.\n"}));
}
