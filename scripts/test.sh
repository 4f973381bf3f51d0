#!/usr/bin/env bash
# The whole test run, as CI runs it: install what is missing, then build and run
# every test in the normal (dev) and the ASan+UBSan (asan) build, and the threaded
# ones under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
# The release tree the packaging test packs (shared by both builds), built here rather
# than inside that test.
cmake --preset release -B build/packageTest-release >/dev/null
cmake --build build/packageTest-release
for preset in dev asan; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "=== tsan ==="
scripts/tsan.sh
