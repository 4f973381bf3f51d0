// A supervised service that ends is started again at once, not at the next 5-second pass,
// without crash loops and without the daemon's descriptors growing.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace std::chrono_literals;
using namespace testsupport;

// Both flags supervise AssetWarden and LeakSentry, which are killed; AccessBroker ends by
// itself each time, 300 ms after its start: long enough to be watched.
TEST(RestartTest, EndedServicesComeBackAtOnceWithoutLoopsOrDescriptorsLeft) {
    Sandbox box;
    box.setCustomization("<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>");
    writeFile(box.path("AccessBroker.crash"), "");
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    const char* const kKilled[] = {"AssetWarden", "LeakSentry"};
    // Both started nStarts times, the last one's end watched (a pidfd of the daemon's).
    const auto watched = [&](size_t nStarts) {
        const std::multiset<std::string> fdinfo =
            linesOf("grep -sh ^Pid: /proc/" + std::to_string(daemon) + "/fdinfo/*; true");
        for (const char* pszName : kKilled) {
            const auto starts = box.starts(pszName);
            if (starts.size() != nStarts ||
                fdinfo.count("Pid:\t" + std::to_string(starts.back().first)) == 0)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(waitFor([&] { return watched(1); }, 12s)) << box.log();
    // Taken at rest; the daemon's short-lived descriptors (a log line, a scan) come and go.
    const size_t nDescriptors = descriptorsOf(daemon).size();
    // Right after a pass the next one is about 5 seconds away: a restart well before that
    // comes from the services' ends.
    ASSERT_TRUE(box.waitForPass());
    for (const char* pszName : kKilled)
        kill(box.starts(pszName)[0].first, SIGKILL);
    EXPECT_TRUE(
        waitFor([&] { return box.starts(kKilled[0]).size() + box.starts(kKilled[1]).size() == 4; },
                2500ms));
    EXPECT_TRUE(waitFor([&] { return watched(2); }, 12s));
    EXPECT_EQ(box.countInLog(
                  "[CProcessMng::checkProcess] Process LeakSentry not exists now restart it."),
              2);

    // Starts that span two 5-second passes, no four of them within 5 seconds; its first end,
    // well before the next pass, restarts it at once.
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker").size() >= 5; }, 15s));
    const auto starts = box.starts("AccessBroker");
    EXPECT_LT(starts[1].second - starts[0].second, 2500);
    for (size_t i = 0; i + 3 < starts.size(); ++i)
        EXPECT_GE(starts[i + 3].second - starts[i].second, 5000) << "from start " << i;
    EXPECT_TRUE(waitFor([&] { return descriptorsOf(daemon).size() <= nDescriptors; }, 5s))
        << ::testing::PrintToString(descriptorsOf(daemon));
    EXPECT_EQ(box.stopDaemon(), 0);
}
