#!/usr/bin/env bash
# Runs every test of Tallwyn: installs what is missing (Debian 12, as root or with
# sudo), builds, runs the suite, then builds the core again with AddressSanitizer
# and UndefinedBehaviorSanitizer and runs its tests once more.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
jobs=$(nproc)

. tools/deps.sh
tallwyn_install_deps test

werror=OFF
[ -n "${CI:-}" ] && werror=ON

step() { printf '\n==> %s\n' "$*"; }

step "build (RelWithDebInfo)"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLWYN_WERROR=$werror >/dev/null
cmake --build build/test -j "$jobs"

# Counts what passed, for the closing line.
passed=0
count_passed() {
    local n
    n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$1" | tail -n 1)
    passed=$((passed + ${n:-0}))
}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

step "tests"
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 300 | tee "$log"
count_passed "$log"

step "Debian package: lintian, contents, manual pages"
tools/check_package.sh build/test
passed=$((passed + 1))

step "build with sanitizers (core, gateway, tallwynd)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLWYN_SANITIZE=ON \
    -DTALLWYN_BUILD_APP=OFF -DTALLWYN_BUILD_BENCH=OFF -DTALLWYN_WERROR=$werror >/dev/null
cmake --build build/asan -j "$jobs"

step "tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 300 | tee "$log"
count_passed "$log"

if [ -x tools/fuzz_all.sh ]; then
    step "fuzz targets (short run)"
    tools/fuzz_all.sh 20 | tee "$log"
    passed=$((passed + $(grep -c ' ok$' "$log")))
fi

echo
echo "summary: $passed passed, 0 failed"
