#!/usr/bin/env bash
# Installs the build into a staging root with DESTDIR (twice: edited configuration must
# survive) and checks the tree, the manual page and the service files; makes the release
# package (the release preset: production paths, dpkg-buildflags) twice and checks that the
# two are the same bytes, its contents, conffiles and maintainer scripts, lintian with the
# package's overrides, and stripped and hardened binaries; and runs the installed daemon
# from the installed tree the way its systemd unit does: ./OrvexMon, its pid file,
# "OrvexMon status", an orderly stop.
#
# packageTest.sh BUILD STANDIN SYSTEM_CONF LOCK_FILE INSTALL_DIR VERSION UNIT_DIR MAN_DIR PLIST
#                RUN_DIR SOURCE RELEASE_BUILD
#   the build's directory, the stand-in service, the compiled-in system file and lock file,
#   the configured client tree, the project version, the directories of the unit and of the
#   manual pages (under the prefix unless absolute), the generated launchd property list,
#   the daemon's run directory, the source tree and where the release build is made (it
#   may be shared by several builds of one checkout: a lock beside it takes turns).
#
# It rewrites the build's system file (restored at the end); ctest runs it in a PID
# namespace of its own where it can, and names in CMAKE and CPACK the tools of the build.
set -euo pipefail

[ $# -eq 12 ] || { echo "usage: $0 BUILD STANDIN SYSTEM_CONF LOCK_FILE INSTALL_DIR VERSION UNIT_DIR MAN_DIR" \
    "PLIST RUN_DIR SOURCE RELEASE_BUILD" >&2; exit 2; }
build=$1 standin=$2 system_conf=$3 lock_file=$4 tree_dir=$5 version=$6 unit_dir=$7 man_dir=$8
plist=$9 run_dir=${10} source_dir=${11} release_build=${12}
cmake=${CMAKE:-cmake} cpack=${CPACK:-cpack}

work=$(mktemp -d "${TMPDIR:-/tmp}/orvexmonPackageTest.XXXXXX")
root=$work/root # DESTDIR
tree=$root$tree_dir
prefix=/usr # as in the package
under_prefix() { case $1 in /*) echo "$1" ;; *) echo "$prefix/$1" ;; esac }
unit_path=$(under_prefix "$unit_dir")/orvexmon.service
man_path=$(under_prefix "$man_dir")/man8/OrvexMon.8.gz
lock_dir=$(dirname "$lock_file")
doc_dir=$prefix/share/doc/orvexmon
# Each configuration file lives in the lock file's directory (/etc/Orvex), and the place
# the client reads it from is a symbolic link to it, unless that is the same place.
conf_paths=("$system_conf" "$tree_dir/conf/Orvex.conf" "$tree_dir/conf/OrvexCustom.xml")
conf_file() { echo "$lock_dir/$(basename "$1")"; }
conf_links() { for path in "${conf_paths[@]}"; do [ "$(dirname "$path")" = "$lock_dir" ] || echo "$path"; done; }

fail() { echo "FAIL: $*" >&2; exit 1; }
# "mode /path [link target]" of each entry under $1 that find's tests after it select.
listing() { (cd "$1" && find . -mindepth 1 "${@:2}" -printf '%M /%P %l\n') | sed 's/ $//' | LC_ALL=C sort -k2; }
leaves=(\( -type f -o -type l -o -type d -empty \))

# Pids of live processes named $1 that run an executable of the staged tree (a zombie's
# executable cannot be read).
tree_pids() { for pid in $(pgrep -x "$1"); do [[ $(readlink "/proc/$pid/exe") == "$tree"/* ]] && echo "$pid"; done 2>/dev/null || true; }
# Waits up to $1 seconds for the shell condition $2 to hold.
wait_for() { local deadline=$((SECONDS + $1)); until eval "$2"; do ((SECONDS < deadline)) && sleep 0.05 || return 1; done; }

[ ! -e "$system_conf" ] || cp "$system_conf" "$work/system.conf.saved"
cleanup() {
    kill -9 $(tree_pids OrvexMon) $(tree_pids AccessBroker) 2>/dev/null || true
    if [ -e "$work/system.conf.saved" ]; then cp "$work/system.conf.saved" "$system_conf"; else rm -f "$system_conf"; fi
    rm -rf "$work"
}
trap cleanup EXIT

# What an install must produce, relative to the staging root: files, links and empty
# directories, with their modes (and the links' targets).
expected_entries() {
    {
        printf '%s\n' "-rwxr-xr-x $tree_dir/OrvexMon" "drwxr-xr-x $tree_dir/log"
        printf -- '-rw-r--r-- %s\n' "$tree_dir/libs/libOrvexUtility.so" "$unit_path" "$man_path" "$doc_dir/copyright" \
            "$doc_dir/changelog.gz" "$prefix/share/lintian/overrides/orvexmon" $(for c in "${conf_paths[@]}"; do conf_file "$c"; done)
        for path in $(conf_links); do echo "lrwxrwxrwx $path $(conf_file "$path")"; done
    } | LC_ALL=C sort -k2
}
install_staged() {
    DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
        fail "cmake --install: $(cat "$work/install.log")"
    diff <(expected_entries) <(listing "$root" "${leaves[@]}") || fail "the staged tree differs from the expected one"
}

echo "== install into a staging root (DESTDIR), twice: edited configuration stays"
install_staged
grep -x "INSTALL_DIR=$tree_dir" "$root$(conf_file "$system_conf")" >/dev/null || fail "the sample system file names another tree"
# grep without -q reads all of ldd's output: an early exit would fail the pipe under pipefail.
ldd "$tree/OrvexMon" | grep -F "libOrvexUtility.so => $tree/libs/libOrvexUtility.so" >/dev/null ||
    fail "OrvexMon does not load libOrvexUtility.so from its libs/: $(ldd "$tree/OrvexMon")"
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
client_conf=$root$(conf_file "$tree_dir/conf/Orvex.conf")
sys_conf=$root$(conf_file "$system_conf")
custom_conf=$root$(conf_file "$tree_dir/conf/OrvexCustom.xml")
# A clean hour far from now keeps the daily log task out of the way of the run below.
printf 'COMMAND_PORT=%s\nLOG_CLEAN_HOUR=%s\nLOG_KEEP_DAYS=7\n' "$port" $((($(date +%-H) + 12) % 24)) >"$client_conf"
echo "# edited" >>"$sys_conf"
mkdir "$work/edited" && cp "$client_conf" "$sys_conf" "$work/edited"
rm "$custom_conf"
install_staged
cmp "$client_conf" "$work/edited/$(basename "$client_conf")" && cmp "$sys_conf" "$work/edited/$(basename "$sys_conf")" ||
    fail "an install replaced edited configuration"
cmp "$custom_conf" "$build/packaging/conf/OrvexCustom.xml" || fail "the missing OrvexCustom.xml was not installed again"

echo "== manual page, systemd unit, launchd property list"
LC_ALL=C MANWIDTH=80 man --warnings -l "$root$man_path" >"$work/man.txt" 2>"$work/man.err" && [ ! -s "$work/man.err" ] ||
    fail "man -l fails or warns: $(cat "$work/man.err")"
for line in NAME SYNOPSIS DESCRIPTION CONFIGURATION FILES "COMMAND PROTOCOL" "EXIT STATUS" SIGNALS ./OrvexMon \
    "./OrvexMon -k|kill" "./OrvexMon -u|uninstall" "./OrvexMon status" "./OrvexMon log_clean,days"; do
    sed 's/^ *//' "$work/man.txt" | grep -xF -- "$line" >/dev/null || fail "the manual page lacks the line $line"
done
for text in "$system_conf" "$lock_file" "$run_dir" LOG_CLEAN_HOUR LOG_KEEP_DAYS COMMAND_PORT OrvexCustom.xml; do
    # Paths carry invisible break points (\:) after each "/".
    zcat "$root$man_path" | sed 's/\\://g' | grep -F -- "$text" >/dev/null || fail "the manual page does not mention $text"
done
unit=$root$unit_path
diff <(grep -E '^(ConditionFileIsExecutable|WorkingDirectory|ExecStart|PIDFile)=' "$unit") \
    <(printf '%s\n' "ConditionFileIsExecutable=$tree_dir/AccessBroker" "WorkingDirectory=$tree_dir" \
        "ExecStart=$tree_dir/OrvexMon" "PIDFile=$run_dir/orvexmon.pid") || fail "the unit's paths"
# Verified as a copy that points into the staged tree, so that its programs exist; the
# manual page it names is looked up there too. verify reports problems on its output and
# may still exit 0, so any output fails.
sed "s|$tree_dir|$tree|g" "$unit" >"$work/orvexmon.service"
MANPATH=$root$(under_prefix "$man_dir") systemd-analyze verify "$work/orvexmon.service" >"$work/verify.out" 2>&1 &&
    [ ! -s "$work/verify.out" ] || fail "systemd-analyze verify: $(cat "$work/verify.out")"
python3 -c 'import plistlib, sys
job = plistlib.load(open(sys.argv[1], "rb"))  # expat underneath: not well-formed XML raises
assert job["WorkingDirectory"] == sys.argv[2] and job["ProgramArguments"][:2] == ["/bin/sh", "-c"], job' \
    "$plist" "$tree_dir" || fail "the launchd property list"

echo "== release package: reproducible, its contents, lintian, stripped and hardened binaries"
exec 9>"$release_build.lock" && flock 9
{ "$cmake" --preset release -S "$source_dir" -B "$release_build" && nice "$cmake" --build "$release_build" -j 2; } \
    >"$work/release.log" 2>&1 || fail "release build: $(cat "$work/release.log")"
for n in 1 2; do
    (cd "$work" && "$cpack" -G DEB --config "$release_build/CPackConfig.cmake" -B "$work/release$n") \
        >"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
done
DESTDIR=$work/release-staged "$cmake" --install "$release_build" --prefix "$prefix" >"$work/install.log" ||
    fail "cmake --install (release): $(cat "$work/install.log")"
exec 9>&-
arch=$(dpkg --print-architecture)
deb=$work/release1/orvexmon_${version}_$arch.deb
cmp "$deb" "$work/release2/orvexmon_${version}_$arch.deb" || fail "two builds of the package differ"
dpkg-deb -x "$deb" "$work/unpacked" && dpkg-deb -e "$deb" "$work/control"
diff <(listing "$work/release-staged") <(listing "$work/unpacked") || fail "the package differs from an install"
diff <(sort "$work/control/conffiles") <(cd "$work/unpacked" && find ./etc -type f | sed 's|^\.||' | sort) ||
    fail "the conffiles are not the package's files in /etc"
for entry in "postinst:deb-systemd-helper enable" "prerm:deb-systemd-invoke stop" "postrm:deb-systemd-helper purge"; do
    script=$work/control/${entry%%:*}
    [ -x "$script" ] && sh -n "$script" && grep -F "${entry#*:} 'orvexmon.service'" "$script" >/dev/null ||
        fail "maintainer script ${entry%%:*}: not executable, not sh, or without ${entry#*:}"
done
depends=$(dpkg-deb -f "$deb" Depends)
[[ "$depends" == *libace-* && "$depends" == *libtinyxml2-* && "$depends" == *init-system-helpers* ]] ||
    fail "Depends: $depends"
# Every error or warning that is not overridden fails (an override that matches nothing is
# a warning too); the overridden ones show as "O:", each after its reason.
lintian --fail-on none --show-overrides "$deb" >"$work/lintian.out" 2>&1 && ! grep -qE '^(E|W): ' "$work/lintian.out" ||
    fail "lintian: $(cat "$work/lintian.out")"
grep -q '^O: orvexmon: non-standard-toplevel-dir' "$work/lintian.out" || fail "overrides unused: $(cat "$work/lintian.out")"
dpkg-deb -x "$work/release1/orvexmon-dbgsym_${version}_$arch.ddeb" "$work/release-dbg"
elves=($(find "$work/unpacked" -type f \( -name OrvexMon -o -name libOrvexUtility.so \)))
[ ${#elves[@]} -eq 2 ] || fail "the package's binaries: ${elves[*]}"
for elf in "${elves[@]}"; do
    ! readelf -SW "$elf" | grep -E '\.(debug_info|symtab) ' >/dev/null || fail "$elf is not stripped"
    build_id=$(readelf -nW "$elf" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
    [ -f "$work/release-dbg/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" ] ||
        fail "no debug symbols for $elf (build id $build_id) in the dbgsym package"
    readelf -lW "$elf" | grep GNU_RELRO >/dev/null || fail "$elf: no relro"
    readelf -dW "$elf" | grep -E 'FLAGS.*(BIND_NOW| NOW)' >/dev/null || fail "$elf: no bind-now"
    [[ $elf != */OrvexMon ]] && continue
    nm -D "$elf" | grep __stack_chk_fail >/dev/null || fail "OrvexMon: no stack protector"
    nm -D "$elf" | grep -E '__[a-z]*printf_chk' >/dev/null || fail "OrvexMon: no fortified functions"
done

echo "== run the installed daemon from the installed tree"
mkdir -p "$(dirname "$system_conf")" "$lock_dir"
echo "INSTALL_DIR=$tree" >"$system_conf"
# The staged links point at the build's own places; the daemon reads the staged files.
for link in $(conf_links); do [ "$link" = "$system_conf" ] || cp --remove-destination "$root$(conf_file "$link")" "$root$link"; done
cp "$standin" "$tree/AccessBroker"
rm -f "$run_dir/orvexmon.pid"
# As systemd runs it: ./OrvexMon in the tree; the launcher returns, the pid file follows.
(cd "$tree" && ./OrvexMon) >"$work/daemon.out" 2>&1 || fail "./OrvexMon: $(cat "$work/daemon.out")"
wait_for 10 '[ -s "$run_dir/orvexmon.pid" ] && [ -n "$(tree_pids AccessBroker)" ]' || fail "no pid file $run_dir/orvexmon.pid or no AccessBroker"
daemon=$(cat "$run_dir/orvexmon.pid")
[ "$(tree_pids OrvexMon)" = "$daemon" ] || fail "pid file $daemon; running: $(tree_pids OrvexMon)"
[ "$(readlink "/proc/$daemon/cwd")" = "$tree" ] || fail "the daemon does not run in its tree"
printf '%s\n' "OrvexMon: running, pid $daemon, UDP port $port" "AccessBroker: pid $(tree_pids AccessBroker), 1 start" \
    >"$work/status.expected"
# The daemon counts a start just after the service appears.
wait_for 5 '(cd "$tree" && ./OrvexMon status) >"$work/status.out" 2>&1 && cmp -s "$work/status.out" "$work/status.expected"' ||
    fail "OrvexMon status: $(diff "$work/status.expected" "$work/status.out")"
(cd "$tree" && ./OrvexMon -k) >"$work/stop.out" 2>&1 && rc=0 || rc=$?
[ "$rc" -eq 255 ] || fail "OrvexMon -k exited with $rc, not 255: $(cat "$work/stop.out")"
wait_for 10 '[ -z "$(tree_pids OrvexMon)" ]' || fail "the daemon did not end after -k"
[ ! -s "$work/daemon.out" ] || fail "the daemon printed: $(cat "$work/daemon.out")"
cat "$tree"/log/OrvexMon[0-9]*.log >"$work/daemon.log"
for text in "Process AccessBroker not exists now restart it." "[dbg-in-wrn] OrvexMon quit successful."; do
    grep -F "$text" "$work/daemon.log" >/dev/null || fail "the log lacks $text"
done
# The sample OrvexCustom.xml verifies.
! grep -F "verify OrvexCustom.xml failed" "$work/daemon.log" >/dev/null || fail "the sample OrvexCustom.xml does not verify"

echo "PASS"
