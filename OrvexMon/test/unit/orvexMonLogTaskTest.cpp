#include "orvexMon.h"
#include "orvexMonLog.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <set>

using Lines = std::multiset<std::string>;

using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// The home path is the working directory at its first use, one per test process; this one
// needs quoting in a shell command. Removed at exit.
const std::string& home() {
    static testsupport::TempDir s_top;
    static const std::string s_strHome = [] {
        fs::create_directory(s_top / "home dir 'q'");
        fs::current_path(s_top / "home dir 'q'");
        createModeLog(getHomePath(), "OrvexMon");
        return getHomePath();
    }();
    return s_strHome;
}

bool logHas(const std::string& text) {
    const std::string strLog = CLog(home() + "/log", 0, "OrvexMon").GetNewLogFile(ACE_Date_Time());
    return testsupport::readFile(strLog).find(text) != std::string::npos;
}

// The lines a shell command prints.
Lines linesOf(const std::string& command) {
    Lines lines;
    FILE* pPipe = popen(command.c_str(), "r");
    for (char szLine[256]; fgets(szLine, sizeof(szLine), pPipe) != nullptr;)
        lines.emplace(szLine, strcspn(szLine, "\n"));
    EXPECT_EQ(pclose(pPipe), 0) << command;
    return lines;
}

TEST(LogTaskTest, DateInFileNames) {
    // clang-format off
    const struct { const char* name; uint32_t date; bool isPart; } rows[] = {
        {"OrvexMon20240307.log", 20240307, false}, {"agent_20240307.log", 20240307, false},
        {"agent_20240307_001.log", 20240307, true}, {"agent_20240307153000.log", 20240307, false},
        {"2024-03-07.log", 20240307, false}, {"agent_2024-03-07_002.log", 20240307, true},
        {"agent_2024-03-07.log", 0, false}, {"x20\303\251240307.log", 0, false},
        {"agent.log", 0, false}, {"agent_123.log", 0, true}, {"agent_9999999.log", 0, false},
        {"log_20240307.tar.gz", 20240307, false}, {"log_20240310_1.tar.gz", 20240310, false}};
    // clang-format on
    for (const auto& row : rows) {
        bool bIsPart = !row.isPart;
        EXPECT_EQ(getDateValFromFileName(row.name, bIsPart), row.date) << row.name;
        EXPECT_EQ(bIsPart, row.isPart) << row.name;
    }
}

// The same entries in a log directory (dated logs and archives go) and in a collection
// directory (only dated archives go), with the cutoff 3 March 2024.
TEST(LogTaskTest, RetentionByDate) {
    // clang-format off
    const struct { const char* name; char kind; bool keptInLog, keptInCollect; } rows[] = {
        {"20240302.log", 'f', false, true}, {"20240303.log", 'f', true, true},
        {"agent_20240302_001.log", 'f', false, true}, {"log_20240302.tar.gz", 'f', false, false},
        {"log_20240302_1.tar.gz", 'f', false, false}, {"log_20240303.tar.gz", 'f', true, true},
        {"agent.log", 'f', true, true}, {"notes.txt", 'f', true, true},
        {"20240302.txt", 'f', true, true}, {"old_20200101.log", 'd', true, true},
        {"old_20200101.tar.gz", 'd', true, true}, {"link_20200101.log", 'l', false, true},
        {"dangling_20200101.log", 'x', true, true}};  // 'd'irectory, 'l'ink to 20240303.log, none
    // clang-format on
    const std::string logDir = home() + "/retention/log",
                      collectDir = home() + "/retention/CollectInfo";
    for (const std::string& dir : {logDir, collectDir}) {
        fs::create_directories(dir);
        for (const auto& row : rows) {
            const std::string path = dir + "/" + row.name;
            if (row.kind == 'f')
                writeFile(path, "x");
            else if (row.kind == 'd')
                fs::create_directory(path);
            else
                fs::create_symlink(row.kind == 'l' ? "20240303.log" : "nowhere", path);
        }
    }
    doUniLogClean(logDir.c_str(), 20240303);
    doUniLogZipClean(collectDir.c_str(), 20240303);

    for (const auto& row : rows) {
        EXPECT_EQ(fs::exists(fs::symlink_status(logDir + "/" + row.name)), row.keptInLog)
            << row.name;
        EXPECT_EQ(fs::exists(fs::symlink_status(collectDir + "/" + row.name)), row.keptInCollect)
            << row.name;
    }
    for (const std::string& line : std::vector<std::string>{
             "doUniLogClean: deleting " + logDir + "/20240302.log OK.",
             "doUniLogZipClean: deleting " + collectDir + "/log_20240302_1.tar.gz OK.",
             "doUniLogClean：FMT 4000 for old_20200101.log.", "doUniLogClean：ignored notes.txt.",
             "doUniLogClean: fail to get status of file [" + logDir + "/dangling_20200101.log]."})
        EXPECT_TRUE(logHas(line)) << line;
}

// Earlier days' logs, numbered parts and the home path's core files go into the day's archive,
// and leave only once it is complete on disk: a tar that fails, with half an archive or none,
// loses nothing, and the next run packs them. A name taken in the collection directory (a
// file still waiting there, a directory) keeps no log out, and no archive is replaced.
TEST(LogTaskTest, ArchiveLosesNothing) {
    const std::string logDir = home() + "/pack/log", collectDir = home() + "/pack/CollectInfo",
                      realPath = getenv("PATH");
    fs::create_directories(collectDir + "/20240307.log");
    fs::create_directories(logDir + "/x_20240301.log");
    Lines collected = {"20240307.log"};
    for (const char* pszFakeTar : {"echo partial > \"$2\"; exit 1", "exit 0"}) {
        SCOPED_TRACE(pszFakeTar);
        for (const char* name : {"20240307.log", "20240309.log", "agent_20240310_001.log",
                                 "20240310.log", "agent.log"})
            writeFile(logDir + "/" + name, std::string(name) + "\n");
        writeFile(home() + "/app.core", "app.core\n");
        writeFile(logDir + "/20240308.log", "");
        writeFile(home() + "/pack/tar", std::string("#!/bin/sh\n") + pszFakeTar + "\n");
        fs::permissions(home() + "/pack/tar", fs::perms::owner_all);
        setenv("PATH", (home() + "/pack:" + realPath).c_str(), 1);
        doUniLogZip(logDir.c_str(), collectDir.c_str(), 20240310);
        setenv("PATH", realPath.c_str(), 1);
        EXPECT_TRUE(logHas("doUniLogZip: tar failed"));

        writeFile(logDir + "/20240309.log", "again\n");
        doUniLogZip(logDir.c_str(), collectDir.c_str(), 20240310);
        const std::string archive =
            collected.size() == 1 ? "log_20240310.tar.gz" : "log_20240310_1.tar.gz";
        collected.insert(archive);
        EXPECT_EQ(linesOf("ls -A " + shellQuote(collectDir)), collected);
        EXPECT_EQ(linesOf("tar -xzOf " + shellQuote(collectDir + "/" + archive)),
                  (Lines{"20240307.log", "20240309.log", "again", "agent_20240310_001.log",
                         "app.core"}));
        EXPECT_FALSE(fs::exists(home() + "/app.core"));
        EXPECT_EQ(linesOf("ls -A " + shellQuote(logDir)),
                  (Lines{"20240310.log", "agent.log", "x_20240301.log"}));
    }
}

// Nothing in the daemon packs a single log; callers outside may. The log goes into
// <base>.tar.gz beside it and leaves; a pack that fails writes no marker, so the log stays.
TEST(LogTaskTest, SingleLogZip) {
    const std::string dir = home() + "/log";
    writeFile(dir + "/agent_20240307.log", "one day\n");
    EXPECT_TRUE(doSingleZip(dir.c_str(), "agent_20240307.log"));
    EXPECT_FALSE(fs::exists(dir + "/agent_20240307.log"));
    EXPECT_EQ(linesOf("tar -xzOf " + shellQuote(dir + "/agent_20240307.tar.gz")), Lines{"one day"});
    ASSERT_TRUE(makeZipScript(dir.c_str(), "missing"));
    execZipScript(dir.c_str(), "missing");
    EXPECT_FALSE(ifZipDone(dir + "/missing.don"));
}

}  // namespace
