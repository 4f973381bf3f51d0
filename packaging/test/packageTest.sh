#!/usr/bin/env bash
# Installs the build into a staging root with DESTDIR (twice: edited configuration must
# survive), checks the tree, the manual page, the service files and the Debian package;
# makes the release package (the release preset: production paths, dpkg-buildflags) and
# checks it with lintian, for stripped and hardened binaries and for a byte-identical
# rebuild; and runs the installed daemon from the installed tree the way its systemd unit
# does: ./OrvexMon, its pid file, "OrvexMon status", a killed service started again, a stop.
#
# packageTest.sh BUILD STANDIN SYSTEM_CONF LOCK_FILE INSTALL_DIR VERSION UNIT_DIR MAN_DIR PLIST
#                RUN_DIR SOURCE RELEASE_BUILD
#   the build's directory, the stand-in service, the compiled-in system file and lock file,
#   the configured client tree, the project version, the directories of the unit and of the
#   manual pages (under the prefix unless absolute), the generated launchd property list,
#   the daemon's run directory, the source tree and where to make the release build.
#
# It rewrites the build's system file (restored at the end) and needs the ctest resource
# lock orvexmon_sysconf; ctest runs it in a PID namespace of its own where it can, and names
# in CMAKE and CPACK the tools of the build.
set -euo pipefail

if [ $# -ne 12 ]; then
    echo "usage: $0 BUILD STANDIN SYSTEM_CONF LOCK_FILE INSTALL_DIR VERSION UNIT_DIR MAN_DIR PLIST" \
        "RUN_DIR SOURCE RELEASE_BUILD" >&2
    exit 2
fi
build=$1 standin=$2 system_conf=$3 lock_file=$4 tree_dir=$5 version=$6 unit_dir=$7 man_dir=$8
plist=$9 run_dir=${10} source_dir=${11} release_build=${12}
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
doc_dir=$prefix/share/doc/orvexmon
override_path=$prefix/share/lintian/overrides/orvexmon
# Each configuration file lives in the lock file's directory (/etc/Orvex), and the place
# the client reads it from is a symbolic link to it, unless that is the same place.
conf_paths=("$system_conf" "$tree_dir/conf/Orvex.conf" "$tree_dir/conf/OrvexCustom.xml")
conf_file() { echo "$lock_dir/$(basename "$1")"; }
conf_links() {
    local path
    for path in "${conf_paths[@]}"; do
        [ "$(dirname "$path")" = "$lock_dir" ] || echo "$path"
    done
}

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

# What an install must produce, relative to the staging root: files, links and empty
# directories.
expected_entries() {
    local path
    {
        printf '%s\n' "$tree_dir/OrvexMon" "$tree_dir/libs/libOrvexUtility.so" "$tree_dir/log" \
            "$unit_path" "$man_path" "$doc_dir/copyright" "$doc_dir/changelog.gz" "$override_path"
        for path in "${conf_paths[@]}"; do conf_file "$path"; done
        conf_links
    } | sort -u
}
staged_entries() {
    (cd "$root" && find . -mindepth 1 \( -type f -o -type l -o -type d -empty \) | sed 's|^\.||' | sort)
}

step "install into a staging root (DESTDIR)"
DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install1.log" ||
    fail "cmake --install: $(cat "$work/install1.log")"
diff <(expected_entries) <(staged_entries) || fail "the staged tree differs from the expected one"
[ -x "$tree/OrvexMon" ] || fail "OrvexMon is not executable"
[ -z "$(ls -A "$tree/log")" ] || fail "log/ is not empty"
for link in $(conf_links); do
    [ "$(readlink "$root$link")" = "$(conf_file "$link")" ] || fail "$link does not link to $(conf_file "$link")"
done
grep -qx "INSTALL_DIR=$tree_dir" "$root$(conf_file "$system_conf")" ||
    fail "the sample system file names another tree"
# grep without -q reads all of ldd's output: an early exit would fail the pipe under pipefail.
ldd "$tree/OrvexMon" | grep -F "libOrvexUtility.so => $tree/libs/libOrvexUtility.so" >/dev/null ||
    fail "OrvexMon does not load libOrvexUtility.so from its libs/: $(ldd "$tree/OrvexMon")"

step "a second install keeps edited configuration and restores a missing sample"
port=$(python3 -c 'import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')
# A clean hour far from now keeps the daily log task out of the way.
client_conf=$root$(conf_file "$tree_dir/conf/Orvex.conf")
sys_conf=$root$(conf_file "$system_conf")
custom_conf=$root$(conf_file "$tree_dir/conf/OrvexCustom.xml")
# A clean hour far from now keeps the daily log task out of the way.
printf 'COMMAND_PORT=%s\nLOG_CLEAN_HOUR=%s\nLOG_KEEP_DAYS=7\n' "$port" $((($(date +%-H) + 12) % 24)) \
    >"$client_conf"
echo "# edited" >>"$sys_conf"
cp "$client_conf" "$work/Orvex.conf.edited"
cp "$sys_conf" "$work/orvexsys.conf.edited"
rm "$custom_conf"
DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install2.log" ||
    fail "second cmake --install: $(cat "$work/install2.log")"
cmp -s "$client_conf" "$work/Orvex.conf.edited" || fail "an install replaced the edited Orvex.conf"
cmp -s "$sys_conf" "$work/orvexsys.conf.edited" || fail "an install replaced the edited system file"
cmp -s "$custom_conf" "$build/packaging/conf/OrvexCustom.xml" ||
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
for line in Type=forking "WorkingDirectory=$tree_dir" "ExecStart=$tree_dir/OrvexMon" \
    "PIDFile=$run_dir/orvexmon.pid" "ConditionFileIsExecutable=$tree_dir/AccessBroker" \
    KillSignal=SIGTERM KillMode=process Restart=on-failure SyslogIdentifier=OrvexMon; do
    grep -qxF -- "$line" "$unit" || fail "the unit lacks the line $line"
done
! grep -q '^ExecStop' "$unit" || fail "the unit stops the daemon otherwise than by SIGTERM"
command -v systemd-analyze >/dev/null || fail "systemd-analyze is not installed (scripts/setup.sh)"
{
    # Verified as a copy that points into the staged tree, so that its programs exist; the
    # manual page it names is looked up there too. verify reports problems on its output
    # and may still exit 0, so any output fails.
    mkdir "$work/unit"
    sed "s|$tree_dir|$tree|g" "$unit" >"$work/unit/orvexmon.service"
    MANPATH=$root$(under_prefix "$man_dir") systemd-analyze verify "$work/unit/orvexmon.service" \
        >"$work/verify.out" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.out")"
    [ ! -s "$work/verify.out" ] || fail "systemd-analyze verify: $(cat "$work/verify.out")"
}

step "launchd property list and sample XML"
python3 - "$plist" "$tree_dir" "$custom_conf" <<'EOF' || fail "XML checks"
import plistlib, sys, xml.etree.ElementTree as ET
path, tree, custom = sys.argv[1:]
with open(path, "rb") as f:
    job = plistlib.load(f)  # expat underneath: not well-formed XML raises
expected = {"WorkingDirectory": tree, "RunAtLoad": True, "KeepAlive": {"SuccessfulExit": False}}
arguments = job.get("ProgramArguments", [])
if arguments[:2] != ["/bin/sh", "-c"] or "./OrvexMon" not in arguments[2]:
    sys.exit("plist: ProgramArguments %r" % arguments)
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
diff <(cd "$work/unpacked" && find . -mindepth 1 \( -type f -o -type l -o -type d -empty \) | sed 's|^\.||' | sort) \
    "$work/staged.list" || fail "the package's files differ from the staged install's"
for entry in "-rwxr-xr-x $tree_dir/OrvexMon" "-rw-r--r-- $tree_dir/libs/libOrvexUtility.so" \
    "-rw-r--r-- $unit_path" "-rw-r--r-- $man_path" "-rw-r--r-- $doc_dir/copyright" \
    "-rw-r--r-- $doc_dir/changelog.gz" "drwxr-xr-x $tree_dir/log" "drwxr-xr-x $lock_dir"; do
    grep -qxF -- "$entry" "$work/deb.modes" || fail "the package lacks $entry"
done
dpkg-deb -e "$deb" "$work/control"
diff <(sort "$work/control/conffiles") \
    <(for path in "${conf_paths[@]}"; do conf_file "$path"; done | sort -u) || fail "conffiles"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] && sh -n "$work/control/$script" || fail "maintainer script $script"
done
grep -q "deb-systemd-helper enable 'orvexmon.service'" "$work/control/postinst" &&
    grep -q "deb-systemd-invoke stop 'orvexmon.service'" "$work/control/prerm" &&
    grep -q "deb-systemd-helper purge 'orvexmon.service'" "$work/control/postrm" ||
    fail "the maintainer scripts lack the deb-systemd-helper / deb-systemd-invoke steps"

step "release package: lintian, stripped and hardened binaries, reproducible"
"$cmake" --preset release -S "$source_dir" -B "$release_build" >"$work/release.log" 2>&1 &&
    "$cmake" --build "$release_build" >>"$work/release.log" 2>&1 || fail "release build: $(cat "$work/release.log")"
for n in 1 2; do
    (cd "$work" && "$cpack" -G DEB --config "$release_build/CPackConfig.cmake" -B "$work/release$n") \
        >"$work/cpack$n.log" 2>&1 || fail "cpack (release): $(cat "$work/cpack$n.log")"
done
release_deb=$work/release1/orvexmon_${version}_$arch.deb
cmp "$release_deb" "$work/release2/orvexmon_${version}_$arch.deb" || fail "two builds of the package differ"
# Every error or warning that is not overridden fails (an override that matches nothing is
# a warning too); the overridden ones show as "O:", each after its reason.
lintian --fail-on none --show-overrides "$release_deb" >"$work/lintian.out" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.out")"
! grep -qE '^(E|W): ' "$work/lintian.out" || fail "lintian: $(cat "$work/lintian.out")"
grep -q '^O: orvexmon: non-standard-toplevel-dir' "$work/lintian.out" || fail "overrides unused: $(cat "$work/lintian.out")"
dpkg-deb -x "$release_deb" "$work/release-root"
dpkg-deb -x "$work/release1/orvexmon-dbgsym_${version}_$arch.ddeb" "$work/release-dbg"
release_tree=$work/release-root$(cd "$work/release-root" && find . -type f -name OrvexMon | sed 's|^\.||; s|/OrvexMon$||')
for elf in "$release_tree/OrvexMon" "$release_tree/libs/libOrvexUtility.so"; do
    readelf -SW "$elf" >"$work/sections"
    ! grep -qE '\.(debug_info|symtab) ' "$work/sections" || fail "$elf is not stripped"
    build_id=$(readelf -nW "$elf" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
    [ -f "$work/release-dbg/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" ] ||
        fail "no debug symbols for $elf (build id $build_id) in the dbgsym package"
    readelf -lW "$elf" | grep GNU_RELRO >/dev/null || fail "$elf: no relro"
    readelf -dW "$elf" | grep -E 'FLAGS.*(BIND_NOW| NOW)' >/dev/null || fail "$elf: no bind-now"
done
daemon_symbols=$(nm -D "$release_tree/OrvexMon")
grep -q __stack_chk_fail <<<"$daemon_symbols" || fail "OrvexMon: no stack protector"
grep -qE '__[a-z]*printf_chk' <<<"$daemon_symbols" || fail "OrvexMon: no fortified functions"

step "run the installed daemon from the installed tree"
mkdir -p "$(dirname "$system_conf")" "$lock_dir"
echo "INSTALL_DIR=$tree" >"$system_conf"
# The staged links point at the build's own places; the daemon reads the staged files.
for link in $(conf_links); do
    [ "$link" = "$system_conf" ] || { rm "$root$link" && cp "$root$(conf_file "$link")" "$root$link"; }
done
cp "$standin" "$tree/AccessBroker"
rm -f "$run_dir/orvexmon.pid"
# As systemd runs it: ./OrvexMon in the tree; the launcher returns, the pid file follows.
(cd "$tree" && ./OrvexMon) >"$work/daemon.out" 2>&1 || fail "./OrvexMon: $(cat "$work/daemon.out")"
has_pid_file() { [ -s "$run_dir/orvexmon.pid" ]; }
wait_for 10 has_pid_file || fail "no pid file $run_dir/orvexmon.pid"
daemon=$(cat "$run_dir/orvexmon.pid")
[ "$(tree_pids OrvexMon)" = "$daemon" ] || fail "pid file $daemon; running: $(tree_pids OrvexMon)"
[ "$(readlink "/proc/$daemon/cwd")" = "$tree" ] || fail "the daemon does not run in its tree"

has_service() { [ -n "$(tree_pids AccessBroker)" ]; }
wait_for 10 has_service || fail "AccessBroker was not started"
victim=$(tree_pids AccessBroker)
kill -9 "$victim"
came_back() { [ -n "$(tree_pids AccessBroker)" ] && [ "$(tree_pids AccessBroker)" != "$victim" ]; }
wait_for 10 came_back || fail "the killed AccessBroker was not started again"

status=0
(cd "$tree" && ./OrvexMon status) >"$work/status.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "OrvexMon status exited with $status: $(cat "$work/status.out")"
grep -qx "OrvexMon: running, pid $daemon, UDP port $port" "$work/status.out" &&
    grep -qx "AccessBroker: pid $(tree_pids AccessBroker), 2 starts" "$work/status.out" ||
    fail "OrvexMon status: $(cat "$work/status.out")"

status=0
(cd "$tree" && ./OrvexMon -k) >"$work/stop.out" 2>&1 || status=$?
[ "$status" -eq 255 ] || fail "OrvexMon -k exited with $status, not 255: $(cat "$work/stop.out")"
[ ! -s "$work/stop.out" ] || fail "OrvexMon -k printed: $(cat "$work/stop.out")"
has_ended() { [ -z "$(tree_pids OrvexMon)" ]; }
wait_for 10 has_ended || fail "the daemon did not end after -k"
[ ! -e "$run_dir/orvexmon.pid" ] || fail "the pid file outlived the daemon"
[ -n "$(tree_pids AccessBroker)" ] || fail "AccessBroker did not outlive its supervisor"
[ ! -s "$work/daemon.out" ] || fail "the daemon printed: $(cat "$work/daemon.out")"
cat "$tree"/log/OrvexMon[0-9]*.log >"$work/daemon.log"
grep -qF "Process AccessBroker not exists now restart it." "$work/daemon.log" ||
    fail "the log does not show AccessBroker being started"
grep -qF "[dbg-in-wrn] OrvexMon quit successful." "$work/daemon.log" || fail "no orderly stop in the log"
! grep -qF "verify OrvexCustom.xml failed" "$work/daemon.log" ||
    fail "the sample OrvexCustom.xml does not verify"

echo "PASS"
