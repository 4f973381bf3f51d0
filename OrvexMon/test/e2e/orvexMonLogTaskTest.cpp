// The log task mode of the real OrvexMon on a day set by faketime, and the daemon's daily
// start of it, in a home path with blanks, quotes and a semicolon.
#include "orvexMon.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <set>

using Lines = std::multiset<std::string>;

namespace fs = std::filesystem;

namespace {

const char kHome[] = "it's a \"home\";touch x";

// The lines a shell command prints.
Lines linesOf(const std::string& command) {
    Lines lines;
    FILE* pPipe = popen(command.c_str(), "r");
    for (char szLine[256]; fgets(szLine, sizeof(szLine), pPipe) != nullptr;)
        lines.emplace(szLine, strcspn(szLine, "\n"));
    EXPECT_EQ(pclose(pPipe), 0) << command;
    return lines;
}

// OrvexMon as $0 of the shell command, its argument $1, on 10 March 2024 at 10:00; it has
// nothing to say. libfaketime is preloaded ahead of a sanitizer runtime, which would
// otherwise refuse to start.
class LogTaskModeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fs::create_directory(m_box.path("log"))); }
    void runAt10March(const char* pszArg, const char* pszCommand = "\"$0\" \"$1\"") {
        const testsupport::RunResult result =
            m_box.runUnder({"faketime", "2024-03-10 10:00:00", "sh", "-c", pszCommand}, {pszArg},
                           {"ASAN_OPTIONS=verify_asan_link_order=0"});
        EXPECT_EQ(result.nStatus, 0) << pszArg;
        EXPECT_EQ(result.strOutput, "") << pszArg;
    }
    Lines ls(const std::string& dir) { return linesOf("ls -A " + shellQuote(m_box.path(dir))); }
    testsupport::Sandbox m_box{kHome};
};

// log_clean,N keeps N days (1 to 30, anything else 7) before the day of the run (here the
// archives of the log directory), and packs the earlier days' logs. Other keywords
// do no work. Every run makes the collection directory: 01777, so that others drop files in
// and touch none.
TEST_F(LogTaskModeTest, ArgumentDispatch) {
    // clang-format off
    const std::pair<const char*, const char*> rows[] = {  // argument, days of the archives kept
        {"log_clean,30", "0209 0302 0303 0305 0309"}, {"log_clean,31", "0303 0305 0309"},
        {"log_clean,1", "0309"}, {"log_clean,0", "0303 0305 0309"},
        {"log_clean", "0303 0305 0309"}, {"log_clean,5,9", "0305 0309"},
        {"log_zip", nullptr}, {"log_cleanup,7", nullptr}};  // no work: all kept
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        fs::remove_all(m_box.path("CollectInfo"));
        for (const char* pszDay : {"0208", "0209", "0302", "0303", "0305", "0309"})
            m_box.writeRaw(std::string("log/log_2024") + pszDay + ".tar.gz", "x");
        m_box.writeRaw("log/20240309.log", "ninth\n");

        runAt10March(row.first);
        EXPECT_EQ(fs::status(m_box.path("CollectInfo")).permissions(),
                  fs::perms::all | fs::perms::sticky_bit);
        EXPECT_EQ(linesOf("cd " + shellQuote(m_box.path("log")) +
                          " && ls log_* | cut -c9-12 | paste -sd' ' -"),
                  Lines{row.second ? row.second : "0208 0209 0302 0303 0305 0309"});
        EXPECT_EQ(fs::exists(m_box.path("log/20240309.log")), row.second == nullptr);
        EXPECT_EQ(ls("CollectInfo"), row.second ? Lines{"log_20240310.tar.gz"} : Lines{});
    }
}

// Two log tasks at once (a daemon restarted in the clean hour beside a run by hand): every
// log and core file lands in exactly one archive, and no temporary is left.
TEST_F(LogTaskModeTest, TwoLogTasksAtOnce) {
    Lines lines = {"core"};
    m_box.writeRaw("app.core", "core\n");
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "agent" + std::to_string(i) + "_20240309.log";
        m_box.writeRaw("log/" + name, name + "\n");
        lines.insert(name);
    }
    runAt10March("log_clean,7", "\"$0\" \"$1\" & \"$0\" \"$1\" && wait $!");
    EXPECT_EQ(ls("CollectInfo"), Lines{"log_20240310.tar.gz"});
    EXPECT_EQ(linesOf("tar -xzOf " + shellQuote(m_box.path("CollectInfo/log_20240310.tar.gz"))),
              lines);
    EXPECT_EQ(ls("log"), (Lines{"OrvexMon20240310.log", ".OrvexMonLogTask.lock"}));
}

// The daemon starts the log task once, in its clean hour: 10:00 today on a fake clock that
// runs from there (the sandbox reads today's log). Not under the faketime launcher, which
// waits for every process that shares its clock.
TEST_F(LogTaskModeTest, DaemonRunsItOnceInTheCleanHour) {
    const time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    if (tmNow.tm_hour == 23 && tmNow.tm_min == 59)
        GTEST_SKIP() << "today's log changes its name at midnight";
    char szToday[16], szStart[256];
    strftime(szToday, sizeof(szToday), "%Y%m%d", &tmNow);
    strftime(szStart, sizeof(szStart),
             "FAKETIME='@%Y-%m-%d 10:00:00' ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 "
             "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 exec \"$0\"",
             &tmNow);
    m_box.writeRaw("conf/Orvex.conf", "COMMAND_PORT=" + std::to_string(m_box.port()) +
                                          "\nLOG_CLEAN_HOUR=10\nLOG_KEEP_DAYS=5\n");
    const std::string part = std::string("log/agent_") + szToday + "_001.log";
    m_box.writeRaw(part, "part\n");

    ASSERT_GT(m_box.startDaemon({"sh", "-c", szStart}), 0);
    ASSERT_TRUE(testsupport::waitFor(
        [&] { return m_box.countInLog("[dbg-in-wrn] log_clean,5 done [0].") == 1; },
        std::chrono::seconds(15)))
        << m_box.log();
    EXPECT_FALSE(fs::exists(m_box.path(part)));
    EXPECT_EQ(ls("CollectInfo"), Lines{std::string("log_") + szToday + ".tar.gz"});
    // Passes of the watchdog show that the loop went on, inside the clean hour.
    ASSERT_TRUE(m_box.waitForPass());
    ASSERT_TRUE(m_box.waitForPass());
    EXPECT_EQ(m_box.countInLog("log_clean,5 done"), 1);
    EXPECT_TRUE(m_box.stopDaemon());
}

}  // namespace
