#!/usr/bin/python3
"""A counting TCP relay on 127.0.0.1, for the benchmarks: put between a client
(tallwynd, curl) and a POP3 server, it tells how many bytes crossed each way.

    pop3_relay.py HOST:PORT COUNT_FILE
        Listens on a free port of 127.0.0.1 and prints it, then relays every connection
        to HOST:PORT until SIGTERM or SIGINT. When a connection ends it appends a line
        "SERVER_BYTES CLIENT_BYTES" to COUNT_FILE: what the server sent, what the client
        sent. The bytes are relayed as they come, so TLS passes through unread.
"""

import signal
import socket
import sys
import threading

CHUNK = 65536


def relay(client: socket.socket, target, count_file: str, lock: threading.Lock) -> None:
    counts = {"server": 0, "client": 0}
    try:
        server = socket.create_connection(target)
    except OSError:
        client.close()
        return

    def pump(source, sink, key):
        try:
            while True:
                data = source.recv(CHUNK)
                if not data:
                    break
                sink.sendall(data)
                counts[key] += len(data)
        except OSError:
            pass
        # Whichever side ends first ends the other: a POP3 session is over then.
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    upstream = threading.Thread(target=pump, args=(client, server, "client"), daemon=True)
    upstream.start()
    pump(server, client, "server")
    upstream.join()
    client.close()
    server.close()
    with lock, open(count_file, "a") as f:
        f.write(f"{counts['server']} {counts['client']}\n")


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    host, _, port = sys.argv[1].rpartition(":")
    target = (host, int(port))
    count_file = sys.argv[2]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    lock = threading.Lock()
    try:
        while True:
            client, _ = listener.accept()
            threading.Thread(target=relay, args=(client, target, count_file, lock),
                             daemon=True).start()
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
