#!/bin/sh
# Runs an end-to-end test with machine state of its own, so that such tests run side by
# side. As root: private PID (own /proc), network (own loopback) and mount namespaces,
# with an empty tmpfs over each directory given, the build's system-file and lock-file
# directories. Services of other tests or users then cannot hide a missing one, ports
# cannot clash, and the build's fixed paths belong to this test alone.
# Elsewhere the test runs as it is, one at a time under the lock file.
# Usage: inPidNamespace.sh LOCK_FILE DIR... -- COMMAND [ARG...]
set -eu
lock=$1
shift
dirs=
while [ "$1" != -- ]; do
    dirs="$dirs $1"
    shift
done
shift
if [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc --net true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --net --kill-child sh -c '
        set -e
        ip link set lo up
        # Pids repeat across such namespaces, and names made from them (the faketime
        # semaphores) must not meet in a shared /dev/shm.
        mount -t tmpfs -o mode=1777 orvexmon-e2e-shm /dev/shm
        for dir in $0; do
            mkdir -p "$dir"
            mount -t tmpfs -o mode=0755 orvexmon-e2e "$dir"
        done
        exec "$@"' "$dirs" "$@"
fi
exec flock "$lock" "$@"
