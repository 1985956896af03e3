#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address + undefined sanitizers) in build/fuzz
# and runs each one for SECONDS seconds over a throw-away copy of its seed corpus,
# after replaying the inputs kept in fuzz/regressions/<target>/.
#
#   tools/fuzz_all.sh [SECONDS]       every target, 60 s each by default
#   FUZZ_ONLY="decode_jis keyword" tools/fuzz_all.sh 600
#
# Exits non-zero when any target crashes, leaks, times out or runs out of memory, and
# prints the path of the input that did it (kept under fuzz/artifacts/<target>/).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
build=$root/build/fuzz
artifacts=$root/fuzz/artifacts

# Optimised but with asserts, as the sanitizers like it.
mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DTALLWYN_BUILD_FUZZ=ON \
        -DTALLWYN_BUILD_APP=OFF -DTALLWYN_BUILD_TESTS=OFF -DTALLWYN_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
        >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
fi
cmake --build "$build" -j 2 >"$build/build.log" 2>&1 || { tail -n 40 "$build/build.log"; exit 1; }

targets=$(cat "$build/fuzz/targets.txt")
[ -n "${FUZZ_ONLY:-}" ] && targets=$FUZZ_ONLY

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
printf '%-16s %10s %8s %8s  %s\n' target runs cov ft result
for t in $targets; do
    bin=$build/fuzz/fuzz_$t
    if [ ! -x "$bin" ]; then
        echo "fuzz_all: no target $t" >&2
        failed=1
        continue
    fi
    mkdir -p "$artifacts/$t" "$work/$t/corpus"
    log=$work/$t/log
    common=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/$t/")

    # Inputs that once crashed a target must keep passing.
    regressions=()
    if [ -d "fuzz/regressions/$t" ]; then
        while IFS= read -r -d '' f; do regressions+=("$f"); done \
            < <(find "fuzz/regressions/$t" -type f -print0 | sort -z)
    fi
    if [ ${#regressions[@]} -gt 0 ] && ! "$bin" "${common[@]}" "${regressions[@]}" >"$log" 2>&1; then
        printf '%-16s %10s %8s %8s  %s\n' "$t" - - - "REGRESSION"
        tail -n 30 "$log"
        failed=1
        continue
    fi

    if [ -d "fuzz/corpus/$t" ]; then
        cp -r "fuzz/corpus/$t/." "$work/$t/corpus/"
    fi
    if nice "$bin" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
        "$work/$t/corpus" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        failed=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1 || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
    printf '%-16s %10s %8s %8s  %s\n' "$t" "${runs:--}" "${cov:--}" "${ft:--}" "$result"
    if [ $result = FAILED ]; then
        grep -E 'ERROR:|check failed|runtime error|SUMMARY' "$log" | head -n 10 || true
        grep -o 'Test unit written to .*' "$log" | sed 's/^Test unit written to /crashing input: /' \
            || tail -n 30 "$log"
    fi
done
exit $failed
