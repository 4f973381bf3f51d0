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

using testsupport::writeFile;

namespace {

// "@" in sys and installDir stands for the test's directory; client null: no client file. exit: the
// process ends with status 1 and prints that. A COMMAND_PORT that gives port 0 logs one
// error line and takes the default.
TEST(ConfigTTest, DerivationsFromBothFiles) {
    const struct {
        std::string sys, installDir;
        const char* client;
        int port, hour, days;
        const char* exit;
    } cases[] = {
        {"  install_dir =  @  \n", "@", "COMMAND_PORT=50100\nLOG_CLEAN_HOUR=3\nLOG_KEEP_DAYS=14",
         50100, 3, 14, nullptr},
        {"# c\r\n\r\nINSTALL_DIR=@/\r\n", "@/", "COMMAND_PORT=1234\r\nLOG_KEEP_DAYS=5\r", 1234, 10,
         5, nullptr},
        {"INSTALL_DIR=\n", "", nullptr, 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "LOG_CLEAN_HOUR=0\nLOG_KEEP_DAYS=30", 50002, 0, 30, nullptr},
        {"INSTALL_DIR=@", "@", "LOG_CLEAN_HOUR=23\nLOG_KEEP_DAYS=1", 50002, 23, 1, nullptr},
        {"INSTALL_DIR=@", "@", "LOG_CLEAN_HOUR=24\nLOG_KEEP_DAYS=0", 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "LOG_CLEAN_HOUR=-1\nLOG_KEEP_DAYS=31", 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "LOG_CLEAN_HOUR=abc\nLOG_KEEP_DAYS=5 days", 50002, 0, 5, nullptr},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=abc", 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=", 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=0", 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=65536", 50002, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=70000", 70000, 10, 7, nullptr},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=1\nCOMMAND_PORT=2", 2, 10, 7, nullptr},
        {"", "", nullptr, 0, 0, 0, "[OrvexMon] Can't found INSTALL_DIR from @ \n"},
        {"\xEF\xBB\xBFINSTALL_DIR=@\n", "", nullptr, 0, 0, 0,
         "[OrvexMon] Can't found INSTALL_DIR from @ \n"},
    };
    const std::string& logDir = testsupport::ensureTestLog("OrvexMonConfigTTest");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sys + " / " + (c.client ? c.client : "no client file"));
        testsupport::TempDir dir;
        const std::string sysFile = dir / "orvexsys.conf";
        const auto subst = [&](std::string text, const std::string& by) {
            for (size_t n = text.find('@'); n != std::string::npos; n = text.find('@', n))
                text.replace(n, 1, by);
            return text;
        };
        if (!c.sys.empty())
            writeFile(sysFile, subst(c.sys, dir.path()));
        if (c.exit != nullptr) {
            // Built in a thread of ACE's thread manager while the main thread waits for
            // the lock it holds, as the command server may: the exit must not hang.
            const pid_t pid = fork();
            if (pid == 0) {
                static ACE_Thread_Mutex lock;
                static std::string path;
                path = sysFile;
                const int fd = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, STDOUT_FILENO);
                ACE_Thread_Manager::instance()->spawn(
                    [](void*) -> ACE_THR_FUNC_RETURN {
                        ACE_Guard<ACE_Thread_Mutex> guard(lock);
                        CConfigT cfg(path.c_str());
                        return 0;
                    },
                    nullptr);
                for (;;)
                    ACE_Guard<ACE_Thread_Mutex> guard(lock);
            }
            int status = 0;
            if (!testsupport::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                      std::chrono::seconds(10))) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
            const std::string open =
                c.sys.empty() ? "cfgFile.loadFile: Fail to open config file @.\n" : "";
            EXPECT_EQ(testsupport::readFile(dir / "out"), subst(open + c.exit, sysFile));
            continue;
        }
        ASSERT_EQ(mkdir((dir / "conf").c_str(), 0755), 0);
        if (c.client != nullptr)
            writeFile(dir / "conf/Orvex.conf", std::string(c.client) + "\n");
        s_iLogCleanHour = 10;
        s_iLogKeepDays = 7;
        const size_t nMark = testsupport::logText(logDir).size();
        ::testing::internal::CaptureStdout();
        const CConfigT cfg(sysFile.c_str());
        const std::string d = subst(c.installDir, dir.path());
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  c.client ? "" : "cfgFile.loadFile: Fail to open config file /conf/Orvex.conf.\n");
        EXPECT_EQ(cfg.m_strInstallDir + " " + cfg.m_strAccessBrokerPath + " " +
                      cfg.m_strAssetWardenPath + " " + cfg.m_strLeakSentryPath + " " +
                      cfg.m_strOrvexAuxPath + " " + cfg.m_strSelfGuardKoPath + " " +
                      cfg.m_strInstallLogDir + " " + cfg.m_strClientFilesDir,
                  d + " " + d + "/AccessBroker " + d + "/AssetWarden " + d + "/LeakSentry " + d +
                      "/OrvexAux " + d + "/libs/self_guard.ko " + d + "/log/ " + d +
                      "/clientfiles/");
        EXPECT_EQ(cfg.m_nDaemonLogLevel, 2);
        EXPECT_EQ(cfg.m_nCommandPort, c.port);
        EXPECT_EQ(s_iLogCleanHour, c.hour);
        EXPECT_EQ(s_iLogKeepDays, c.days);
        const char* pszPort = c.client ? strstr(c.client, "COMMAND_PORT=") : nullptr;
        const std::string log = testsupport::logText(logDir).substr(nMark);
        const bool bPortLine = pszPort != nullptr && c.port == 50002;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), bPortLine ? 1 : 0);
        EXPECT_EQ(testsupport::hasLogLine(log, " [ERR] ",
                                          "[CConfigT] COMMAND_PORT \"" +
                                              std::string(pszPort ? pszPort + 13 : "") +
                                              "\" gives no port; using the default 50002."),
                  bPortLine);
    }
}

}  // namespace
