#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

// Two passes of the core-file task in the home path (the working directory at its first
// use, with the log in it): only regular *.core files change, each logged once. Neither a
// link nor a second name of a file hands root's chmod to another file.
TEST(WatchdogTest, CoreFilesGetMode0777Once) {
    testsupport::TempDir home;
    ASSERT_EQ(chdir(home.path().c_str()), 0);
    createModeLog(getHomePath(), "OrvexMon");
    ASSERT_EQ(
        system(
            "umask 077 && echo x | tee a.core .core a.core.gz t.target >/dev/null && mkdir x.core && "
            "ln -s t.target l.core && ln t.target h.core"),
        0);
    doCoreTask();
    doCoreTask();
    // clang-format off
    const struct { const char* name; mode_t mode; } modes[] = {
        {"a.core", 0777}, {".core", 0777}, {"t.target", 0600}, {"a.core.gz", 0600}, {"x.core", 0700}};
    // clang-format on
    struct stat st;
    for (const auto& [name, mode] : modes)
        EXPECT_TRUE(stat(name, &st) == 0 && (st.st_mode & 07777) == mode) << name;
    EXPECT_EQ(system("test $(grep -cF 'doCoreTask: begin change permissions of core file: "
                     "[a.core].' log/*) = 1"),
              0);
    EXPECT_EQ(chdir("/"), 0);
}

TEST(LogCleanDueTest, OncePerDayInTheCleanHour) {
    // hour, day, clean hour, day of the last run (0: none yet), due
    // clang-format off
    const struct { int hour, day, cleanHour, lastDay; bool due; } cases[] = {
        {10, 6, 10, 0, true},  {10, 6, 10, 6, false}, {10, 7, 10, 6, true},
        {11, 7, 10, 6, false}, {0, 1, 0, 31, true}};
    // clang-format on
    for (const auto& [hour, day, cleanHour, lastDay, due] : cases)
        EXPECT_EQ(isLogCleanDue(hour, day, cleanHour, lastDay), due) << hour << " " << day;
}
