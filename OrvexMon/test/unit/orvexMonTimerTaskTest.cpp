#include "orvexMonTimerTask.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using testsupport::waitFor;

// What the callback saw (nRefused: extra events the timer refused); it is also its argument.
struct Ticks {
    std::chrono::milliseconds sleep{0};  // in each tick
    std::atomic<int> n{0}, nReadable{0}, nDelayed{0}, nRefused{0};
    std::atomic<pthread_t> thread{};
    int fds[2][2] = {};  // two pipes, when made, whose read ends the first tick watches
};

void* bump(void* p) {
    return reinterpret_cast<void*>(++*static_cast<std::atomic<int>*>(p));
}

void* tick(void* pArg) {
    Ticks& t = *static_cast<Ticks*>(pArg);
    CTimerTask* pTask = CTimerTask::current();
    if (t.thread.exchange(pthread_self()) == pthread_t{} && t.fds[0][0] != 0)
        t.nRefused = -(pTask->callWhenReadable(t.fds[0][0], bump, &t.nReadable) +
                       pTask->callWhenReadable(t.fds[1][0], bump, &t.nReadable) +
                       pTask->callAfter(ACE_Time_Value(0, 50000), bump, &t.nDelayed) +
                       pTask->callAfter(ACE_Time_Value(3600), bump, &t.nDelayed));
    std::this_thread::sleep_for(t.sleep);
    return bump(&t.n);
}

// The first tick at once, the next ones never early, even with a caught signal (the daemon's
// timer thread may take any process signal) after each; none after the destruction, which
// waits for a running tick. Of the extra events of the first tick, the written pipe and the
// delay of 50 ms call once; the others end uncalled with the timer. Each closes its pipe end.
TEST(TimerTaskTest, TicksAndExtraEventsUntilDestroyed) {
    struct sigaction action = {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the harsher case
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    Ticks fast, slow{300ms};
    ASSERT_EQ(pipe(fast.fds[0]) + pipe(fast.fds[1]), 0);
    const auto start = std::chrono::steady_clock::now();
    {
        CTimerTask task(ACE_Time_Value(0, 50000), tick, &fast);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(waitFor([&] { return fast.n > i; }, 10s) &&
                        pthread_kill(fast.thread, SIGUSR1) == 0);
        ASSERT_EQ(write(fast.fds[0][1], "x", 1), 1);
        ASSERT_TRUE(waitFor([&] { return fast.n > 7 && fcntl(fast.fds[0][0], F_GETFD) < 0; }, 10s));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 7 * 50ms - 5ms);  // 5 ms: rounding
    const int nAtEnd = fast.n;
    EXPECT_EQ(std::tuple(fcntl(fast.fds[1][0], F_GETFD), fast.nReadable.load(),
                         fast.nDelayed.load(), fast.nRefused.load()),
              std::tuple(-1, 1, 1, 0));
    EXPECT_EQ(close(fast.fds[0][1]) + close(fast.fds[1][1]), 0);
    {
        CTimerTask task(ACE_Time_Value(3600), tick, &slow);
        ASSERT_TRUE(waitFor([&] { return slow.thread != pthread_t{}; }, 10s));
    }
    EXPECT_EQ(std::tuple(slow.n.load(), fast.n.load()), std::tuple(1, nAtEnd));  // 300 ms later
}

// The wall clock set back an hour, a day ahead and back again must not stop the ticks: the
// probe steps it and exits 0 after the last step, or SIGALRM ends it after 15 s. libfaketime
// comes before the sanitizer runtime there.
TEST(TimerTaskTest, WallClockStepsDoNotStopTheTicks) {
    EXPECT_EQ(0, system("ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 FAKETIME_NO_CACHE=1 "
                        "DONT_FAKE_MONOTONIC=1 faketime -f +0 " ORVEXMON_TIMER_PROBE));
}
