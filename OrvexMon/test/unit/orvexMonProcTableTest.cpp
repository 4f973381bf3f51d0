#include "orvexMonProcTable.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::readFile;

enum How { kOurs, kOthersCopy, kOthersRename, kZombie };

TEST(ProcTableTest, FindsOnlyLiveProcessesOfOursByTheirWholeCommandName) {
    const passwd* pNobody = getpwnam("nobody");
    const std::string P = std::to_string(getpid());
    // How it runs, the command name it runs under, the one looked up, found. The second
    // holds the characters that frame the name in /proc/<pid>/stat: a parser that stops at
    // the first ')' reads "T" with state 'Z'. The kernel cuts the long one. Anyone may run
    // a program under a service's name: a copy of it, or prctl.
    // clang-format off
    const struct { How how; std::string strRun, strLookup; bool bFound; } cases[] = {
        {kOurs, "PT" + P, "PT" + P, true}, {kOurs, "T) Z (" + P, "T) Z (" + P, true},
        {kOurs, "PT" + P + "x", "PT" + P, false}, {kOurs, "PT" + P, "PT" + P + "x", false},
        {kOurs, "PTLongName" + P + "xyz", "PTLongName" + P + "xyz", false},
        {kOthersCopy, "PT" + P, "PT" + P, false}, {kOthersRename, "PT" + P, "PT" + P, false},
        {kZombie, "PT" + P, "PT" + P, false}};
    // clang-format on
    testsupport::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    for (const auto& [how, strRun, strLookup, bFound] : cases) {
        SCOPED_TRACE("how " + std::to_string(how) + ": " + strRun + " looked up as " + strLookup);
        const bool bOthers = how == kOthersCopy || how == kOthersRename;
        if (bOthers && (geteuid() != 0 || pNobody == nullptr))
            continue;  // needs root to run a process as nobody
        // The kernel names a process after the file it runs: a copy of sleep of that name.
        const std::string strPath = dir / strRun;
        testsupport::writeFile(strPath, readFile("/bin/sleep"));
        ASSERT_EQ(chmod(strPath.c_str(), 0755), 0);
        const pid_t nPid = fork();
        if (nPid == 0) {
            if (bOthers &&
                (setgroups(0, nullptr) | setgid(pNobody->pw_gid) | setuid(pNobody->pw_uid)))
                _exit(126);
            // Non-dumpable, its /proc files show as root's; it waits to be killed.
            if (how == kOthersRename && prctl(PR_SET_DUMPABLE, 0) == 0 &&
                prctl(PR_SET_NAME, strRun.c_str()) == 0)
                pause();
            execl(strPath.c_str(), strPath.c_str(), how == kZombie ? "0" : "1000", nullptr);
            _exit(127);
        }
        const int fdEnd = procWatchExit(nPid);
        if (how == kZombie)  // waits for the exit but leaves a zombie that keeps its name
            waitid(P_PID, static_cast<id_t>(nPid), nullptr, WEXITED | WNOWAIT);
        const std::string strComm = "/proc/" + std::to_string(nPid) + "/comm",
                          strName = strRun.substr(0, procTableNameMax()) + "\n";
        EXPECT_TRUE(testsupport::waitFor([&] { return readFile(strComm) == strName; }, 10s));
        int nFound = -7;
        const ProcLookup found = procTableFind(strLookup.c_str(), nFound);
        EXPECT_TRUE(found == (bFound ? ProcLookup::kFound : ProcLookup::kNotFound) &&
                    nFound == (bFound ? nPid : -7));
        EXPECT_TRUE(procTableHasName(nPid, strLookup.c_str()) == bFound &&
                    procRunsAsUs(nPid) == !bOthers);
        // The exit watch becomes readable when the process ends, not before.
        pollfd end{fdEnd, POLLIN, 0};
        EXPECT_EQ(poll(&end, 1, 0), how == kZombie ? 1 : 0);
        EXPECT_TRUE(kill(nPid, SIGKILL) == 0 && poll(&end, 1, 10000) == 1);
        close(fdEnd);
        waitpid(nPid, nullptr, 0);
    }
}

// A /proc without processes (not mounted) tells nothing: "missing" would restart every service.
TEST(ProcTableTest, EmptyProcIsUnreadableNotMissing) {
    const pid_t nPid = fork();
    if (nPid == 0) {
        // Private first, so that nothing mounted here reaches the rest of the machine.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        int nFound = -1;
        _exit(procTableFind("sleep", nFound) == ProcLookup::kTableUnreadable ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    if (WEXITSTATUS(nStatus) == 77)
        GTEST_SKIP() << "no permission for a private mount namespace";
    EXPECT_EQ(nStatus, 0);
}
