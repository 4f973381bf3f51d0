#include "orvexMonLog.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

// One file per module and local day; the header with its tag by level. Then the process log: level
// filtering, its removed file made again, and a forked child's lines with its own pid, its two
// threads' lines whole.
TEST(LogTest, FilesHeadersAndTheProcessLog) {
    const ACE_Date_Time day(4, 12, 2026, 23, 59, 59, 999000), next(5, 12, 2026);
    EXPECT_EQ(CLog("/var/log", 4, "OrvexMon").GetNewLogFile(day), "/var/log/OrvexMon20261204.log");
    EXPECT_EQ(CLog("/l/", 4, "OrvexMonCmd").GetNewLogFile(next), "/l/OrvexMonCmd20261205.log");
    testsupport::TempDir dir;
    int nLevel = -1;  // the ids after the tag: see the child's lines
    for (const char* pszTag : {"UKN", "FTL", "ERR", "WRN", "HNT", "DBG", "HDG", "UKN"}) {
        char szBuf[512];
        setLogHeader(szBuf, nLevel++, ACE_Date_Time(4, 12, 2026, 1, 37, 15, 42999));
        EXPECT_EQ(std::string(szBuf, 30), "2026-12-04 01:37:15.042 [" + std::string(pszTag) + "] ");
    }
    utl_CreateLog(dir.path(), 4, "OrvexMonCmd");
    const std::string file = CLog(dir.path(), 0, "OrvexMonCmd").GetNewLogFile(ACE_Date_Time());
    // Rows: the level set, the line's level, whether it is written. 6 is refused: 0 stays.
    const int cases[][3] = {{4, 5, 0}, {4, 4, 1}, {5, 5, 1}, {0, 1, 0}, {0, 0, 1}, {6, 1, 0}};
    for (const auto& c : cases) {
        unlink(file.c_str());  // made again by the next line written
        utl_SetLogLevel(c[0]);
        logX(c[1], "level %d of %d", c[1], c[0]);
        EXPECT_EQ(testsupport::readLines(file).size(), size_t(c[2])) << c[1] << " at " << c[0];
    }
    const pid_t child = fork();
    if (child == 0) {
        auto write = [](int t) {
            for (int i = 0; i < 500; ++i)
                logX(0, "%d|%u|%s", t - 1, 4294967295u, std::string(100 + 1500 * t, 'x').c_str());
        };
        std::thread other(write, 1);
        write(0);
        other.join();
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string shape = "[0-9 :.-]{23} \\[FTL] \\[" + std::to_string(child) +
                              ",[0-9a-f]+] (-1[|]4294967295[|]x{100}|0[|]4294967295[|]x{1600})";
    EXPECT_EQ(testsupport::linesOf("grep -cxE '" + shape + "' " + file),
              std::multiset<std::string>{"1000"});
}
