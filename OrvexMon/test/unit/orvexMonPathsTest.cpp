#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
namespace fs = std::filesystem;

// The home path stays the first working directory. The file helpers are kept for the
// client's interface; a new directory gets mode 0777 whatever the umask, which stays.
TEST(PathsTest, PathsNamesAndFiles) {
    testsupport::TempDir first, second;
    ASSERT_EQ(chdir(first.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), fs::canonical(first.path()).string());
    ASSERT_EQ(chdir(second.path().c_str()), 0);
    EXPECT_EQ(getHomePath(), fs::canonical(first.path()).string());
    testsupport::writeFile("five", "12345");
    const mode_t oldMask = umask(022);
    EXPECT_TRUE(createDirectory("made") == 0 && createDirectory("made") == -1);
    EXPECT_EQ(umask(oldMask), 022u);
    EXPECT_EQ(fs::status("made").permissions(), fs::perms::all);
    EXPECT_TRUE(directoryExist("made") && !directoryExist("five") && fileExist("five") &&
                !fileExist("none") && getFileSize("five") == 5 && getFileSize("none") == -1);
    EXPECT_EQ(chdir("/"), 0);
    // source, separator, from the front, then "head|tail", with "!" ahead when not found
    // clang-format off
    const struct { const char *source, *sep; bool front; std::string split; } splits[] = {
        {"a.b.c", ".", false, "a.b|c"}, {"a.b.c", ".", true, "a|b.c"}, {"abc", ".", false, "!abc|"},
        {".", ".", false, "|"}, {"a--b--c", "--", false, "a--b|c"}};
    // clang-format on
    for (const auto& [source, sep, front, split] : splits) {
        std::string head = "stale", tail = "stale";
        const bool bFound = separateString(source, sep, head, tail, front);
        EXPECT_EQ((bFound ? "" : "!") + head + "|" + tail, split) << source;
    }
    EXPECT_TRUE(ifEndWith("x.core", ".core") && ifEndWith(".core", ".core") && ifEndWith("", ""));
    EXPECT_FALSE(ifEndWith("core", ".core") || ifEndWith("a.CORE", ".core"));
    const std::pair<const char*, int> keepDays[] = {
        {"30", 30}, {"1", 1},      {"31", 7}, {"0", 7},
        {"abc", 7}, {"12abc", 12}, {" 5", 5}, {"4294967297", 1},
    };
    for (const auto& [text, days] : keepDays)
        EXPECT_EQ(getLogKeepDays(text), days) << '"' << text << '"';
}
