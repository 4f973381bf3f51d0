// Runs one CTimerTask at <interval ms> and writes "tick\n" to standard output at every
// tick; ends with status 0 after <count> ticks, or 1 when they have not come within 15 s.
// Lets a test watch the timer in a process of its own, for instance under a preloaded
// library that fakes the wall clock.
#include "orvexMonTimerTask.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<long> s_nLeft{0};

void* writeTick(void*) {
    static const char kLine[] = "tick\n";
    if (::write(STDOUT_FILENO, kLine, sizeof(kLine) - 1) < 0 || --s_nLeft == 0)
        _exit(s_nLeft == 0 ? 0 : 3);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    ACE_Time_Value interval;
    interval.msec(argc > 1 ? ::strtol(argv[1], nullptr, 10) : 200);
    s_nLeft = argc > 2 ? ::strtol(argv[2], nullptr, 10) : 1;
    CTimerTask task(interval, writeTick, nullptr);
    ::sleep(15);
    return 1;
}
