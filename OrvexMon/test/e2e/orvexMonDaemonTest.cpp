// The real OrvexMon in a sandbox install: start, lock, supervision, customization, stop.
#include "sandbox.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::Sandbox;
using testsupport::UdpSocket;
using testsupport::waitFor;

namespace {

const char kUsage[] = "Usage: OrvexMon options parameters\n  -k|kill \n     Stop OrvexMon.\n";

// A 53-byte command message on the wire, written out by hand.
std::vector<uint8_t> message(uint8_t cType, uint8_t cCode) {
    std::vector<uint8_t> bytes(53, 0);
    const uint8_t head[] = {0xF7, 0x10, 0x3D, 0x21, 0x00, 0x35};
    std::copy(head, head + 6, bytes.begin());
    bytes[22] = cType;
    bytes[23] = cCode;
    return bytes;
}

// Echo requests from sock, one every 100 ms, until the daemon at 127.0.0.1:nPort answers.
bool answersEcho(const UdpSocket& sock, uint16_t nPort) {
    std::vector<uint8_t> reply;
    return waitFor(
        [&] {
            return sock.sendTo(message(1, 1), "127.0.0.1", nPort) &&
                   sock.recvFrom(reply, nullptr, 100) && reply == message(1, 2);
        },
        5s);
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs body in a child that has become the user nobody, and pause()s there until killed;
// the child's pid, or -1 when we cannot change users.
pid_t forkAsNobody(const std::function<void()>& body) {
    const passwd* pNobody = getpwnam("nobody");
    if (geteuid() != 0 || pNobody == nullptr)
        return -1;
    const uid_t uid = pNobody->pw_uid;
    const gid_t gid = pNobody->pw_gid;
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(1);
        body();
        for (;;)
            pause();
    }
    return pid;
}

// An INSTALL_DIR with a blank and shell characters; unquoted, the shell would touch a file.
const char kOddHome[] = "Orvex dir;touch injected;x";

TEST(DaemonTest, LetsGoOfItsLauncherKeepsAccessBrokerAliveAndStopsOnSigterm) {
    Sandbox box(kOddHome);
    // Another user's process named AccessBroker, non-dumpable so that its /proc files show
    // as root's.
    const pid_t decoy = forkAsNobody([] {
        prctl(PR_SET_DUMPABLE, 0);
        prctl(PR_SET_NAME, "AccessBroker");
    });
    if (decoy > 0) {
        ASSERT_TRUE(waitFor([&] { return box.isRunning("AccessBroker"); }, 5s));
    }
    // The launcher's output read to its end, as $(./OrvexMon) does: it ends only when the
    // daemon has let go of it.
    const pid_t daemon = box.startDaemon({"sh", "-c", "printf %s \"$($0)\""});
    ASSERT_GT(daemon, 0);
    EXPECT_NE(getsid(daemon), getsid(0)) << "the daemon left the launcher's session";

    // Another user's process of that name is not the service.
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker") == 1; }, 10s)) << box.log();
    const pid_t first = atoi(readFile(box.path("AccessBroker.starts")).c_str());
    EXPECT_EQ(testsupport::descriptorsOf(first),
              (std::vector<std::string>{"0 -> /dev/null", "1 -> /dev/null", "2 -> /dev/null"}))
        << "a service gets no terminal and none of the daemon's descriptors";

    // Interrupt and hang-up signals are ignored.
    kill(daemon, SIGINT);
    kill(daemon, SIGHUP);
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_EQ(box.starts("AccessBroker"), 1)
        << "a running service is never started again\n"
        << testsupport::readFile(box.path("AccessBroker.starts")) << box.log();
    EXPECT_FALSE(testsupport::pathExists(box.path("injected")));

    kill(first, SIGKILL);
    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker") == 2; }, 8s));
    EXPECT_EQ(box.countInLog("procMng.chkProc: Process AccessBroker not exists now restart it."), 2);

    // "status" reports the daemon and each service with its pid (ours, not the decoy's) and
    // its starts.
    const std::string startLines = readFile(box.path("AccessBroker.starts"));
    const pid_t second = atoi(startLines.c_str() + startLines.find('\n') + 1);
    // The daemon counts a start once the shell has run, which may be just after the
    // service has written its line.
    const std::string expected = "OrvexMon: running, pid " + std::to_string(daemon) +
                                 ", UDP port " + std::to_string(box.port()) +
                                 "\nAccessBroker: pid " + std::to_string(second) + ", 2 starts\n";
    testsupport::RunResult running;
    EXPECT_TRUE(waitFor(
        [&] {
            running = box.run({"status"});
            return running.nStatus == 0 && running.strOutput == expected;
        },
        5s))
        << running.nStatus << " " << running.strOutput;

    // SIGTERM is an orderly stop: the last line, status 0, the services left running.
    ASSERT_TRUE(box.stopDaemon(SIGTERM));
    EXPECT_EQ(box.exitStatus(daemon), 0);
    const std::string log = box.log();
    EXPECT_EQ(log.substr(log.size() - 39), "[dbg-in-wrn] OrvexMon quit successful.\n");
    ASSERT_TRUE(box.isRunning("AccessBroker")) << "stopping the daemon leaves its services";

    // The lock went with it: a new daemon starts and finds the service running.
    ASSERT_GT(box.startDaemon(), 0);
    ASSERT_TRUE(box.waitForPass());
    EXPECT_EQ(box.starts("AccessBroker"), 2);
    EXPECT_TRUE(box.stopDaemon());
    EXPECT_FALSE(testsupport::pathExists(box.path("injected")));
}  // the sandbox ends the decoy with the services

// The lock file is never followed through a link, and nobody else can hold it: a file
// another user made is replaced, even while that user holds a lock on it.
TEST(DaemonTest, OnlyAnotherDaemonHoldsOffAStart) {
    Sandbox box;
    const std::string lock = ORVEXMON_TEST_LOCK_FILE;
    unlink(lock.c_str());
    box.writeRaw("target", "keep");
    ASSERT_EQ(symlink(box.path("target").c_str(), lock.c_str()), 0);
    const auto linked = box.run({});
    EXPECT_EQ(linked.nStatus, 0);
    const std::string failed = "procMng.lockProc: Fail to open lock file " + lock;
    EXPECT_TRUE(waitFor([&] { return box.countInLog(failed) == 1; }, 5s)) << box.log();
    EXPECT_EQ(readFile(linked.strOutputFile),
              "OrvexMon error: " + lock + ": Too many levels of symbolic links\n");
    EXPECT_EQ(readFile(box.path("target")), "keep");
    unlink(lock.c_str());

    testsupport::writeFile(lock, "");
    chmod(lock.c_str(), 0644);  // as older versions made it: anyone could take a read lock
    const passwd* pNobody = getpwnam("nobody");
    pid_t holder = -1;
    if (geteuid() == 0 && pNobody != nullptr && chown(lock.c_str(), pNobody->pw_uid, 0) == 0) {
        holder = forkAsNobody([&] {
            struct flock hold = {};
            hold.l_type = F_RDLCK;
            fcntl(open(lock.c_str(), O_RDONLY), F_SETLK, &hold);
        });
        const int fd = open(lock.c_str(), O_RDWR);
        struct flock probe = {};
        ASSERT_TRUE(waitFor(
            [&] {
                probe.l_type = F_WRLCK;
                return fcntl(fd, F_GETLK, &probe) == 0 && probe.l_pid == holder;
            },
            5s));
        close(fd);
    }
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    struct stat st;
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());

    const auto second = box.run({});
    EXPECT_EQ(second.nStatus, 0);
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(second.strOutputFile) ==
                   "OrvexMon error : Process is running now, can not exist two instances!\n";
        },
        5s))
        << readFile(second.strOutputFile);
    EXPECT_TRUE(
        waitFor([&] { return box.countInLog("procMng.lockProc: OrvexMon is running now.") == 1; },
                5s));
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_TRUE(box.stopDaemon());
    if (holder > 0) {
        kill(holder, SIGKILL);
        EXPECT_TRUE(waitFor([&] { return box.hasEnded(holder); }, 5s));
    }
}

TEST(DaemonTest, LocalUsersCanNeitherStopItNorFloodItsLog) {
    Sandbox box;
    chmod(box.home().c_str(), 0755);  // another user runs ./OrvexMon -k there below
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    const uint16_t nPort = static_cast<uint16_t>(box.port());

    // A stop from a socket of another user: refused with one line; the same socket gets
    // its echo answered, so the stop was read before it.
    const auto pNobody = UdpSocket::ownedBy(65534, "0.0.0.0");
    ASSERT_TRUE(pNobody->valid());
    ASSERT_TRUE(pNobody->sendTo(message(2, 2), "127.0.0.1", nPort));
    ASSERT_TRUE(answersEcho(*pNobody, nPort));
    EXPECT_EQ(box.countInLog("[CCommandTask::process] Refuse stop command from 127.0.0.1:" +
                             std::to_string(pNobody->port()) + ", a socket of uid 65534."),
              1)
        << box.log();
    const auto byNobody =
        box.runUnder({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, {"-k"});
    EXPECT_EQ(byNobody.nStatus, 255);
    EXPECT_EQ(byNobody.strOutput, "OrvexMon error: Only root can stop OrvexMon.\n");
    EXPECT_EQ(box.countInLog("Refuse stop command"), 1) << "-k sent a stop all the same";

    // A flood of bad datagrams costs a few lines a second and one with the count left out.
    const int nLinesBefore = box.countInLog("\n");
    std::vector<uint8_t> bad = message(1, 1);
    bad[3] = 0x20;
    UdpSocket flood;
    for (int i = 0; i < 5000; ++i)
        flood.sendTo(bad, "127.0.0.1", nPort);  // a full queue drops some: fine
    UdpSocket next;
    EXPECT_TRUE(answersEcho(next, nPort));
    EXPECT_TRUE(
        waitFor([&] { return box.countInLog("rejected datagrams were not logged.") > 0; }, 5s));
    EXPECT_LE(box.countInLog("\n") - nLinesBefore, 200) << box.log();
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_TRUE(box.stopDaemon()) << "root's -k stops it";
}

TEST(DaemonTest, CustomizationDecidesWhatIsSupervised) {
    Sandbox box;
    box.setCustomization("<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>");
    ASSERT_GT(box.startDaemon(), 0);
    ASSERT_TRUE(
        waitFor([&] { return box.isRunning("AssetWarden") && box.isRunning("LeakSentry"); }, 12s));
    const pid_t leak = box.pidsOf("LeakSentry")[0];
    kill(leak, SIGKILL);
    ASSERT_TRUE(waitFor(
        [&] {
            const auto pids = box.pidsOf("LeakSentry");
            return !pids.empty() && pids[0] != leak;
        },
        12s));
    EXPECT_EQ(box.countInLog(
                  "[CProcessMng::checkProcess] Process LeakSentry not exists now restart it."),
              2);

    // A change takes effect at a later pass, without a restart of the daemon; turning a
    // flag off stops no service, and data-leak prevention alone supervises nothing.
    box.setCustomization("<AssetManagement enabled=\"0\"/><LeakPrevention enabled=\"1\"/>");
    ASSERT_TRUE(box.waitForPass());
    EXPECT_TRUE(box.isRunning("AssetWarden") && box.isRunning("LeakSentry"));
    for (const char* name : {"AssetWarden", "LeakSentry"}) {
        for (pid_t pid : box.pidsOf(name))
            kill(pid, SIGKILL);
    }
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_FALSE(box.isRunning("AssetWarden") || box.isRunning("LeakSentry"));
    EXPECT_EQ(box.starts("AssetWarden"), 1);
    EXPECT_EQ(box.starts("LeakSentry"), 2);
    EXPECT_TRUE(box.stopDaemon());
}

TEST(DaemonTest, UnverifiableCustomizationSupervisesOnlyAccessBroker) {
    Sandbox box;
    box.writeRaw("conf/OrvexCustom.xml", "<OrvexCustom><AssetManagement enabled=\"1\"/>");
    box.writeRaw("a.core", "core");
    chmod(box.path("a.core").c_str(), 0600);
    ASSERT_GT(box.startDaemon(), 0);
    ASSERT_TRUE(waitFor(
        [&] {
            return box.countInLog("procMng.chkProc: verify OrvexCustom.xml failed with err 2") >= 1;
        },
        12s))
        << box.log();

    // A FIFO customization: no writer ever comes, and nothing may wait for one.
    ASSERT_EQ(unlink(box.path("conf/OrvexCustom.xml").c_str()), 0);
    ASSERT_EQ(mkfifo(box.path("conf/OrvexCustom.xml").c_str(), 0644), 0);
    const std::string unreadable = "procMng.chkProc: verify OrvexCustom.xml failed with err 1";
    ASSERT_TRUE(waitFor([&] { return box.countInLog(unreadable) >= 2; }, 12s)) << box.log();
    ASSERT_TRUE(box.isRunning("AccessBroker"));
    const pid_t broker = box.pidsOf("AccessBroker")[0];
    kill(broker, SIGKILL);
    EXPECT_TRUE(waitFor(
        [&] {
            const auto pids = box.pidsOf("AccessBroker");
            return !pids.empty() && pids[0] != broker;
        },
        8s))
        << "AccessBroker is still supervised";
    EXPECT_EQ(box.starts("AssetWarden"), 0);
    EXPECT_EQ(modeOf(box.path("a.core")), 0600u) << "cores are left alone without a customization";
    EXPECT_TRUE(box.stopDaemon()) << "echo and stop are still answered";
}

TEST(CommandLineTest, TextsAndExitStatuses) {
    Sandbox box;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string output;
    } cases[] = {
        {{"-u"}, 255, "uninstall Orvex!\n"},
        {{"Uninstall", "x"}, 255, "uninstall Orvex!\n"},
        {{"-x"}, 255, kUsage},
        {{"LOG_clean,7"}, 255, kUsage},
        {{"log_clean,7", "x"}, 255, kUsage},
        {{"log_clean,7"}, 0, ""},
        {{"-K"}, 255, "OrvexMon error: Process is not running now!\n"},
        {{"STATUS"},
         3,
         "OrvexMon: not running (no answer on UDP port " + std::to_string(box.port()) +
             ")\nAccessBroker: not running\n"},
    };
    for (const Case& c : cases) {
        const auto result = box.run(c.args);
        EXPECT_EQ(result.nStatus, c.status) << c.args[0];
        EXPECT_EQ(result.strOutput, c.output) << c.args[0];
    }
    EXPECT_NE(box.log("OrvexMonCmd").find("[CMsgProcess::echo] Receive message failed."),
              std::string::npos);

    // Three arguments are rejected before any log exists.
    testsupport::removeTree(box.path("log"));
    const auto three = box.run({"-k", "a", "b"});
    EXPECT_EQ(three.nStatus, 255);
    EXPECT_EQ(three.strOutput, kUsage);
    EXPECT_FALSE(testsupport::pathExists(box.path("log")));
}

}  // namespace
