#include "orvexMon.h"
#include "testSupport.h"
#include "udpTestSupport.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

using testsupport::TempDir;
using testsupport::writeFile;

namespace {

class ConfigTTest : public ::testing::Test {
protected:
    void SetUp() override {
        s_iLogCleanHour = 10;
        s_iLogKeepDays = 7;
        ASSERT_EQ(mkdir((m_dir / "conf").c_str(), 0755), 0);
    }
    std::string sysFile() const { return m_dir / "orvexsys.conf"; }
    void writeSystem(const std::string& text) { writeFile(sysFile(), text); }
    void writeClient(const std::string& text) { writeFile(m_dir / "conf/Orvex.conf", text); }

    TempDir m_dir;
};

TEST_F(ConfigTTest, DerivesEveryPathFromTheInstallDirectory) {
    writeSystem("  install_dir =  " + m_dir.path() + "  \n");
    writeClient("COMMAND_PORT=50100\nLOG_CLEAN_HOUR=3\nLOG_KEEP_DAYS=14\n");
    const CConfigT cfg(sysFile().c_str());
    const std::string& d = m_dir.path();
    EXPECT_EQ(cfg.m_strInstallDir, d);
    EXPECT_EQ(cfg.m_strAccessBrokerPath, d + "/AccessBroker");
    EXPECT_EQ(cfg.m_strAssetWardenPath, d + "/AssetWarden");
    EXPECT_EQ(cfg.m_strLeakSentryPath, d + "/LeakSentry");
    EXPECT_EQ(cfg.m_strOrvexAuxPath, d + "/OrvexAux");
    EXPECT_EQ(cfg.m_strSelfGuardKoPath, d + "/libs/self_guard.ko");
    EXPECT_EQ(cfg.m_strInstallLogDir, d + "/log/");
    EXPECT_EQ(cfg.m_strClientFilesDir, d + "/clientfiles/");
    EXPECT_EQ(cfg.m_strUninstallProtect, "");
    EXPECT_EQ(cfg.m_nDaemonLogLevel, 2);
    EXPECT_EQ(cfg.m_nCommandPort, 50100);
    EXPECT_EQ(s_iLogCleanHour, 3);
    EXPECT_EQ(s_iLogKeepDays, 14);
}

TEST_F(ConfigTTest, TrailingSlashDoublesAndIsStillFound) {
    writeSystem("INSTALL_DIR=" + m_dir.path() + "/\n");
    writeClient("COMMAND_PORT=1234\n");
    const CConfigT cfg(sysFile().c_str());
    EXPECT_EQ(cfg.m_strAccessBrokerPath, m_dir.path() + "//AccessBroker");
    EXPECT_EQ(cfg.m_nCommandPort, 1234);
}

TEST_F(ConfigTTest, EmptyInstallDirAndMissingClientFileGiveDefaults) {
    writeSystem("INSTALL_DIR=\n");
    ::testing::internal::CaptureStdout();
    const CConfigT cfg(sysFile().c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "cfgFile.loadFile: Fail to open config file /conf/Orvex.conf.\n");
    EXPECT_EQ(cfg.m_strAccessBrokerPath, "/AccessBroker");
    EXPECT_EQ(cfg.m_nCommandPort, 50002);
    EXPECT_EQ(s_iLogCleanHour, 10);
    EXPECT_EQ(s_iLogKeepDays, 7);
}

TEST_F(ConfigTTest, CrLfFilesReadAsWithLineFeeds) {
    writeSystem("# client\r\n\r\nINSTALL_DIR=" + m_dir.path() + "\r\n");
    writeClient("COMMAND_PORT=1234\r\nLOG_KEEP_DAYS=5\r\n");
    ::testing::internal::CaptureStdout();
    const CConfigT cfg(sysFile().c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(cfg.m_strInstallDir, m_dir.path());
    EXPECT_EQ(cfg.m_nCommandPort, 1234);
    EXPECT_EQ(s_iLogKeepDays, 5);
}

TEST_F(ConfigTTest, ClientKeysConvertLikeAtoiWithinTheirRanges) {
    struct Case {
        const char* line;
        int port, hour, days;
    } cases[] = {
        {"LOG_CLEAN_HOUR=0", 50002, 0, 7},
        {"LOG_CLEAN_HOUR=23", 50002, 23, 7},
        {"LOG_CLEAN_HOUR=24", 50002, 10, 7},
        {"LOG_CLEAN_HOUR=-1", 50002, 10, 7},
        {"LOG_CLEAN_HOUR=abc", 50002, 0, 7},
        {"LOG_CLEAN_HOUR=", 50002, 0, 7},
        {"LOG_KEEP_DAYS=1", 50002, 10, 1},
        {"LOG_KEEP_DAYS=30", 50002, 10, 30},
        {"LOG_KEEP_DAYS=0", 50002, 10, 7},
        {"LOG_KEEP_DAYS=31", 50002, 10, 7},
        {"LOG_KEEP_DAYS=abc", 50002, 10, 7},
        {"LOG_KEEP_DAYS=", 50002, 10, 7},
        {"LOG_KEEP_DAYS=5 days", 50002, 10, 5},
        {"COMMAND_PORT=abc", 50002, 10, 7},  // port 0 anywhere: the default, and a log line
        {"COMMAND_PORT=", 50002, 10, 7},
        {"COMMAND_PORT=0", 50002, 10, 7},
        {"COMMAND_PORT=65536", 50002, 10, 7},
        {"COMMAND_PORT=70000", 70000, 10, 7},
        {"COMMAND_PORT=1\nCOMMAND_PORT=2", 2, 10, 7},
        {"log_keep_days=9\r", 50002, 10, 9},
    };
    writeSystem("INSTALL_DIR=" + m_dir.path() + "\n");
    const std::string& logDir = testsupport::ensureTestLog("OrvexMonConfigTTest");
    for (const Case& c : cases) {
        s_iLogCleanHour = 10;
        s_iLogKeepDays = 7;
        writeClient(std::string(c.line) + "\n");
        const size_t nMark = testsupport::logText(logDir).size();
        const CConfigT cfg(sysFile().c_str());
        EXPECT_EQ(cfg.m_nCommandPort, c.port) << c.line;
        const std::string value = strchr(c.line, '=') + 1;
        EXPECT_EQ(testsupport::hasLogLine(testsupport::logText(logDir).substr(nMark), " [ERR] ",
                                          "[CConfigT] COMMAND_PORT \"" + value +
                                              "\" gives no port; using the default 50002."),
                  c.port == 50002 && strncmp(c.line, "COMMAND_PORT", 12) == 0)
            << c.line;
        EXPECT_EQ(s_iLogCleanHour, c.hour) << c.line;
        EXPECT_EQ(s_iLogKeepDays, c.days) << c.line;
    }
}

// Runs body in a child whose standard output goes to outFile; returns the exit status,
// or -1 when the child did not end within the deadline (it is killed then).
int runChild(const std::function<void()>& body, const std::string& outFile) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        body();
        _exit(0);
    }
    int status = 0;
    const bool ended = testsupport::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                            std::chrono::seconds(10));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ConfigTTest, MissingSystemFileOrKeyEndsTheProcessWithStatusOne) {
    const std::string missing = m_dir / "none.conf";
    EXPECT_EQ(runChild([&] { CConfigT cfg(missing.c_str()); }, m_dir / "out1"), 1);
    EXPECT_EQ(testsupport::readFile(m_dir / "out1"),
              "cfgFile.loadFile: Fail to open config file " + missing + ".\n" +
                  "[OrvexMon] Can't found INSTALL_DIR from " + missing + " \n");

    writeSystem("\xEF\xBB\xBFINSTALL_DIR=/opt/client\n");
    EXPECT_EQ(runChild([&] { CConfigT cfg(sysFile().c_str()); }, m_dir / "out2"), 1);
    EXPECT_EQ(testsupport::readFile(m_dir / "out2"),
              "[OrvexMon] Can't found INSTALL_DIR from " + sysFile() + " \n");
}

// The configuration may first be built in the command server's thread, a thread of
// ACE's thread manager, while the main thread waits for the singleton lock.
TEST_F(ConfigTTest, ExitFromAManagedThreadWhileTheLockIsHeldDoesNotHang) {
    const std::string missing = m_dir / "none.conf";
    const int status = runChild(
        [&] {
            static ACE_Thread_Mutex lock;
            static std::string path;
            path = missing;
            ACE_Thread_Manager::instance()->spawn(
                [](void*) -> ACE_THR_FUNC_RETURN {
                    ACE_Guard<ACE_Thread_Mutex> guard(lock);
                    CConfigT cfg(path.c_str());
                    return 0;
                },
                nullptr);
            for (;;) {
                ACE_Guard<ACE_Thread_Mutex> guard(lock);  // waits behind the builder
            }
        },
        m_dir / "out");
    EXPECT_EQ(status, 1);
}

}  // namespace
