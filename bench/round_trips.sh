#!/usr/bin/env bash
# Counts the round trips tallwynd's pages cost over a network: a relay
# (tools/pop3_relay.py --delay) holds every byte 25 ms each way (a round trip of
# 50 ms) in front of each POP3 server, and a page's time is given in round trips:
# its time through that relay less its time through a relay without delay (what the
# servers, curl and tallwynd themselves take), divided by 50 ms.
#
#   bench/round_trips.sh [ROUNDS]      (default 3 rounds; the median is reported)
#
# Servers: a throwaway Dovecot (PIPELINING before login), and tools/pop3_peer.py
# advertising PIPELINING only after login, or never. Each holds 100 messages; the list
# page is timed with MAIL_LIST_COUNT 1, 20 and 100, the single-mail page on message 2.
# TALLWYND_BEFORE=PATH times another tallwynd build beside this one, for comparison.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. tools/deps.sh
rounds=${1:-3}
delay_ms=25
rtt_ms=$((2 * delay_ms))
build=$root/build/release

tallwyn_build_tallwynd "$build"
tallwynd=${TALLWYND:-$build/tallwynd/tallwynd}
builds=("$tallwynd")
[ -n "${TALLWYND_BEFORE:-}" ] && builds+=("$TALLWYND_BEFORE")

work=$(mktemp -d /tmp/tallwyn-rtt.XXXXXX)
chmod 755 "$work"  # Dovecot's unprivileged processes must reach the mailbox under it
cleanup() {
    # The helpers, started in command substitutions, left their ids in a file.
    for pid in $(cat "$work/pids" 2>/dev/null); do kill "$pid" 2>/dev/null; done
    /usr/bin/python3 tools/pop3_fixture.py stop "$work/pop3" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

dovecot=$(/usr/bin/python3 - "$work" <<'PY'
import os, sys
sys.path.insert(0, "tools")
import pop3_fixture, pop3_peer
mails = [pop3_peer.message(n).replace(b"\r\n", b"\n") for n in range(1, 101)]
fixture = pop3_fixture.Pop3Fixture(os.path.join(sys.argv[1], "pop3"), samples=mails)
fixture.start()
print(fixture.address)
PY
)

# Starts a helper that prints its port first; echoes the port.
start_helper() {
    local out=$work/helper.$RANDOM
    "$@" >"$out" &
    echo $! >>"$work/pids"
    for _ in $(seq 100); do [ -s "$out" ] && break; sleep 0.05; done
    [ -s "$out" ] || { echo "$* did not start" >&2; exit 1; }
    head -n 1 "$out"
}
relayed() {
    echo "127.0.0.1:$(start_helper /usr/bin/python3 tools/pop3_relay.py "$1" /dev/null \
        --delay "$2")"
}
declare -A server
server[dovecot]=$dovecot
for mode in after-login never; do
    server[$mode]=127.0.0.1:$(start_helper /usr/bin/python3 tools/pop3_peer.py 100 \
        --pipelining "$mode")
done
declare -A far near
for kind in dovecot after-login never; do
    far[$kind]=$(relayed "${server[$kind]}" "$delay_ms")
    near[$kind]=$(relayed "${server[$kind]}" 0)
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
footer='<B>By Orrinwick</B></BODY></HTML>'

# The median time of a page over the rounds, in seconds.
page_time() {
    local url=$1 times=() page t
    page=$(curl -s --max-time 60 "$url")
    [[ $page == *"$footer" ]] || { echo "incomplete page at $url" >&2; exit 1; }
    for _ in $(seq "$rounds"); do
        # A page ends before its session has read QUIT's answer, and the next session
        # of the setting waits for that: each page is timed as a reader's first one.
        sleep 0.2
        t=$(curl -s -o /dev/null --max-time 60 -w '%{time_total}' "$url")
        times+=("$t")
    done
    printf '%s\n' "${times[@]}" | median
}
# Round trips of the page at path: setting 1 goes through the delaying relay,
# setting 2 straight through the other.
round_trips() {
    local far_s near_s
    far_s=$(page_time "http://127.0.0.1:$port/001bench$1")
    near_s=$(page_time "http://127.0.0.1:$port/002bench$1")
    awk -v f="$far_s" -v n="$near_s" -v rtt="$rtt_ms" 'BEGIN {printf "%.1f", (f - n) * 1000 / rtt}'
}

# One tallwynd per build, list length and server.
declare -A result
for b in "${!builds[@]}"; do
    for count in 1 20 100; do
        for kind in dovecot after-login never; do
            settings=$work/tallwyn-$b-$count-$kind.stp
            for setting in 1 2; do
                relay=${far[$kind]}
                [ "$setting" = 2 ] && relay=${near[$kind]}
                printf 'secret\nbench\n' | "$tallwynd" set --settings "$settings" "$setting" \
                    ENABLE=1 MAIL_SERVER="$relay" MAIL_ACCOUNT=alice MAIL_PASS=- WEB_PASS=- \
                    FILTER_TYPE=0 MAIL_LIST_COUNT=$count >/dev/null
            done
            "${builds[$b]}" --settings "$settings" --bind 127.0.0.1 --port 0 \
                >"$work/tallwynd.out" 2>"$work/tallwynd.log" &
            daemon=$!
            port=$(tallwyn_wait_serving "$work/tallwynd.out" "$daemon") ||
                { echo "tallwynd did not start:"; cat "$work/tallwynd.log"; exit 1; }
            result[$b,$kind,list$count]=$(round_trips toplist)
            [ "$count" = 1 ] && result[$b,$kind,mail]=$(round_trips mail002)
            kill "$daemon"
            wait "$daemon" 2>/dev/null || true
        done
    done
done

echo "round trips of $rtt_ms ms per page (median of $rounds), 100 messages on each server"
for b in "${!builds[@]}"; do
    echo
    echo "${builds[$b]}"
    printf '%-28s %8s %8s %9s %13s\n' server "list 1" "list 20" "list 100" "message page"
    for kind in dovecot after-login never; do
        printf '%-28s %8s %8s %9s %13s\n' "$kind" "${result[$b,$kind,list1]}" \
            "${result[$b,$kind,list20]}" "${result[$b,$kind,list100]}" "${result[$b,$kind,mail]}"
    done
done
echo
echo "targets: Dovecot list 100 <= 6, message page <= 5; after-login <= 9;"
echo "         never: at most one round trip over the build before pipelining"
