#!/usr/bin/env bash
# The package under a real, booted systemd, as an administrator meets it: builds the release
# package, installs it into a Debian 12 tree (debootstrap, kept in build/boot for the next
# run), boots that tree with systemd-nspawn and tries the service: skipped while the client
# is absent, start, status, a restart after a COMMAND_PORT change, six restarts in a row, a
# SIGKILL, and the stop. Not part of scripts/test.sh: it needs Debian's mirror and minutes.
# Root only.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pkg in debootstrap systemd-container; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" = installed ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
scripts/setup.sh

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

say "Building the package"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
boot=$PWD/build/boot
rm -rf "$boot/pkg" && mkdir -p "$boot/pkg"
(cd "$boot/pkg" && cpack -G DEB --config "$PWD/../../release/CPackConfig.cmake" -B . >/dev/null)
deb=$(ls "$boot"/pkg/orvexmon_*.deb)
g++ -O2 -o "$boot/pkg/AccessBroker" OrvexMon/test/support/standinService.cpp

root=$boot/root
if [ ! -x "$root/usr/lib/systemd/systemd" ]; then
    say "Laying out a Debian 12 tree in $root"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,procps \
        bookworm "$root" http://deb.debian.org/debian >"$boot/debootstrap.log"
fi
rm -f "$root/Applications/OrvexClient/AccessBroker"
cp "$deb" "$root/tmp/orvexmon.deb"
chroot "$root" apt-get install -y -qq /tmp/orvexmon.deb >"$boot/install.log" 2>&1 ||
    { cat "$boot/install.log"; fail "the package does not install"; }

say "Booting it"
systemd-nspawn -b -D "$root" --keep-unit --register=no --console=passive -M orvexboot \
    >"$boot/nspawn.log" 2>&1 &
nspawn=$!
trap 'kill $nspawn 2>/dev/null; wait $nspawn 2>/dev/null || true' EXIT
inside() { nsenter -t "$leader" -a "$@"; }
leader=
for _ in $(seq 100); do
    leader=$(pgrep -P $nspawn -x systemd || true)
    [ -n "$leader" ] && inside systemctl is-system-running --wait >/dev/null 2>&1 && break
    sleep 0.2
done
[ -n "$leader" ] || fail "the tree did not boot: $(cat "$boot/nspawn.log")"

say "While the client is absent the unit is skipped, not failed"
inside systemctl start orvexmon
[ "$(inside systemctl show -p ConditionResult --value orvexmon)" = no ] || fail "not skipped"
inside systemctl is-failed -q orvexmon && fail "the unit failed"

say "Start and status"
cp "$boot/pkg/AccessBroker" "$root/Applications/OrvexClient/AccessBroker"
inside systemctl start orvexmon
inside sh -c 'cd /Applications/OrvexClient && ./OrvexMon status' || fail "status says not running"

say "A restart after a COMMAND_PORT change, then five more"
inside sed -i 's/^#* *COMMAND_PORT=.*/COMMAND_PORT=50111/' /etc/Orvex/Orvex.conf
for n in 1 2 3 4 5 6; do
    start=$(date +%s%N)
    inside systemctl restart orvexmon || fail "restart $n failed"
    echo "restart $n: $(( ($(date +%s%N) - start) / 1000000 )) ms"
done
inside sh -c 'cd /Applications/OrvexClient && ./OrvexMon status' | grep 'UDP port 50111' >/dev/null ||
    fail "the new port is not in use"

say "A daemon killed with SIGKILL is started again"
pid=$(inside systemctl show -p MainPID --value orvexmon)
inside kill -9 "$pid"
for _ in $(seq 60); do
    now=$(inside systemctl show -p MainPID --value orvexmon)
    [ "$now" != 0 ] && [ "$now" != "$pid" ] && break
    sleep 0.25
done
[ "$now" != 0 ] && [ "$now" != "$pid" ] || fail "not started again"
echo "pid $pid killed, pid $now runs"

say "Stop: orderly, the services stay"
inside systemctl stop orvexmon
inside systemctl is-active -q orvexmon && fail "still active"
inside pgrep -x AccessBroker >/dev/null || fail "AccessBroker went with the daemon"
inside sh -c 'tail -1 /Applications/OrvexClient/log/OrvexMon$(date +%Y%m%d).log' |
    grep -F '[dbg-in-wrn] OrvexMon quit successful.' || fail "no orderly stop in the log"
inside journalctl -u orvexmon --no-pager | tail -n 5
inside systemctl poweroff || true
echo "boot check passed"
