#include "orvexMonLog.h"
#include "testSupport.h"

#include <ace/Date_Time.h>
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wchar.h>

#include <regex>
#include <thread>
#include <vector>

using testsupport::readLines;
using testsupport::TempDir;

namespace {

std::string pidThread() {
    return " [" + std::to_string(getpid()) + "," + ([] {
               char sz[32];
               snprintf(sz, sizeof(sz), "%lx", (unsigned long)pthread_self());
               return std::string(sz);
           })() +
           "] ";
}

// One file per module and local day; the header of setLogHeader, tag by level.
TEST(LogTest, FileNamesAndHeaders) {
    const ACE_Date_Time day(4, 12, 2026, 23, 59, 59, 999000), next(5, 12, 2026);
    EXPECT_EQ(CLog("/var/log", 4, "OrvexMon").GetNewLogFile(day), "/var/log/OrvexMon20261204.log");
    EXPECT_EQ(CLog("/var/log/", 4, "OrvexMon").GetNewLogFile(next), "/var/log/OrvexMon20261205.log");
    EXPECT_EQ(CLog("", 4, "OrvexMonCmd").GetNewLogFile(day), "/OrvexMonCmd20261204.log");
    const std::pair<int, const char*> tags[] = {{0, " [FTL]"}, {1, " [ERR]"}, {2, " [WRN]"},
                                                {3, " [HNT]"}, {4, " [DBG]"}, {5, " [HDG]"},
                                                {6, " [UKN]"}, {-1, " [UKN]"}};
    for (const auto& t : tags) {
        char szBuf[512];
        setLogHeader(szBuf, t.first, ACE_Date_Time(4, 12, 2026, 1, 37, 15, 42999));
        EXPECT_EQ(std::string(szBuf),
                  "2026-12-04 01:37:15.042" + std::string(t.second) + pidThread());
    }
    TempDir dir;
    CLog log(dir.path(), 4, "OrvexMon");
    EXPECT_EQ(CLog(dir / "missing", 4, "OrvexMon").LogMsgPrint(1, "lost"), -1);
    EXPECT_FALSE(testsupport::pathExists(dir / "missing"));
    ASSERT_EQ(log.LogMsgPrint(1, "first"), 0);
    ASSERT_EQ(unlink(log.GetNewLogFile(ACE_Date_Time()).c_str()), 0);  // removed: made again
    ASSERT_EQ(log.LogMsgPrint(1, "second"), 0);
    EXPECT_EQ(readLines(log.GetNewLogFile(ACE_Date_Time())).size(), 1u);
}

// The process log: nothing before it exists (level 3), then level filtering, the line's
// shape, a forked child's own pid, long and unformattable texts, two threads' lines whole.
TEST(LogTest, ProcessLog) {
    logX(0, "nowhere");
    utl_SetLogLevel(5);
    EXPECT_EQ(utl_GetLogLevel(), 3);
    TempDir dir, other;
    utl_CreateLog(dir.path(), 4, "OrvexMon");
    utl_CreateLog(other.path(), 1, "Other");  // changes nothing
    const std::string file = CLog(dir.path(), 0, "OrvexMon").GetNewLogFile(ACE_Date_Time());
    const auto linesWith = [&](const std::string& marker) {
        std::vector<std::string> found;
        for (const std::string& line : readLines(file))
            if (line.find(marker) != std::string::npos)
                found.push_back(line);
        return found;
    };
    const struct {
        int nSetLevel, nLevel, nWritten;
        const char* tag;
    } cases[] = {{4, 5, 0, ""}, {4, 4, 1, " [DBG]"}, {4, -1, 1, " [UKN]"}, {5, 5, 1, " [HDG]"},
                 {5, 6, 0, ""}, {0, 1, 0, ""},       {0, 0, 1, " [FTL]"},  {6, 1, 0, ""},
                 {-1, 1, 0, ""}};  // 6 and -1 are refused: the level stays 0
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        utl_SetLogLevel(cases[i].nSetLevel);
        logX(cases[i].nLevel, "level-case %zu", i);
        const auto lines = linesWith("level-case " + std::to_string(i));
        ASSERT_EQ(lines.size(), size_t(cases[i].nWritten)) << "case " << i;
        if (!lines.empty()) {
            EXPECT_NE(lines[0].find(cases[i].tag + pidThread()), std::string::npos) << lines[0];
        }
    }
    utl_SetLogLevel(4);
    logX(2, "shape %s|%d|%u", "x", -1, 4294967295u);
    logX(1, "%s", "");  // writes no line
    const std::regex shape(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[WRN\] \[\d+,[0-9a-f]+\] shape x\|-1\|4294967295)");
    ASSERT_EQ(readLines(file).size(), 5u);
    EXPECT_TRUE(std::regex_match(readLines(file).back(), shape)) << readLines(file).back();
    const pid_t child = fork();
    if (child == 0) {
        logX(2, "in-child");
        _exit(0);
    }
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    ASSERT_EQ(linesWith("in-child").size(), 1u);
    EXPECT_NE(linesWith("in-child")[0].find(" [" + std::to_string(child) + ","), std::string::npos);
    for (size_t n : {2047u, 2048u, 10000u}) {
        const std::string marker = "long" + std::to_string(n) + ":";
        const std::string text = marker + std::string(n - marker.size(), 'x');
        logX(2, "%s", text.c_str());
        ASSERT_EQ(linesWith(marker).size(), 1u) << n;
        EXPECT_EQ(linesWith(marker)[0].substr(linesWith(marker)[0].find(marker)), text) << n;
    }
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};  // no multibyte form
    logX(1, "wide-fmt %ls end", bad);
    ASSERT_EQ(linesWith("[unformattable] wide-fmt %ls end").size(), 1u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t] {
            const std::string body(100 + 1500 * t, static_cast<char>('a' + t));
            for (int i = 0; i < 500; ++i)
                logX(2, "mt%d-%d %s", t, i, body.c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    const std::regex mt(R"(.* \[WRN\] \[\d+,[0-9a-f]+\] mt(\d)-\d+ ([ab]+))");
    int n = 0;
    for (const std::string& line : linesWith(" mt")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, mt)) << line.substr(0, 120);
        const int t = m[1].str()[0] - '0';
        EXPECT_EQ(m[2].str(), std::string(100 + 1500 * t, static_cast<char>('a' + t)));
        ++n;
    }
    EXPECT_EQ(n, 1000);
    EXPECT_FALSE(testsupport::pathExists(other / "Other"));
}

}  // namespace
