#!/usr/bin/python3
"""A small POP3 server on 127.0.0.1 for the benchmarks, standing in for servers that
behave unlike Dovecot: it serves COUNT generated messages to any login and answers
CAPA as told.

    pop3_peer.py COUNT --pipelining after-login|never
        Listens on a free port of 127.0.0.1 and prints it, then serves connections
        until SIGTERM or SIGINT. "after-login": CAPA lists PIPELINING only once logged
        in, as some large providers do; "never": CAPA lists TOP, UIDL and USER only.
        Commands are read as they come, so a client that pipelines is answered in turn.
"""

import signal
import socket
import sys
import threading


def message(number: int) -> bytes:
    body = b"".join(b"Line %d of message %d, as plain as text gets.\r\n" % (i, number)
                    for i in range(40))
    return (b"Date: Mon, 1 Jan 2024 09:00:00 +0900\r\nFrom: a@example.jp\r\n"
            b"Subject: message %d\r\n\r\n" % number) + body


def serve(conn: socket.socket, messages: list, pipelining: str) -> None:
    stream = conn.makefile("rb")
    out = []  # the answer to the command at hand
    logged_in = False

    def say(data: bytes) -> None:
        out.append(data)

    def capabilities() -> None:
        say(b"+OK\r\nTOP\r\nUIDL\r\nUSER\r\n")
        if pipelining == "after-login" and logged_in:
            say(b"PIPELINING\r\n")
        say(b".\r\n")

    def numbered(args: list):
        try:
            n = int(args[0])
        except (IndexError, ValueError):
            return None
        return n if 1 <= n <= len(messages) else None

    conn.sendall(b"+OK ready\r\n")
    try:
        for raw in stream:
            words = raw.decode("ascii", "replace").split()
            command, args = (words[0].upper(), words[1:]) if words else ("", [])
            if command == "CAPA":
                capabilities()
            elif command == "USER":
                say(b"+OK\r\n")
            elif command == "PASS":
                logged_in = True
                say(b"+OK logged in\r\n")
            elif command == "STAT":
                say(b"+OK %d %d\r\n" % (len(messages), sum(map(len, messages))))
            elif command == "LIST" and numbered(args):
                n = numbered(args)
                say(b"+OK %d %d\r\n" % (n, len(messages[n - 1])))
            elif command in ("TOP", "RETR") and numbered(args):
                text = messages[numbered(args) - 1]
                if command == "TOP":
                    head, _, body = text.partition(b"\r\n\r\n")
                    lines = int(args[1]) if len(args) > 1 and args[1].isdigit() else 0
                    text = head + b"\r\n\r\n" + b"".join(body.splitlines(True)[:lines])
                stuffed = b"".join(b"." + l if l.startswith(b".") else l
                                   for l in text.splitlines(True))
                say(b"+OK\r\n" + stuffed + b".\r\n")
            elif command == "QUIT":
                say(b"+OK bye\r\n")
                conn.sendall(b"".join(out))
                return
            else:
                say(b"-ERR not here\r\n")
            conn.sendall(b"".join(out))
            out.clear()
    except OSError:
        pass
    finally:
        conn.close()


def main() -> int:
    if len(sys.argv) != 4 or sys.argv[2] != "--pipelining" or \
            sys.argv[3] not in ("after-login", "never"):
        print(__doc__, file=sys.stderr)
        return 2
    messages = [message(n) for n in range(1, int(sys.argv[1]) + 1)]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    try:
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn, messages, sys.argv[3]),
                             daemon=True).start()
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
