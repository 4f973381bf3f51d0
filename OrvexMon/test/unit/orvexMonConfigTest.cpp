#include "orvexMon.h"
#include "orvexMonConfig.h"
#include "udpTestSupport.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

// want: the load's result, what it prints, then the key's value. A FIFO without a writer
// (a plain open would wait for ever) is not read.
TEST(CfgFileMgrTest, LoadRules) {
    const std::string v1021(1021, 'v');  // "a=" + 1021 = 1023 characters, the longest line
    const testsupport::TempDir dir;
    const std::string file = dir / "c.conf", fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    // clang-format off
    const struct { std::string text, key, want; } cases[] = {
        {"Key=1\r\nINSTALL_DIR=/opt\r\n\tkEY \t=\t x=y \t\r\n", "key", "0 x=y"},
        {"   # note\r\n \t \r\n\r\nkey value\r\n#x=1\r\n", "#X", "0 cfgFile.loadFile: [4] Invalid data [key value] - no separator.\n<absent>"},
        {"a=" + v1021 + "\r\nb=" + v1021 + "w\nc=3\n", "C", "0 <absent>"},  // reading ended
        {"a=1\nb=" + v1021, "B", "0 " + v1021}, {std::string("a=1\0junk\nb=2\n", 13), "A", "0 1"},
        {"\xB0\x61=1\nke\xC3=2\n", "\xB0\x41", "0 <absent>"},  // a double-byte pair stays
        {fifo, "A", "-1 cfgFile.loadFile: Fail to open config file " + fifo + ".\n<absent>"},
    };
    // clang-format on
    for (const auto& c : cases) {
        testsupport::writeFile(file, c.text);  // not read in the FIFO's row
        CCfgFileMgr mgr;
        std::string value = "<absent>";
        ::testing::internal::CaptureStdout();
        const int nLoaded = mgr.loadFromFile((c.text == fifo ? fifo : file).c_str(), '=');
        mgr.getValue(c.key.c_str(), value);
        EXPECT_EQ(std::to_string(nLoaded) + " " + ::testing::internal::GetCapturedStdout() + value,
                  c.want);
    }
}

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
// clean hour, days kept and what is logged. The rows follow one another: the first finds the
// defaults, an invalid value keeps the one before.
TEST(ConfigTTest, DerivationsFromBothFiles) {
    // clang-format off
    const struct { const char *sys, *client, *want; } cases[] = {
        {"  install_dir =  in  \n", "COMMAND_PORT=1\nCOMMAND_PORT=70000\n", "in 70000 10 7"},
        {"# c\r\n\r\nINSTALL_DIR=in/\r\n", "COMMAND_PORT=1234\r\nLOG_CLEAN_HOUR=23\r\nLOG_KEEP_DAYS=1\r\n", "in/ 1234 23 1"},
        {"INSTALL_DIR=in", "COMMAND_PORT=abc\nLOG_CLEAN_HOUR=24\nLOG_KEEP_DAYS=0", "in 50002 23 1 [ERR] [CConfigT] COMMAND_PORT \"abc\" gives no port; using the default 50002.\n"},
        {"INSTALL_DIR=in", "LOG_CLEAN_HOUR=0\nLOG_KEEP_DAYS=30", "in 50002 0 30"},
        {"INSTALL_DIR=in", "COMMAND_PORT=65536\nLOG_CLEAN_HOUR=-1\nLOG_KEEP_DAYS=31", "in 50002 0 30 [ERR] [CConfigT] COMMAND_PORT \"65536\" gives no port; using the default 50002.\n"},
    };
    // clang-format on
    const std::string& logDir = testsupport::ensureTestLog("OrvexMonConfigTTest");
    const testsupport::TempDir dir;
    std::filesystem::create_directories(dir / "in/conf");
    std::filesystem::current_path(dir.path());
    for (const auto& c : cases) {
        testsupport::writeFile("orvexsys.conf", c.sys);
        testsupport::writeFile("in/conf/Orvex.conf", c.client);
        const size_t nMark = testsupport::logText(logDir).size();
        const CConfigT cfg("orvexsys.conf");
        const std::string log = testsupport::logText(logDir).substr(nMark);
        EXPECT_EQ(cfg.m_strInstallDir + " " + std::to_string(cfg.m_nCommandPort) + " " +
                      std::to_string(s_iLogCleanHour) + " " + std::to_string(s_iLogKeepDays) +
                      std::regex_replace(log, std::regex(".*( \\[ERR\\]) \\[[0-9,a-f]+\\]"), "$1"),
                  c.want);
    }
    s_iLogCleanHour = 10, s_iLogKeepDays = 7;  // as a repeated run expects them

    // Without INSTALL_DIR the process ends: at once, not waiting for the thread.
    EXPECT_EXIT(buildInAThreadUnderALock(), ::testing::ExitedWithCode(1),
                "^cfgFile.loadFile: Fail to open config file missing.conf.\n"
                "\\[OrvexMon\\] Can't found INSTALL_DIR from missing.conf \n$");
}
