// Runs one CTimerTask and writes "tick\n" to standard output at every tick, until its
// standard input closes. Lets a test watch the timer in a process of its own, for
// instance under a preloaded library that fakes the wall clock.
#include "orvexMonTimerTask.h"

#include <stdlib.h>
#include <unistd.h>

namespace {

void* writeTick(void*) {
    static const char kLine[] = "tick\n";
    if (::write(STDOUT_FILENO, kLine, sizeof(kLine) - 1) < 0)
        _exit(3);  // the test has gone; nobody is left to tell
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const long nIntervalMs = argc > 1 ? ::strtol(argv[1], nullptr, 10) : 200;
    ACE_Time_Value interval;
    interval.msec(nIntervalMs);
    CTimerTask task(interval, writeTick, nullptr);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
