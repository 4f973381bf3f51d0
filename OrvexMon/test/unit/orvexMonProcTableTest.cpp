#include "orvexMonProcTable.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

using namespace std::chrono_literals;
using testsupport::TempDir;
using testsupport::waitFor;

namespace {

const std::string s_strPid = std::to_string(getpid());

// A copy of sleep under a name of our choosing: the kernel names a process after the
// file it executes, so the copy runs under that command name.
std::string copySleep(const TempDir& dir, const std::string& strName) {
    const std::string strPath = dir / strName;
    testsupport::writeFile(strPath, testsupport::readFile("/bin/sleep"));
    EXPECT_EQ(chmod(strPath.c_str(), 0755), 0) << strPath;
    return strPath;
}

// The command name of pid as the kernel shows it, read without the code under test.
std::string commOf(pid_t nPid) {
    std::string strComm = testsupport::readFile("/proc/" + std::to_string(nPid) + "/comm");
    if (!strComm.empty() && strComm.back() == '\n')
        strComm.pop_back();
    return strComm;
}

// A started program, killed and reaped by pid on destruction. With pUser, it runs as that
// user; with an empty path, it only takes pszArg as its command name (prctl) and waits,
// made non-dumpable, so that its /proc files show as root's.
class Child {
public:
    Child(const std::string& strPath, const char* pszArg, const passwd* pUser = nullptr) {
        m_nPid = fork();
        if (m_nPid != 0)
            return;
        if (pUser != nullptr && (setgroups(0, nullptr) != 0 || setgid(pUser->pw_gid) != 0 ||
                                 setuid(pUser->pw_uid) != 0))
            _exit(126);
        if (strPath.empty()) {
            prctl(PR_SET_DUMPABLE, 0);
            prctl(PR_SET_NAME, pszArg);
            for (;;)
                pause();
        }
        execl(strPath.c_str(), strPath.c_str(), pszArg, static_cast<char*>(nullptr));
        _exit(127);
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_nPid; }
    /// True once the child runs the program: its command name is no longer ours.
    bool waitExec(const std::string& strComm) {
        return waitFor([&] { return commOf(m_nPid) == strComm; }, 10s);
    }
    void stop() {
        if (m_nPid <= 0)
            return;
        kill(m_nPid, SIGKILL);
        waitpid(m_nPid, nullptr, 0);
        m_nPid = -1;
    }

private:
    pid_t m_nPid = -1;
};

class ProcTableTest : public ::testing::Test {
protected:
    TempDir m_dir;
};

// Names the kernel holds verbatim, some with the characters that frame the name in
// /proc/<pid>/stat: a parser that stops at the first ')' reads "T" with state 'Z' there.
TEST_F(ProcTableTest, FindsALiveProcessOfOursByItsWholeCommandName) {
    const std::string vecNames[] = {"ProcTbl" + s_strPid, "T) Z (" + s_strPid, "T b " + s_strPid};
    for (const std::string& strName : vecNames) {
        SCOPED_TRACE(strName);
        ASSERT_LE(strName.size(), 15u);
        Child child(copySleep(m_dir, strName), "1000");
        ASSERT_TRUE(child.waitExec(strName));
        int nPid = -1;
        EXPECT_EQ(procTableFind(strName.c_str(), nPid), ProcLookup::kFound);
        EXPECT_EQ(nPid, child.pid());
        EXPECT_TRUE(procTableHasName(child.pid(), strName.c_str()));
        EXPECT_TRUE(procRunsAsUs(child.pid()));
    }

    const std::string strName = "ProcTblA" + s_strPid;
    Child child(copySleep(m_dir, strName), "1000");
    ASSERT_TRUE(child.waitExec(strName));
    copySleep(m_dir, "ProcTblB" + s_strPid);  // the same program, not running under this name
    const std::string strLong = "ProcTblLongName" + s_strPid + "xyz";
    Child longChild(copySleep(m_dir, strLong), "1000");
    ASSERT_TRUE(longChild.waitExec(strLong.substr(0, procTableNameMax())));
    const std::string vecOthers[] = {"ProcTblB" + s_strPid,
                                     "ProcTblA",
                                     "ProcTblA" + s_strPid + "x",
                                     "proctbla" + s_strPid,
                                     "ProcTblA" + s_strPid + " ",
                                     "",
                                     strLong,  // longer than the kernel keeps
                                     "NoSuchProc" + s_strPid};
    for (const std::string& strOther : vecOthers) {
        SCOPED_TRACE("[" + strOther + "]");
        int nPid = -7;
        EXPECT_EQ(procTableFind(strOther.c_str(), nPid), ProcLookup::kNotFound);
        EXPECT_EQ(nPid, -7);
        EXPECT_FALSE(procTableHasName(child.pid(), strOther.c_str()));
        EXPECT_FALSE(procTableHasName(longChild.pid(), strOther.c_str()));
    }
    int nPid = -1;
    EXPECT_EQ(procTableFind(nullptr, nPid), ProcLookup::kNotFound);
    EXPECT_FALSE(procTableHasName(child.pid(), nullptr));
    EXPECT_FALSE(procTableHasName(0, "init"));
    EXPECT_FALSE(procRunsAsUs(0));
}

// Anyone may run a program under a service's name: a copy of it, or prctl on itself.
TEST_F(ProcTableTest, AnotherUsersProcessIsNotFound) {
    const passwd* pNobody = getpwnam("nobody");
    if (geteuid() != 0 || pNobody == nullptr)
        GTEST_SKIP() << "needs root to run a process as nobody";
    ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
    const std::string strName = "ProcTblU" + s_strPid;
    Child copy(copySleep(m_dir, strName), "1000", pNobody);
    Child renamed("", strName.c_str(), pNobody);
    ASSERT_TRUE(copy.waitExec(strName));
    ASSERT_TRUE(renamed.waitExec(strName));
    int nPid = -1;
    EXPECT_EQ(procTableFind(strName.c_str(), nPid), ProcLookup::kNotFound);
    for (const Child* pChild : {&copy, &renamed}) {
        EXPECT_FALSE(procTableHasName(pChild->pid(), strName.c_str()));
        EXPECT_FALSE(procRunsAsUs(pChild->pid()));
    }
}

TEST_F(ProcTableTest, ZombieIsNotFound) {
    const std::string strName = "ProcTblZ" + s_strPid;
    Child child(copySleep(m_dir, strName), "0");
    // Waits for the exit but leaves the child unreaped: a zombie that keeps its name.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child.pid()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(info.si_status, 0) << "the copy of sleep did not run";
    int nFound = -1;
    EXPECT_EQ(procTableFind(strName.c_str(), nFound), ProcLookup::kNotFound);
    EXPECT_FALSE(procTableHasName(child.pid(), strName.c_str()));
}

// A process table without a single process, as in a container without /proc mounted, is
// a table we cannot read, not one where every service is missing. Seen from a child in a
// mount namespace of its own with an empty file system over /proc.
TEST_F(ProcTableTest, EmptyProcIsUnreadableNotMissing) {
    const pid_t nPid = fork();
    if (nPid == 0) {
        // Private first, so that nothing mounted here reaches the rest of the machine.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(77);
        if (mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        int nFound = -1;
        _exit(procTableFind("sleep", nFound) == ProcLookup::kTableUnreadable ? 0 : 1);
    }
    ASSERT_GT(nPid, 0);
    int nStatus = 0;
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    if (WEXITSTATUS(nStatus) == 77)
        GTEST_SKIP() << "no permission for a private mount namespace";
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
}

}  // namespace
