// The command line of the real OrvexMon: its texts and exit statuses, and the log task
// mode on a day set by faketime; then the daemon's daily start of the log task. All in a
// home path with blanks, quotes and a semicolon.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>

using Lines = std::multiset<std::string>;
using namespace testsupport;

TEST(CommandLineTest, TextsExitStatusesAndLogTaskRuns) {
    Sandbox box("it's a \"home\";touch x");
    const std::string usage =
        "Usage: OrvexMon options parameters\n  -k|kill \n     Stop OrvexMon.\n";
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"-k", "a", "b"}, 255, usage},  // before any log exists
        {{"-u"}, 255, "uninstall Orvex!\n"},
        {{"Uninstall", "x"}, 255, "uninstall Orvex!\n"},
        {{"-x"}, 255, usage},
        {{"LOG_clean,7"}, 255, usage},
        {{"log_clean,7", "x"}, 255, usage},
        {{"log_clean,7"}, 0, ""},
        {{"-K"}, 255, "OrvexMon error: Process is not running now!\n"},
        {{"STATUS"},
         3,
         "OrvexMon: not running (no answer on UDP port " + std::to_string(box.port()) +
             ")\nAccessBroker: not running\n"},
    };
    for (const auto& [args, status, output] : cases) {
        SCOPED_TRACE(args[0]);
        EXPECT_EQ(box.run(args), RunResult(status, output));
        EXPECT_EQ(pathExists(box.path("log")), args.size() < 3);
    }
    EXPECT_NE(box.log("OrvexMonCmd").find("[CMsgProcess::echo] Receive message failed."),
              std::string::npos);

    // log_clean,N keeps N days (1 to 30, anything else 7) before the day of the run (here the
    // archives of the log directory), and packs the earlier days' logs. Other keywords do no
    // work. Every run makes the collection directory: 01777, so that others drop files in
    // and touch none. Shown: its mode, the days of the archives kept, what it holds, and
    // whether the log of the 9th stayed.
    std::filesystem::current_path(box.path("log"));
    // clang-format off
    const std::pair<const char*, const char*> rows[] = {
        {"log_clean,30", "1777 0209 0302 0303 0305 0309 log_20240310.tar.gz 0"},
        {"log_clean,31", "1777 0303 0305 0309 log_20240310.tar.gz 0"},
        {"log_clean,1", "1777 0309 log_20240310.tar.gz 0"},
        {"log_zip", "1777 0208 0209 0302 0303 0305 0309 1"},
        {"log_cleanup,7", "1777 0208 0209 0302 0303 0305 0309 1"}};
    // clang-format on
    for (const auto& [arg, shown] : rows) {
        linesOf(
            "rm -rf ../CollectInfo; echo ninth > 20240309.log; "
            "for d in 0208 0209 0302 0303 0305 0309; do echo x > log_2024$d.tar.gz; done");
        EXPECT_EQ(box.run({arg}, {"faketime", "2024-03-10 10:00:00"}), RunResult(0, ""));
        EXPECT_EQ(linesOf("echo $(stat -c %a ../CollectInfo) $(ls log_* | cut -c9-12) "
                          "$(ls ../CollectInfo) $(ls | grep -c 20240309.log)"),
                  Lines{shown})
            << arg;
    }

    // Two log tasks at once (a daemon restarted in the clean hour beside a run by hand):
    // every log and core file lands in exactly one archive, and no temporary is left. Each
    // run on 10 March 2024 at 10:00 has nothing to say.
    const Lines lines = linesOf(
        "rm -r ../CollectInfo log_* 20240309.log OrvexMon*; for i in $(seq 0 1999); do "
        "f=agent${i}_20240309.log; echo $f > $f; echo $f; done; echo core | tee ../app.core");
    EXPECT_EQ(box.run({"log_clean,7"}, {"faketime", "2024-03-10 10:00:00", "sh", "-c",
                                        "\"$0\" \"$1\" & \"$0\" \"$1\" && wait $!"}),
              RunResult(0, ""));
    EXPECT_EQ(linesOf("tar -xzOf ../CollectInfo/log_20240310.tar.gz"), lines);
    EXPECT_EQ(linesOf("ls -A; ls ../CollectInfo"),
              (Lines{"OrvexMon20240310.log", ".OrvexMonLogTask.lock", "log_20240310.tar.gz"}));
}

// The daemon starts the log task once, in its clean hour: 10:00 today on a fake clock that
// runs from there (the sandbox reads today's log). Not under the faketime launcher, which
// waits for every process that shares its clock.
TEST(LogTaskModeTest, DaemonRunsItOnceInTheCleanHour) {
    if (linesOf("date +%H%M") == Lines{"2359"})
        GTEST_SKIP() << "today's log changes its name at midnight";
    Sandbox box("it's a \"home\";touch x");
    writeFile(box.path("conf/Orvex.conf"), "COMMAND_PORT=" + std::to_string(box.port()) +
                                               "\nLOG_CLEAN_HOUR=10\nLOG_KEEP_DAYS=5\n");
    ASSERT_TRUE(std::filesystem::create_directory(box.path("log")));
    std::filesystem::current_path(box.path("log"));
    linesOf("echo part > agent_$(date +%Y%m%d)_001.log");
    ASSERT_GT(box.startDaemon({"sh", "-c",
                               "FAKETIME=\"@$(date +%F) 10:00:00\" LD_PRELOAD=/usr/lib/"
                               "x86_64-linux-gnu/faketime/libfaketime.so.1 exec \"$0\""}),
              0);
    ASSERT_TRUE(waitFor([&] { return box.countInLog("[dbg-in-wrn] log_clean,5 done [0].") == 1; },
                        std::chrono::seconds(15)))
        << box.log();
    EXPECT_EQ(linesOf("echo agent_* $(ls ../CollectInfo | sed s/$(date +%Y%m%d)/today/)"),
              Lines{"agent_* log_today.tar.gz"});
    // Passes of the watchdog show that the loop went on, inside the clean hour.
    ASSERT_TRUE(box.waitForPass());
    ASSERT_TRUE(box.waitForPass());
    EXPECT_EQ(box.countInLog("log_clean,5 done"), 1);
    EXPECT_EQ(box.stopDaemon(), 0);
}
