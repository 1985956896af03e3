# Sourced by test.sh and demo.sh: installs the Debian 12 packages that are missing.

tallwyn_packages_build=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev
    libbenchmark-dev libcli11-dev libssl-dev qt6-base-dev libgl-dev)
tallwyn_packages_run=(dovecot-pop3d python3 curl fonts-ipafont-gothic)
tallwyn_packages_test=(chromium clang libclang-rt-14-dev xvfb xauth openssl)
# Only for docs/make_screenshot.sh.
tallwyn_packages_docs=(xvfb xauth openbox x11-utils imagemagick)

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
