#include "orvexMon.h"
#include "testSupport.h"
#include "udpTestSupport.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <regex>

// Builds the configuration from "missing.conf" in a thread of ACE's thread manager while
// the main thread waits for the lock it holds, as the command server may; never returns.
[[noreturn]] void buildInAThreadUnderALock() {
    static ACE_Thread_Mutex s_lock;
    alarm(10);  // a hang ends by the signal
    dup2(STDERR_FILENO, STDOUT_FILENO);
    ACE_Thread_Manager::instance()->spawn([](void*) -> ACE_THR_FUNC_RETURN {
        ACE_Guard<ACE_Thread_Mutex> guard(s_lock);
        CConfigT cfg("missing.conf");
        return 0;
    });
    for (;;)
        ACE_Guard<ACE_Thread_Mutex> guard(s_lock);
}

// Both files in the working directory, INSTALL_DIR "in" or "in/". want: INSTALL_DIR, port,
// clean hour, days kept (each row starts from their defaults) and what is logged.
TEST(ConfigTTest, DerivationsFromBothFiles) {
    // clang-format off
    const struct { const char *sys, *client, *want; } cases[] = {
        {"  install_dir =  in  \n", "COMMAND_PORT=1\nCOMMAND_PORT=70000\nLOG_CLEAN_HOUR=0\nLOG_KEEP_DAYS=30\n", "in 70000 0 30"},
        {"# c\r\n\r\nINSTALL_DIR=in/\r\n", "COMMAND_PORT=1234\r\nLOG_CLEAN_HOUR=23\r\nLOG_KEEP_DAYS=1\r\n", "in/ 1234 23 1"},
        {"INSTALL_DIR=in", "COMMAND_PORT=abc\nLOG_CLEAN_HOUR=24\nLOG_KEEP_DAYS=0", "in 50002 10 7 [ERR] [CConfigT] COMMAND_PORT \"abc\" gives no port; using the default 50002.\n"},
        {"INSTALL_DIR=in", "COMMAND_PORT=65536\nLOG_CLEAN_HOUR=-1\nLOG_KEEP_DAYS=31", "in 50002 10 7 [ERR] [CConfigT] COMMAND_PORT \"65536\" gives no port; using the default 50002.\n"},
    };
    // clang-format on
    const std::string& logDir = testsupport::ensureTestLog("OrvexMonConfigTTest");
    const testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "in/conf");
    std::filesystem::current_path(dir.path());
    for (const auto& c : cases) {
        testsupport::writeFile("orvexsys.conf", c.sys);
        testsupport::writeFile("in/conf/Orvex.conf", c.client);
        s_iLogCleanHour = 10, s_iLogKeepDays = 7;
        const size_t nMark = testsupport::logText(logDir).size();
        const CConfigT cfg("orvexsys.conf");
        const std::string log = testsupport::logText(logDir).substr(nMark);
        EXPECT_EQ(cfg.m_strInstallDir + " " + std::to_string(cfg.m_nCommandPort) + " " +
                      std::to_string(s_iLogCleanHour) + " " + std::to_string(s_iLogKeepDays) +
                      std::regex_replace(log, std::regex(".*( \\[ERR\\]) \\[[0-9,a-f]+\\]"), "$1"),
                  c.want);
    }

    // Without INSTALL_DIR the process ends: at once, not waiting for the thread.
    EXPECT_EXIT(buildInAThreadUnderALock(), ::testing::ExitedWithCode(1),
                "^cfgFile.loadFile: Fail to open config file missing.conf.\n"
                "\\[OrvexMon\\] Can't found INSTALL_DIR from missing.conf \n$");
}
