// The real OrvexMon in a sandbox install: start, supervision, customization, stop.
#include "sandbox.h"
#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::readFile;
using testsupport::Sandbox;
using testsupport::UdpSocket;
using testsupport::waitFor;

namespace {

const char kUsage[] = "Usage: OrvexMon options parameters\n  -k|kill \n     Stop OrvexMon.\n";

// Descriptors of pid beyond standard input, output and error, as "fd -> target".
std::vector<std::string> extraDescriptors(pid_t pid) {
    std::vector<std::string> extra;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* pDir = opendir(dir.c_str());
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
        if (pEntry->d_name[0] == '.' || atoi(pEntry->d_name) <= 2)
            continue;
        char szTarget[512] = {};
        readlink((dir + "/" + pEntry->d_name).c_str(), szTarget, sizeof(szTarget) - 1);
        extra.push_back(std::string(pEntry->d_name) + " -> " + szTarget);
    }
    if (pDir)
        closedir(pDir);
    return extra;
}

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

TEST(DaemonTest, DetachesKeepsAccessBrokerAliveAndStopsOnRequest) {
    Sandbox box;
    box.writeRaw("old.core", "core");
    chmod(box.path("old.core").c_str(), 0600);
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    EXPECT_NE(getsid(daemon), getsid(0)) << "the daemon left the launcher's session";

    ASSERT_TRUE(waitFor([&] { return box.starts("AccessBroker") == 1; }, 10s));
    ASSERT_TRUE(waitFor([&] { return box.isRunning("AccessBroker"); }, 10s));
    const pid_t first = box.pidsOf("AccessBroker")[0];
    EXPECT_EQ(extraDescriptors(first), std::vector<std::string>{})
        << "a started service inherited the daemon's descriptors";

    // Interrupt and hang-up signals are ignored; only the stop command ends the daemon.
    kill(daemon, SIGINT);
    kill(daemon, SIGHUP);
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_EQ(box.starts("AccessBroker"), 1)
        << "a running service is never started again\n"
        << testsupport::readFile(box.path("AccessBroker.starts")) << box.log();
    EXPECT_EQ(modeOf(box.path("old.core")), 0777u);
    EXPECT_EQ(box.countInLog("doCoreTask: begin change permissions of core file: [old.core]."), 1);

    kill(first, SIGKILL);
    ASSERT_TRUE(waitFor(
        [&] {
            const auto pids = box.pidsOf("AccessBroker");
            return !pids.empty() && pids[0] != first;
        },
        8s));
    EXPECT_EQ(box.countInLog("procMng.chkProc: Process AccessBroker not exists now restart it."), 2);

    ASSERT_TRUE(box.stopDaemon());
    const std::string log = box.log();
    EXPECT_NE(log.rfind("[dbg-in-wrn] OrvexMon quit successful.\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 39), "[dbg-in-wrn] OrvexMon quit successful.\n");
    EXPECT_TRUE(box.isRunning("AccessBroker")) << "stopping the daemon leaves its services";
}

TEST(DaemonTest, SecondInstanceIsRefused) {
    Sandbox box;
    const pid_t daemon = box.startDaemon();
    ASSERT_GT(daemon, 0);
    const auto second = box.run({});
    EXPECT_EQ(second.nStatus, 0);
    EXPECT_TRUE(waitFor(
        [&] {
            return readFile(second.strOutputFile) ==
                   "OrvexMon error : Process is running now, can not exist two instances!\n";
        },
        5s))
        << readFile(second.strOutputFile);
    EXPECT_EQ(kill(daemon, 0), 0);
    EXPECT_TRUE(box.stopDaemon());
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
    box.setCustomization("<LeakPrevention enabled=\"1\"/>");
    ASSERT_GT(box.startDaemon(), 0);
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_EQ(box.starts("AssetWarden"), 0);
    EXPECT_EQ(box.starts("LeakSentry"), 0) << "data-leak prevention alone supervises nothing";

    // A change takes effect at a later pass, without a restart of the daemon.
    box.setCustomization("<AssetManagement enabled=\"1\"/><LeakPrevention enabled=\"1\"/>");
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

    box.setCustomization("<AssetManagement enabled=\"0\"/>");
    ASSERT_TRUE(box.waitForPass());
    for (pid_t pid : box.pidsOf("AssetWarden"))
        kill(pid, SIGKILL);
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_FALSE(box.isRunning("AssetWarden"));
    EXPECT_EQ(box.starts("AssetWarden"), 1);
    EXPECT_TRUE(box.isRunning("LeakSentry")) << "turning a flag off does not stop a service";
    EXPECT_TRUE(box.stopDaemon());
}

TEST(DaemonTest, UnverifiableCustomizationSupervisesOnlyAccessBroker) {
    Sandbox box;
    box.writeRaw("conf/OrvexCustom.xml", "<OrvexCustom><AssetManagement enabled=\"1\"/>");
    box.writeRaw("a.core", "core");
    chmod(box.path("a.core").c_str(), 0600);
    ASSERT_GT(box.startDaemon(), 0);
    const std::string failed = "procMng.chkProc: verify OrvexCustom.xml failed with err 2";
    ASSERT_TRUE(waitFor([&] { return box.countInLog(failed) >= 2; }, 12s)) << box.log();
    EXPECT_TRUE(box.isRunning("AccessBroker"));
    EXPECT_EQ(box.starts("AssetWarden"), 0);
    EXPECT_EQ(modeOf(box.path("a.core")), 0600u) << "cores are left alone without a customization";
    EXPECT_TRUE(box.stopDaemon());
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

TEST(CommandLineTest, MissingInstallDirEndsWithStatusOne) {
    Sandbox box;
    testsupport::writeFile(ORVEXMON_TEST_SYSTEM_CONF, "# no install dir\n");
    const auto result = box.run({"kill"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strOutput, std::string("[OrvexMon] Can't found INSTALL_DIR from ") +
                                    ORVEXMON_TEST_SYSTEM_CONF + " \n");
}

}  // namespace
