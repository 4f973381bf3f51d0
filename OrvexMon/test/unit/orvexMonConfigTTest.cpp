#include "orvexMon.h"
#include "testSupport.h"
#include "udpTestSupport.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>

// "@" stands for the install directory. want: what building prints, INSTALL_DIR, port,
// hour, days and what it logs.
TEST(ConfigTTest, DerivationsFromBothFiles) {
    const auto at = [](const std::string& text, const std::string& dir) {
        return std::regex_replace(text, std::regex("@"), dir);
    };
    const std::string noPort = " [ERR] [CConfigT] COMMAND_PORT \"";
    const std::string defaultPort = "\" gives no port; using the default 50002.\n";
    // clang-format off
    const struct { const char *sys, *client; std::string want; } cases[] = {
        {"  install_dir =  @  \n", "COMMAND_PORT=50100\nLOG_CLEAN_HOUR=0\nLOG_KEEP_DAYS=30", "@ 50100 0 30"},
        {"# c\r\n\r\nINSTALL_DIR=@/\r\n", "COMMAND_PORT=1234\r\nLOG_CLEAN_HOUR=23\r\nLOG_KEEP_DAYS=1\r", "@/ 1234 23 1"},
        {"INSTALL_DIR=\n", nullptr, "cfgFile.loadFile: Fail to open config file /conf/Orvex.conf.\n 50002 10 7"},
        {"INSTALL_DIR=@", "COMMAND_PORT=abc\nLOG_CLEAN_HOUR=24\nLOG_KEEP_DAYS=0", "@ 50002 10 7" + noPort + "abc" + defaultPort},
        {"INSTALL_DIR=@", "COMMAND_PORT=\nLOG_CLEAN_HOUR=-1\nLOG_KEEP_DAYS=31", "@ 50002 10 7" + noPort + defaultPort},
        {"INSTALL_DIR=@", "COMMAND_PORT=65536\nLOG_CLEAN_HOUR=abc\nLOG_KEEP_DAYS=5 days", "@ 50002 0 5" + noPort + "65536" + defaultPort},
        {"INSTALL_DIR=@", "COMMAND_PORT=1\nCOMMAND_PORT=70000", "@ 70000 10 7"},
    };
    // clang-format on
    const std::string& logDir = testsupport::ensureTestLog("OrvexMonConfigTTest");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.sys) + " / " + (c.client ? c.client : "no client file"));
        const testsupport::TempDir dir;
        testsupport::writeFile(dir / "orvexsys.conf", at(c.sys, dir.path()));
        ASSERT_EQ(mkdir((dir / "conf").c_str(), 0755), 0);
        if (c.client != nullptr)
            testsupport::writeFile(dir / "conf/Orvex.conf", c.client + std::string("\n"));
        s_iLogCleanHour = 10, s_iLogKeepDays = 7;
        const size_t nMark = testsupport::logText(logDir).size();
        ::testing::internal::CaptureStdout();
        const CConfigT cfg((dir / "orvexsys.conf").c_str());
        const std::string log = testsupport::logText(logDir).substr(nMark);
        EXPECT_EQ(::testing::internal::GetCapturedStdout() + cfg.m_strInstallDir + " " +
                      std::to_string(cfg.m_nCommandPort) + " " + std::to_string(s_iLogCleanHour) +
                      " " + std::to_string(s_iLogKeepDays) +
                      std::regex_replace(log, std::regex(".*( \\[ERR\\]) \\[[0-9,a-f]+\\]"), "$1") +
                      "|" + cfg.m_strAccessBrokerPath + cfg.m_strAssetWardenPath +
                      cfg.m_strLeakSentryPath + cfg.m_strOrvexAuxPath + cfg.m_strSelfGuardKoPath +
                      cfg.m_strInstallLogDir + cfg.m_strClientFilesDir,
                  at(c.want, dir.path()) + "|" +
                      at("@/AccessBroker@/AssetWarden@/LeakSentry@/OrvexAux@/libs/self_guard.ko"
                         "@/log/@/clientfiles/",
                         cfg.m_strInstallDir));
    }
}

// Built in a thread of ACE's thread manager while the main thread waits for the lock it
// holds, as the command server may: the exit must not hang.
TEST(ConfigTTest, ExitWithoutInstallDir) {
    static ACE_Thread_Mutex s_lock;
    const testsupport::TempDir dir;
    const std::string sysFile = dir / "orvexsys.conf";  // missing: no INSTALL_DIR
    EXPECT_EXIT(
        {
            alarm(10);  // a hang ends by the signal
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ACE_Thread_Manager::instance()->spawn(
                [](void* pszPath) -> ACE_THR_FUNC_RETURN {
                    ACE_Guard<ACE_Thread_Mutex> guard(s_lock);
                    CConfigT cfg(static_cast<const char*>(pszPath));
                    return 0;
                },
                const_cast<char*>(sysFile.c_str()));
            for (;;)
                ACE_Guard<ACE_Thread_Mutex> guard(s_lock);
        },
        ::testing::ExitedWithCode(1),
        ::testing::Eq("cfgFile.loadFile: Fail to open config file " + sysFile +
                      ".\n[OrvexMon] Can't found INSTALL_DIR from " + sysFile + " \n"));
}
