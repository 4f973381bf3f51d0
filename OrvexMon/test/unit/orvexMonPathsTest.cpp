#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

namespace {

TEST(PathsTest, HomePathIsTheFirstWorkingDirectoryAndStaysCached) {
    testsupport::TempDir first, second;
    char szOld[PATH_MAX], szFirst[PATH_MAX];
    ASSERT_TRUE(getcwd(szOld, sizeof(szOld)) && realpath(first.path().c_str(), szFirst));
    ASSERT_EQ(chdir(first.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), szFirst);
    ASSERT_EQ(chdir(second.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), szFirst);
    ASSERT_EQ(chdir(szOld), 0);
}

TEST(PathsTest, SeparateStringSplitsAtTheFirstOrLastSeparator) {
    // source, separator, from the front, found, head, tail
    const std::tuple<const char*, const char*, bool, bool, const char*, const char*> cases[] = {
        {"20231105.log", ".", false, true, "20231105", "log"},
        {"abc", ".", false, false, "abc", ""},
        {".log", ".", false, true, "", "log"},
        {"a.b.c", ".", false, true, "a.b", "c"},
        {"a.b.c", ".", true, true, "a", "b.c"},
        {".", ".", false, true, "", ""},
        {"a--b--c", "--", false, true, "a--b", "c"},
    };
    for (const auto& [source, sep, front, found, head, tail] : cases) {
        std::string strHead = "stale", strTail = "stale";
        EXPECT_EQ(separateString(source, sep, strHead, strTail, front), found) << source;
        EXPECT_EQ(strHead + "|" + strTail, std::string(head) + "|" + tail) << source;
    }
}

TEST(PathsTest, IfEndWithComparesTheEndByteForByte) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"core", ".core", false}, {"x.core", ".core", true},  {".core", ".core", true},
        {"", "", true},           {"a.CORE", ".core", false}, {"a.core.gz", ".core", false},
    };
    for (const auto& [text, suffix, ends] : cases)
        EXPECT_EQ(ifEndWith(text, suffix), ends) << text << " " << suffix;
}

TEST(PathsTest, LogKeepDaysAreOneToThirtyElseSeven) {
    const std::pair<const char*, int> cases[] = {
        {"30", 30}, {"1", 1}, {"31", 7},     {"0", 7},  {"-1", 7},
        {"abc", 7}, {"", 7},  {"12abc", 12}, {" 5", 5}, {"4294967297", 1},
    };
    for (const auto& [text, days] : cases)
        EXPECT_EQ(getLogKeepDays(text), days) << '"' << text << '"';
}

// Kept for the client's interface: what exists, its size, the working directory, and a
// created directory's mode 0777 whatever the umask, which stays as it was.
TEST(PathsTest, FilesAndDirectories) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "five", "12345");
    const mode_t oldMask = umask(022);
    EXPECT_EQ(createDirectory((dir / "made").c_str()), 0);
    EXPECT_EQ(createDirectory((dir / "made").c_str()), -1) << "an existing directory fails";
    EXPECT_EQ(umask(oldMask), 022u);
    struct stat st;
    EXPECT_TRUE(stat((dir / "made").c_str(), &st) == 0 && (st.st_mode & 07777) == 0777);
    // name, fileExist, directoryExist, getFileSize
    const std::tuple<const char*, bool, bool, int> cases[] = {
        {"five", true, false, 5},
        {"made", true, true, int(st.st_size)},
        {"none", false, false, -1},
    };
    for (const auto& [name, exists, isDir, size] : cases) {
        EXPECT_EQ(fileExist((dir / name).c_str()), exists) << name;
        EXPECT_EQ(directoryExist((dir / name).c_str()), isDir) << name;
        EXPECT_EQ(getFileSize((dir / name).c_str()), size) << name;
    }
    std::string strNow;
    char szNow[PATH_MAX];
    EXPECT_TRUE(getProgramPath(strNow) && strNow == getcwd(szNow, sizeof(szNow)));
}

}  // namespace
