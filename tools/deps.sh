# Sourced, from the source directory, by test.sh, demo.sh, bench/pages.sh,
# docs/make_screenshot.sh and docs/make_phone_screenshots.sh: installs the Debian 12
# packages that are missing, builds tallwynd alone and waits for it to serve.

tallwyn_packages_build=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
    libbenchmark-dev libcli11-dev libssl-dev qt6-base-dev libgl-dev libgmime-3.0-dev
    libxml2-dev)
tallwyn_packages_run=(dovecot-pop3d python3 curl fonts-ipafont-gothic)
tallwyn_packages_test=(chromium clang libclang-rt-14-dev xvfb xauth openssl systemd
    dpkg-dev lintian man-db)
# Only for docs/make_screenshot.sh and docs/make_phone_screenshots.sh.
tallwyn_packages_docs=(xvfb xauth openbox x11-utils imagemagick chromium
    fonts-noto-color-emoji)

# tallwyn_install_deps demo|test|docs
tallwyn_install_deps() {
    local wanted=("${tallwyn_packages_build[@]}" "${tallwyn_packages_run[@]}")
    [ "$1" = test ] && wanted+=("${tallwyn_packages_test[@]}")
    [ "$1" = docs ] && wanted+=("${tallwyn_packages_docs[@]}")
    local missing=() p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q >/dev/null
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# tallwyn_build_tallwynd DIR: builds tallwynd alone (Release; no window, tests or
# benchmarks) in DIR, into DIR/tallwynd/tallwynd. The output goes to DIR/build.log,
# whose end is shown if the build fails.
tallwyn_build_tallwynd() {
    mkdir -p "$1"
    if ! { cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTALLWYN_BUILD_APP=OFF \
            -DTALLWYN_BUILD_TESTS=OFF -DTALLWYN_BUILD_BENCH=OFF &&
            cmake --build "$1" -j "$(nproc)" --target tallwynd; } >"$1/build.log" 2>&1; then
        tail -n 30 "$1/build.log" >&2
        echo "the build of tallwynd failed; the whole log is in $1/build.log" >&2
        return 1
    fi
}

# tallwyn_wait_serving OUT PID: waits up to 10 s for the tallwynd running as PID to
# write its "serving http://HOST:PORT/..." line to the file OUT, and prints PORT.
# Fails if tallwynd ends first or the time runs out.
tallwyn_wait_serving() {
    local port _
    for _ in $(seq 200); do
        port=$(sed -n 's|.*serving http://[^/]*:\([0-9]*\)/.*|\1|p' "$1")
        [ -n "$port" ] && { echo "$port"; return 0; }
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}
