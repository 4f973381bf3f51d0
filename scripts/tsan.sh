#!/usr/bin/env bash
# The threaded code under ThreadSanitizer: the timer, the command server, the watchdog and
# the real daemon end to end. The last step of scripts/test.sh; alone, about 40 s.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset tsan >/dev/null
cmake --build --preset tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset tsan -R 'Timer|CommandTask|Watchdog|Daemon|Restart' "$@"
