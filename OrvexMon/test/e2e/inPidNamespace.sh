#!/bin/sh
# Runs a test in a private PID namespace with its own /proc when we may make one, so
# that services of other tests or users with the same names cannot hide a missing one.
# Elsewhere the test runs as it is (its ctest resource lock serialises it).
if [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --kill-child "$@"
fi
exec "$@"
