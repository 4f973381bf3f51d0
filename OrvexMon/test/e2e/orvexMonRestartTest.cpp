// A supervised service that ends is started again at once, not at the next 5-second pass,
// without crash loops and without the daemon's descriptors growing.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>

using namespace std::chrono_literals;
using testsupport::Sandbox;
using testsupport::waitFor;

namespace {

const char* const kServices[] = {"AccessBroker", "AssetWarden", "LeakSentry"};
const char kAllEnabled[] = "<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>";

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// The one live pid of name once the daemon watches it; -1 when that does not happen.
pid_t watchedPidOf(Sandbox& box, const char* name) {
    pid_t watched = -1;
    waitFor(
        [&] {
            const auto pids = box.pidsOf(name);
            if (pids.size() == 1 && contains(box.watchedPids(), pids[0]))
                watched = pids[0];
            return watched > 0;
        },
        12s);
    return watched;
}

TEST(RestartTest, KilledServicesComeBackWithoutWaitingForThePass) {
    Sandbox box;
    box.setCustomization(kAllEnabled);
    ASSERT_GT(box.startDaemon(), 0);
    for (const char* name : kServices) {
        const pid_t old = watchedPidOf(box, name);
        ASSERT_GT(old, 0) << name;
        // Right after a pass the next one is about 5 seconds away: a restart well before
        // that comes from the service's end, not from the pass.
        ASSERT_TRUE(box.waitForPass());
        kill(old, SIGKILL);
        EXPECT_TRUE(waitFor(
            [&] {
                const auto pids = box.pidsOf(name);
                return !pids.empty() && pids[0] != old;
            },
            2500ms))
            << name;
    }
    EXPECT_TRUE(box.stopDaemon());
}

TEST(RestartTest, ServiceThatEndsRightAwayIsNotStartedInALoop) {
    Sandbox box;
    box.writeRaw("AccessBroker.crash", "300");  // lives long enough to be watched
    ASSERT_GT(box.startDaemon(), 0);
    // Enough starts to span two 5-second passes.
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker") >= 5; }, 20s));
    const auto times = box.startTimes("AccessBroker");
    for (size_t i = 0; i < times.size(); ++i) {
        size_t nInWindow = 0;
        for (size_t j = i; j < times.size() && times[j] - times[i] < 5000; ++j)
            ++nInWindow;
        EXPECT_LE(nInWindow, 3u) << "starts within 5 s from start " << i;
    }
    EXPECT_TRUE(box.stopDaemon());
}

TEST(RestartTest, DescriptorsDoNotGrowOverKillsAndRestarts) {
    Sandbox box;
    box.setCustomization(kAllEnabled);
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    for (const char* name : kServices)
        ASSERT_GT(watchedPidOf(box, name), 0) << name;
    // The daemon opens short-lived descriptors too (a log line, a scan of the table):
    // compare what it holds at rest.
    const auto before = testsupport::descriptorsOf(daemon);
    size_t nBefore = before.size();
    waitFor(
        [&] {
            nBefore = std::min(nBefore, testsupport::descriptorsOf(daemon).size());
            return false;
        },
        500ms);
    // A descriptor kept per restart would show as four or more.
    for (int nCycle = 0; nCycle < 12; ++nCycle) {
        const char* name = kServices[nCycle % 3];
        const pid_t old = watchedPidOf(box, name);
        ASSERT_GT(old, 0) << name << " in cycle " << nCycle << "\n"
                          << ::testing::PrintToString(box.pidsOf(name)) << " watched "
                          << ::testing::PrintToString(box.watchedPids()) << "\n"
                          << box.log();
        kill(old, SIGKILL);
        ASSERT_TRUE(waitFor([&] { return !box.pidsOf(name).empty(); }, 12s)) << name;
    }
    for (const char* name : kServices)
        ASSERT_GT(watchedPidOf(box, name), 0) << name;
    EXPECT_TRUE(waitFor([&] { return testsupport::descriptorsOf(daemon).size() <= nBefore; }, 5s))
        << ::testing::PrintToString(before) << "\n"
        << ::testing::PrintToString(testsupport::descriptorsOf(daemon));
    EXPECT_TRUE(box.stopDaemon());
}

}  // namespace
