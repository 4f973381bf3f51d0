#!/usr/bin/env bash
# Installs the build into a staging root with DESTDIR (twice: edited configuration must
# survive) and checks the tree, the manual page and the service files; makes the release
# package (the release preset: production paths, dpkg-buildflags) twice and checks that the
# two are the same bytes, that it holds what an install does, its conffiles and maintainer
# scripts, and lintian's verdict (with the package's overrides) on it and its binaries; and
# runs the installed daemon from the installed tree the way its systemd unit does.
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

under_usr() { [[ $1 == /* ]] && echo "$1" || echo "/usr/$1"; }  # as the install places a relative DESTINATION
build=$1 standin=$2 system_conf=$3 lock_file=$4 tree_dir=$5 version=$6 unit_path=$(under_usr "$7")/orvexmon.service
man_dir=$(under_usr "$8") man_path=$man_dir/man8/OrvexMon.8.gz plist=$9 run_dir=${10} source_dir=${11} release_build=${12}
cmake=${CMAKE:-cmake} cpack=${CPACK:-cpack}
work=$(mktemp -d "${TMPDIR:-/tmp}/orvexmonPackageTest.XXXXXX")
root=$work/root tree=$work/root$tree_dir lock_dir=$(dirname "$lock_file") doc_dir=/usr/share/doc/orvexmon
# Each configuration file lives in the lock file's directory (/etc/Orvex), and the place
# the client reads it from is a symbolic link to it, unless that is the same place.
conf_paths=("$system_conf" "$tree_dir/conf/Orvex.conf" "$tree_dir/conf/OrvexCustom.xml")
conf_file() { echo "$lock_dir/$(basename "$1")"; }
conf_links() { for path in "${conf_paths[@]}"; do [ "$(dirname "$path")" = "$lock_dir" ] || echo "$path"; done; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# "mode /path [link target]" of each file, link and empty directory under $1.
listing() { (cd "$1" && find . -mindepth 1 \( -type f -o -type l -o -type d -empty \) -printf '%M /%P %l\n') | sed 's/ $//' | LC_ALL=C sort -k2; }
# Pids of live processes named $1 that run an executable of the staged tree.
tree_pids() { for pid in $(pgrep -x "$1"); do [[ $(readlink "/proc/$pid/exe") == "$tree"/* ]] && echo "$pid"; done 2>/dev/null || true; }
wait_for() { local deadline=$((SECONDS + $1)); until eval "$2"; do ((SECONDS < deadline)) && sleep 0.05 || return 1; done; }

[ ! -e "$system_conf" ] || cp "$system_conf" "$work/system.conf.saved"
cleanup() {
    kill -9 $(tree_pids OrvexMon) $(tree_pids AccessBroker) 2>/dev/null || true
    if [ -e "$work/system.conf.saved" ]; then cp "$work/system.conf.saved" "$system_conf"; else rm -f "$system_conf"; fi
    rm -rf "$work"
}
trap cleanup EXIT

install_staged() {
    DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$work/install.log" || fail "cmake --install: $(cat "$work/install.log")"
    diff <({
        printf '%s\n' "-rwxr-xr-x $tree_dir/OrvexMon" "drwxr-xr-x $tree_dir/log"
        printf -- '-rw-r--r-- %s\n' "$tree_dir/libs/libOrvexUtility.so" "$unit_path" "$man_path" "$doc_dir/copyright" \
            "$doc_dir/changelog.gz" /usr/share/lintian/overrides/orvexmon $(for c in "${conf_paths[@]}"; do conf_file "$c"; done)
        for path in $(conf_links); do echo "lrwxrwxrwx $path $(conf_file "$path")"; done
    } | LC_ALL=C sort -k2) <(listing "$root") || fail "the staged tree differs from the expected one"
}

echo "== install into a staging root (DESTDIR), twice: edited configuration stays"
install_staged
# grep without -q reads all of ldd's output: an early exit would fail the pipe under pipefail.
ldd "$tree/OrvexMon" | grep -F "libOrvexUtility.so => $tree/libs/libOrvexUtility.so" >/dev/null ||
    fail "OrvexMon does not load libOrvexUtility.so from its libs/"
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
client_conf=$root$(conf_file "$tree_dir/conf/Orvex.conf") sys_conf=$root$(conf_file "$system_conf")
# A clean hour far from now keeps the daily log task out of the way of the run below.
printf 'COMMAND_PORT=%s\nLOG_CLEAN_HOUR=%s\n' "$port" $((($(date +%-H) + 12) % 24)) >"$client_conf"
echo "# edited" >>"$sys_conf"
cp "$client_conf" "$work/client.edited" && cp "$sys_conf" "$work/sys.edited"
rm "$root$(conf_file "$tree_dir/conf/OrvexCustom.xml")"
install_staged
cmp "$client_conf" "$work/client.edited" && cmp "$sys_conf" "$work/sys.edited" || fail "an install replaced edited configuration"
grep -x "INSTALL_DIR=$tree_dir" "$sys_conf" >/dev/null || fail "the sample system file names another tree"

echo "== manual page, systemd unit, launchd property list"
LC_ALL=C MANWIDTH=80 man --warnings -l "$root$man_path" >"$work/man.txt" 2>"$work/man.err" && [ ! -s "$work/man.err" ] ||
    fail "man -l fails or warns: $(cat "$work/man.err")"
# Paths carry invisible break points (\:) after each "/": looked up in the source.
zcat "$root$man_path" | sed 's/\\://g' >>"$work/man.txt"
for text in "OrvexMon -k|kill" "OrvexMon -u|uninstall" "OrvexMon status" "OrvexMon log_clean,days" \
    "$system_conf" "$lock_file" "$run_dir" LOG_CLEAN_HOUR LOG_KEEP_DAYS COMMAND_PORT OrvexCustom.xml; do
    grep -F -- "$text" "$work/man.txt" >/dev/null || fail "the manual page does not mention $text"
done
unit=$root$unit_path
diff <(grep -E '^(ConditionFileIsExecutable|WorkingDirectory|ExecStart|PIDFile)=' "$unit") \
    <(printf '%s\n' "ConditionFileIsExecutable=$tree_dir/AccessBroker" "WorkingDirectory=$tree_dir" \
        "ExecStart=$tree_dir/OrvexMon" "PIDFile=$run_dir/orvexmon.pid") || fail "the unit's paths"
# Verified as a copy that points into the staged tree, so that its programs and manual page
# exist; verify may report problems and exit 0, so any output fails.
sed "s|$tree_dir|$tree|g" "$unit" >"$work/orvexmon.service"
MANPATH=$root$man_dir systemd-analyze verify "$work/orvexmon.service" >"$work/verify.out" 2>&1 &&
    [ ! -s "$work/verify.out" ] || fail "systemd-analyze verify: $(cat "$work/verify.out")"
python3 -c 'import plistlib, sys
job = plistlib.load(open(sys.argv[1], "rb"))  # expat underneath: not well-formed XML raises
assert job["WorkingDirectory"] == sys.argv[2] and job["ProgramArguments"][:2] == ["/bin/sh", "-c"], job' \
    "$plist" "$tree_dir" || fail "the launchd property list"

echo "== release package: reproducible, as an install, conffiles, maintainer scripts, lintian"
exec 9>"$release_build.lock" && flock 9
{ "$cmake" --preset release -S "$source_dir" -B "$release_build" && nice "$cmake" --build "$release_build" -j 2 &&
    for n in 1 2; do (cd "$work" && "$cpack" -G DEB --config "$release_build/CPackConfig.cmake" -B "$work/release$n"); done &&
    DESTDIR=$work/release-staged "$cmake" --install "$release_build" --prefix /usr; } >"$work/release.log" 2>&1 ||
    fail "release build: $(cat "$work/release.log")"
exec 9>&-
arch=$(dpkg --print-architecture) deb=orvexmon_${version}_$arch.deb
cmp "$work/release1/$deb" "$work/release2/$deb" || fail "two builds of the package differ"
deb=$work/release1/$deb
dpkg-deb -x "$deb" "$work/unpacked" && dpkg-deb -e "$deb" "$work/control"
diff <(listing "$work/release-staged") <(listing "$work/unpacked") || fail "the package differs from an install"
diff <(sort "$work/control/conffiles") <(cd "$work/unpacked" && find ./etc -type f | sed 's|^\.||' | sort) ||
    fail "the conffiles are not the package's files in /etc"
# Lintian checks the maintainer scripts' syntax and modes; these are what they must do.
grep -F "deb-systemd-helper enable 'orvexmon.service'" "$work/control/postinst" >/dev/null &&
    grep -F "deb-systemd-invoke stop 'orvexmon.service'" "$work/control/prerm" >/dev/null &&
    grep -F "deb-systemd-helper purge 'orvexmon.service'" "$work/control/postrm" >/dev/null || fail "the maintainer scripts"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libace-* && $depends == *libtinyxml2-* && $depends == *init-system-helpers* ]] || fail "Depends: $depends"
# Fails on every error or warning not overridden (an unused override is a warning too), an
# unstripped binary among them, and on the hardening notes: the daemon is built with every
# flag, the library calls nothing that has a fortified variant.
lintian --fail-on none --show-overrides --display-info "$deb" >"$work/lintian.out" 2>&1 &&
    ! grep -E '^(E|W): |hardening-no-(bindnow|fortify-functions \[.*/OrvexMon\])' "$work/lintian.out" &&
    grep '^O: orvexmon: non-standard-toplevel-dir' "$work/lintian.out" >/dev/null || fail "lintian: $(cat "$work/lintian.out")"
for elf in $(find "$work/unpacked" -type f \( -name OrvexMon -o -name libOrvexUtility.so \)); do
    id=$(readelf -nW "$elf" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
    dpkg-deb -c "${deb%/*}/orvexmon-dbgsym_${version}_$arch.ddeb" | grep -F "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" >/dev/null ||
        fail "no debug symbols for $elf in the dbgsym package"
done

echo "== run the installed daemon from the installed tree"
mkdir -p "$(dirname "$system_conf")" "$lock_dir"
echo "INSTALL_DIR=$tree" >"$system_conf"
# The staged links point at the build's own places; the daemon reads the staged files.
for link in $(conf_links); do [ "$link" = "$system_conf" ] || cp --remove-destination "$root$(conf_file "$link")" "$root$link"; done
cp "$standin" "$tree/AccessBroker"
rm -f "$run_dir/orvexmon.pid"
# As systemd runs it: ./OrvexMon in the tree; the launcher returns, the pid file follows.
(cd "$tree" && ./OrvexMon) || fail "./OrvexMon exited with $?"
wait_for 10 '[ -s "$run_dir/orvexmon.pid" ] && [ -n "$(tree_pids AccessBroker)" ]' || fail "no pid file or no AccessBroker"
daemon=$(cat "$run_dir/orvexmon.pid")
[ "$(tree_pids OrvexMon)" = "$daemon" ] && [ "$(readlink "/proc/$daemon/cwd")" = "$tree" ] ||
    fail "pid file $daemon; running: $(tree_pids OrvexMon), in $(readlink "/proc/$daemon/cwd")"
(cd "$tree" && ./OrvexMon -k) >/dev/null 2>&1 || true
wait_for 10 '[ -z "$(tree_pids OrvexMon)" ]' || fail "the daemon did not end after -k"
# The sample OrvexCustom.xml verifies.
log=$(cat "$tree"/log/OrvexMon[0-9]*.log)
[[ $log == *"Process AccessBroker not exists now restart it."* && $log == *"[dbg-in-wrn] OrvexMon quit successful."* &&
    $log != *"verify OrvexCustom.xml failed"* ]] || fail "the daemon's log: $log"
echo "PASS"
