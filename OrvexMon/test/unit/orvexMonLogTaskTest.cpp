#include "orvexMon.h"
#include "orvexMonLog.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

using testsupport::pathExists;
using testsupport::readFile;
using testsupport::readLines;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// The home path is the working directory at its first use: one per test process, and one
// that needs quoting in a shell command.
TempDir* s_pTop = nullptr;
std::string s_strHome;

class HomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        s_pTop = new TempDir;
        const std::string strHome = *s_pTop / "home dir 'q'";
        ASSERT_EQ(mkdir(strHome.c_str(), 0755), 0);
        ASSERT_EQ(chdir(strHome.c_str()), 0);
        s_strHome = getHomePath();
        createModeLog(s_strHome, "OrvexMon");
    }
    void TearDown() override {
        EXPECT_EQ(chdir("/"), 0);
        delete s_pTop;
    }
};
[[maybe_unused]] ::testing::Environment* const s_pEnv =
    ::testing::AddGlobalTestEnvironment(new HomeEnvironment);

std::string logText() {
    return readFile(CLog(s_strHome + "/log", 0, "OrvexMon").GetNewLogFile(ACE_Date_Time()));
}

bool logHas(const std::string& text) {
    return logText().find(text) != std::string::npos;
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

std::set<std::string> archiveList(const std::string& archive) {
    std::set<std::string> names;
    FILE* pPipe = popen(("tar -tzf " + shellQuote(archive)).c_str(), "r");
    char szLine[512];
    while (pPipe && fgets(szLine, sizeof(szLine), pPipe)) {
        std::string name = szLine;
        name.pop_back();
        names.insert(name);
    }
    if (pPipe)
        pclose(pPipe);
    return names;
}

// A directory of its own under the home path, removed afterwards.
class LogTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strDir =
            s_strHome + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(mkdir(m_strDir.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(logDir().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(collectDir().c_str(), 0755), 0);
    }
    void TearDown() override { testsupport::removeTree(m_strDir); }
    std::string logDir() const { return m_strDir + "/log"; }
    std::string collectDir() const { return m_strDir + "/CollectInfo"; }

    std::string m_strDir;
};

TEST(DateParserTest, NameShapes) {
    struct Case {
        const char* name;
        uint32_t date;
        bool isPart;
    } cases[] = {
        {"OrvexMon20240307.log", 20240307, false},
        {"20240307.log", 20240307, false},
        {"agent_20240307.log", 20240307, false},
        {"agent_20240307_001.log", 20240307, true},
        {"agent_20240307153000.log", 20240307, false},
        {"2024-03-07.log", 20240307, false},
        {"agent_2024-03-07_002.log", 20240307, true},
        {"agent_2024-03-07.log", 0, false},
        {"x20\xc3\xa9"
         "240307.log",
         0, false},
        {"agent.log", 0, false},
        {"agent_123.log", 0, true},
        {"agent_9999999.log", 0, false},
        {"log_20240307.tar.gz", 20240307, false},
        {"agent_20240307.tar.gz", 20240307, false},
        {"log_20240310_1.tar.gz", 20240310, false},
    };
    for (const Case& c : cases) {
        bool bIsPart = !c.isPart;
        EXPECT_EQ(getDateValFromFileName(c.name, bIsPart), c.date) << c.name;
        EXPECT_EQ(bIsPart, c.isPart) << c.name;
    }
}

TEST_F(LogTaskTest, RetentionOfTheLogDirectory) {
    const std::string dir = logDir();
    for (const char* name : {"20240302.log", "20240303.log", "agent_20240302_001.log",
                             "log_20240302.tar.gz", "agent.log", "notes.txt", "20240302.txt"})
        writeFile(dir + "/" + name, "x");
    ASSERT_EQ(mkdir((dir + "/old_20200101.log").c_str(), 0755), 0);
    writeFile(m_strDir + "/target_20200101.log", "kept");
    ASSERT_EQ(symlink((m_strDir + "/target_20200101.log").c_str(),
                      (dir + "/link_20200101.log").c_str()),
              0);
    ASSERT_EQ(symlink("nowhere", (dir + "/dangling_20200101.log").c_str()), 0);

    doUniLogClean(dir.c_str(), 20240303);

    EXPECT_EQ(namesIn(dir),
              (std::set<std::string>{"20240303.log", "agent.log", "notes.txt", "20240302.txt",
                                     "old_20200101.log", "dangling_20200101.log"}));
    EXPECT_EQ(readFile(m_strDir + "/target_20200101.log"), "kept");
    EXPECT_TRUE(logHas("doUniLogClean: deleting " + dir + "/20240302.log OK."));
    EXPECT_TRUE(logHas("doUniLogClean：FMT 4000 for old_20200101.log."));
    EXPECT_TRUE(logHas("doUniLogClean：ignored notes.txt."));
    EXPECT_TRUE(
        logHas("doUniLogClean: fail to get status of file [" + dir + "/dangling_20200101.log]."));
}

TEST_F(LogTaskTest, RetentionOfTheCollectionDirectoryTouchesOnlyArchives) {
    const std::string dir = collectDir();
    for (const char* name : {"log_20240302.tar.gz", "log_20240302_1.tar.gz", "log_20240303.tar.gz",
                             "20240101.log", "stray.txt"})
        writeFile(dir + "/" + name, "x");
    ASSERT_EQ(mkdir((dir + "/old_20200101.tar.gz").c_str(), 0755), 0);

    doUniLogZipClean(dir.c_str(), 20240303);

    EXPECT_EQ(namesIn(dir), (std::set<std::string>{"log_20240303.tar.gz", "20240101.log",
                                                   "stray.txt", "old_20200101.tar.gz"}));
    EXPECT_TRUE(logHas("doUniLogZipClean: deleting " + dir + "/log_20240302_1.tar.gz OK."));
    EXPECT_TRUE(logHas("doUniLogZipClean：FMT 4000 for old_20200101.tar.gz."));
    EXPECT_FALSE(logHas("stray.txt"));

    doUniLogClean((m_strDir + "/none").c_str(), 20240303);
    doUniLogZipClean((m_strDir + "/none").c_str(), 20240303);
    EXPECT_TRUE(logHas("doUniLogClean: fail to open directory " + m_strDir + "/none!"));
    EXPECT_TRUE(logHas("doUniLogZipClean: fail to open directory " + m_strDir + "/none!"));
}

TEST_F(LogTaskTest, ArchiveGathersOlderLogsPartsAndCores) {
    const std::string dir = logDir();
    writeFile(dir + "/20240309.log", "ninth");
    writeFile(dir + "/agent_20240310_001.log", "part one");
    writeFile(dir + "/20240310.log", "today");
    writeFile(dir + "/agent.log", "undated");
    writeFile(dir + "/20240308.log", "");
    writeFile(dir + "/agent_20240310_002.log", "");
    ASSERT_EQ(mkdir((dir + "/x_20240301.log").c_str(), 0755), 0);
    writeFile(s_strHome + "/app.core", "core");
    ASSERT_EQ(mkdir((s_strHome + "/y.core").c_str(), 0755), 0);

    doUniLogZip(dir.c_str(), collectDir().c_str(), 20240310);

    EXPECT_EQ(namesIn(dir), (std::set<std::string>{"20240310.log", "agent.log", "x_20240301.log"}));
    EXPECT_FALSE(pathExists(s_strHome + "/app.core"));
    EXPECT_TRUE(pathExists(s_strHome + "/y.core"));
    EXPECT_EQ(namesIn(collectDir()), std::set<std::string>{"log_20240310.tar.gz"});
    EXPECT_EQ(archiveList(collectDir() + "/log_20240310.tar.gz"),
              (std::set<std::string>{"./20240309.log", "./agent_20240310_001.log", "./app.core"}));
    EXPECT_TRUE(logHas("doUniLogZip: deleting empty file agent_20240310_002.log OK."));
    EXPECT_TRUE(logHas("doUniLogZip: strLogFile<" + collectDir() + "/log_20240310.tar.gz>."));
    rmdir((s_strHome + "/y.core").c_str());
}

TEST_F(LogTaskTest, CoreFileAloneIsArchived) {
    writeFile(logDir() + "/20240310.log", "today");
    doUniLogZip(logDir().c_str(), collectDir().c_str(), 20240310);
    EXPECT_TRUE(logHas("doUniLogZip: not exist log and core file, return."));
    EXPECT_EQ(namesIn(collectDir()), std::set<std::string>{});

    writeFile(s_strHome + "/a.core", "core");
    doUniLogZip(logDir().c_str(), collectDir().c_str(), 20240310);
    EXPECT_EQ(archiveList(collectDir() + "/log_20240310.tar.gz"), std::set<std::string>{"./a.core"});
}

// Names in the collection directory taken by a file still waiting there, by somebody else's
// file or by a directory never keep a log out, and are never replaced.
TEST_F(LogTaskTest, TakenNamesKeepNoLogOut) {
    writeFile(collectDir() + "/20240309.log", "waiting");
    writeFile(collectDir() + "/20240308.log", "foreign");
    if (geteuid() == 0) {
        ASSERT_EQ(chown((collectDir() + "/20240308.log").c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(mkdir((collectDir() + "/20240307.log").c_str(), 0777), 0);
    for (const char* name : {"20240309.log", "20240308.log", "20240307.log"})
        writeFile(logDir() + "/" + name, std::string("ours ") + name);

    doUniLogZip(logDir().c_str(), collectDir().c_str(), 20240310);

    EXPECT_EQ(namesIn(logDir()), std::set<std::string>{});
    EXPECT_EQ(namesIn(collectDir()), (std::set<std::string>{"log_20240310.tar.gz", "20240307.log"}));
    TempDir out;
    ASSERT_EQ(system(("tar -xzf " + shellQuote(collectDir() + "/log_20240310.tar.gz") + " -C " +
                      shellQuote(out.path()))
                         .c_str()),
              0);
    std::multiset<std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(out.path())) {
        if (entry.is_regular_file())
            contents.insert(readFile(entry.path()));
    }
    EXPECT_EQ(contents, (std::multiset<std::string>{"waiting", "foreign", "ours 20240309.log",
                                                    "ours 20240308.log", "ours 20240307.log"}));
    EXPECT_TRUE(
        logHas("doUniLogZip: 20240307.log is taken in " + collectDir() + ", it goes in as "));
}

TEST_F(LogTaskTest, ZipScriptLines) {
    ASSERT_TRUE(makeZipScript(logDir().c_str(), "agent_20240307"));
    EXPECT_EQ(readLines(s_strHome + "/agent_20240307.sh"),
              (std::vector<std::string>{"#!/bin/sh", "cd log/",
                                        "tar -zcvf agent_20240307.tar.gz agent_20240307.log",
                                        "[ $? -eq 0 ] && echo done > agent_20240307.don",
                                        "cd ../"}));
    cleanUp(logDir().c_str(), "agent_20240307", false);
    EXPECT_FALSE(pathExists(s_strHome + "/agent_20240307.sh"));
}

TEST_F(LogTaskTest, SingleZipPacksOneLogAndRemovesIt) {
    const std::string dir = s_strHome + "/log";
    writeFile(dir + "/agent_20240307.log", "one day");
    EXPECT_TRUE(doSingleZip(dir.c_str(), "agent_20240307.log"));
    EXPECT_FALSE(pathExists(dir + "/agent_20240307.log"));
    EXPECT_FALSE(pathExists(dir + "/agent_20240307.don"));
    EXPECT_FALSE(pathExists(s_strHome + "/agent_20240307.sh"));
    EXPECT_EQ(archiveList(dir + "/agent_20240307.tar.gz"),
              std::set<std::string>{"agent_20240307.log"});
    EXPECT_TRUE(logHas("zip agent_20240307.log done [0]."));

    // A pack that fails leaves no marker, so the log would stay.
    ASSERT_TRUE(makeZipScript(dir.c_str(), "missing_20240307"));
    execZipScript(dir.c_str(), "missing_20240307");
    EXPECT_FALSE(pathExists(dir + "/missing_20240307.don"));
    cleanUp(dir.c_str(), "missing_20240307", false);
    remove((dir + "/agent_20240307.tar.gz").c_str());
    remove((dir + "/missing_20240307.tar.gz").c_str());
}

TEST_F(LogTaskTest, MarkerIsCompleteWhenItsFirstLineBeginsWithDone) {
    const std::pair<std::string, bool> cases[] = {
        {"done\n", true},       {"done and more\nx\n", true}, {"done", true},
        {"don\ndone\n", false}, {"\ndone\n", false},          {"", false},
    };
    const std::string marker = m_strDir + "/b.don";
    for (const auto& c : cases) {
        writeFile(marker, c.first);
        EXPECT_EQ(ifZipDone(marker), c.second) << c.first.substr(0, 20);
    }
    EXPECT_FALSE(ifZipDone(m_strDir + "/none.don"));
}

TEST_F(LogTaskTest, StartLogTaskRunsTheChildInTheHomePath) {
    const std::string child = s_strHome + "/OrvexMon";
    writeFile(child, "#!/bin/sh\necho \"$PWD|$1\" > started.txt\nexit 3\n");
    ASSERT_EQ(chmod(child.c_str(), 0755), 0);
    startLogTask("log_clean,7");
    EXPECT_EQ(readFile(s_strHome + "/started.txt"), s_strHome + "|log_clean,7\n");
    EXPECT_TRUE(logHas("[dbg-in-wrn] log_clean,7 done [768]."));
    remove(child.c_str());
}

}  // namespace
