#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

using Lines = std::multiset<std::string>;
using testsupport::linesOf;

// The home path is the working directory at its first use, one per test process; this one
// needs quoting in a shell command. Made at the first use here, with the task's log in it.
std::string home() {
    static const testsupport::TempDir s_top;
    if (std::filesystem::create_directory(s_top / "home dir 'q'")) {
        std::filesystem::current_path(s_top / "home dir 'q'");
        createModeLog(getHomePath(), "OrvexMon");
    }
    return getHomePath();
}

// The same entries in a log directory (dated logs and archives go) and in a collection
// directory (only dated archives go), with the cutoff 3 March 2024: files whose names carry a
// date in each form a name may take, or none, directories, a link to a kept log and one to
// nothing. Links go, never their targets.
TEST(LogTaskTest, RetentionByDate) {
    const std::string dir = home() + "/retention";
    linesOf(
        "mkdir -p retention/log && cd retention/log && touch 20240302.log 20240303.log "
        "OrvexMon20240302.log agent_20240302_001.log agent_20240302153000.log 2024-03-02.log "
        "agent_2024-03-02.log x20\303\251240302.log agent.log 20240302.txt log_20240302_1.tar.gz "
        "log_20240303.tar.gz && mkdir old_20200101.log old_20200101.tar.gz && ln -s "
        "20240303.log link_20200101.log && ln -s nowhere dangling_20200101.log && cp -a . ../CI");
    doUniLogClean((dir + "/log").c_str(), 20240303);
    doUniLogZipClean((dir + "/CI").c_str(), 20240303);
    EXPECT_EQ(linesOf("ls -A retention/log"),
              (Lines{"20240303.log", "agent_2024-03-02.log", "x20\303\251240302.log", "agent.log",
                     "20240302.txt", "log_20240303.tar.gz", "old_20200101.log",
                     "old_20200101.tar.gz", "dangling_20200101.log"}));
    EXPECT_EQ(linesOf("ls -A retention/CI | grep -c .; ls retention/CI/log_*"),
              (Lines{"15", "retention/CI/log_20240303.tar.gz"}));  // of 16 only that archive went
    const std::string deleted = "doUniLogClean: deleting " + dir + "/log/20240302.log OK.";
    EXPECT_EQ(system(("grep -qF " + shellQuote(deleted) + " log/*").c_str()), 0);  // logged
}

// Earlier days' logs, numbered parts and the home path's core files go into the day's archive,
// and leave only once it is complete on disk: a tar that fails, with half an archive or none,
// loses nothing, and the next run packs them. A name taken in the collection directory (a
// file still waiting there, a directory) keeps no log out, and no archive is replaced. The
// failing tar is found first on the path, and removes itself.
TEST(LogTaskTest, ArchiveLosesNothing) {
    const std::string logDir = home() + "/pack/log", collectDir = home() + "/pack/CI";
    setenv("PATH", (home() + "/pack:" + getenv("PATH")).c_str(), 1);
    Lines collected = {"20240307.log"};
    for (const char* pszFakeTar : {"echo partial > \"$2\"; exit 1", "exit 0"}) {
        linesOf(
            "mkdir -p pack/CI/20240307.log pack/log/x_20240301.log && cd pack/log && for f in "
            "20240307.log 20240309.log agent_20240310_001.log 20240310.log agent.log "
            "app.core; do echo $f > $f; done && : > 20240308.log && mv app.core ../.. && "
            "printf '#!/bin/sh\\nrm \"$0\"\\n%s\\n' " +
            shellQuote(pszFakeTar) + " > ../tar && chmod 700 ../tar");
        doUniLogZip(logDir.c_str(), collectDir.c_str(), 20240310);
        EXPECT_EQ(system("grep -qF 'doUniLogZip: tar failed' log/*"), 0);  // logged
        testsupport::writeFile(logDir + "/20240309.log", "again\n");
        doUniLogZip(logDir.c_str(), collectDir.c_str(), 20240310);
        const std::string archive = *collected.insert(
            collected.size() == 1 ? "log_20240310.tar.gz" : "log_20240310_1.tar.gz");
        EXPECT_EQ(linesOf("ls -A pack/CI"), collected);
        // The archive's contents, then what stays.
        EXPECT_EQ(linesOf("tar -xzOf pack/CI/" + archive + "; ls -A pack/log; echo *.core"),
                  (Lines{"20240307.log", "20240309.log", "again", "agent_20240310_001.log",
                         "app.core", "20240310.log", "agent.log", "x_20240301.log", "*.core"}));
    }
}

// The single-file pack, kept for the client (the daemon packs whole days): the log goes
// into its own archive; a script whose tar fails leaves no marker.
TEST(LogTaskTest, SingleLogZip) {
    const std::string dir = home() + "/log";
    testsupport::writeFile(dir + "/agent_20240307.log", "one day\n");
    ASSERT_TRUE(doSingleZip(dir.c_str(), "agent_20240307.log") && makeZipScript(dir.c_str(), "x"));
    execZipScript(dir.c_str(), "x");
    EXPECT_EQ(linesOf("ls log/agent*; echo log/*.don; tar -xzOf log/agent_20240307.tar.gz"),
              (Lines{"log/agent_20240307.tar.gz", "log/*.don", "one day"}));
}

// The home path stays the first working directory. The helpers are kept for the client's
// interface; a new directory gets mode 0777 whatever the umask, which stays.
TEST(PathsTest, PathsNamesAndFiles) {
    const std::string first = home();  // made and entered here
    umask(022);
    EXPECT_TRUE(createDirectory("made") == 0 && createDirectory("made") == -1 && umask(022) == 022);
    EXPECT_EQ(std::filesystem::status("made").permissions(), std::filesystem::perms::all);
    std::filesystem::current_path("/");  // left so: this test runs after those that need home
    EXPECT_EQ(getHomePath(), first);
    // source, separator, from the front, then "head|tail", with "!" ahead when not found
    // clang-format off
    const struct { const char *source, *sep; bool front; std::string split; } splits[] = {
        {"a.b.c", ".", false, "a.b|c"}, {"a--b--c", "--", true, "a|b--c"}, {"a", ".", false, "!a|"}};
    // clang-format on
    for (const auto& [source, sep, front, split] : splits) {
        std::string head = "stale", tail = "stale";
        const bool bFound = separateString(source, sep, head, tail, front);
        EXPECT_EQ((bFound ? "" : "!") + head + "|" + tail, split) << source;
    }
    EXPECT_TRUE(ifEndWith("x.core", ".core") && !ifEndWith("x.CORE", ".core"));
    std::string keepDays;  // 1 to 30 by atoi, 7 for anything else
    for (const char* pszText : {"30", "1", "31", "0", "abc", "12abc", " 5", "4294967297"})
        keepDays += std::to_string(getLogKeepDays(pszText)) + " ";
    EXPECT_EQ(keepDays, "30 1 7 7 7 12 5 1 ");
}
