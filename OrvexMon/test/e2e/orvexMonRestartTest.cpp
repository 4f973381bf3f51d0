// A supervised service that ends is started again at once, not at the next 5-second pass,
// without crash loops and without the daemon's descriptors growing.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

using namespace std::chrono_literals;
using testsupport::descriptorsOf;
using testsupport::waitFor;

// AssetWarden and LeakSentry are killed over and over; AccessBroker ends by itself each
// time, 300 ms after its start: long enough to be watched.
TEST(RestartTest, EndedServicesComeBackAtOnceWithoutLoopsOrDescriptorsLeft) {
    testsupport::Sandbox box;
    box.setCustomization("<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>");
    box.writeRaw("AccessBroker.crash", "300");
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    const char* const kKilled[] = {"AssetWarden", "LeakSentry"};
    pid_t old[2] = {};
    // Both run under a pid other than before; with bWatched, once each, their ends watched.
    const auto anew = [&](bool bWatched) {
        const auto watched = box.watchedPids();
        for (int i = 0; i < 2; ++i) {
            const auto pids = box.pidsOf(kKilled[i]);
            if (pids.empty() || pids[0] == old[i] ||
                (bWatched &&
                 (pids.size() != 1 || std::count(watched.begin(), watched.end(), pids[0]) == 0)))
                return false;
        }
        return true;
    };
    size_t nBefore = 0;
    for (int nRound = 0; nRound < 3; ++nRound) {
        ASSERT_TRUE(waitFor([&] { return anew(true); }, 12s)) << nRound << "\n" << box.log();
        for (int i = 0; i < 2; ++i)
            old[i] = box.pidsOf(kKilled[i])[0];
        // Taken at rest; the daemon's short-lived descriptors (a log line, a scan) come and
        // go. Right after a pass the next one is about 5 seconds away: a restart well before
        // that comes from the services' ends. Later rounds only add restarts.
        if (nRound == 0) {
            nBefore = descriptorsOf(daemon).size();
            ASSERT_TRUE(box.waitForPass());
        }
        EXPECT_TRUE(kill(old[0], SIGKILL) == 0 && kill(old[1], SIGKILL) == 0);
        EXPECT_TRUE(waitFor([&] { return anew(false); }, nRound == 0 ? 2500ms : 12000ms)) << nRound;
    }
    EXPECT_TRUE(waitFor([&] { return descriptorsOf(daemon).size() <= nBefore; }, 5s))
        << ::testing::PrintToString(descriptorsOf(daemon));
    // Starts that span two 5-second passes, no four of them within 5 seconds.
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker") >= 5; }, 15s));
    const auto times = box.startTimes("AccessBroker");
    // Its first end, well before the next pass, restarts it at once.
    EXPECT_LT(times[1] - times[0], 2500);
    for (size_t i = 0; i + 3 < times.size(); ++i)
        EXPECT_GE(times[i + 3] - times[i], 5000) << "from start " << i;
    EXPECT_TRUE(box.stopDaemon());
}
