#include "orvexMonTimerTask.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testsupport::waitFor;
using Clock = std::chrono::steady_clock;

namespace {

ACE_Time_Value msecs(long nMs) {
    ACE_Time_Value tv;
    tv.msec(nMs);
    return tv;
}

// What the callback saw; it is also the callback's argument.
struct Ticks {
    std::mutex mutex;
    std::vector<Clock::time_point> times;
    std::atomic<int> n{0};
    std::atomic<pthread_t> thread{};
    std::chrono::milliseconds sleep{0};
    std::atomic<bool> bFinished{false};
};

void* tick(void* pArg) {
    Ticks& t = *static_cast<Ticks*>(pArg);
    t.thread = pthread_self();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.times.push_back(Clock::now());
    }
    std::this_thread::sleep_for(t.sleep);
    t.bFinished = true;
    ++t.n;
    return reinterpret_cast<void*>(0x1);  // must be ignored
}

// Tick i comes at construction + i intervals or later, never in bursts; none after the
// destruction, which waits for a running tick.
TEST(TimerTaskTest, TicksAtOnceThenEveryIntervalUntilDestroyed) {
    EXPECT_EQ(CTimerTask::current(), nullptr) << "only timer threads have a current task";
    Ticks first, periodic, witness, slow;
    for (int i = 0; i < 20; ++i)
        CTimerTask(ACE_Time_Value(3600), tick, &first);  // ended at once: no leak, no hang
    const auto interval = 150ms;
    const Clock::time_point start = Clock::now();
    {
        CTimerTask task(msecs(interval.count()), tick, &periodic);
        ASSERT_TRUE(waitFor([&] { return periodic.n >= 5; }, 20s));
    }
    const int nAtEnd = periodic.n;
    for (size_t i = 1; i < periodic.times.size(); ++i)  // 5 ms: rounding of the reactor's wait
        EXPECT_GE(periodic.times[i] - start, i * interval - 5ms) << "tick " << i;
    EXPECT_FALSE(pthread_equal(periodic.thread.load(), pthread_self()));
    {
        CTimerTask task(ACE_Time_Value(3600), tick, &witness);  // the first tick comes at once
        ASSERT_TRUE(waitFor([&] { return witness.n == 1; }, 10s));
        CTimerTask fast(msecs(10), tick, &witness);  // gives the ended timer its chance
        ASSERT_TRUE(waitFor([&] { return witness.n >= 10; }, 10s));
    }
    EXPECT_EQ(periodic.n, nAtEnd);
    slow.sleep = 300ms;
    {
        CTimerTask task(ACE_Time_Value(3600), tick, &slow);
        ASSERT_TRUE(waitFor([&] { return !slow.times.empty(); }, 10s));
    }
    EXPECT_TRUE(slow.bFinished);
}

struct Events {
    std::atomic<int> nReadable{0}, nDelayed{0};
    std::atomic<bool> bRegistered{false};
    int nReadFd = -1;
    ACE_Time_Value delay;
};

void* onReadable(void* p) {
    EXPECT_NE(CTimerTask::current(), nullptr);
    return reinterpret_cast<void*>(++static_cast<Events*>(p)->nReadable);
}

void* onDelay(void* p) {
    return reinterpret_cast<void*>(++static_cast<Events*>(p)->nDelayed);
}

void* registerEvents(void* p) {
    Events& e = *static_cast<Events*>(p);
    if (!e.bRegistered.exchange(true)) {
        EXPECT_EQ(CTimerTask::current()->callWhenReadable(e.nReadFd, onReadable, &e), 0);
        EXPECT_EQ(CTimerTask::current()->callAfter(e.delay, onDelay, &e), 0);
    }
    return nullptr;
}

// Each extra event calls once in the timer thread and closes its descriptor; pending
// ones end with the timer, their descriptor closed uncalled.
TEST(TimerTaskTest, ExtraEventsCallOnceOrEndWithTheTimer) {
    for (const bool bFire : {true, false}) {
        SCOPED_TRACE(bFire ? "fired" : "pending");
        Events e;
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        e.nReadFd = fds[0];
        e.delay = bFire ? msecs(50) : ACE_Time_Value(3600);
        {
            CTimerTask task(msecs(20), registerEvents, &e);
            ASSERT_TRUE(waitFor([&] { return e.bRegistered.load(); }, 10s));
            if (bFire) {
                ASSERT_TRUE(waitFor([&] { return e.nDelayed == 1; }, 10s));
                EXPECT_EQ(e.nReadable, 0);
                ASSERT_EQ(write(fds[1], "x", 1), 1);
                ASSERT_TRUE(waitFor([&] { return fcntl(fds[0], F_GETFD) == -1; }, 10s));
            }
        }
        EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
        EXPECT_EQ(e.nReadable, bFire ? 1 : 0);
        EXPECT_EQ(e.nDelayed, bFire ? 1 : 0);
        close(fds[1]);
    }
}

void onSignal(int) {}

// The daemon's timer thread may take any process signal whose handler is installed.
TEST(TimerTaskTest, CaughtSignalDoesNotStopTheTicks) {
    struct sigaction action {};
    action.sa_handler = onSignal;  // no SA_RESTART: the harsher case
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    Ticks t;
    CTimerTask task(msecs(100), tick, &t);
    for (int i = 0; i < 5; ++i) {
        const int nBefore = t.n;
        ASSERT_TRUE(waitFor([&] { return t.n > nBefore; }, 10s)) << "signal " << i;
        ASSERT_EQ(pthread_kill(t.thread.load(), SIGUSR1), 0);  // back waiting for the next
    }
    const int nAfter = t.n;
    EXPECT_TRUE(waitFor([&] { return t.n >= nAfter + 3; }, 10s));
    sigaction(SIGUSR1, &old, nullptr);
}

// The probe ticks under libfaketime while the wall clock goes back an hour, a day ahead and
// back again: it must keep its pace throughout (it gives up after 15 s).
TEST(TimerTaskTest, WallClockStepsDoNotStopTheTicks) {
    const char kFakeTimeLib[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (access(kFakeTimeLib, R_OK) != 0)
        GTEST_SKIP() << "libfaketime is not installed";
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "clock", "+0\n");
    const char* pszAsan = getenv("ASAN_OPTIONS");
    // libfaketime comes before the sanitizer runtime in the sanitizer build.
    const std::string strCommand = "ASAN_OPTIONS='" + std::string(pszAsan ? pszAsan : "") +
                                   ":verify_asan_link_order=0' LD_PRELOAD=" + kFakeTimeLib +
                                   " FAKETIME_TIMESTAMP_FILE=" + dir / "clock" +
                                   " FAKETIME_NO_CACHE=1 DONT_FAKE_MONOTONIC=1 exec " +
                                   ORVEXMON_TIMER_PROBE + " 100 8";
    FILE* pProbe = popen(strCommand.c_str(), "r");
    ASSERT_NE(pProbe, nullptr);
    char szLine[16];
    for (const char* pszOffset : {"-3600", "+86400", "+0", ""}) {
        for (int i = 0; i < 2; ++i)
            EXPECT_NE(fgets(szLine, sizeof(szLine), pProbe), nullptr) << "before " << pszOffset;
        testsupport::writeFile(dir / "clock", std::string(pszOffset) + "\n");
    }
    EXPECT_EQ(pclose(pProbe), 0);
}

}  // namespace
