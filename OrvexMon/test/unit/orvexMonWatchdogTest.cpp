#include "orvexMon.h"
#include "orvexMonLog.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

// The home path is the working directory at its first use: one per test process, with
// the log in it.
class WatchdogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pHome = new TempDir;
        EXPECT_EQ(chdir(s_pHome->path().c_str()), 0);
        createModeLog(getHomePath(), "OrvexMon");
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(chdir("/"), 0);
        delete s_pHome;
    }
    static int countInLog(const std::string& text) {
        const std::string strLog = testsupport::readFile(
            CLog(*s_pHome / "log", 0, "OrvexMon").GetNewLogFile(ACE_Date_Time()));
        int n = 0;
        for (size_t at = strLog.find(text); at != std::string::npos; at = strLog.find(text, at + 1))
            ++n;
        return n;
    }
    static mode_t modeOf(const std::string& name) {
        struct stat st;
        return stat(name.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    static TempDir* s_pHome;
};
TempDir* WatchdogTest::s_pHome = nullptr;

TEST_F(WatchdogTest, FindProcessLogsMissingAndInvalidNames) {
    EXPECT_EQ(CProcessMng::findProcess("WdNoSuchName"), -1);
    EXPECT_EQ(countInLog("procMng.findProc: find process WdNoSuchName[4294967295]."), 1);
    EXPECT_EQ(CProcessMng::findProcess(nullptr), -1);
    EXPECT_EQ(countInLog("procMng.findProc: Input parameters invalid."), 1);
}

TEST_F(WatchdogTest, CoreFilesGetMode0777OnceWithOneLine) {
    for (const char* name : {"a.core", ".core", "core", "a.core.gz", "a.CORE", "t.target"}) {
        testsupport::writeFile(name, "x");
        chmod(name, 0600);
    }
    ASSERT_EQ(symlink("t.target", "l.core"), 0);
    ASSERT_EQ(mkdir("x.core", 0700), 0);
    doCoreTask();
    doCoreTask();
    EXPECT_EQ(modeOf("a.core"), 0777u);
    EXPECT_EQ(modeOf(".core"), 0777u);
    EXPECT_EQ(modeOf("t.target"), 0777u) << "a link's target is changed";
    for (const char* name : {"core", "a.core.gz", "a.CORE"})
        EXPECT_EQ(modeOf(name), 0600u) << name;
    EXPECT_EQ(modeOf("x.core"), 0700u);
    EXPECT_EQ(countInLog("doCoreTask: begin change permissions of core file: [a.core]."), 1);
    EXPECT_EQ(countInLog("doCoreTask: begin change permissions of core file: [l.core]."), 1);

    ASSERT_EQ(symlink("nowhere", "dangling.core"), 0);
    doCoreTask();
    EXPECT_EQ(countInLog("doCoreTask: fail to get status of file [dangling.core]."), 1);
}

TEST(LogCleanDueTest, OncePerDayInTheCleanHour) {
    struct Case {
        int hour, day, cleanHour, lastDay;
        bool due;
    } cases[] = {
        {10, 6, 10, 0, true},   // started inside the clean hour
        {10, 6, 10, 6, false},  // already ran today, or the clock was set back into the hour
        {10, 7, 10, 6, true},   // the next day
        {11, 7, 10, 6, false},  // outside the hour
        {0, 1, 0, 31, true},    // a new month
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isLogCleanDue(c.hour, c.day, c.cleanHour, c.lastDay), c.due)
            << c.hour << " " << c.day << " " << c.lastDay;
    }
}

}  // namespace
