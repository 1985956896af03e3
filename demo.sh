#!/usr/bin/env bash
# Tallwyn demo: installs what is missing (Debian 12), builds tallwynd, starts a
# throwaway POP3 mailbox (Dovecot on 127.0.0.1) holding a few sample mails, and
# serves it on http://127.0.0.1:8080 (or the next free port). Ctrl-C stops both and
# removes everything the demo made.
set -euo pipefail
cd "$(dirname "$0")"

. tools/deps.sh
tallwyn_install_deps demo

python=/usr/bin/python3
export PYTHONDONTWRITEBYTECODE=1
build=build/release
first_port=8080
last_port=8099
web_pass=demo

echo "==> building tallwynd (Release, in $build)"
tallwyn_build_tallwynd "$build"
tallwynd=$build/tallwynd/tallwynd

work=$(mktemp -d "${TMPDIR:-/tmp}/tallwyn-demo.XXXXXX")
# Run as root, Dovecot's unprivileged processes must reach the mailbox.
chmod 755 "$work"
server_pid=

cleanup() {
    set +e
    trap - INT TERM EXIT
    # Output piped into a program that Ctrl-C has ended must not stop the cleaning up.
    trap '' PIPE
    echo
    echo "==> stopping"
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -TERM "$server_pid"
        wait "$server_pid" 2>/dev/null
    fi
    [ -d "$work/pop3" ] && "$python" tools/pop3_fixture.py stop "$work/pop3"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "==> starting the demo mailbox (Dovecot POP3 with sample mails)"
pop3_pass=demo-pop3
pop3=$("$python" tools/pop3_fixture.py start "$work/pop3" --samples demo --user demo \
    --password "$pop3_pass")
echo "    POP3 server $pop3, account demo"

settings=$work/tallwyn.stp
# MAIL_PASS=- reads the password from standard input, out of the process list.
"$tallwynd" set --settings "$settings" 1 NAME="Demo mailbox" ENABLE=1 WEB_PASS="$web_pass" \
    MAIL_SERVER="$pop3" MAIL_ACCOUNT=demo MAIL_PASS=- MAIL_LIST_COUNT=10 MAIL_PAGE_STYLE=1 \
    <<<"$pop3_pass" >/dev/null

# Start tallwynd on the first free port; it prints one line when it listens.
port=$first_port
while :; do
    : >"$work/tallwynd.out"
    "$tallwynd" --settings "$settings" --bind 127.0.0.1 --port "$port" >"$work/tallwynd.out" &
    server_pid=$!
    tallwyn_wait_serving "$work/tallwynd.out" "$server_pid" >/dev/null && break
    wait "$server_pid" || true
    server_pid=
    if [ "$port" -ge "$last_port" ]; then
        echo "demo.sh: no free port from $first_port to $last_port on 127.0.0.1" >&2
        exit 1
    fi
    port=$((port + 1))
    echo "    trying port $port"
done

cat <<EOF

==> Tallwyn is serving the demo mailbox. Open in a browser:

        http://127.0.0.1:$port/001${web_pass}toplist

    (001 is the setting, "$web_pass" its public password.) Each request is logged
    below. Press Ctrl-C to stop; the mailbox and settings are then removed.

EOF
wait "$server_pid"
