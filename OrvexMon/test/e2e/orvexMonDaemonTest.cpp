// The real OrvexMon in a sandbox install: start, lock and stop, with the customization
// deciding what is supervised.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace std::chrono_literals;
using namespace testsupport;

// An INSTALL_DIR with a blank and shell characters (unquoted, the shell would touch a
// file) and data-leak prevention alone, which supervises nothing more. A lock file that is
// a link, then one of another user who holds a read lock on it (older versions made it
// 0644) and who runs a process named AccessBroker, non-dumpable so that its /proc files
// show as root's.
TEST(DaemonTest, StartLockAndStop) {
    Sandbox box("Orvex dir;touch injected;x", "<LeakPrevention enabled=\"1\"/>");
    const std::string lock = ORVEXMON_TEST_LOCK_FILE;
    // The launcher's output read to its end, through a pipe: it ends only when whatever it
    // started has let go of it.
    const std::vector<std::string> readToEnd = {"sh", "-c", "\"$0\" | cat"};
    writeFile(box.path("target"), "keep");
    unlink(lock.c_str());
    ASSERT_EQ(symlink(box.path("target").c_str(), lock.c_str()), 0);
    EXPECT_EQ(box.run({}, readToEnd).second,
              "OrvexMon error: " + lock + ": Too many levels of symbolic links\n");
    EXPECT_EQ(box.countInLog("procMng.lockProc: Fail to open lock file " + lock), 1);
    EXPECT_EQ(readFile(box.path("target")), "keep");
    unlink(lock.c_str());
    writeFile(lock, "");
    ASSERT_TRUE(chmod(lock.c_str(), 0644) == 0 && chown(lock.c_str(), 65534, 0) == 0);
    if (fork() == 0) {
        // Opened first: the build tree may sit where that user cannot reach.
        const int fd = open(lock.c_str(), O_RDONLY);
        const struct flock hold = {F_RDLCK, SEEK_SET, 0, 0, 0};
        if (setgid(65534) == 0 && setuid(65534) == 0 && fcntl(fd, F_SETLK, &hold) == 0 &&
            prctl(PR_SET_DUMPABLE, 0) == 0 && prctl(PR_SET_NAME, "AccessBroker") == 0)
            pause();
        _exit(1);
    }
    ASSERT_TRUE(waitFor([&] { return !box.pidsOf("AccessBroker").empty(); }, 5s));

    const pid_t daemon = box.startDaemon(readToEnd);
    ASSERT_GT(daemon, 0) << box.log();
    EXPECT_NE(getsid(daemon), getsid(0)) << "the daemon left the launcher's session";
    struct stat st;
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(std::make_pair(st.st_mode & 07777, st.st_uid), std::make_pair(0600u, geteuid()));
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker").size() == 1; }, 10s)) << box.log();
    EXPECT_EQ(box.run({}, readToEnd).second,
              "OrvexMon error : Process is running now, can not exist two instances!\n");
    EXPECT_EQ(box.countInLog("procMng.lockProc: OrvexMon is running now."), 1);

    // Hang-up and interrupt are ignored (a signal of a lower number comes first); SIGTERM is
    // an orderly stop: the last line, status 0, the services left running.
    kill(daemon, SIGHUP);
    kill(daemon, SIGINT);
    EXPECT_EQ(box.stopDaemon(SIGTERM), 0);
    const std::string log = box.log();
    EXPECT_EQ(log.substr(log.size() - 39), "[dbg-in-wrn] OrvexMon quit successful.\n");

    // The lock went with it. A new daemon finds the service running after its first pass, and
    // starts it at once when it has ended. The service got no terminal and none of the daemon's
    // descriptors.
    const pid_t next = box.startDaemon();
    ASSERT_GT(next, 0) << box.log();
    ASSERT_TRUE(box.waitForPass());
    const pid_t first = std::stoi(box.starts("AccessBroker")[0]);
    EXPECT_EQ(descriptorsOf(first),
              (std::multiset<std::string>{"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"}));
    kill(first, SIGKILL);  // the next pass is about 5 seconds away: the end restarts it
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker").size() == 2; }, 2500ms));
    EXPECT_EQ(box.countInLog("procMng.chkProc: Process AccessBroker not exists now restart it."), 2);
    EXPECT_EQ(box.starts("AssetWarden").size() + box.starts("LeakSentry").size(), 0u);

    // "status": the daemon and each service with its pid (ours, not the decoy's) and the
    // starts of this daemon; it counts one once the shell has run, just after the service's line.
    const pid_t second = std::stoi(box.starts("AccessBroker")[1]);
    const std::string expected = "OrvexMon: running, pid " + std::to_string(next) + ", UDP port " +
                                 std::to_string(box.port()) + "\nAccessBroker: pid " +
                                 std::to_string(second) + ", 1 start\n";
    EXPECT_TRUE(waitFor([&] { return box.run({"status"}) == RunResult(0, expected); }, 5s))
        << box.run({"status"}).second;

    // A FIFO as the customization (no writer ever comes) wedges neither the watchdog nor -k.
    const std::string custom = box.path("conf/OrvexCustom.xml");
    ASSERT_TRUE(unlink(custom.c_str()) == 0 && mkfifo(custom.c_str(), 0644) == 0);
    kill(second, SIGKILL);
    const std::string verifyFailed = "procMng.chkProc: verify OrvexCustom.xml failed with err 1";
    EXPECT_TRUE(waitFor(
        [&] { return box.starts("AccessBroker").size() == 3 && box.countInLog(verifyFailed) > 0; },
        8s))
        << box.log();
    EXPECT_EQ(box.stopDaemon(), 0);
    EXPECT_FALSE(pathExists(box.path("injected")));
}  // the sandbox ends the decoy with the services
