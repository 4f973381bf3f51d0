#include "orvexMon.h"
#include "orvexMonLog.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::waitFor;

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
    void TearDown() override {
        for (pid_t pid : m_vecChildren) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    static int countInLog(const std::string& text) {
        const std::string strLog = testsupport::readFile(
            CLog(*s_pHome / "log", 0, "OrvexMon").GetNewLogFile(ACE_Date_Time()));
        int n = 0;
        for (size_t at = strLog.find(text); at != std::string::npos; at = strLog.find(text, at + 1))
            ++n;
        return n;
    }
    // A sleeping child whose command name is name.
    pid_t spawnNamed(const std::string& name) {
        const std::string path = *s_pHome / name;
        std::filesystem::copy_file("/bin/sleep", path,
                                   std::filesystem::copy_options::overwrite_existing);
        const pid_t pid = fork();
        if (pid == 0) {
            execl(path.c_str(), name.c_str(), "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        m_vecChildren.push_back(pid);
        EXPECT_TRUE(waitFor([&] { return CProcessMng::findProcess(name.c_str()) == pid; }, 5s));
        return pid;
    }
    static mode_t modeOf(const std::string& name) {
        struct stat st;
        return stat(name.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    static TempDir* s_pHome;
    std::vector<pid_t> m_vecChildren;
};
TempDir* WatchdogTest::s_pHome = nullptr;

TEST_F(WatchdogTest, FindProcessFollowsTheServiceAcrossRestarts) {
    const pid_t first = spawnNamed("WdFindA");
    EXPECT_EQ(CProcessMng::findProcess("WdFindA"), first);
    kill(first, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return CProcessMng::findProcess("WdFindA") == -1; }, 5s))
        << "a killed service, reaped or not, counts as missing";
    waitpid(first, nullptr, 0);
    const pid_t second = spawnNamed("WdFindA");
    EXPECT_EQ(CProcessMng::findProcess("WdFindA"), second);
    EXPECT_EQ(CProcessMng::findProcess("WdFind"), -1) << "names match whole";
}

TEST_F(WatchdogTest, FindProcessLogsMissingAndInvalidNames) {
    EXPECT_EQ(CProcessMng::findProcess("WdNoSuchName"), -1);
    EXPECT_EQ(countInLog("procMng.findProc: find process WdNoSuchName[4294967295]."), 1);
    EXPECT_EQ(CProcessMng::findProcess(nullptr), -1);
    EXPECT_EQ(countInLog("procMng.findProc: Input parameters invalid."), 1);
}

TEST_F(WatchdogTest, StartProcessRunsTheCommandLineInTheBackground) {
    EXPECT_EQ(CProcessMng::startProcess("touch started.flag"), 0);
    EXPECT_TRUE(waitFor([] { return testsupport::pathExists("started.flag"); }, 5s));
    EXPECT_EQ(countInLog("procMng.startProc: Start process touch started.flag successful."), 1);
    EXPECT_EQ(CProcessMng::startProcess(nullptr), -1);
    EXPECT_EQ(countInLog("procMng.startProc: Input parameters invalid."), 1);
}

TEST_F(WatchdogTest, StartPorcessExecsWithoutAShell) {
    char* argv[] = {const_cast<char*>("touch"), const_cast<char*>("execd flag"), nullptr};
    const int pid = CProcessMng::startPorcess("touch", argv);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(testsupport::pathExists("execd flag"));
}

TEST_F(WatchdogTest, GetResFromLinuxCmdReturnsTheFirstLineCut) {
    EXPECT_EQ(CProcessMng::getResFromLinuxCMD("echo hello; echo world"), "hello\n");
    EXPECT_EQ(CProcessMng::getResFromLinuxCMD("printf '%040d' 0"), std::string(31, '0'));
    EXPECT_EQ(CProcessMng::getResFromLinuxCMD("true"), "");
    EXPECT_EQ(countInLog("procMng.getResFrmCmd: fgets failed"), 1);
}

TEST_F(WatchdogTest, CoreFilesGetMode0777OnceWithOneLine) {
    for (const char* name : {"a.core", ".core", "core", "a.core.gz", "a.CORE", "t.target"}) {
        testsupport::writeFile(name, "x");
        chmod(name, 0600);
    }
    // Neither a link nor a second name of a file hands root's chmod to another file.
    ASSERT_EQ(symlink("t.target", "l.core"), 0);
    ASSERT_EQ(link("t.target", "h.core"), 0);
    ASSERT_EQ(symlink("nowhere", "dangling.core"), 0);
    ASSERT_EQ(mkdir("x.core", 0700), 0);
    doCoreTask();
    doCoreTask();
    EXPECT_EQ(modeOf("a.core"), 0777u);
    EXPECT_EQ(modeOf(".core"), 0777u);
    for (const char* name : {"core", "a.core.gz", "a.CORE", "t.target"})
        EXPECT_EQ(modeOf(name), 0600u) << name;
    EXPECT_EQ(modeOf("x.core"), 0700u);
    EXPECT_EQ(countInLog("doCoreTask: begin change permissions of core file: [a.core]."), 1);
    for (const std::string name : {"l.core", "h.core", "dangling.core"})
        EXPECT_EQ(countInLog("[" + name + "]"), 0) << name;
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

TEST(CoreLimitTest, LiftsTheSoftLimit) {
    setCoreLimit();
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_CORE, &limit), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(limit.rlim_cur, RLIM_INFINITY);
    }
}

}  // namespace
