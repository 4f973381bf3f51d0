// A supervised service that ends is started again at once, not at the next 5-second pass,
// without crash loops and without the daemon's descriptors growing; meanwhile the command
// channel holds against hostile senders.
#include "sandbox.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace testsupport;

// Both flags supervise AssetWarden and LeakSentry too. AccessBroker ends by itself each
// time, 300 ms after its start: long enough to be watched.
TEST(RestartTest, EndedServicesComeBackAtOnceAndHostileSendersAreHeldOff) {
    Sandbox box("Orvex", "<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>");
    writeFile(box.path("AccessBroker.crash"), "");
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0) << box.log();
    const std::string leakStart =
        "[CProcessMng::checkProcess] Process LeakSentry not exists now restart it.";
    ASSERT_TRUE(waitFor(
        [&] { return box.starts("AssetWarden").size() == 1 && box.countInLog(leakStart) == 1; },
        10s));

    // A stop from another user's socket is refused with one line, and so is -k run by
    // another user.
    const UdpSocket nobody("0.0.0.0", 0, 65534);
    ASSERT_TRUE(nobody.sendTo(onWire(2, 2), "127.0.0.1", box.port()));
    const std::string refused = "[CCommandTask::process] Refuse stop command from 127.0.0.1:" +
                                std::to_string(nobody.port()) + ", a socket of uid 65534.";
    EXPECT_TRUE(waitFor([&] { return box.countInLog(refused) == 1; }, 5s)) << box.log();
    EXPECT_EQ(box.run({"-k"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}),
              RunResult(255, "OrvexMon error: Only root can stop OrvexMon.\n"));
    EXPECT_EQ(box.countInLog("Refuse stop command"), 1) << "-k sent a stop all the same";
    // A flood of bad datagrams costs a few lines a second and one with the count left out,
    // and the next status request is answered.
    const int nLinesBefore = box.countInLog("\n");
    const std::vector<uint8_t> bad(53, 0x20);  // no magic
    for (int i = 0; i < 5000; ++i)
        nobody.sendTo(bad, "127.0.0.1", box.port());  // a full queue drops some: fine
    EXPECT_TRUE(waitFor([&] { return box.run({"status"}).first == 0; }, 5s));
    EXPECT_TRUE(
        waitFor([&] { return box.countInLog("rejected datagrams were not logged.") > 0; }, 5s));
    EXPECT_LE(box.countInLog("\n") - nLinesBefore, 200) << box.log();
    const size_t nDescriptors = descriptorsOf(daemon).size();  // short-lived ones come and go

    // Starts that span two 5-second passes, no four of them within 5 seconds; its first end,
    // well before the next pass, restarts it at once.
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker").size() >= 5; }, 15s));
    const auto starts = box.starts("AccessBroker");
    const auto ms = [&](size_t i) { return std::stoll(starts[i].substr(starts[i].find(' '))); };
    EXPECT_LT(ms(1) - ms(0), 2500);
    for (size_t i = 0; i + 3 < starts.size(); ++i)
        EXPECT_GE(ms(i + 3) - ms(i), 5000) << "from start " << i;
    EXPECT_TRUE(waitFor([&] { return descriptorsOf(daemon).size() <= nDescriptors; }, 5s))
        << ::testing::PrintToString(descriptorsOf(daemon));
    EXPECT_EQ(box.stopDaemon(), 0) << "root's -k stops it";
}
