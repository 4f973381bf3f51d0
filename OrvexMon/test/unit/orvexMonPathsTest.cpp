#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

// The home path stays the first working directory. The helpers are kept for the client's
// interface; a new directory gets mode 0777 whatever the umask, which stays.
TEST(PathsTest, PathsNamesAndFiles) {
    const testsupport::TempDir dir;
    std::filesystem::current_path(dir.path());
    getHomePath();
    umask(022);
    EXPECT_TRUE(createDirectory("made") == 0 && createDirectory("made") == -1 && umask(022) == 022);
    EXPECT_EQ(std::filesystem::status("made").permissions(), std::filesystem::perms::all);
    std::filesystem::current_path("/");
    EXPECT_EQ(getHomePath(), std::filesystem::canonical(dir.path()).string());
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
    EXPECT_TRUE(ifEndWith("x.core", ".core") && ifEndWith(".core", ".core") && ifEndWith("", ""));
    EXPECT_FALSE(ifEndWith("core", ".core") || ifEndWith("a.CORE", ".core"));
    std::string keepDays;  // 1 to 30 by atoi, 7 for anything else
    for (const char* pszText : {"30", "1", "31", "0", "abc", "12abc", " 5", "4294967297"})
        keepDays += std::to_string(getLogKeepDays(pszText)) + " ";
    EXPECT_EQ(keepDays, "30 1 7 7 7 12 5 1 ");
}
