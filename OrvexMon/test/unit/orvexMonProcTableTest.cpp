#include "orvexMonProcTable.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

enum How { kOurs, kNobody, kZombie };

// How it runs, the command name it takes (prctl), the one looked up, found. The second holds
// the characters that frame the name in /proc/<pid>/stat: a parser that stops at the first ')'
// reads "T" with state 'Z'. The kernel cuts the long one. Anyone may name a process after a
// service; nobody's is not dumpable, so that its /proc files show as root's. The others
// wait stopped, or as a zombie, which keeps its name.
TEST(ProcTableTest, FindsOnlyLiveProcessesOfOursByWholeNameInAReadableTable) {
    const std::string N = "PT" + std::to_string(getpid()), kLong = N + "LongNameLongName";
    // clang-format off
    const struct { How how; std::string strRun, strLookup; bool bFound; } cases[] = {
        {kOurs, N, N, true}, {kOurs, "T) Z (" + N, "T) Z (" + N, true}, {kOurs, N + "x", N, false},
        {kOurs, N, N + "x", false}, {kOurs, kLong, kLong, false}, {kNobody, N, N, false},
        {kZombie, N, N, false}};
    // clang-format on
    for (const auto& [how, strRun, strLookup, bFound] : cases) {
        SCOPED_TRACE("how " + std::to_string(how) + ": " + strRun + " looked up as " + strLookup);
        if (how == kNobody && geteuid() != 0)
            continue;  // only root runs a process as nobody
        const pid_t nPid = fork();
        if (nPid == 0) {
            if (how == kNobody && (setgid(65534) | setuid(65534) | prctl(PR_SET_DUMPABLE, 0)) != 0)
                _exit(126);
            prctl(PR_SET_NAME, strRun.c_str());
            _exit(how == kZombie ? 0 : raise(SIGSTOP));  // stopped until killed
        }
        pollfd end{procWatchExit(nPid), POLLIN, 0};  // readable when the process has ended
        waitid(P_PID, static_cast<id_t>(nPid), nullptr, WEXITED | WSTOPPED | WNOWAIT);
        int nFound = -7;
        const ProcLookup found = procTableFind(strLookup.c_str(), nFound);
        EXPECT_EQ(std::tuple(found, nFound, procTableHasName(nPid, strLookup.c_str()),
                             procRunsAsUs(nPid), poll(&end, 1, 0)),
                  std::tuple(bFound ? ProcLookup::kFound : ProcLookup::kNotFound,
                             bFound ? nPid : -7, bFound, how != kNobody, how == kZombie ? 1 : 0));
        EXPECT_TRUE(kill(nPid, SIGKILL) == 0 && poll(&end, 1, 10000) == 1 && close(end.fd) == 0 &&
                    waitpid(nPid, nullptr, 0) == nPid);
    }
    // A /proc without processes (not mounted) tells nothing: "missing" would restart every
    // service. The mount is made private first, so that it reaches nothing else on the machine.
    const pid_t nPid = fork();
    int nFound = -1, nStatus = 0;
    if (nPid == 0)
        _exit(unshare(CLONE_NEWNS) != 0 ||
                      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                      mount("none", "/proc", "tmpfs", 0, nullptr) != 0
                  ? 77
                  : procTableFind("sleep", nFound) != ProcLookup::kTableUnreadable);
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    if (WEXITSTATUS(nStatus) == 77)
        GTEST_SKIP() << "no permission for a private mount namespace";
    EXPECT_EQ(nStatus, 0);
}
