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

step "tests"
ctest --test-dir build/test --output-on-failure -j "$jobs" --timeout 300

step "build with sanitizers (core, gateway, tallwynd)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTALLWYN_SANITIZE=ON \
    -DTALLWYN_BUILD_APP=OFF -DTALLWYN_BUILD_BENCH=OFF -DTALLWYN_WERROR=$werror >/dev/null
cmake --build build/asan -j "$jobs"

step "tests under sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 300

if [ -x tools/fuzz_all.sh ]; then
    step "fuzz targets (short run)"
    tools/fuzz_all.sh 15
fi
