#!/usr/bin/env bash
# Installs the build into a staging root with DESTDIR (twice: edited configuration must
# survive), checks the tree, the manual page, the service files and the Debian package, and
# runs the installed daemon from the installed tree the way its systemd unit does: start
# through the helper, a killed service started again, stop with "OrvexMon -k".
#
# packageTest.sh BUILD STANDIN SYSTEM_CONF LOCK_FILE INSTALL_DIR VERSION UNIT_DIR MAN_DIR PLIST
#   the build's directory, the stand-in service, the compiled-in system file and lock file,
#   the configured client tree, the project version, the directories of the unit and of the
#   manual pages (under the prefix unless absolute) and the generated launchd property list.
#
# It rewrites the build's system file (restored at the end) and needs the ctest resource
# lock orvexmon_sysconf; ctest runs it in a PID namespace of its own where it can, and names
# in CMAKE and CPACK the tools of the build.
set -euo pipefail

if [ $# -ne 9 ]; then
    echo "usage: $0 BUILD STANDIN SYSTEM_CONF LOCK_FILE INSTALL_DIR VERSION UNIT_DIR MAN_DIR PLIST" >&2
    exit 2
fi
build=$1 standin=$2 system_conf=$3 lock_file=$4 tree_dir=$5 version=$6 unit_dir=$7 man_dir=$8
plist=$9
cmake=${CMAKE:-cmake}
cpack=${CPACK:-cpack}

work=$(mktemp -d "${TMPDIR:-/tmp}/orvexmonPackageTest.XXXXXX")
root=$work/root   # DESTDIR
tree=$root$tree_dir
prefix=/usr       # as in the package
under_prefix() { case $1 in /*) echo "$1" ;; *) echo "$prefix/$1" ;; esac }
unit_path=$(under_prefix "$unit_dir")/orvexmon.service
man_path=$(under_prefix "$man_dir")/man8/OrvexMon.8.gz
lock_dir=$(dirname "$lock_file")
services=(AccessBroker AssetWarden LeakSentry)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "== $*"; }

# Live (not zombie) pids of processes named $1 that run an executable of the staged tree.
tree_pids() {
    local pid exe state
    for pid in $(pgrep -x "$1" || true); do
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
        state=$(sed -n 's/^[0-9]* (.*) \([A-Z]\).*/\1/p' "/proc/$pid/stat" 2>/dev/null) || continue
        [[ "$exe" == "$tree"/* && "$state" != Z ]] && echo "$pid"
    done
    return 0
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

saved_conf=$work/system.conf.saved
if [ -e "$system_conf" ]; then
    cp "$system_conf" "$saved_conf"
fi
cleanup() {
    local name pid
    for name in OrvexMon "${services[@]}"; do
        for pid in $(tree_pids "$name"); do
            kill -9 "$pid" 2>/dev/null || true
        done
    done
    if [ -e "$saved_conf" ]; then
        cp "$saved_conf" "$system_conf"
    else
        rm -f "$system_conf"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# What an install must produce, relative to the staging root: files, and empty directories.
expected_entries() {
    {
        printf '%s\n' "$tree_dir/OrvexMon" "$tree_dir/libs/libOrvexUtility.so" \
            "$tree_dir/libs/orvexmon-service" "$tree_dir/conf/Orvex.conf" \
            "$tree_dir/conf/OrvexCustom.xml" "$tree_dir/log" "$system_conf" "$unit_path" "$man_path"
        # The lock directory is shipped; it shows as an entry of its own only when empty.
        case "$tree_dir/" in "$lock_dir"/*) ;; *) echo "$lock_dir" ;; esac
    } | sort -u
}
staged_entries() {
    (cd "$root" && find . -mindepth 1 \( -type f -o -type d -empty \) | sed 's|^\.||' | sort)
}

step "install into a staging root (DESTDIR)"
DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install1.log" ||
    fail "cmake --install: $(cat "$work/install1.log")"
diff <(expected_entries) <(staged_entries) || fail "the staged tree differs from the expected one"
[ -x "$tree/OrvexMon" ] && [ -x "$tree/libs/orvexmon-service" ] || fail "programs not executable"
[ -z "$(ls -A "$tree/log")" ] || fail "log/ is not empty"
grep -qx "INSTALL_DIR=$tree_dir" "$root$system_conf" || fail "the sample system file names another tree"
# grep without -q reads all of ldd's output: an early exit would fail the pipe under pipefail.
ldd "$tree/OrvexMon" | grep -F "libOrvexUtility.so => $tree/libs/libOrvexUtility.so" >/dev/null ||
    fail "OrvexMon does not load libOrvexUtility.so from its libs/: $(ldd "$tree/OrvexMon")"

step "a second install keeps edited configuration and restores a missing sample"
port=$(python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
# A clean hour far from now keeps the daily log task out of the way.
printf 'COMMAND_PORT=%s\nLOG_CLEAN_HOUR=%s\nLOG_KEEP_DAYS=7\n' "$port" $((($(date +%-H) + 12) % 24)) \
    >"$tree/conf/Orvex.conf"
echo "# edited" >>"$root$system_conf"
cp "$tree/conf/Orvex.conf" "$work/Orvex.conf.edited"
cp "$root$system_conf" "$work/orvexsys.conf.edited"
rm "$tree/conf/OrvexCustom.xml"
DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install2.log" ||
    fail "second cmake --install: $(cat "$work/install2.log")"
cmp -s "$tree/conf/Orvex.conf" "$work/Orvex.conf.edited" || fail "an install replaced the edited Orvex.conf"
cmp -s "$root$system_conf" "$work/orvexsys.conf.edited" || fail "an install replaced the edited system file"
cmp -s "$tree/conf/OrvexCustom.xml" "$build/packaging/conf/OrvexCustom.xml" ||
    fail "the missing OrvexCustom.xml was not installed again"
diff <(expected_entries) <(staged_entries) || fail "the second install changed the tree's entries"
staged_entries >"$work/staged.list"

step "manual page"
MANWIDTH=80 man --warnings -l "$root$man_path" >"$work/man.txt" 2>"$work/man.err" ||
    fail "man -l failed: $(cat "$work/man.err")"
[ ! -s "$work/man.err" ] || fail "man warns: $(cat "$work/man.err")"
for heading in NAME SYNOPSIS DESCRIPTION CONFIGURATION FILES "COMMAND PROTOCOL" "EXIT STATUS" SIGNALS; do
    grep -qx "$heading" "$work/man.txt" || fail "the manual page has no section $heading"
done
for text in "$system_conf" "$lock_file" LOG_CLEAN_HOUR LOG_KEEP_DAYS COMMAND_PORT OrvexCustom.xml; do
    # Paths carry invisible break points (\:) after each "/".
    zcat "$root$man_path" | sed 's/\\://g' | grep -F -- "$text" >/dev/null ||
        fail "the manual page does not mention $text"
done

step "systemd unit"
unit=$root$unit_path
for line in Type=forking "WorkingDirectory=$tree_dir" "PIDFile=/run/orvexmon.pid" \
    "ExecStart=$tree_dir/libs/orvexmon-service start /run/orvexmon.pid" \
    "ExecStop=-$tree_dir/OrvexMon -k" "ExecStop=$tree_dir/libs/orvexmon-service wait \$MAINPID" \
    KillMode=process Restart=on-failure; do
    grep -qxF -- "$line" "$unit" || fail "the unit lacks the line $line"
done
if command -v systemd-analyze >/dev/null; then
    # Verified as a copy that points into the staged tree, so that its programs exist; the
    # manual page it names is looked up there too. verify reports problems on its output
    # and may still exit 0, so any output fails.
    mkdir "$work/unit"
    sed "s|$tree_dir|$tree|g" "$unit" >"$work/unit/orvexmon.service"
    MANPATH=$root$(under_prefix "$man_dir") systemd-analyze verify "$work/unit/orvexmon.service" \
        >"$work/verify.out" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.out")"
    [ ! -s "$work/verify.out" ] || fail "systemd-analyze verify: $(cat "$work/verify.out")"
else
    echo "SKIP: systemd-analyze is not installed; the unit was not verified"
fi

step "launchd property list and sample XML"
python3 - "$plist" "$tree_dir" "$tree/conf/OrvexCustom.xml" <<'EOF' || fail "XML checks"
import plistlib, sys, xml.etree.ElementTree as ET
path, tree, custom = sys.argv[1:]
with open(path, "rb") as f:
    job = plistlib.load(f)  # expat underneath: not well-formed XML raises
expected = {"ProgramArguments": [tree + "/OrvexMon"], "WorkingDirectory": tree,
            "RunAtLoad": True, "KeepAlive": False, "AbandonProcessGroup": True}
for key, value in expected.items():
    if job.get(key) != value:
        sys.exit("plist: %s is %r, not %r" % (key, job.get(key), value))
if ET.parse(custom).getroot().tag != "OrvexCustom":
    sys.exit("OrvexCustom.xml: wrong root element")
EOF

step "Debian package"
arch=$(dpkg --print-architecture)
(cd "$work" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg") >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
deb=$work/pkg/orvexmon_${version}_$arch.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$work/pkg")"
[ "$(dpkg-deb -f "$deb" Package)" = orvexmon ] || fail "Package: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version: $(dpkg-deb -f "$deb" Version)"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture: $(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libace-* && "$depends" == *libtinyxml2-* ]] ||
    fail "Depends does not name the ACE and tinyxml2 libraries: $depends"
# Modes and paths of dpkg-deb -c, its "./dir/" written "/dir".
dpkg-deb -c "$deb" | awk '{ print $1, substr($6, 2) }' | sed 's|/$||' >"$work/deb.modes"
# The package holds what the staged install held, every empty directory included.
dpkg-deb -x "$deb" "$work/unpacked"
diff <(cd "$work/unpacked" && find . -mindepth 1 \( -type f -o -type d -empty \) | sed 's|^\.||' | sort) \
    "$work/staged.list" || fail "the package's files differ from the staged install's"
for entry in "-rwxr-xr-x $tree_dir/OrvexMon" "-rwxr-xr-x $tree_dir/libs/orvexmon-service" \
    "-rw-r--r-- $tree_dir/libs/libOrvexUtility.so" "-rw-r--r-- $unit_path" \
    "-rw-r--r-- $man_path" "drwxr-xr-x $tree_dir/log" "drwxr-xr-x $lock_dir"; do
    grep -qxF -- "$entry" "$work/deb.modes" || fail "the package lacks $entry"
done
dpkg-deb -e "$deb" "$work/control"
diff <(sort "$work/control/conffiles") \
    <(printf '%s\n' "$system_conf" "$tree_dir/conf/Orvex.conf" "$tree_dir/conf/OrvexCustom.xml" | sort -u) ||
    fail "conffiles"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || fail "maintainer script $script"
done

step "run the installed daemon from the installed tree"
mkdir -p "$(dirname "$system_conf")" "$lock_dir"
echo "INSTALL_DIR=$tree" >"$system_conf"
cp "$standin" "$tree/AccessBroker"
# As systemd runs it: the helper starts ./OrvexMon in the tree and writes the daemon's pid.
"$tree/libs/orvexmon-service" start "$work/orvexmon.pid" >"$work/daemon.out" 2>&1 ||
    fail "orvexmon-service start: $(cat "$work/daemon.out")"
daemon=$(cat "$work/orvexmon.pid")
[ "$(tree_pids OrvexMon)" = "$daemon" ] || fail "pid file $daemon; running: $(tree_pids OrvexMon)"
[ "$(readlink "/proc/$daemon/cwd")" = "$tree" ] || fail "the daemon does not run in its tree"

has_service() { [ -n "$(tree_pids AccessBroker)" ]; }
wait_for 10 has_service || fail "AccessBroker was not started"
victim=$(tree_pids AccessBroker)
kill -9 "$victim"
came_back() { [ -n "$(tree_pids AccessBroker)" ] && [ "$(tree_pids AccessBroker)" != "$victim" ]; }
wait_for 10 came_back || fail "the killed AccessBroker was not started again"

status=0
(cd "$tree" && ./OrvexMon -k) >"$work/stop.out" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "OrvexMon -k exited with $status, not 255: $(cat "$work/stop.out")"
[ ! -s "$work/stop.out" ] || fail "OrvexMon -k printed: $(cat "$work/stop.out")"
"$tree/libs/orvexmon-service" wait "$daemon" 10 || fail "the daemon did not end after -k"
[ -z "$(tree_pids OrvexMon)" ] || fail "an OrvexMon is still running"
[ -n "$(tree_pids AccessBroker)" ] || fail "AccessBroker did not outlive its supervisor"
[ ! -s "$work/daemon.out" ] || fail "the daemon printed: $(cat "$work/daemon.out")"
cat "$tree"/log/OrvexMon[0-9]*.log >"$work/daemon.log"
grep -qF "Process AccessBroker not exists now restart it." "$work/daemon.log" ||
    fail "the log does not show AccessBroker being started"
grep -qF "[dbg-in-wrn] OrvexMon quit successful." "$work/daemon.log" || fail "no orderly stop in the log"
! grep -qF "verify OrvexCustom.xml failed" "$work/daemon.log" ||
    fail "the sample OrvexCustom.xml does not verify"

echo "PASS"
