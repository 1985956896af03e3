#!/usr/bin/env bash
# check_package.sh BUILD_DIR: makes the Debian package of the build in BUILD_DIR (which
# must include the window) and checks it: lintian finds no error, it holds both
# programs, the unit and both manual pages, and man renders both pages without a
# warning. Prints the package's path last.
set -euo pipefail
build=$1
arch=$(dpkg --print-architecture)
rm -f "$build"/tallwyn_*_"$arch".deb
cmake --build "$build" --target package >"$build/package.log" 2>&1 ||
    { tail -n 30 "$build/package.log" >&2; exit 1; }
debs=("$build"/tallwyn_*_"$arch".deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "no package made in $build" >&2; exit 1; }

if ! report=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1); then
    echo "$report" >&2
    echo "lintian reports errors in $deb" >&2
    exit 1
fi
grep -v 'root privileges' <<<"$report" || true

contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/tallwyn ./usr/bin/tallwynd ./usr/lib/systemd/system/tallwynd.service \
    ./usr/share/man/man8/tallwynd.8.gz ./usr/share/man/man1/tallwyn.1.gz \
    ./usr/share/applications/tallwyn.desktop ./usr/share/doc/tallwyn/README.md \
    ./usr/share/doc/tallwyn/copyright; do
    grep -q " $path\$" <<<"$contents" || { echo "$deb lacks $path" >&2; exit 1; }
done
dpkg-deb --field "$deb" Depends | grep -q libssl3 ||
    { echo "$deb: the dependencies were not worked out from the binaries" >&2; exit 1; }

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for page in man8/tallwynd.8.gz man1/tallwyn.1.gz; do
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$unpacked/usr/share/man/$page" \
        2>"$unpacked/warnings")
    if [ -s "$unpacked/warnings" ] || [ "$(wc -l <<<"$text")" -lt 50 ]; then
        cat "$unpacked/warnings" >&2
        echo "man does not render $page cleanly" >&2
        exit 1
    fi
done
grep -q 'ExecStart=/usr/bin/tallwynd ' "$unpacked/usr/lib/systemd/system/tallwynd.service" ||
    { echo "the unit does not run /usr/bin/tallwynd" >&2; exit 1; }
echo "$deb"
