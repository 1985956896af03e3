#!/usr/bin/env bash
# Times tallwynd's pages against curl reading the same mail straight from the same
# POP3 server, and watches tallwynd's memory.
#
#   bench/pages.sh [--tls] [ROUNDS]      (default 7 rounds; the median is reported)
#
# With --tls, Dovecot serves the mailbox over TLS (pop3s) with a certificate of a
# throwaway CA, which tallwynd (SSL_CERT_FILE) and curl (--cacert) alone trust.
#
# Builds tallwynd (Release) in build/release, starts a throw-away Dovecot on 127.0.0.1
# with a generated mailbox (20 mails of 200 KB, one of 2 MB and one of 20 MB of
# ISO-2022-JP text, 2 MB of UTF-8 text in quoted-printable, 2 MB of UTF-8 text in
# base64, and a 20 MB HTML-only mail), and tallwynd on a free port of 127.0.0.1, then
# measures
#   - the list page with MAIL_LIST_COUNT 20 against curl fetching mails 1 to 20 over
#     one connection;
#   - the single-mail pages of the 2 MB mails (no byte limit) against curl fetching them;
#   - the same for the 20 MB mails, and tallwynd's peak resident memory (VmHWM) before
#     and after them, which must not grow with the mail's size;
#   - on a second Dovecot holding 20 mails with a 5 MB attachment each, the list page
#     against curl fetching the 20 mails whole: time, and the bytes that crossed from
#     the POP3 server, counted on a relay (tools/pop3_relay.py) in front of it. The
#     list reads headers only, so it must read under 1% of what curl reads;
#   - a 20 MB attachment (base64, message 26) downloaded through a second tallwynd with
#     the modern pages against curl fetching its message, and that tallwynd's peak
#     resident memory, which must stay under 16 MB.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. tools/deps.sh
tls=
[ "${1:-}" = --tls ] && { tls=s; shift; }
rounds=${1:-7}
build=$root/build/release

tallwyn_build_tallwynd "$build"
tallwynd=${TALLWYND:-$build/tallwynd/tallwynd}

work=$(mktemp -d /tmp/tallwyn-pages.XXXXXX)
chmod 755 "$work"  # Dovecot's unprivileged processes must reach the mailbox under it
daemon_pid= relay_pid= files_pid=
cleanup() {
    [ -n "$daemon_pid" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
    [ -n "$files_pid" ] && kill "$files_pid" 2>/dev/null && wait "$files_pid" 2>/dev/null
    [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
    /usr/bin/python3 tools/pop3_fixture.py stop "$work/pop3" >/dev/null 2>&1 || true
    /usr/bin/python3 tools/pop3_fixture.py stop "$work/pop3-photos" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# The mailbox: messages 1-20 of 200 KB, 21 of 2 MB, 22 of 20 MB, 23 of 2 MB in
# quoted-printable, 24 of 2 MB in base64, 25 of 20 MB of HTML; and a second Dovecot
# with 20 mails that each carry a 5 MB photo. With TLS, each Dovecot also listens on a
# second port with a server certificate for 127.0.0.1.
addresses=$(/usr/bin/python3 - "$work" "$tls" <<'PY'
import os, sys, base64, quopri
sys.path.insert(0, "tools")
import pop3_fixture, test_pki

def jis_lines(size, seed):
    # Lines as Japanese mail carries them: kana and kanji in ISO-2022-JP between ASCII.
    out, n = [], 0
    line_no = seed
    while n < size:
        pairs = bytes(0x24 + (line_no * 7 + k) % 0x20 if k % 2 == 0 else 0x21 + (line_no * 13 + k) % 0x5E
                      for k in range(2 * 24))
        line = b"\x1b$B" + pairs + b"\x1b(B line %d of the text\n" % line_no
        out.append(line)
        n += len(line)
        line_no += 1
    return b"".join(out)

def message(number, size):
    subject = base64.b64encode(b"\x1b$B%c%c$N%c%c\x1b(B" % (0x30 + number % 40, 0x21 + number, 0x25, 0x2d)).decode()
    head = ("From: sender@example.jp\nTo: alice@example.jp\n"
            "Date: Wed, 1 May 2024 08:00:00 +0000\n"
            f"Subject: =?ISO-2022-JP?B?{subject}?=\nMIME-Version: 1.0\n"
            "Content-Type: text/plain; charset=ISO-2022-JP\n"
            "Content-Transfer-Encoding: 7bit\n\n").encode()
    return head + jis_lines(size - len(head), number)

# 5 MB of photo, base64 in lines of 76 as mail programs attach it.
photo = base64.encodebytes(bytes((i * 7 + i // 256) % 256 for i in range(5 * 1024 * 1024)))

def with_photo(number):
    head = message(number, 0).split(b"MIME-Version")[0]
    return head + (b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n"
                   b"--b\nContent-Type: text/plain; charset=ISO-2022-JP\n\nThe photo.\n"
                   b"--b\nContent-Type: image/jpeg; name=\"photo.jpg\"\n"
                   b"Content-Transfer-Encoding: base64\n"
                   b"Content-Disposition: attachment; filename=\"photo.jpg\"\n\n"
                   + photo + b"--b--\n")

def utf8_lines(size, seed):
    # Japanese text as UTF-8 mailers write it, with some ASCII between.
    out, n, line_no = [], 0, seed
    while n < size:
        kana = "".join(chr(0x3041 + (line_no * 7 + k) % 0x53) for k in range(20))
        line = f"{kana}、漢字と English words, line {line_no} of the text。\n".encode()
        out.append(line)
        n += len(line)
        line_no += 1
    return b"".join(out)

def encoded(number, content_type, encoding, body):
    head = ("From: sender@example.jp\nTo: alice@example.jp\n"
            "Date: Wed, 1 May 2024 08:00:00 +0000\n"
            f"Subject: {encoding} mail {number}\nMIME-Version: 1.0\n"
            f"Content-Type: {content_type}; charset=UTF-8\n"
            f"Content-Transfer-Encoding: {encoding}\n\n").encode()
    return head + body

def html_lines(size, seed):
    out, n, line_no = [b"<html><head><style>p { margin: 0 }</style></head><body>\n"], 0, seed
    while n < size:
        line = (b'<p class="t">' + utf8_lines(1, line_no).rstrip() +
                b' <a href="https://example.jp/%d">link</a></p>\n' % line_no)
        out.append(line)
        n += len(line)
        line_no += 1
    return b"".join(out) + b"</body></html>\n"

samples = [message(i, 200 * 1024) for i in range(1, 21)]
samples += [message(21, 2 * 1024 * 1024), message(22, 20 * 1024 * 1024)]
# quopri and base64 wrap as mailers do (76 columns); the mails are about 2 MB as sent.
def with_file(number, size):
    # A 20 MB archive as a mail program attaches it: base64 in lines of 76.
    data = bytes((i * 31 + i // 4096) % 251 for i in range(size))
    head = message(number, 0).split(b"MIME-Version")[0]
    return head + (b"MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"f\"\n\n"
                   b"--f\nContent-Type: text/plain\n\nThe file.\n"
                   b"--f\nContent-Type: application/zip\nContent-Transfer-Encoding: base64\n"
                   b"Content-Disposition: attachment; filename=\"archive.zip\"\n\n"
                   + base64.encodebytes(data) + b"--f--\n")

samples += [encoded(23, "text/plain", "quoted-printable",
                    quopri.encodestring(utf8_lines(2 * 1024 * 1024 * 10 // 24, 23))),
            encoded(24, "text/plain", "base64",
                    base64.encodebytes(utf8_lines(3 * 1024 * 1024 // 2, 24))),
            encoded(25, "text/html", "8bit", html_lines(20 * 1024 * 1024, 25)),
            with_file(26, 20 * 1024 * 1024)]
work, tls = sys.argv[1:3]
certificate = test_pki.make(os.path.join(work, "pki")).server() if tls else None
for name, mails in (("pop3", samples), ("pop3-photos", [with_photo(i) for i in range(1, 21)])):
    fixture = pop3_fixture.Pop3Fixture(os.path.join(work, name), samples=mails, tls=certificate)
    fixture.start()
    print(fixture.tls_address() if tls else fixture.address)
PY
)
{ read -r pop3; read -r pop3_photos; } <<<"$addresses"
echo "Dovecot on $pop3; mailbox of 20 x 200 KB, 2 MB and 20 MB of JIS, 2 MB QP, 2 MB base64, 20 MB HTML"
echo "Dovecot on $pop3_photos; mailbox of 20 mails with a 5 MB photo each"

# The relay in front of the photo mailbox: one line per connection, server bytes first.
counts=$work/relay.counts
: >"$counts"
/usr/bin/python3 tools/pop3_relay.py "${pop3_photos##*/}" "$counts" >"$work/relay.out" &
relay_pid=$!
for _ in $(seq 100); do [ -s "$work/relay.out" ] && break; sleep 0.1; done
relay_port=$(cat "$work/relay.out")
[ -n "$relay_port" ] || { echo "the counting relay did not start"; exit 1; }
relayed=${pop3_photos%:*}:$relay_port

# Over TLS, tallwynd and curl trust the throwaway CA and nothing else.
tls_env=() cacert=()
if [ -n "$tls" ]; then
    mkdir "$work/no-more-cas"
    tls_env=(SSL_CERT_FILE="$work/pki/ca.pem" SSL_CERT_DIR="$work/no-more-cas")
    cacert=(--cacert "$work/pki/ca.pem")
fi

settings=$work/tallwyn.stp
printf 'secret\nbench\n' | "$tallwynd" set --settings "$settings" 1 ENABLE=1 \
    MAIL_SERVER="$pop3" MAIL_ACCOUNT=alice MAIL_PASS=- WEB_PASS=- FILTER_TYPE=0 \
    MAIL_LIMIT_ENABLE=0 MAIL_LIMIT_ENABLE2=0 MAIL_LIST_COUNT=20 >/dev/null
# Setting 2: the photo mailbox through the relay.
printf 'secret\nbench\n' | "$tallwynd" set --settings "$settings" 2 ENABLE=1 \
    MAIL_SERVER="$relayed" MAIL_ACCOUNT=alice MAIL_PASS=- WEB_PASS=- MAIL_LIST_COUNT=20 >/dev/null
env "${tls_env[@]}" "$tallwynd" --settings "$settings" --bind 127.0.0.1 --port 0 \
    >"$work/tallwynd.out" 2>"$work/tallwynd.log" &
daemon_pid=$!
port=$(tallwyn_wait_serving "$work/tallwynd.out" "$daemon_pid") ||
    { echo "tallwynd did not start:"; cat "$work/tallwynd.log"; exit 1; }
# A second tallwynd serves the mailbox with the modern pages, for the attachment alone:
# its peak memory is the download's.
files_settings=$work/files.stp
printf 'secret\nbench\n' | "$tallwynd" set --settings "$files_settings" 1 ENABLE=1 \
    MAIL_SERVER="$pop3" MAIL_ACCOUNT=alice MAIL_PASS=- WEB_PASS=- MAIL_PAGE_STYLE=1 >/dev/null
env "${tls_env[@]}" "$tallwynd" --settings "$files_settings" --bind 127.0.0.1 --port 0 \
    >"$work/files.out" 2>"$work/files.log" &
files_pid=$!
files_port=$(tallwyn_wait_serving "$work/files.out" "$files_pid") ||
    { echo "the second tallwynd did not start:"; cat "$work/files.log"; exit 1; }
web=http://127.0.0.1:$port/001bench
web_photos=http://127.0.0.1:$port/002bench
mail=pop3$tls://127.0.0.1:${pop3##*:}
mail_photos=pop3$tls://127.0.0.1:${pop3_photos##*:}
mail_relayed=pop3$tls://127.0.0.1:$relay_port

# Microseconds one command takes, its output thrown away.
elapsed() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }
hwm() { awk '/^VmHWM/ {print $2}' "/proc/$daemon_pid/status"; }

page() { curl -s --max-time 120 "$web$1"; }
page_photos() { curl -s --max-time 120 "${web_photos}toplist"; }
pop_curl() { curl -s "${cacert[@]}" -u alice:secret "$@"; }
pop() { pop_curl --max-time 120 "$mail/$1"; }
pop_photos() { pop_curl --max-time 300 "$mail_photos/[1-20]"; }

# The bytes the POP3 server sent over the next connection through the relay, which
# logs it once both ends have closed.
relayed_bytes() {
    local before
    before=$(wc -l <"$counts")
    "$@" >/dev/null
    for _ in $(seq 100); do [ "$(wc -l <"$counts")" -gt "$before" ] && break; sleep 0.05; done
    sed -n "$((before + 1))p" "$counts" | awk '{print $1}'
}

# Check once that the pages are whole and that curl used one connection for 20 mails.
footer='<B>By Orrinwick</B></BODY></HTML>'
list=$(page toplist | tr -d '\0')
rows=$(grep -o "<A HREF=" <<<"$list" | wc -l)
[ "$rows" -eq 20 ] && [[ $list == *"$footer" ]] || { echo "list page incomplete ($rows rows)"; exit 1; }
connects=$(pop_curl -w '%{num_connects}\n' -o /dev/null "$mail/[1-20]" | awk '{s += $1} END {print s}')
[ "$connects" -eq 1 ] || { echo "curl made $connects connections for 20 mails"; exit 1; }
bytes_list=$(page toplist | wc -c); bytes_list_pop=$(pop "[1-20]" | wc -c)
bytes_2m=$(page mail021 | wc -c); bytes_2m_pop=$(pop 21 | wc -c)
bytes_qp=$(page mail023 | wc -c); bytes_qp_pop=$(pop 23 | wc -c)
bytes_b64=$(page mail024 | wc -c); bytes_b64_pop=$(pop 24 | wc -c)
for n in 021 023 024; do
    [[ $(page mail$n | tail -c ${#footer}) == "$footer" ]] || { echo "page mail$n incomplete"; exit 1; }
done
list=$(page_photos | tr -d '\0')
rows=$(grep -o "<A HREF=" <<<"$list" | wc -l)
[ "$rows" -eq 20 ] && [[ $list == *"$footer" ]] ||
    { echo "photo list page incomplete ($rows rows)"; exit 1; }
read_list_photos=$(relayed_bytes page_photos)
read_pop_photos=$(relayed_bytes pop_curl --max-time 300 "$mail_relayed/[1-20]")
[ -n "$read_list_photos" ] && [ -n "$read_pop_photos" ] ||
    { echo "the relay counted nothing"; exit 1; }

declare -A t
for _ in $(seq "$rounds"); do
    t[list]+="$(elapsed page toplist) "
    t[list_pop]+="$(elapsed pop "[1-20]") "
    t[mail2]+="$(elapsed page mail021) "
    t[mail2_pop]+="$(elapsed pop 21) "
    t[qp]+="$(elapsed page mail023) "
    t[qp_pop]+="$(elapsed pop 23) "
    t[b64]+="$(elapsed page mail024) "
    t[b64_pop]+="$(elapsed pop 24) "
done
peak_small=$(hwm)
big_rounds=$(((rounds + 1) / 2))
for _ in $(seq "$big_rounds"); do
    t[mail20]+="$(elapsed page mail022) "
    t[mail20_pop]+="$(elapsed pop 22) "
done
peak_big=$(hwm)
for _ in $(seq "$big_rounds"); do
    t[photos]+="$(elapsed page_photos) "
    t[photos_pop]+="$(elapsed pop_photos) "
done
bytes_20m=$(page mail022 | wc -c); bytes_20m_pop=$(pop 22 | wc -c)
for _ in $(seq "$big_rounds"); do
    t[html20]+="$(elapsed page mail025) "
    t[html20_pop]+="$(elapsed pop 25) "
done
peak_html=$(hwm)
bytes_html=$(page mail025 | wc -c); bytes_html_pop=$(pop 25 | wc -c)

# The attachment: its bytes checked once against Python's decoding of the message.
attachment() { curl -s --max-time 120 "http://127.0.0.1:$files_port/001benchmail026-2"; }
want_sum=$(pop 26 | /usr/bin/python3 -c '
import email, hashlib, sys
m = email.message_from_bytes(sys.stdin.buffer.read())
print(hashlib.sha256(m.get_payload()[1].get_payload(decode=True)).hexdigest())')
got_sum=$(attachment | sha256sum | cut -d" " -f1)
[ "$got_sum" = "$want_sum" ] || { echo "the attachment's bytes differ from Python's"; exit 1; }
bytes_file=$(attachment | wc -c); bytes_file_pop=$(pop 26 | wc -c)
for _ in $(seq "$big_rounds"); do
    t[file20]+="$(elapsed attachment) "
    t[file20_pop]+="$(elapsed pop 26) "
done
peak_file=$(awk '/^VmHWM/ {print $2}' "/proc/$files_pid/status")
[[ $(page mail025 | tail -c ${#footer}) == "$footer" ]] || { echo "HTML page incomplete"; exit 1; }

m() { tr ' ' '\n' <<<"${t[$1]}" | grep . | median; }
ms() { awk -v us="$1" 'BEGIN {printf "%.1f", us / 1000}'; }
echo
[ -n "$tls" ] && echo "over TLS: tallwynd and curl read $mail, certificate of a throwaway CA"
printf '%-44s %10s %12s\n' "measure (median of $rounds; 20 MB: $big_rounds)" "ms" "bytes"
printf '%-44s %10s %12s\n' "list page, 20 mails of 200 KB (tallwynd)" "$(ms "$(m list)")" "$bytes_list"
printf '%-44s %10s %12s\n' "curl RETR 1..20, one connection" "$(ms "$(m list_pop)")" "$bytes_list_pop"
printf '%-44s %10s %12s\n' "single-mail page, 2 MB (tallwynd)" "$(ms "$(m mail2)")" "$bytes_2m"
printf '%-44s %10s %12s\n' "curl RETR 21 (2 MB)" "$(ms "$(m mail2_pop)")" "$bytes_2m_pop"
printf '%-44s %10s %12s\n' "single-mail page, 20 MB (tallwynd)" "$(ms "$(m mail20)")" "$bytes_20m"
printf '%-44s %10s %12s\n' "curl RETR 22 (20 MB)" "$(ms "$(m mail20_pop)")" "$bytes_20m_pop"
printf '%-44s %10s %12s\n' "single-mail page, 2 MB QP UTF-8 (tallwynd)" "$(ms "$(m qp)")" "$bytes_qp"
printf '%-44s %10s %12s\n' "curl RETR 23 (2 MB QP)" "$(ms "$(m qp_pop)")" "$bytes_qp_pop"
printf '%-44s %10s %12s\n' "single-mail page, 2 MB base64 (tallwynd)" "$(ms "$(m b64)")" "$bytes_b64"
printf '%-44s %10s %12s\n' "curl RETR 24 (2 MB base64)" "$(ms "$(m b64_pop)")" "$bytes_b64_pop"
printf '%-44s %10s %12s\n' "single-mail page, 20 MB HTML (tallwynd)" "$(ms "$(m html20)")" "$bytes_html"
printf '%-44s %10s %12s\n' "curl RETR 25 (20 MB HTML)" "$(ms "$(m html20_pop)")" "$bytes_html_pop"
printf '%-44s %10s %12s\n' "attachment, 20 MB base64 (tallwynd)" "$(ms "$(m file20)")" "$bytes_file"
printf '%-44s %10s %12s\n' "curl RETR 26 (its message)" "$(ms "$(m file20_pop)")" "$bytes_file_pop"
printf '%-44s %10s %12s\n' "list page, 20 mails with 5 MB photos (*)" "$(ms "$(m photos)")" "$read_list_photos"
printf '%-44s %10s %12s\n' "curl RETR 1..20 of them" "$(ms "$(m photos_pop)")" "$read_pop_photos"
printf '%-44s %10s\n' "tallwynd VmHWM after list and 2 MB pages" "${peak_small} kB"
printf '%-44s %10s\n' "tallwynd VmHWM after 20 MB pages" "${peak_big} kB"
printf '%-44s %10s\n' "tallwynd VmHWM after 20 MB HTML pages" "${peak_html} kB"
printf '%-44s %10s\n' "second tallwynd VmHWM after the attachment" "${peak_file} kB"
echo "(*) time through the counting relay; bytes: what the POP3 server sent, counted on the relay"
echo
awk -v a="$(m list)" -v b="$(m list_pop)" 'BEGIN {printf "list page / curl:        %.2f  (target <= 1.30)\n", a / b}'
awk -v a="$(m mail2)" -v b="$(m mail2_pop)" 'BEGIN {printf "single-mail page / curl: %.2f  (target <= 1.50)\n", a / b}'
awk -v a="$(m qp)" -v b="$(m qp_pop)" 'BEGIN {printf "QP page / curl:          %.2f  (target <= 1.50)\n", a / b}'
awk -v a="$(m b64)" -v b="$(m b64_pop)" 'BEGIN {printf "base64 page / curl:      %.2f  (target <= 1.50)\n", a / b}'
awk -v p="$peak_big" -v s="$peak_small" \
    'BEGIN {printf "peak memory:             %.1f MB (target < 16), %+d kB from 2 MB to 20 MB\n", p / 1024, p - s}'
awk -v p="$peak_html" 'BEGIN {printf "peak memory after HTML:  %.1f MB (target < 16)\n", p / 1024}'
awk -v a="$(m file20)" -v b="$(m file20_pop)" 'BEGIN {printf "attachment / curl:       %.2f  (target <= 1.50)\n", a / b}'
awk -v p="$peak_file" 'BEGIN {printf "peak memory, attachment: %.1f MB (target < 16)\n", p / 1024}'
awk -v a="$read_list_photos" -v b="$read_pop_photos" \
    'BEGIN {printf "photo list reads / curl:  %.3f%% (target < 1%%)\n", 100 * a / b}'
