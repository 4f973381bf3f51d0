// The real OrvexMon in a sandbox install: start, lock and stop with the customization
// deciding what is supervised; the command line; hostile senders on the command channel.
#include "sandbox.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

// Echo requests from sock, one every 100 ms, until the daemon at 127.0.0.1:nPort answers.
bool answersEcho(const UdpSocket& sock, uint16_t nPort) {
    std::vector<uint8_t> reply;
    return waitFor(
        [&] {
            return sock.sendTo(onWire(1, 1), "127.0.0.1", nPort) &&
                   sock.recvFrom(reply, nullptr, 100) && reply == onWire(1, 2);
        },
        5s);
}

// What a detached daemon prints to the output it inherited.
bool printsLater(const RunResult& run, const std::string& text) {
    return waitFor([&] { return readFile(run.strOutputFile) == text; }, 5s);
}

// An INSTALL_DIR with a blank and shell characters (unquoted, the shell would touch a
// file); a lock file that is a link, then one of another user who holds a read lock on it
// (older versions made it 0644) and who runs a process named AccessBroker, non-dumpable so
// that its /proc files show as root's.
TEST(DaemonTest, StartLockAndStop) {
    Sandbox box("Orvex dir;touch injected;x");
    const std::string lock = ORVEXMON_TEST_LOCK_FILE;
    writeFile(box.path("target"), "keep");
    unlink(lock.c_str());
    ASSERT_EQ(symlink(box.path("target").c_str(), lock.c_str()), 0);
    const RunResult linked = box.run({});
    EXPECT_EQ(linked.nStatus, 0);
    EXPECT_TRUE(
        printsLater(linked, "OrvexMon error: " + lock + ": Too many levels of symbolic links\n"));
    EXPECT_EQ(box.countInLog("procMng.lockProc: Fail to open lock file " + lock), 1);
    EXPECT_EQ(readFile(box.path("target")), "keep");
    unlink(lock.c_str());
    writeFile(lock, "");
    ASSERT_TRUE(chmod(lock.c_str(), 0644) == 0 && chown(lock.c_str(), 65534, 0) == 0);
    if (fork() == 0) {
        struct flock hold = {};
        hold.l_type = F_RDLCK;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
            fcntl(open(lock.c_str(), O_RDONLY), F_SETLK, &hold) != 0 ||
            prctl(PR_SET_DUMPABLE, 0) != 0 || prctl(PR_SET_NAME, "AccessBroker") != 0)
            _exit(1);
        for (;;)
            pause();
    }
    ASSERT_TRUE(waitFor([&] { return !box.pidsOf("AccessBroker").empty(); }, 5s));

    // The launcher's output read to its end, as $(./OrvexMon) does: it ends only when the
    // daemon has let go of it.
    const pid_t daemon = box.startDaemon({"sh", "-c", "printf %s \"$($0)\""});
    ASSERT_GT(daemon, 0);
    EXPECT_NE(getsid(daemon), getsid(0)) << "the daemon left the launcher's session";
    struct stat st;
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(std::make_pair(st.st_mode & 07777, st.st_uid), std::make_pair(0600u, geteuid()));
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker").size() == 1; }, 10s)) << box.log();

    const RunResult second = box.run({});
    EXPECT_EQ(second.nStatus, 0);
    EXPECT_TRUE(
        printsLater(second,
                    "OrvexMon error : Process is running now, can not exist two instances!\n"));
    EXPECT_TRUE(
        waitFor([&] { return box.countInLog("procMng.lockProc: OrvexMon is running now.") == 1; },
                5s));

    // Hang-up and interrupt are ignored (a signal of a lower number comes first); SIGTERM is
    // an orderly stop: the last line, status 0, the services left running.
    kill(daemon, SIGHUP);
    kill(daemon, SIGINT);
    EXPECT_EQ(box.stopDaemon(SIGTERM), 0);
    const std::string log = box.log();
    EXPECT_EQ(log.substr(log.size() - 39), "[dbg-in-wrn] OrvexMon quit successful.\n");

    // The lock went with it. A new daemon, with data-leak prevention alone (which supervises
    // nothing more), finds the service running after its first pass, and starts it only once
    // it has ended. The service got no terminal and none of the daemon's descriptors.
    box.setCustomization("<AssetManagement enabled=\"0\"/><LeakPrevention enabled=\"1\"/>");
    const pid_t next = box.startDaemon();
    ASSERT_GT(next, 0);
    ASSERT_TRUE(box.waitForPass());
    const pid_t first = box.starts("AccessBroker")[0].first;
    EXPECT_EQ(descriptorsOf(first),
              (std::multiset<std::string>{"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"}));
    kill(first, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker").size() == 2; }, 8s));
    EXPECT_EQ(box.countInLog("procMng.chkProc: Process AccessBroker not exists now restart it."), 2);
    EXPECT_FALSE(pathExists(box.path("AssetWarden.starts")) ||
                 pathExists(box.path("LeakSentry.starts")));

    // "status": the daemon and each service with its pid (ours, not the decoy's) and the
    // starts of this daemon; it counts one once the shell has run, just after the service's line.
    const std::string expected = "OrvexMon: running, pid " + std::to_string(next) + ", UDP port " +
                                 std::to_string(box.port()) + "\nAccessBroker: pid " +
                                 std::to_string(box.starts("AccessBroker")[1].first) +
                                 ", 1 start\n";
    RunResult running;
    EXPECT_TRUE(waitFor(
        [&] {
            return (running = box.run({"status"})).nStatus == 0 && running.strOutput == expected;
        },
        5s))
        << running.nStatus << " " << running.strOutput;

    // A FIFO as the customization (no writer ever comes) wedges neither the watchdog nor -k.
    ASSERT_EQ(unlink(box.path("conf/OrvexCustom.xml").c_str()), 0);
    ASSERT_EQ(mkfifo(box.path("conf/OrvexCustom.xml").c_str(), 0644), 0);
    kill(box.starts("AccessBroker")[1].first, SIGKILL);
    EXPECT_TRUE(waitFor(
        [&] {
            return box.starts("AccessBroker").size() == 3 &&
                   box.countInLog("procMng.chkProc: verify OrvexCustom.xml failed with err 1") > 0;
        },
        8s))
        << box.log();
    EXPECT_EQ(box.stopDaemon(), 0);
    EXPECT_FALSE(pathExists(box.path("injected")));
}  // the sandbox ends the decoy with the services

TEST(CommandLineTest, TextsAndExitStatuses) {
    Sandbox box;
    const std::string usage =
        "Usage: OrvexMon options parameters\n  -k|kill \n     Stop OrvexMon.\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string output;
    } cases[] = {
        {{"-k", "a", "b"}, 255, usage},  // before any log exists
        {{"-u"}, 255, "uninstall Orvex!\n"},
        {{"Uninstall", "x"}, 255, "uninstall Orvex!\n"},
        {{"-x"}, 255, usage},
        {{"LOG_clean,7"}, 255, usage},
        {{"log_clean,7", "x"}, 255, usage},
        {{"log_clean,7"}, 0, ""},
        {{"-K"}, 255, "OrvexMon error: Process is not running now!\n"},
        {{"STATUS"},
         3,
         "OrvexMon: not running (no answer on UDP port " + std::to_string(box.port()) +
             ")\nAccessBroker: not running\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const RunResult result = box.run(c.args);
        EXPECT_EQ(std::make_pair(result.nStatus, result.strOutput),
                  std::make_pair(c.status, c.output));
        EXPECT_EQ(pathExists(box.path("log")), c.args.size() < 3);
    }
    EXPECT_NE(box.log("OrvexMonCmd").find("[CMsgProcess::echo] Receive message failed."),
              std::string::npos);
}

// A stop from another user is refused with one line, and so is -k run by one; a flood of
// bad datagrams costs a few lines a second and one with the count left out, and the next
// echo is answered.
TEST(DaemonTest, CommandChannelWithstandsHostileSenders) {
    Sandbox box;
    ASSERT_GT(box.startDaemon(), 0);
    const uint16_t nPort = static_cast<uint16_t>(box.port());
    // The same socket gets its echo answered, so the stop was read before it.
    const UdpSocket nobody("0.0.0.0", 0, 65534);
    ASSERT_TRUE(nobody.sendTo(onWire(2, 2), "127.0.0.1", nPort));
    ASSERT_TRUE(answersEcho(nobody, nPort));
    EXPECT_EQ(box.countInLog("[CCommandTask::process] Refuse stop command from 127.0.0.1:" +
                             std::to_string(nobody.port()) + ", a socket of uid 65534."),
              1)
        << box.log();
    const RunResult byNobody =
        box.run({"-k"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(std::make_pair(byNobody.nStatus, byNobody.strOutput),
              std::make_pair(255, std::string("OrvexMon error: Only root can stop OrvexMon.\n")));
    EXPECT_EQ(box.countInLog("Refuse stop command"), 1) << "-k sent a stop all the same";

    const int nLinesBefore = box.countInLog("\n");
    std::vector<uint8_t> bad = onWire(1, 1);
    bad[3] = 0x20;
    UdpSocket flood;
    for (int i = 0; i < 5000; ++i)
        flood.sendTo(bad, "127.0.0.1", nPort);  // a full queue drops some: fine
    EXPECT_TRUE(answersEcho(UdpSocket(), nPort));
    EXPECT_TRUE(
        waitFor([&] { return box.countInLog("rejected datagrams were not logged.") > 0; }, 5s));
    EXPECT_LE(box.countInLog("\n") - nLinesBefore, 200) << box.log();
    EXPECT_EQ(box.stopDaemon(), 0) << "root's -k stops it";
}

}  // namespace
