#!/usr/bin/env bash
# Makes docs/phone-list.png and docs/phone-mail.png: the list page and one message
# page of the demo mailbox with MAIL_PAGE_STYLE=1, as headless Chromium shows them on
# a current phone (390 CSS px wide, mobile viewport rules, 2 device pixels a CSS px).
# Needs chromium, dovecot-pop3d, fonts-ipafont-gothic and fonts-noto-color-emoji (Debian).
# Usage: docs/make_phone_screenshots.sh [build dir]   (default build/release; tallwynd
# is built there when it is missing)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
. tools/deps.sh
tallwyn_install_deps docs
export PYTHONDONTWRITEBYTECODE=1
[ -x "$build/tallwynd/tallwynd" ] || tallwyn_build_tallwynd "$build"
tallwynd=$build/tallwynd/tallwynd

work=$(mktemp -d)
chmod 755 "$work"  # a Dovecot run as root reaches its mailbox as other users
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -d "$work/pop3" ] && /usr/bin/python3 tools/pop3_fixture.py stop "$work/pop3"
    rm -rf "$work"
}
trap cleanup EXIT

pop3=$(/usr/bin/python3 tools/pop3_fixture.py start "$work/pop3" --samples demo --user demo \
    --password demo-pop3)
"$tallwynd" set --settings "$work/tallwyn.stp" 1 NAME="受信箱" ENABLE=1 WEB_PASS=demo \
    MAIL_SERVER="$pop3" MAIL_ACCOUNT=demo MAIL_PASS=demo-pop3 MAIL_LIST_COUNT=5 \
    MAIL_LIST_ORDER=1 MAIL_PAGE_STYLE=1 >/dev/null
# The dates show as a gateway in Japan shows them.
TZ=JST-9 "$tallwynd" --settings "$work/tallwyn.stp" --bind 127.0.0.1 --port 0 \
    >"$work/tallwynd.out" 2>/dev/null &
server_pid=$!
port=$(tallwyn_wait_serving "$work/tallwynd.out" "$server_pid")

/usr/bin/python3 - "$port" "$work" <<'PY'
import base64, os, sys, time
sys.path.insert(0, "tests/tallwynd")
from browser_test import PHONE_HEIGHT, PHONE_WIDTH, Chromium

SHOWN_HEIGHT = 560
port, work = sys.argv[1], sys.argv[2]
profile = os.path.join(work, "chromium")
os.mkdir(profile)
browser = Chromium(profile, time.monotonic() + 60)
try:
    for path, picture in (("/001demotoplist", "docs/phone-list.png"),
                          ("/001demomail002", "docs/phone-mail.png")):
        browser.open_tab()
        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": PHONE_WIDTH, "height": PHONE_HEIGHT, "deviceScaleFactor": 2,
                      "mobile": True})
        browser.call("Page.navigate", {"url": f"http://127.0.0.1:{port}{path}"})
        browser.wait_loaded(path)
        # The top of the phone's screen: both pages end well above its foot.
        shot = browser.call("Page.captureScreenshot",
                            {"format": "png", "clip": {"x": 0, "y": 0, "width": PHONE_WIDTH,
                                                       "height": SHOWN_HEIGHT, "scale": 1}})
        with open(picture, "wb") as f:
            f.write(base64.b64decode(shot["data"]))
        print(picture)
finally:
    browser.close()
PY
