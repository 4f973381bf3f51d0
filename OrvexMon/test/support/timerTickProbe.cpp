// Run under libfaketime with FAKETIME_NO_CACHE=1: a CTimerTask of 100 ms sets the wall clock
// back an hour, a day ahead and back to now, two ticks apart, and exits 0 two ticks after the
// last step. If the ticks stop, SIGALRM ends it after 15 s.
#include "orvexMonTimerTask.h"

#include <stdlib.h>
#include <unistd.h>

static void* stepClock(void*) {
    static const char* s_offsets[] = {"+0", "-3600", "+86400", "+0"};
    static int s_nTicks = 0;
    if (++s_nTicks == 8)
        _exit(0);
    setenv("FAKETIME", s_offsets[s_nTicks / 2], 1);  // read again at each clock reading
    return nullptr;
}

int main() {
    ::alarm(15);
    CTimerTask task(ACE_Time_Value(0, 100000), stepClock, nullptr);
    ::pause();  // no handler: a signal ends the process
}
