#!/usr/bin/env bash
# The whole test run, as CI runs it: install what is missing, then build and run
# every test in the normal (dev) and the ASan+UBSan (asan) build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
for preset in dev asan; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
