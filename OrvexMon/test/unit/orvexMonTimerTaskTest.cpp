#include "orvexMonTimerTask.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;
using testsupport::waitFor;

namespace {

// What the callback saw; it is also the callback's argument.
struct Ticks {
    std::atomic<int> n{0};
    std::atomic<pthread_t> thread{};
    std::chrono::milliseconds sleep{0};
};

void* tick(void* pArg) {
    Ticks& t = *static_cast<Ticks*>(pArg);
    t.thread = pthread_self();
    std::this_thread::sleep_for(t.sleep);
    ++t.n;
    return nullptr;
}

void onSignal(int) {}

// The first tick at once, the next ones never early, even with a caught signal (the daemon's
// timer thread may take any process signal) after each; none after the destruction, which
// waits for a running tick.
TEST(TimerTaskTest, TicksAtOnceThenEveryIntervalUntilDestroyed) {
    struct sigaction action = {}, old = {};
    action.sa_handler = onSignal;  // no SA_RESTART: the harsher case
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    Ticks periodic, slow;
    const auto start = std::chrono::steady_clock::now();
    {
        CTimerTask task(ACE_Time_Value(0, 50000), tick,
                        &periodic);  // the first tick at once, see slow
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(waitFor([&] { return periodic.n > i; }, 10s)) << "signal " << i;
            ASSERT_EQ(pthread_kill(periodic.thread.load(), SIGUSR1), 0);
        }
        ASSERT_TRUE(waitFor([&] { return periodic.n >= 8; }, 10s));
    }
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 7 * 50ms - 5ms);  // 5 ms: rounding
    const int nAtEnd = periodic.n;
    slow.sleep = 300ms;
    {
        CTimerTask task(ACE_Time_Value(3600), tick, &slow);
        ASSERT_TRUE(waitFor([&] { return slow.thread != pthread_t{}; }, 10s));
    }
    EXPECT_EQ(slow.n, 1);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(periodic.n, nAtEnd);
}

// Fd 0 becomes readable, fd 1 never; the delay of 50 ms comes, the other one never.
struct Events {
    std::atomic<int> nReadable{0}, nDelayed{0};
    std::atomic<bool> bRegistered{false};
    int fds[2][2];
};

void* bump(void* p) {
    return reinterpret_cast<void*>(++*static_cast<std::atomic<int>*>(p));
}

void* registerEvents(void* p) {
    Events& e = *static_cast<Events*>(p);
    CTimerTask* pTask = CTimerTask::current();
    if (e.bRegistered.exchange(true))
        return nullptr;
    EXPECT_EQ(pTask->callWhenReadable(e.fds[0][0], bump, &e.nReadable) +
                  pTask->callWhenReadable(e.fds[1][0], bump, &e.nReadable) +
                  pTask->callAfter(ACE_Time_Value(0, 50000), bump, &e.nDelayed) +
                  pTask->callAfter(ACE_Time_Value(3600), bump, &e.nDelayed),
              0);
    return nullptr;
}

// Each extra event calls once and closes its descriptor; pending ones end with the timer,
// their descriptor closed uncalled.
TEST(TimerTaskTest, ExtraEventsCallOnceOrEndWithTheTimer) {
    Events e;
    ASSERT_EQ(pipe(e.fds[0]) + pipe(e.fds[1]), 0);
    {
        CTimerTask task(ACE_Time_Value(0, 20000), registerEvents, &e);
        ASSERT_TRUE(waitFor([&] { return e.nDelayed == 1; }, 10s));
        ASSERT_EQ(write(e.fds[0][1], "x", 1), 1);
        ASSERT_TRUE(waitFor([&] { return fcntl(e.fds[0][0], F_GETFD) == -1; }, 10s));
    }
    EXPECT_EQ(std::tuple(fcntl(e.fds[1][0], F_GETFD), e.nReadable.load(), e.nDelayed.load()),
              std::tuple(-1, 1, 1));
    EXPECT_EQ(close(e.fds[0][1]) + close(e.fds[1][1]), 0);
}

// The wall clock set back an hour, a day ahead and back again must not stop the ticks (the
// probe gives up after 15 s). libfaketime comes before the sanitizer runtime there.
TEST(TimerTaskTest, WallClockStepsDoNotStopTheTicks) {
    const char kFakeTimeLib[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (access(kFakeTimeLib, R_OK) != 0)
        GTEST_SKIP() << "libfaketime is not installed";
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "clock", "+0\n");
    const char* pszAsan = getenv("ASAN_OPTIONS");
    FILE* pProbe = popen(("ASAN_OPTIONS='" + std::string(pszAsan ? pszAsan : "") +
                          ":verify_asan_link_order=0' LD_PRELOAD=" + kFakeTimeLib +
                          " FAKETIME_TIMESTAMP_FILE=" + dir / "clock" +
                          " FAKETIME_NO_CACHE=1 DONT_FAKE_MONOTONIC=1 exec " ORVEXMON_TIMER_PROBE)
                             .c_str(),
                         "r");
    ASSERT_NE(pProbe, nullptr);
    char szLine[16];
    for (const char* pszOffset : {"-3600", "+86400", "+0", ""}) {
        for (int i = 0; i < 2; ++i)
            EXPECT_NE(fgets(szLine, sizeof(szLine), pProbe), nullptr) << "before " << pszOffset;
        testsupport::writeFile(dir / "clock", std::string(pszOffset) + "\n");
    }
    pclose(pProbe);  // the probe ends at its next tick
}

}  // namespace
