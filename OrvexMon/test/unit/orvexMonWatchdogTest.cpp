#include "orvexMon.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using testsupport::linesOf;

// Two passes of the core-file task in the home path (the working directory at its first
// use, with the log in it): only regular *.core files change, each logged once. Neither a
// link nor a second name of a file hands root's chmod to another file.
TEST(WatchdogTest, CoreFilesGetMode0777Once) {
    testsupport::TempDir home;
    ASSERT_EQ(chdir(home.path().c_str()), 0);
    createModeLog(getHomePath(), "OrvexMon");
    linesOf(
        "umask 077 && echo x | tee a.core .core a.core.gz t.target && mkdir x.core && "
        "ln -s t.target l.core && ln t.target h.core");
    doCoreTask();
    doCoreTask();
    EXPECT_EQ(linesOf("echo $(stat -c '%a %n' a.core .core t.target a.core.gz x.core; grep -cF "
                      "'doCoreTask: begin change permissions of core file: [a.core].' log/*)"),
              std::multiset<std::string>{
                  "777 a.core 777 .core 600 t.target 600 a.core.gz 700 x.core 1"});
    EXPECT_EQ(chdir("/"), 0);
}

TEST(LogCleanDueTest, OncePerDayInTheCleanHour) {
    // hour, day, clean hour, day of the last run (0: none yet), due
    // clang-format off
    const std::tuple<int, int, int, int, bool> cases[] = {
        {10, 6, 10, 0, true}, {10, 6, 10, 6, false}, {11, 7, 10, 6, false}, {0, 1, 0, 31, true}};
    // clang-format on
    for (const auto& [hour, day, cleanHour, lastDay, due] : cases)
        EXPECT_EQ(isLogCleanDue(hour, day, cleanHour, lastDay), due) << hour << " " << day;
}
