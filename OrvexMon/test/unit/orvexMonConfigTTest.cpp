#include "orvexMon.h"
#include "testSupport.h"
#include "udpTestSupport.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::writeFile;

namespace {

// "@" stands for the test's directory; client null: no client file; want: port, hour and days,
// null when the process ends with status 1 and its message; badPort: the COMMAND_PORT that
// gives no port and is logged once.
TEST(ConfigTTest, DerivationsFromBothFiles) {
    const struct {
        std::string sys, installDir;
        const char *client, *want, *badPort = nullptr;
    } cases[] = {
        // clang-format off
        {"  install_dir =  @  \n", "@", "COMMAND_PORT=50100\nLOG_CLEAN_HOUR=0\nLOG_KEEP_DAYS=30", "50100 0 30"},
        {"# c\r\n\r\nINSTALL_DIR=@/\r\n", "@/", "COMMAND_PORT=1234\r\nLOG_CLEAN_HOUR=23\r\nLOG_KEEP_DAYS=1\r", "1234 23 1"},
        {"INSTALL_DIR=\n", "", nullptr, "50002 10 7"},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=abc\nLOG_CLEAN_HOUR=24\nLOG_KEEP_DAYS=0", "50002 10 7", "abc"},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=\nLOG_CLEAN_HOUR=-1\nLOG_KEEP_DAYS=31", "50002 10 7", ""},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=0\nLOG_CLEAN_HOUR=abc\nLOG_KEEP_DAYS=5 days", "50002 0 5", "0"},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=65536", "50002 10 7", "65536"},
        {"INSTALL_DIR=@", "@", "COMMAND_PORT=1\nCOMMAND_PORT=70000", "70000 10 7"},
        {"", "", nullptr, nullptr},
        {"\xEF\xBB\xBFINSTALL_DIR=@\n", "", nullptr, nullptr},
        // clang-format on
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
        if (c.want == nullptr) {
            // Built in a thread of ACE's thread manager while the main thread waits for
            // the lock it holds, as the command server may: the exit must not hang.
            static ACE_Thread_Mutex lock;
            const pid_t pid = fork();
            if (pid == 0) {
                alarm(10);  // a hang ends by the signal
                dup2(open((dir / "out").c_str(), O_WRONLY | O_CREAT, 0644), STDOUT_FILENO);
                ACE_Thread_Manager::instance()->spawn(
                    [](void* pszPath) -> ACE_THR_FUNC_RETURN {
                        ACE_Guard<ACE_Thread_Mutex> guard(lock);
                        CConfigT cfg(static_cast<const char*>(pszPath));
                        return 0;
                    },
                    const_cast<char*>(sysFile.c_str()));
                for (;;)
                    ACE_Guard<ACE_Thread_Mutex> guard(lock);
            }
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
            const std::string open =
                c.sys.empty() ? "cfgFile.loadFile: Fail to open config file @.\n" : "";
            EXPECT_EQ(testsupport::readFile(dir / "out"),
                      subst(open + "[OrvexMon] Can't found INSTALL_DIR from @ \n", sysFile));
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
        EXPECT_EQ(::testing::internal::GetCapturedStdout(),
                  c.client ? "" : "cfgFile.loadFile: Fail to open config file /conf/Orvex.conf.\n");
        EXPECT_EQ(cfg.m_strInstallDir + " " + cfg.m_strAccessBrokerPath + cfg.m_strAssetWardenPath +
                      cfg.m_strLeakSentryPath + cfg.m_strOrvexAuxPath + cfg.m_strSelfGuardKoPath +
                      cfg.m_strInstallLogDir + cfg.m_strClientFilesDir,
                  subst("@ @/AccessBroker@/AssetWarden@/LeakSentry@/OrvexAux@/libs/self_guard.ko"
                        "@/log/@/clientfiles/",
                        subst(c.installDir, dir.path())));
        EXPECT_EQ(std::to_string(cfg.m_nCommandPort) + " " + std::to_string(s_iLogCleanHour) + " " +
                      std::to_string(s_iLogKeepDays) + " " + std::to_string(cfg.m_nDaemonLogLevel),
                  c.want + std::string(" 2"));
        const std::string log = testsupport::logText(logDir).substr(nMark);
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.badPort ? 1 : 0);
        EXPECT_TRUE(!c.badPort ||
                    testsupport::hasLogLine(log, " [ERR] ",
                                            "[CConfigT] COMMAND_PORT \"" + std::string(c.badPort) +
                                                "\" gives no port; using the default 50002."));
    }
}

}  // namespace
