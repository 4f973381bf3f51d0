#!/usr/bin/env bash
# A guided run of OrvexMon's main job in a sandbox: build with sandbox paths, lay out an
# install with stand-in services, start the daemon, kill AccessBroker and watch it come
# back, switch on the asset agent by customization, stop the daemon with -k, show its log.
# Leaves no process behind.
set -euo pipefail
cd "$(dirname "$0")/.."

# As root, run in a PID namespace of our own: this shell then reaps what the daemon
# leaves (where init does not), and nothing outlives the demo.
if [ $$ -ne 1 ] && [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --kill-child bash "$0" "$@"
fi
repo=$PWD
root=$repo/demo
install=$root/install
build=$root/build

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Pids of live processes with this command name whose executable is the demo's.
sandbox_pids() {
    local pid exe
    for pid in $(pgrep -x "$1" || true); do
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
        [[ "$exe" == "$install"/* || "$exe" == "$build"/* ]] && echo "$pid"
    done
    return 0
}
# Waits up to $2 seconds for command $1 to succeed.
wait_for() {
    local deadline=$((SECONDS + $2))
    until eval "$1"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}
cleanup() {
    local name
    for name in OrvexMon AccessBroker AssetWarden LeakSentry; do
        sandbox_pids "$name" | xargs -r kill -9 2>/dev/null || true
    done
}
trap cleanup EXIT

say "Installing what is missing and building OrvexMon with sandbox paths"
scripts/setup.sh
cleanup
rm -rf "$install"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEXMON_BUILD_BENCH=OFF \
    -DORVEXMON_SYSTEM_CONF="$root/sandbox/conf/orvexsys.conf" \
    -DORVEXMON_LOCK_FILE="$root/sandbox/orvex_mon_lock" >/dev/null
cmake --build "$build" --target OrvexMon orvexMonStandin | tail -n 1

say "Laying out the sandbox install in $install"
port=50002
while [ -n "$(ss -Hlun "sport = :$port")" ]; do port=$((port + 1)); done
mkdir -p "$install/conf" "$root/sandbox/conf"
echo "INSTALL_DIR=$install" >"$root/sandbox/conf/orvexsys.conf"
printf 'COMMAND_PORT=%s\nLOG_CLEAN_HOUR=%s\nLOG_KEEP_DAYS=7\n' "$port" $((($(date +%-H) + 12) % 24)) \
    >"$install/conf/Orvex.conf"
custom() {
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<OrvexCustom>\n  %s\n</OrvexCustom>\n' "$1" \
        >"$install/conf/OrvexCustom.xml"
}
custom '<AssetManagement enabled="0"/>'
ln -sf "$build/OrvexMon" "$install/OrvexMon"
for name in AccessBroker AssetWarden LeakSentry; do
    cp "$build/tests/orvexMonStandin" "$install/$name"
done
( cd "$install" && find . -maxdepth 2 | sort | sed 's/^/  /' )

say "Starting the daemon: cd $install && ./OrvexMon"
( cd "$install" && ./OrvexMon )
echo "launcher exited with $?; the daemon runs detached"
wait_for '[ -n "$(sandbox_pids AccessBroker)" ]' 10
echo "AccessBroker is running as pid $(sandbox_pids AccessBroker)"

daemon=$(sandbox_pids OrvexMon)
victim=$(sandbox_pids AccessBroker)
# The daemon watches the end of each service it found (a pidfd, listed in its fdinfo).
wait_for "grep -qs '^Pid:[[:space:]]*$victim\$' /proc/$daemon/fdinfo/*" 10
echo "the daemon (pid $daemon) watches AccessBroker's end"

say "Killing AccessBroker"
kill -9 "$victim"
start=$(date +%s%N)
wait_for '[ -n "$(sandbox_pids AccessBroker)" ] && [ "$(sandbox_pids AccessBroker)" != "$victim" ]' 10
echo "AccessBroker is back as pid $(sandbox_pids AccessBroker), $((($(date +%s%N) - start) / 1000000)) ms later"

say "Enabling the asset agent in conf/OrvexCustom.xml"
custom '<AssetManagement enabled="1"/>'
wait_for '[ -n "$(sandbox_pids AssetWarden)" ]' 10
echo "AssetWarden started by the next pass: pid $(sandbox_pids AssetWarden)"

say "Stopping the daemon: ./OrvexMon -k"
( cd "$install" && ./OrvexMon -k ) || echo "OrvexMon -k exited with $? (255 is its normal status)"
wait_for '[ -z "$(sandbox_pids OrvexMon)" ]' 5 && echo "the daemon has ended"

say "The daemon's log ($install/log/OrvexMon$(date +%Y%m%d).log)"
cat "$install/log/OrvexMon$(date +%Y%m%d).log"
