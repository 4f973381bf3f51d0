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

std::string expectedPidThread() {
    char szBuf[64];
    snprintf(szBuf, sizeof(szBuf), " [%d,%lx] ", static_cast<int>(getpid()),
             (unsigned long)pthread_self());
    return szBuf;
}

TEST(LogFileNameTest, ModuleAndLocalDateWithOrWithoutSlash) {
    const ACE_Date_Time day(4, 12, 2026, 23, 59, 59, 999000);
    const ACE_Date_Time next(5, 12, 2026, 0, 0, 0, 0);
    EXPECT_EQ(CLog("/var/log", 4, "OrvexMon").GetNewLogFile(day), "/var/log/OrvexMon20261204.log");
    EXPECT_EQ(CLog("/var/log/", 4, "OrvexMon").GetNewLogFile(day), "/var/log/OrvexMon20261204.log");
    EXPECT_EQ(CLog("/var/log/", 4, "OrvexMon").GetNewLogFile(next), "/var/log/OrvexMon20261205.log");
    EXPECT_EQ(CLog("", 4, "OrvexMonCmd").GetNewLogFile(ACE_Date_Time(7, 3, 2024)),
              "/OrvexMonCmd20240307.log");
}

TEST(LogHeaderTest, DateTimeMillisecondsTagPidAndThread) {
    char szBuf[512];
    setLogHeader(szBuf, 4, ACE_Date_Time(4, 12, 2026, 1, 37, 15, 42999));
    EXPECT_EQ(std::string(szBuf), "2026-12-04 01:37:15.042 [DBG]" + expectedPidThread());

    const std::pair<int, const char*> tags[] = {{0, " [FTL]"}, {1, " [ERR]"}, {2, " [WRN]"},
                                                {3, " [HNT]"}, {5, " [HDG]"}, {6, " [UKN]"},
                                                {-1, " [UKN]"}};
    for (const auto& t : tags) {
        setLogHeader(szBuf, t.first, ACE_Date_Time(1, 1, 999, 0, 0, 0, 0));
        EXPECT_EQ(std::string(szBuf),
                  std::string("999-01-01 00:00:00.000") + t.second + expectedPidThread());
    }
}

TEST(LogFileTest, MissingDirectoryFailsSilentlyAndIsNotCreated) {
    TempDir dir;
    CLog log(dir / "missing", 4, "OrvexMon");
    EXPECT_EQ(log.LogMsgPrint(1, "lost"), -1);
    EXPECT_FALSE(testsupport::pathExists(dir / "missing"));
}

TEST(LogFileTest, RemovedFileIsCreatedAgain) {
    TempDir dir;
    CLog log(dir.path(), 4, "OrvexMon");
    ASSERT_EQ(log.LogMsgPrint(1, "first"), 0);
    const std::string file = log.GetNewLogFile(ACE_Date_Time());
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(log.LogMsgPrint(1, "second"), 0);
    const auto lines = readLines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" second"), std::string::npos);
}

TEST(LogLevelTest, SetLevelTakesZeroToFiveOnly) {
    CLog log("/tmp", 4, "x");
    log.SetLogLevel(6);
    log.SetLogLevel(-1);
    EXPECT_EQ(log.GetLogLevel(), 4);
    log.SetLogLevel(0);
    EXPECT_EQ(log.GetLogLevel(), 0);
    EXPECT_EQ(CLog("/tmp", 9, "x").GetLogLevel(), 9) << "the constructor takes any level";
}

// Before any log exists nothing is written and the level reads 3. The check runs in a
// fresh process, since the process log, once created, stays.
TEST(ProcessLogDeathTest, NoLogBeforeCreation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            logX(0, "nowhere");
            utl_SetLogLevel(5);
            _exit(utl_GetLogLevel() == 3 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Tests of the process log share one directory, created once per process.
class ProcessLogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pDir = new TempDir;
        utl_CreateLog(s_pDir->path(), 4, "OrvexMon");
    }
    static void TearDownTestSuite() {
        delete s_pDir;
        s_pDir = nullptr;
    }
    void SetUp() override { utl_SetLogLevel(4); }
    // The day file's lines that contain marker, as written after the header.
    static std::vector<std::string> linesWith(const std::string& marker) {
        std::vector<std::string> found;
        for (const std::string& line : readLines(dayFile())) {
            if (line.find(marker) != std::string::npos)
                found.push_back(line);
        }
        return found;
    }
    static std::string dayFile() {
        return CLog(s_pDir->path(), 0, "OrvexMon").GetNewLogFile(ACE_Date_Time());
    }

    static TempDir* s_pDir;
};
TempDir* ProcessLogTest::s_pDir = nullptr;

TEST_F(ProcessLogTest, SecondCreateChangesNothing) {
    TempDir other;
    utl_CreateLog(other.path(), 1, "Other");
    EXPECT_EQ(utl_GetLogLevel(), 4);
    logX(2, "create-twice %d", 1);
    EXPECT_EQ(linesWith("create-twice 1").size(), 1u);
    EXPECT_FALSE(testsupport::pathExists(other / "Other"));
}

TEST_F(ProcessLogTest, LevelFilterAndTags) {
    logX(5, "lvl-hdg-hidden");
    logX(4, "lvl-dbg-shown");
    logX(-1, "lvl-negative");
    logX(6, "lvl-six");
    utl_SetLogLevel(5);
    logX(5, "lvl-hdg-shown");
    logX(6, "lvl-six");
    utl_SetLogLevel(0);
    logX(1, "lvl-err-hidden");
    logX(-1, "lvl-negative");
    utl_SetLogLevel(6);
    utl_SetLogLevel(-1);
    EXPECT_EQ(utl_GetLogLevel(), 0);

    EXPECT_TRUE(linesWith("lvl-hdg-hidden").empty());
    EXPECT_TRUE(linesWith("lvl-err-hidden").empty());
    EXPECT_TRUE(linesWith("lvl-six").empty());
    const auto dbg = linesWith("lvl-dbg-shown");
    ASSERT_EQ(dbg.size(), 1u);
    EXPECT_NE(dbg[0].find(" [DBG]" + expectedPidThread() + "lvl-dbg-shown"), std::string::npos);
    const auto hdg = linesWith("lvl-hdg-shown");
    ASSERT_EQ(hdg.size(), 1u);
    EXPECT_NE(hdg[0].find(" [HDG] "), std::string::npos);
    const auto neg = linesWith("lvl-negative");
    ASSERT_EQ(neg.size(), 2u);
    EXPECT_NE(neg[1].find(" [UKN] "), std::string::npos);
}

TEST_F(ProcessLogTest, LineIsHeaderTextAndOneLineFeed) {
    logX(2, "shape %s|%d|%u", "x", -1, 4294967295u);
    const auto lines = linesWith("shape x|-1|4294967295");
    ASSERT_EQ(lines.size(), 1u);
    const std::regex shape(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[WRN\] \[\d+,[0-9a-f]+\] shape x\|-1\|4294967295)");
    EXPECT_TRUE(std::regex_match(lines[0], shape)) << lines[0];

    // A forked child stamps its own process id.
    const pid_t child = fork();
    if (child == 0) {
        logX(2, "shape-child");
        _exit(0);
    }
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const auto childLines = linesWith("shape-child");
    ASSERT_EQ(childLines.size(), 1u);
    EXPECT_NE(childLines[0].find(" [" + std::to_string(child) + ","), std::string::npos)
        << childLines[0];
}

TEST_F(ProcessLogTest, EmptyTextWritesNoLine) {
    logX(1, "%s", "");
    logX(1, "empty-done");
    const auto lines = readLines(dayFile());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("empty-done"), std::string::npos);
    for (const std::string& line : lines)
        EXPECT_NE(line.back(), ' ') << "a line with an empty text";
}

TEST_F(ProcessLogTest, LongTextsAreWrittenWhole) {
    for (size_t n : {2046u, 2047u, 2048u, 10000u}) {
        const std::string marker = "long" + std::to_string(n) + ":";
        const std::string text = marker + std::string(n - marker.size(), 'x');
        logX(2, "%s", text.c_str());
        const auto lines = linesWith(marker);
        ASSERT_EQ(lines.size(), 1u) << n;
        EXPECT_EQ(lines[0].substr(lines[0].find(marker)), text) << n;
    }
}

TEST_F(ProcessLogTest, UnformattableArgumentsStillTellTheFormat) {
    const wchar_t bad[] = {static_cast<wchar_t>(0xD800), 0};  // no multibyte form
    logX(1, "wide-fmt %ls end", bad);
    const auto lines = linesWith("wide-fmt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("wide-fmt %ls end"), std::string::npos) << lines[0];
}

TEST_F(ProcessLogTest, ConcurrentWritersNeverInterleaveInsideALine) {
    const int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string body(100 + 700 * t, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                logX(2, "mt%d-%d %s", t, i, body.c_str());
        });
    }
    for (auto& th : threads)
        th.join();
    const std::regex shape(R"(.* \[WRN\] \[\d+,[0-9a-f]+\] mt(\d)-\d+ ([a-d]+))");
    int n = 0;
    for (const std::string& line : linesWith(" mt")) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 120);
        const int t = m[1].str()[0] - '0';
        EXPECT_EQ(m[2].str(), std::string(100 + 700 * t, static_cast<char>('a' + t)));
        ++n;
    }
    EXPECT_EQ(n, kThreads * kLines);
}

}  // namespace
