// The client requests on the wire, as a plain UDP socket standing in for the daemon gets them.
#include "orvexMonMsg.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

// They go to 127.0.0.1 at the low 16 bits of the port, fields cut to their room, in network
// order once (converting twice is a no-op); an echo nobody answers fails.
TEST(MsgTest, RequestsOnTheWire) {
    UdpSocket daemon;
    const std::string longOp(30, 'o'), longText(2000, 'x');
    CMsgProcess stop(CMD_STOP, 0, 0, nullptr, nullptr);
    CMsgProcess uninstall(CMD_UNINSTALL, 0x01020304, 0x0506, "root", "hello");
    CMsgProcess cut(CMD_UNINSTALL, 0, 0, longOp.c_str(), longText.c_str());
    (uninstall.netToHost(), uninstall.hostToNet());
    EXPECT_EQ(stop.send(daemon.port() + 0x10000) + CMsgProcess::restart(daemon.port()) +
                  uninstall.send(daemon.port()) + cut.send(daemon.port()),
              0);
    for (const auto& wire :
         {onWire(2, 2), onWire(2, 1), onWire(3, 1, "\1\2\3\4\5\6root", "hello"),
          onWire(3, 1, std::string(6, 0) + longOp.substr(0, 21), longText.substr(0, 971))}) {
        std::vector<uint8_t> got;
        EXPECT_TRUE(daemon.recvFrom(got, nullptr, 5000) && got == wire) << got.size();
    }
    EXPECT_EQ(CMsgProcess::echo(daemon.port()), -1);
}
