#include "orvexMonLog.h"
#include "testSupport.h"

#include <ace/Date_Time.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <thread>

using testsupport::readLines;
using testsupport::TempDir;

namespace {

// One file per module and local day; a missing directory is an error, a removed file is
// made again; the header with its tag by level. Then the process log: level filtering, the
// line's shape, a forked child's own pid, two threads' lines not interleaved.
TEST(LogTest, FilesHeadersAndTheProcessLog) {
    const ACE_Date_Time day(4, 12, 2026, 23, 59, 59, 999000), next(5, 12, 2026);
    EXPECT_EQ(CLog("/var/log", 4, "OrvexMon").GetNewLogFile(day), "/var/log/OrvexMon20261204.log");
    EXPECT_EQ(CLog("/l/", 4, "OrvexMonCmd").GetNewLogFile(next), "/l/OrvexMonCmd20261205.log");
    TempDir dir;
    CLog log(dir.path(), 4, "OrvexMon");
    EXPECT_EQ(CLog(dir / "missing", 4, "OrvexMon").LogMsgPrint(1, "lost"), -1);
    ASSERT_EQ(log.LogMsgPrint(1, "first"), 0);
    ASSERT_EQ(unlink(log.GetNewLogFile(ACE_Date_Time()).c_str()), 0);
    ASSERT_EQ(log.LogMsgPrint(1, "second"), 0);
    EXPECT_EQ(readLines(log.GetNewLogFile(ACE_Date_Time())).size(), 1u);
    char szThread[32];
    snprintf(szThread, sizeof(szThread), "%lx", (unsigned long)pthread_self());
    const char* tags[] = {"FTL", "ERR", "WRN", "HNT", "DBG", "HDG", "UKN", "UKN"};
    for (int nLevel = -1; nLevel <= 6; ++nLevel) {
        char szBuf[512];
        setLogHeader(szBuf, nLevel, ACE_Date_Time(4, 12, 2026, 1, 37, 15, 42999));
        EXPECT_EQ(std::string(szBuf), "2026-12-04 01:37:15.042 [" +
                                          std::string(tags[(nLevel + 8) % 8]) + "] [" +
                                          std::to_string(getpid()) + "," + szThread + "] ");
    }
    logX(0, "nowhere");  // before the process log exists
    utl_CreateLog(dir.path(), 4, "OrvexMonCmd");
    const std::string file = CLog(dir.path(), 0, "OrvexMonCmd").GetNewLogFile(ACE_Date_Time());
    // Rows: the level set, the line's level, whether it is written. 6 is refused: 0 stays.
    const int cases[][3] = {{4, 5, 0}, {4, 4, 1}, {5, 5, 1}, {0, 1, 0}, {0, 0, 1}, {6, 1, 0}};
    size_t nLines = 0;
    for (const auto& c : cases) {
        utl_SetLogLevel(c[0]);
        logX(c[1], "level %d of %d", c[1], c[0]);
        EXPECT_EQ(readLines(file).size(), nLines += c[2]) << c[1] << " at " << c[0];
    }
    utl_SetLogLevel(4);
    const pid_t child = fork();
    if (child == 0) {
        logX(2, "shape %s|%d|%u", "x", -1, 4294967295u);
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string last = readLines(file).back(), pid = std::to_string(child);
    EXPECT_TRUE(
        std::regex_match(last, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[WRN\] \[)" +
                                          pid + R"(,[0-9a-f]+\] shape x\|-1\|4294967295)")))
        << last;
    auto write = [](int t) {
        for (int i = 0; i < 500; ++i)
            logX(2, "mt%d %s", t, std::string(100 + 1500 * t, char('a' + t)).c_str());
    };
    std::thread other(write, 1);
    write(0);
    other.join();
    const std::regex mt(R"(.* \[WRN\] \[\d+,[0-9a-f]+\] mt(0 a{100}|1 b{1600}))");
    const auto lines = readLines(file);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return std::regex_match(line, mt); }),
              1000);
}

}  // namespace
