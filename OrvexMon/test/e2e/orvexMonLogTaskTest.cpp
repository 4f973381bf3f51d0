// The log task mode of the real OrvexMon at a chosen day (faketime), its faults, and the
// daemon's daily start of it.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

using namespace std::chrono_literals;
using testsupport::pathExists;
using testsupport::readFile;
using testsupport::RunResult;
using testsupport::Sandbox;
using testsupport::TempDir;
using testsupport::waitFor;
using testsupport::writeFile;

namespace {

const char kMarch10[] = "2024-03-10 10:00:00";

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Name -> bytes of the regular files an archive holds, as tar reads it back.
std::map<std::string, std::string> unpack(const std::string& archive, const std::string& into) {
    std::filesystem::create_directories(into);
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("tar", "tar", "-xzf", archive.c_str(), "-C", into.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << archive;
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(into))
        files[entry.path().filename().string()] = readFile(entry.path().string());
    return files;
}

// OrvexMon run with the clock of the given local time. libfaketime is preloaded ahead of a
// sanitizer runtime, which would otherwise refuse to start.
RunResult runAt(Sandbox& box, const char* pszWhen, const std::string& arg,
                std::vector<std::string> env = {}) {
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return box.runUnder({"faketime", pszWhen}, {arg}, env);
}

void writeAll(Sandbox& box, const std::map<std::string, std::string>& files) {
    for (const auto& file : files)
        box.writeRaw(file.first, file.second);
}

class LogTaskModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(m_box.path("log").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(m_box.path("CollectInfo").c_str(), 0755), 0);
    }
    Sandbox m_box;
};

TEST_F(LogTaskModeTest, DeletesOldFilesAndArchivesEarlierDays) {
    const std::map<std::string, std::string> gathered = {
        {"agent_20240303.log", "the cutoff day is kept, then archived\n"},
        {"20240309.log", "yesterday\n"},
        {"agent_20240310_001.log", "a numbered part of today\n"},
        {"app.core", "core bytes"},
    };
    writeAll(m_box, {{"log/agent_20240303.log", gathered.at("agent_20240303.log")},
                     {"log/20240309.log", gathered.at("20240309.log")},
                     {"log/agent_20240310_001.log", gathered.at("agent_20240310_001.log")},
                     {"app.core", gathered.at("app.core")},
                     {"log/OrvexMon20240302.log", "before the cutoff"},
                     {"log/log_20240301.tar.gz", "old archive"},
                     {"log/20240308.log", ""},
                     {"log/20240310.log", "today"},
                     {"log/agent.log", "undated"},
                     {"log/notes.txt", "not a log"},
                     {"CollectInfo/log_20240302.tar.gz", "old archive"},
                     {"CollectInfo/log_20240303.tar.gz", "kept archive"}});
    ASSERT_EQ(chmod(m_box.path("CollectInfo").c_str(), 0777), 0);

    const RunResult result = runAt(m_box, kMarch10, "log_clean,7");

    // Run in the foreground: everything is done by the time it has exited.
    EXPECT_EQ(result.nStatus, 0);
    EXPECT_EQ(result.strOutput, "");
    EXPECT_EQ(namesIn(m_box.path("log")),
              (std::set<std::string>{"20240310.log", "agent.log", "notes.txt",
                                     "OrvexMon20240310.log", ".OrvexMonLogTask.lock"}));
    EXPECT_EQ(namesIn(m_box.path("CollectInfo")),
              (std::set<std::string>{"log_20240303.tar.gz", "log_20240310.tar.gz"}));
    EXPECT_EQ(modeOf(m_box.path("CollectInfo")), 01777u) << "others drop files, touch none";
    EXPECT_FALSE(pathExists(m_box.path("app.core")));
    EXPECT_EQ(unpack(m_box.path("CollectInfo/log_20240310.tar.gz"), m_box.path("unpacked")),
              gathered);
}

TEST_F(LogTaskModeTest, KeepDaysComeFromTheArgument) {
    const std::set<std::string> keep30 = {"log_20240209.tar.gz", "log_20240302.tar.gz",
                                          "log_20240303.tar.gz", "log_20240304.tar.gz",
                                          "log_20240305.tar.gz"};
    const std::set<std::string> keep7 = {"log_20240303.tar.gz", "log_20240304.tar.gz",
                                         "log_20240305.tar.gz"};
    const std::set<std::string> keep5 = {"log_20240305.tar.gz"};
    // The number rule itself is getLogKeepDays'; here only the split at the first comma.
    const std::pair<const char*, std::set<std::string>> cases[] = {{"log_clean,30", keep30},
                                                                   {"log_clean", keep7},
                                                                   {"log_clean,5,9", keep5}};
    for (const auto& c : cases) {
        for (const char* date :
             {"20240208", "20240209", "20240302", "20240303", "20240304", "20240305"})
            m_box.writeRaw(std::string("CollectInfo/log_") + date + ".tar.gz", "x");
        const RunResult result = runAt(m_box, kMarch10, c.first);
        EXPECT_EQ(result.nStatus, 0) << c.first;
        EXPECT_EQ(namesIn(m_box.path("CollectInfo")), c.second) << c.first;
    }
}

TEST_F(LogTaskModeTest, OtherKeywordsOnlyCreateTheCollectionDirectory) {
    for (const char* arg : {"log_zip", "log_zip,3", "log_cleanup,7"}) {
        testsupport::removeTree(m_box.path("CollectInfo"));
        writeAll(m_box, {{"log/20240301.log", "old"}, {"app.core", "core"}});
        const RunResult result = runAt(m_box, kMarch10, arg);
        EXPECT_EQ(result.nStatus, 0) << arg;
        EXPECT_EQ(result.strOutput, "") << arg;
        EXPECT_EQ(namesIn(m_box.path("CollectInfo")), std::set<std::string>{}) << arg;
        EXPECT_EQ(modeOf(m_box.path("CollectInfo")), 01777u) << arg;
        EXPECT_EQ(readFile(m_box.path("log/20240301.log")), "old") << arg;
        EXPECT_TRUE(pathExists(m_box.path("app.core"))) << arg;
    }
}

// A pack that fails, or that claims success and leaves no archive, keeps every gathered file
// and no temporary archive; the next day's run packs them.
TEST_F(LogTaskModeTest, FailedPackLosesNothing) {
    const std::string fakeBin = m_box.path("fakebin");
    ASSERT_EQ(mkdir(fakeBin.c_str(), 0755), 0);
    const std::string fakeTarPath = "PATH=" + fakeBin + ":" + getenv("PATH");
    // The first fails with half an archive, as GNU tar does when a file changes under it.
    for (const char* pszFakeTar : {"echo partial > \"$2\"\nexit 1\n", "exit 0\n"}) {
        SCOPED_TRACE(pszFakeTar);
        writeFile(fakeBin + "/tar", std::string("#!/bin/sh\n") + pszFakeTar);
        ASSERT_EQ(chmod((fakeBin + "/tar").c_str(), 0755), 0);
        writeAll(m_box, {{"log/20240308.log", "eighth"},
                         {"log/20240309.log", "ninth"},
                         {"app.core", "core"}});
        EXPECT_EQ(runAt(m_box, kMarch10, "log_clean,7", {fakeTarPath}).nStatus, 0);
        EXPECT_EQ(namesIn(m_box.path("CollectInfo")),
                  (std::set<std::string>{"20240308.log", "20240309.log", "app.core"}));
        EXPECT_EQ(readFile(m_box.path("CollectInfo/20240309.log")), "ninth");
        EXPECT_NE(readFile(m_box.path("log/OrvexMon20240310.log")).find("doUniLogZip: tar failed"),
                  std::string::npos);

        m_box.writeRaw("log/20240310.log", "tenth");
        EXPECT_EQ(runAt(m_box, "2024-03-11 10:00:00", "log_clean,7").nStatus, 0);
        EXPECT_EQ(namesIn(m_box.path("CollectInfo")), std::set<std::string>{"log_20240311.tar.gz"});
        auto files = unpack(m_box.path("CollectInfo/log_20240311.tar.gz"),
                            m_box.path(std::string("unpacked") + pszFakeTar[0]));
        EXPECT_EQ(files.erase("OrvexMon20240310.log"), 1u);
        EXPECT_EQ(files, (std::map<std::string, std::string>{{"20240308.log", "eighth"},
                                                             {"20240309.log", "ninth"},
                                                             {"20240310.log", "tenth"},
                                                             {"app.core", "core"}}));
        testsupport::removeTree(m_box.path("CollectInfo"));
        testsupport::removeTree(m_box.path("log"));
        ASSERT_EQ(mkdir(m_box.path("log").c_str(), 0755), 0);
    }
}

// Two log tasks at once (a daemon restarted in the clean hour beside a run by hand), then a
// third later that day: every log lands in one archive, no temporary is left, and no
// archive is replaced.
TEST_F(LogTaskModeTest, TwoLogTasksAtOnce) {
    std::map<std::string, std::string> files = {{"app.core", "core"}};
    for (int i = 0; i < 2000; ++i)
        files["agent" + std::to_string(i) + "_20240309.log"] = "log " + std::to_string(i);
    for (const auto& file : files)
        m_box.writeRaw((file.first == "app.core" ? "" : "log/") + file.first, file.second);

    const RunResult result =
        m_box.runUnder({"faketime", kMarch10, "sh", "-c",
                        "\"$0\" \"$1\" & \"$0\" \"$1\" && wait $!"},
                       {"log_clean,7"}, {"ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(result.nStatus, 0);
    EXPECT_EQ(result.strOutput, "");
    // One ran after the other: the second found nothing left to pack.
    EXPECT_EQ(namesIn(m_box.path("CollectInfo")), std::set<std::string>{"log_20240310.tar.gz"});
    EXPECT_EQ(unpack(m_box.path("CollectInfo/log_20240310.tar.gz"), m_box.path("u")), files);
    EXPECT_EQ(namesIn(m_box.path("log")),
              (std::set<std::string>{"OrvexMon20240310.log", ".OrvexMonLogTask.lock"}));

    m_box.writeRaw("log/20240308.log", "third run");
    EXPECT_EQ(runAt(m_box, "2024-03-10 11:00:00", "log_clean,7").nStatus, 0);
    EXPECT_EQ(namesIn(m_box.path("CollectInfo")),
              (std::set<std::string>{"log_20240310.tar.gz", "log_20240310_1.tar.gz"}));
    EXPECT_EQ(unpack(m_box.path("CollectInfo/log_20240310_1.tar.gz"), m_box.path("third")),
              (std::map<std::string, std::string>{{"20240308.log", "third run"}}));
}

TEST(LogTaskHomeTest, HomePathWithBlanksAndQuotesWorks) {
    TempDir top;
    const std::string parent = top / "it's a dir;touch injected";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    const std::string oldTmp = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    setenv("TMPDIR", parent.c_str(), 1);
    Sandbox box;
    if (oldTmp.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", oldTmp.c_str(), 1);
    ASSERT_EQ(mkdir(box.path("log").c_str(), 0755), 0);
    writeAll(box, {{"log/20240309.log", "ninth"}, {"app.core", "core"}});

    const RunResult result = runAt(box, kMarch10, "log_clean,7");

    EXPECT_EQ(result.nStatus, 0);
    EXPECT_EQ(result.strOutput, "");
    EXPECT_EQ(unpack(box.path("CollectInfo/log_20240310.tar.gz"), top / "unpacked"),
              (std::map<std::string, std::string>{{"20240309.log", "ninth"}, {"app.core", "core"}}));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top.path()))
        EXPECT_NE(entry.path().filename(), "injected");
}

std::string dateOf(time_t when) {
    struct tm tmWhen;
    localtime_r(&when, &tmWhen);
    char szDate[16];
    strftime(szDate, sizeof(szDate), "%Y%m%d", &tmWhen);
    return szDate;
}

TEST(DailyLogTaskTest, DaemonRunsItOnceInTheCleanHour) {
    Sandbox box;
    // Not in the last minute of an hour: the daemon must still be in it when it starts.
    time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    if (tmNow.tm_min == 59) {
        const int nHour = tmNow.tm_hour;
        ASSERT_TRUE(waitFor(
            [&] {
                now = time(nullptr);
                localtime_r(&now, &tmNow);
                return tmNow.tm_hour != nHour;
            },
            70s));
    }
    box.writeRaw("conf/Orvex.conf", "COMMAND_PORT=" + std::to_string(box.port()) +
                                        "\nLOG_CLEAN_HOUR=" + std::to_string(tmNow.tm_hour) +
                                        "\nLOG_KEEP_DAYS=5\n");
    ASSERT_EQ(mkdir(box.path("log").c_str(), 0755), 0);
    const std::string yesterdayLog = "log/agent_" + dateOf(now - 86400) + ".log";
    box.writeRaw(yesterdayLog, "yesterday");

    ASSERT_GT(box.startDaemon(), 0);
    ASSERT_TRUE(
        waitFor([&] { return box.countInLog("[dbg-in-wrn] log_clean,5 done [0].") == 1; }, 15s))
        << box.log();
    EXPECT_FALSE(pathExists(box.path(yesterdayLog)));
    EXPECT_TRUE(pathExists(box.path("CollectInfo/log_" + dateOf(now) + ".tar.gz")));

    // Passes of the watchdog show that the loop went on, inside the clean hour.
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_EQ(box.countInLog("log_clean,5 done"), 1);
    EXPECT_TRUE(box.stopDaemon());
}

}  // namespace
