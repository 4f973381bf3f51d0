#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

TEST(PathsTest, HomePathStaysTheFirstWorkingDirectoryAndFilesAreSeen) {
    testsupport::TempDir first, second;
    char szOld[PATH_MAX], szFirst[PATH_MAX], szSecond[PATH_MAX];
    ASSERT_TRUE(getcwd(szOld, PATH_MAX) && realpath(first.path().c_str(), szFirst) &&
                realpath(second.path().c_str(), szSecond));
    ASSERT_EQ(chdir(first.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), szFirst);
    ASSERT_EQ(chdir(second.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), szFirst);
    std::string strNow;
    EXPECT_TRUE(getProgramPath(strNow) && strNow == szSecond) << strNow;
    // Kept for the client's interface. A new directory gets mode 0777 whatever the umask,
    // which stays as it was.
    testsupport::writeFile("five", "12345");
    const mode_t oldMask = umask(022);
    EXPECT_EQ(createDirectory("made"), 0);
    EXPECT_EQ(createDirectory("made"), -1) << "an existing directory fails";
    EXPECT_EQ(umask(oldMask), 022u);
    struct stat st;
    EXPECT_TRUE(stat("made", &st) == 0 && (st.st_mode & 07777) == 0777);
    EXPECT_TRUE(directoryExist("made") && !directoryExist("five"));
    EXPECT_TRUE(fileExist("five") && !fileExist("none"));
    EXPECT_TRUE(getFileSize("five") == 5 && getFileSize("none") == -1);
    ASSERT_EQ(chdir(szOld), 0);
}

TEST(PathsTest, SplitsEndingsAndLogKeepDays) {
    // source, separator, from the front, then "head|tail", with "!" ahead when not found
    const std::tuple<const char*, const char*, bool, std::string> splits[] = {
        {"20231105.log", ".", false, "20231105|log"},
        {"abc", ".", false, "!abc|"},
        {".log", ".", false, "|log"},
        {"a.b.c", ".", false, "a.b|c"},
        {"a.b.c", ".", true, "a|b.c"},
        {".", ".", false, "|"},
        {"a--b--c", "--", false, "a--b|c"},
    };
    for (const auto& [source, sep, front, split] : splits) {
        std::string head = "stale", tail = "stale";
        const bool bFound = separateString(source, sep, head, tail, front);
        EXPECT_EQ((bFound ? "" : "!") + head + "|" + tail, split) << source;
    }
    const std::tuple<const char*, const char*, bool> endings[] = {
        {"core", ".core", false}, {"x.core", ".core", true},  {".core", ".core", true},
        {"", "", true},           {"a.CORE", ".core", false}, {"a.core.gz", ".core", false},
    };
    for (const auto& [text, suffix, ends] : endings)
        EXPECT_EQ(ifEndWith(text, suffix), ends) << text << " " << suffix;
    const std::pair<const char*, int> keepDays[] = {
        {"30", 30}, {"1", 1}, {"31", 7},     {"0", 7},  {"-1", 7},
        {"abc", 7}, {"", 7},  {"12abc", 12}, {" 5", 5}, {"4294967297", 1},
    };
    for (const auto& [text, days] : keepDays)
        EXPECT_EQ(getLogKeepDays(text), days) << '"' << text << '"';
}
