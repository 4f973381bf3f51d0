// A supervised service that ends is started again at once, not at the next 5-second pass,
// without crash loops and without the daemon's descriptors growing.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>

using namespace std::chrono_literals;
using testsupport::descriptorsOf;
using testsupport::waitFor;

namespace {

const char* const kServices[] = {"AccessBroker", "AssetWarden", "LeakSentry"};

TEST(RestartTest, KilledServicesComeBackAtOnceAndLeaveNoDescriptorsBehind) {
    testsupport::Sandbox box;
    box.setCustomization("<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>");
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    pid_t old[3] = {};
    // Each service runs once, under a pid other than before, and the daemon watches its end.
    const auto allRunAnewAndWatched = [&] {
        const auto watched = box.watchedPids();
        for (int i = 0; i < 3; ++i) {
            const auto pids = box.pidsOf(kServices[i]);
            if (pids.size() != 1 || pids[0] == old[i] ||
                std::find(watched.begin(), watched.end(), pids[0]) == watched.end())
                return false;
        }
        for (int i = 0; i < 3; ++i)
            old[i] = box.pidsOf(kServices[i])[0];
        return true;
    };
    ASSERT_TRUE(waitFor(allRunAnewAndWatched, 12s)) << box.log();
    // The daemon opens short-lived descriptors too (a log line, a scan of the table):
    // compare what it holds at rest.
    size_t nBefore = descriptorsOf(daemon).size();
    waitFor([&] { return (nBefore = std::min(nBefore, descriptorsOf(daemon).size())) == 0; }, 500ms);
    // Right after a pass the next one is about 5 seconds away: a restart well before that
    // comes from the services' ends. Later rounds only add restarts.
    ASSERT_TRUE(box.waitForPass());
    for (int nRound = 0; nRound < 3; ++nRound) {
        for (const pid_t pid : old)
            kill(pid, SIGKILL);
        EXPECT_TRUE(waitFor(
            [&] {
                for (int i = 0; i < 3; ++i)
                    if (box.pidsOf(kServices[i]).empty() || box.pidsOf(kServices[i])[0] == old[i])
                        return false;
                return true;
            },
            nRound == 0 ? 2500ms : 12000ms))
            << "round " << nRound;
        ASSERT_TRUE(waitFor(allRunAnewAndWatched, 12s)) << "round " << nRound << "\n" << box.log();
    }
    EXPECT_TRUE(waitFor([&] { return descriptorsOf(daemon).size() <= nBefore; }, 5s))
        << ::testing::PrintToString(descriptorsOf(daemon));
    EXPECT_TRUE(box.stopDaemon());
}

TEST(RestartTest, ServiceThatEndsRightAwayIsNotStartedInALoop) {
    testsupport::Sandbox box;
    box.writeRaw("AccessBroker.crash", "300");  // lives long enough to be watched
    ASSERT_GT(box.startDaemon(), 0);
    // Enough starts to span two 5-second passes; no four of them within 5 seconds.
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker") >= 5; }, 20s));
    const auto times = box.startTimes("AccessBroker");
    for (size_t i = 0; i + 3 < times.size(); ++i)
        EXPECT_GE(times[i + 3] - times[i], 5000) << "from start " << i;
    EXPECT_TRUE(box.stopDaemon());
}

}  // namespace
