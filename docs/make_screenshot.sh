#!/usr/bin/env bash
# Makes docs/window.png: the real window under Xvfb, framed by openbox, showing a
# sample setting. Needs xvfb, openbox, x11-utils and imagemagick (Debian), and a
# kernel that lets unshare(1) make a mount namespace (root, or user namespaces).
# Usage: docs/make_screenshot.sh [build dir]   (default build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
. tools/deps.sh
tallwyn_install_deps docs
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# The window runs as installed under /usr/local, so that its link label shows the
# README where an installed copy finds it rather than a path of this machine: the
# install goes to $work/usr, which a private mount namespace puts over /usr/local for
# the window alone. The settings file lives beside the executable.
cmake --install "$build" --prefix "$work/usr" >/dev/null
/usr/bin/python3 - "$work/usr/bin/tallwyn.stp" <<'PY'
import sys
lines = ["[SETTING001]", "NAME=社内メール", "ENABLE=1", "FILTER_TYPE=1",
         "FILTER1=緊急,至急", "FILTER2=", "MAIL_SERVER=localhost", "MAIL_ACCOUNT=taro",
         "MAIL_LIMIT_ENABLE=1", "MAIL_LIMIT_BYTE=2000", "MAIL_LIMIT_ENABLE2=0",
         "MAIL_LIMIT_BYTE2=80", "MAIL_LIST_COUNT=20", "MAIL_LIST_ORDER=1", "MAIL_PAGE_STYLE=1",
         "[SETTING002]", "NAME=お知らせ", "ENABLE=0"]
open(sys.argv[1], "wb").write(("\r\n".join(lines) + "\r\n").encode("cp932"))
PY

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 900x820x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xwininfo -root >/dev/null 2>&1 && break; sleep 0.1; done
# The window asks for a close box only (no minimize or maximize box). Openbox
# draws its buttons whatever a window asks, by design; show what window managers
# that honour the request (GNOME's, KDE's) draw.
cat > "$work/rc.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <theme><titleLayout>NLC</titleLayout></theme>
</openbox_config>
XML
openbox --config-file "$work/rc.xml" >/dev/null 2>&1 & pids+=($!)
sleep 1
namespace=(--mount)
[ "$(id -u)" -eq 0 ] || namespace+=(--map-root-user)
unshare "${namespace[@]}" sh -c 'mount --bind "$1" /usr/local && exec /usr/local/bin/tallwyn' \
    sh "$work/usr" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do xwininfo -name Ravenquill >/dev/null 2>&1 && break; sleep 0.1; done
sleep 1
import -window Ravenquill -frame docs/window.png
echo "wrote docs/window.png"
