#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

std::string realPath(const std::string& path) {
    char szBuf[PATH_MAX];
    return realpath(path.c_str(), szBuf) ? szBuf : "";
}

TEST(HomePathTest, IsTheFirstWorkingDirectoryAndStaysCached) {
    TempDir first, second;
    char szOld[PATH_MAX];
    ASSERT_NE(getcwd(szOld, sizeof(szOld)), nullptr);
    ASSERT_EQ(chdir(first.path().c_str()), 0);
    const std::string strHome = getHomePath();
    ASSERT_EQ(chdir(second.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), strHome);
    EXPECT_EQ(strHome, realPath(first.path()));
    std::string strNow;
    EXPECT_TRUE(getProgramPath(strNow));
    EXPECT_EQ(strNow, realPath(second.path()));
    ASSERT_EQ(chdir(szOld), 0);
}

TEST(SeparateStringTest, SplitsAtFirstOrLastSeparator) {
    struct Case {
        const char* source;
        const char* sep;
        bool fromFront;
        bool found;
        const char* head;
        const char* tail;
    } cases[] = {
        {"20231105.log", ".", false, true, "20231105", "log"},
        {"abc", ".", false, false, "abc", ""},
        {".log", ".", false, true, "", "log"},
        {"a.b.c", ".", false, true, "a.b", "c"},
        {"a.b.c", ".", true, true, "a", "b.c"},
        {".", ".", false, true, "", ""},
        {"log.", ".", false, true, "log", ""},
        {"a--b--c", "--", false, true, "a--b", "c"},
        {"agent_20240307_001", "_", false, true, "agent_20240307", "001"},
    };
    for (const Case& c : cases) {
        std::string head = "stale", tail = "stale";
        EXPECT_EQ(separateString(c.source, c.sep, head, tail, c.fromFront), c.found) << c.source;
        EXPECT_EQ(head, c.head) << c.source;
        EXPECT_EQ(tail, c.tail) << c.source;
    }
}

TEST(IfEndWithTest, ComparesTheEndByteForByte) {
    EXPECT_FALSE(ifEndWith("core", ".core"));
    EXPECT_TRUE(ifEndWith("x.core", ".core"));
    EXPECT_TRUE(ifEndWith(".core", ".core"));
    EXPECT_TRUE(ifEndWith("", ""));
    EXPECT_TRUE(ifEndWith("abc", ""));
    EXPECT_FALSE(ifEndWith("a.CORE", ".core"));
    EXPECT_FALSE(ifEndWith("a.core.gz", ".core"));
}

TEST(DirectoryTest, CreateGivesMode0777AndKeepsTheUmask) {
    TempDir dir;
    const mode_t oldMask = umask(022);
    const std::string strNew = dir / "CollectInfo";
    EXPECT_FALSE(directoryExist(strNew.c_str()));
    EXPECT_EQ(createDirectory(strNew.c_str()), 0);
    EXPECT_TRUE(directoryExist(strNew.c_str()));
    struct stat st;
    ASSERT_EQ(stat(strNew.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);

    EXPECT_EQ(createDirectory(strNew.c_str()), -1) << "an existing directory fails";
    EXPECT_EQ(createDirectory((dir / "missing/child").c_str()), -1) << "only the last component";
    EXPECT_EQ(umask(oldMask), 022u);
}

TEST(DirectoryTest, FileIsNotADirectory) {
    TempDir dir;
    testsupport::writeFile(dir / "plain", "x");
    EXPECT_FALSE(directoryExist((dir / "plain").c_str()));
}

TEST(FileTest, ExistenceAndSize) {
    TempDir dir;
    testsupport::writeFile(dir / "five", "12345");
    EXPECT_TRUE(fileExist((dir / "five").c_str()));
    EXPECT_EQ(getFileSize((dir / "five").c_str()), 5);
    EXPECT_FALSE(fileExist((dir / "none").c_str()));
    EXPECT_EQ(getFileSize((dir / "none").c_str()), -1);
}

TEST(LogKeepDaysTest, AcceptsOneToThirtyElseSeven) {
    const std::pair<const char*, int> cases[] = {
        {"30", 30}, {"1", 1}, {"31", 7},     {"0", 7},  {"-1", 7},
        {"abc", 7}, {"", 7},  {"12abc", 12}, {" 5", 5}, {"4294967297", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getLogKeepDays(c.first), c.second) << '"' << c.first << '"';
}

}  // namespace
