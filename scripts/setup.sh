#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that OrvexMon's build, tests, demo and
# benchmarks need and that are not installed yet. Safe to run again: it does nothing
# when everything is present. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    libace-dev libtinyxml2-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-dev clang-format
    faketime procps iproute2 util-linux valgrind tar gzip
    dpkg-dev man-db python3 lintian systemd binutils
)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
