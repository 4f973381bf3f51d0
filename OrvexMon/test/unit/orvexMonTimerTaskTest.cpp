#include "orvexMonTimerTask.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
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

// What the callback saw: when each tick ran, with which argument, on which thread.
struct TickLog {
    std::mutex mutex;
    std::vector<Clock::time_point> vecTimes;
    std::vector<void*> vecArgs;
    std::atomic<int> nTicks{0};
    std::atomic<pthread_t> thread{};
    std::chrono::milliseconds tickDuration{0};
    std::atomic<bool> bTickInside{false};
    std::atomic<bool> bTickFinished{false};

    int count() const { return nTicks.load(); }
    std::vector<Clock::time_point> times() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecTimes;
    }
};

TickLog* s_pLog = nullptr;  // the callback has a single void* and it is under test

void* recordTick(void* pArg) {
    TickLog& log = *s_pLog;
    log.thread = pthread_self();
    log.bTickInside = true;
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        log.vecTimes.push_back(Clock::now());
        log.vecArgs.push_back(pArg);
    }
    if (log.tickDuration.count() > 0) {
        std::this_thread::sleep_for(log.tickDuration);
        log.bTickFinished = true;
    }
    ++log.nTicks;
    return reinterpret_cast<void*>(0x1);  // must be ignored
}

void* countTick(void* pArg) {
    ++*static_cast<std::atomic<int>*>(pArg);
    return nullptr;
}

class TimerTaskTest : public ::testing::Test {
protected:
    void SetUp() override { s_pLog = &m_log; }
    void TearDown() override { s_pLog = nullptr; }
    TickLog m_log;
};

TEST_F(TimerTaskTest, FirstTickComesAtOnceNotAfterTheInterval) {
    CTimerTask task(ACE_Time_Value(3600), recordTick, nullptr);
    EXPECT_TRUE(waitFor([&] { return m_log.count() >= 1; }, 10s));
    EXPECT_EQ(m_log.count(), 1);
}

// The shape of "every 5 s from construction" scaled down: tick i comes at construction
// + i intervals or later, never earlier, however loaded the machine; so neither too fast
// nor in bursts.
TEST_F(TimerTaskTest, TicksFollowTheIntervalWithoutBursts) {
    const auto interval = 150ms;
    const Clock::time_point start = Clock::now();
    {
        CTimerTask task(msecs(interval.count()), recordTick, nullptr);
        ASSERT_TRUE(waitFor([&] { return m_log.count() >= 5; }, 20s));
    }
    const std::vector<Clock::time_point> vecTimes = m_log.times();
    ASSERT_GE(vecTimes.size(), 5u);
    const auto slack = 5ms;  // rounding of the reactor's wait
    for (size_t i = 1; i < vecTimes.size(); ++i)
        EXPECT_GE(vecTimes[i] - start, i * interval - slack) << "tick " << i;
}

TEST_F(TimerTaskTest, CallbackRunsInTheTimerThreadWithTheSameArgument) {
    int nMarker = 0;
    {
        CTimerTask task(msecs(20), recordTick, &nMarker);
        ASSERT_TRUE(waitFor([&] { return m_log.count() >= 4; }, 10s));
    }
    std::lock_guard<std::mutex> lock(m_log.mutex);
    for (void* pArg : m_log.vecArgs)
        EXPECT_EQ(pArg, &nMarker);
    EXPECT_FALSE(pthread_equal(m_log.thread.load(), pthread_self()));
}

TEST_F(TimerTaskTest, DestructionWaitsForTheRunningTick) {
    m_log.tickDuration = 300ms;
    auto pTask = std::make_unique<CTimerTask>(ACE_Time_Value(3600), recordTick, nullptr);
    ASSERT_TRUE(waitFor([&] { return m_log.bTickInside.load(); }, 10s));
    pTask.reset();
    EXPECT_TRUE(m_log.bTickFinished);
    EXPECT_EQ(m_log.count(), 1);
}

TEST_F(TimerTaskTest, NoTickAfterDestruction) {
    std::atomic<int> nWitness{0};
    {
        CTimerTask task(msecs(10), recordTick, nullptr);
        ASSERT_TRUE(waitFor([&] { return m_log.count() >= 2; }, 10s));
    }
    const int nAtEnd = m_log.count();
    // A second timer at the same pace gives the first one its chance to tick again.
    CTimerTask witness(msecs(10), countTick, &nWitness);
    ASSERT_TRUE(waitFor([&] { return nWitness >= 10; }, 10s));
    EXPECT_EQ(m_log.count(), nAtEnd);
}

TEST_F(TimerTaskTest, ImmediateDestructionEndsCleanly) {
    std::atomic<int> nTicks{0};
    for (int i = 0; i < 50; ++i) {
        CTimerTask task(ACE_Time_Value(3600), countTick, &nTicks);
    }
    // Each may or may not have had its first tick; none a second. Leaks and double frees
    // of the handler show in the sanitizer build.
    EXPECT_LE(nTicks.load(), 50);
}

// Extra events registered from the timer thread: a descriptor that becomes readable and
// a one-shot delay, each calling once and then letting go of what it holds.
struct ExtraEvents {
    int nReadFd = -1;
    std::atomic<int> nReadableCalls{0};
    std::atomic<int> nDelayedCalls{0};
    std::atomic<bool> bRegistered{false};
    std::atomic<pthread_t> callThread{};
};
ExtraEvents* s_pEvents = nullptr;

void* onReadable(void*) {
    ++s_pEvents->nReadableCalls;
    s_pEvents->callThread = pthread_self();
    return nullptr;
}

void* onDelay(void*) {
    ++s_pEvents->nDelayedCalls;
    return nullptr;
}

void* registerExtraEvents(void*) {
    if (s_pEvents->bRegistered)
        return nullptr;
    CTimerTask* pTask = CTimerTask::current();
    EXPECT_NE(pTask, nullptr);
    EXPECT_EQ(pTask->callWhenReadable(s_pEvents->nReadFd, onReadable, nullptr), 0);
    EXPECT_EQ(pTask->callAfter(msecs(50), onDelay, nullptr), 0);
    s_pEvents->bRegistered = true;
    return nullptr;
}

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(TimerExtraEventsTest, EachCallsOnceInTheTimerThreadAndClosesItsDescriptor) {
    EXPECT_EQ(CTimerTask::current(), nullptr) << "only timer threads have a current task";
    ExtraEvents events;
    s_pEvents = &events;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    events.nReadFd = fds[0];
    {
        CTimerTask task(msecs(20), registerExtraEvents, nullptr);
        ASSERT_TRUE(waitFor([&] { return events.nDelayedCalls == 1; }, 10s));
        EXPECT_EQ(events.nReadableCalls, 0);
        ASSERT_EQ(write(fds[1], "x", 1), 1);
        ASSERT_TRUE(waitFor([&] { return events.nReadableCalls == 1; }, 10s));
        EXPECT_FALSE(pthread_equal(events.callThread.load(), pthread_self()));
        ASSERT_TRUE(waitFor([&] { return !isOpen(fds[0]); }, 10s));
    }
    EXPECT_EQ(events.nReadableCalls, 1);
    EXPECT_EQ(events.nDelayedCalls, 1);
    close(fds[1]);
    s_pEvents = nullptr;
}

TEST(TimerExtraEventsTest, PendingEventsEndWithTheTimer) {
    ExtraEvents events;
    s_pEvents = &events;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    events.nReadFd = fds[0];
    {
        CTimerTask task(ACE_Time_Value(3600), registerExtraEvents, nullptr);
        ASSERT_TRUE(waitFor([&] { return events.bRegistered.load(); }, 10s));
    }
    // The descriptor is closed and, in the sanitizer build, no handler leaks.
    EXPECT_FALSE(isOpen(fds[0]));
    EXPECT_EQ(events.nReadableCalls, 0);
    close(fds[1]);
    s_pEvents = nullptr;
}

void onSignal(int) {}

// The daemon's timer thread may take any process signal whose handler is installed.
TEST_F(TimerTaskTest, CaughtSignalDoesNotStopTheTicks) {
    struct sigaction action {};
    action.sa_handler = onSignal;  // no SA_RESTART: the harsher case
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

    CTimerTask task(msecs(100), recordTick, nullptr);
    for (int i = 0; i < 5; ++i) {
        const int nBefore = m_log.count();
        ASSERT_TRUE(waitFor([&] { return m_log.count() > nBefore; }, 10s)) << "signal " << i;
        // Right after a tick the thread is back waiting for the next one.
        ASSERT_EQ(pthread_kill(m_log.thread.load(), SIGUSR1), 0);
    }
    const int nAfter = m_log.count();
    EXPECT_TRUE(waitFor([&] { return m_log.count() >= nAfter + 3; }, 10s));
    sigaction(SIGUSR1, &old, nullptr);
}

// ---- Wall clock steps, seen by a probe process under libfaketime ----

const char kFakeTimeLib[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// The probe (support/timerTickProbe.cpp) writes "tick\n" per tick and ends when its
// standard input closes.
class ProbeProcess {
public:
    ProbeProcess(const std::string& strClockFile, int nIntervalMs) {
        // Built before fork: the child may only exec.
        std::vector<std::string> vecEnv;
        std::string strAsanOptions = "verify_asan_link_order=0";
        for (char** ppEnv = environ; *ppEnv != nullptr; ++ppEnv) {
            const std::string strEntry = *ppEnv;
            if (strEntry.rfind("ASAN_OPTIONS=", 0) == 0)
                strAsanOptions = strEntry.substr(13) + ":" + strAsanOptions;
            else if (strEntry.rfind("LD_PRELOAD=", 0) != 0 && strEntry.rfind("FAKETIME", 0) != 0)
                vecEnv.push_back(strEntry);
        }
        vecEnv.push_back(std::string("LD_PRELOAD=") + kFakeTimeLib);
        vecEnv.push_back("FAKETIME_TIMESTAMP_FILE=" + strClockFile);
        vecEnv.push_back("FAKETIME_NO_CACHE=1");
        vecEnv.push_back("DONT_FAKE_MONOTONIC=1");
        // libfaketime comes before the sanitizer runtime in the sanitizer build.
        vecEnv.push_back("ASAN_OPTIONS=" + strAsanOptions);
        std::vector<char*> vecEnvp;
        for (std::string& str : vecEnv)
            vecEnvp.push_back(str.data());
        vecEnvp.push_back(nullptr);
        const std::string strInterval = std::to_string(nIntervalMs);
        char* argv[] = {const_cast<char*>(ORVEXMON_TIMER_PROBE),
                        const_cast<char*>(strInterval.c_str()), nullptr};

        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0)
            return;
        if (pipe2(fromChild, O_CLOEXEC) != 0) {
            close(toChild[0]);
            close(toChild[1]);
            return;
        }
        m_nPid = fork();
        if (m_nPid == 0) {
            dup2(toChild[0], STDIN_FILENO);
            dup2(fromChild[1], STDOUT_FILENO);
            execve(argv[0], argv, vecEnvp.data());
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        m_nToChild = toChild[1];
        m_nFromChild = fromChild[0];
    }
    ~ProbeProcess() { finish(); }
    ProbeProcess(const ProbeProcess&) = delete;
    ProbeProcess& operator=(const ProbeProcess&) = delete;

    bool started() const { return m_nPid > 0; }
    /// Closes the probe's input and reaps it: its exit status, -1 when it had to be killed.
    int finish() {
        if (m_nToChild >= 0)
            close(m_nToChild);
        m_nToChild = -1;
        int nResult = -1;
        if (m_nPid > 0) {
            int nStatus = 0;
            if (waitFor([&] { return waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid; }, 10s)) {
                nResult = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
            } else {
                kill(m_nPid, SIGKILL);
                waitpid(m_nPid, &nStatus, 0);
            }
            m_nPid = -1;
        }
        if (m_nFromChild >= 0)
            close(m_nFromChild);
        m_nFromChild = -1;
        return nResult;
    }
    /// Reads until nCount more ticks arrived or the deadline passed.
    bool waitTicks(int nCount, std::chrono::milliseconds timeout) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (nCount > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            pollfd pfd{m_nFromChild, POLLIN, 0};
            if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buf[64];
            const ssize_t nRead = read(m_nFromChild, buf, sizeof(buf));
            if (nRead <= 0)
                return false;
            for (ssize_t i = 0; i < nRead; ++i)
                if (buf[i] == '\n')
                    --nCount;
        }
        return true;
    }

private:
    pid_t m_nPid = -1;
    int m_nToChild = -1;
    int m_nFromChild = -1;
};

class TimerWallClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kFakeTimeLib, R_OK) != 0)
            GTEST_SKIP() << "libfaketime is not installed";
        setClock("+0");
    }
    void setClock(const std::string& strOffset) {
        testsupport::writeFile(m_dir / "clock", strOffset + "\n");
    }
    testsupport::TempDir m_dir;
};

TEST_F(TimerWallClockTest, KeepsTickingWhenTheClockIsSetBack) {
    ProbeProcess probe(m_dir / "clock", 100);
    ASSERT_TRUE(probe.started());
    ASSERT_TRUE(probe.waitTicks(2, 10s));
    setClock("-3600");
    EXPECT_TRUE(probe.waitTicks(5, 10s));
    EXPECT_EQ(probe.finish(), 0);
}

TEST_F(TimerWallClockTest, KeepsTickingWhenTheClockJumpsAheadAndBack) {
    ProbeProcess probe(m_dir / "clock", 100);
    ASSERT_TRUE(probe.started());
    ASSERT_TRUE(probe.waitTicks(2, 10s));
    setClock("+86400");
    ASSERT_TRUE(probe.waitTicks(3, 10s));
    setClock("+0");
    EXPECT_TRUE(probe.waitTicks(3, 10s));
    EXPECT_EQ(probe.finish(), 0);
}

}  // namespace
