// Writes "tick\n" to standard output at every tick of a CTimerTask of 100 ms, until a write
// fails (the reader has gone) or 15 s have passed (SIGALRM). Lets a test watch the timer in a
// process of its own, for instance under a preloaded library that fakes the wall clock.
#include "orvexMonTimerTask.h"

#include <unistd.h>

static void* writeTick(void*) {
    if (::write(STDOUT_FILENO, "tick\n", 5) != 5)
        _exit(0);
    return nullptr;
}

int main() {
    ::alarm(15);
    CTimerTask task(ACE_Time_Value(0, 100000), writeTick, nullptr);
    for (;;)
        ::pause();
}
