#!/usr/bin/python3
"""A counting TCP relay on 127.0.0.1, for the benchmarks: put between a client
(tallwynd, curl) and a POP3 server, it tells how many bytes crossed each way.

    pop3_relay.py HOST:PORT COUNT_FILE [--delay MS]
        Listens on a free port of 127.0.0.1 and prints it, then relays every connection
        to HOST:PORT until SIGTERM or SIGINT. When a connection ends it appends a line
        "SERVER_BYTES CLIENT_BYTES" to COUNT_FILE: what the server sent, what the client
        sent. The bytes are relayed as they come, so TLS passes through unread.
        With --delay, every byte crosses MS milliseconds after it arrived, each way,
        as over a network with a round trip of twice MS; the connection to HOST:PORT
        is delayed likewise.
"""

import collections
import signal
import socket
import sys
import threading
import time

CHUNK = 65536


class DelayedSink:
    """Sends what it is given delay seconds later, in order, on a thread of its own."""

    def __init__(self, sink: socket.socket, delay: float):
        self.sink = sink
        self.delay = delay
        self.queue = collections.deque()
        self.ready = threading.Condition()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def put(self, data: bytes) -> None:  # b"" ends the stream
        with self.ready:
            self.queue.append((time.monotonic() + self.delay, data))
            self.ready.notify()

    def _run(self) -> None:
        while True:
            with self.ready:
                while not self.queue:
                    self.ready.wait()
                due, data = self.queue.popleft()
            time.sleep(max(0.0, due - time.monotonic()))
            if not data:
                return
            try:
                self.sink.sendall(data)
            except OSError:
                return


def relay(client: socket.socket, target, count_file: str, lock: threading.Lock,
          delay: float) -> None:
    counts = {"server": 0, "client": 0}
    # The connection's own round trip: the SYN there and the SYN-ACK back.
    time.sleep(2 * delay)
    try:
        server = socket.create_connection(target)
    except OSError:
        client.close()
        return
    # Each piece goes on when it is due, not when the last one was acknowledged:
    # Nagle's wait for a delayed acknowledgement would add to the fixed delay.
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def pump(source, sink, key):
        delayed = DelayedSink(sink, delay) if delay else None
        try:
            while True:
                data = source.recv(CHUNK)
                if not data:
                    break
                if delayed:
                    delayed.put(data)
                else:
                    sink.sendall(data)
                counts[key] += len(data)
        except OSError:
            pass
        if delayed:
            delayed.put(b"")
            delayed.thread.join()
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
    delay = 0.0
    if len(sys.argv) == 5 and sys.argv[3] == "--delay":
        delay = float(sys.argv[4]) / 1000
        del sys.argv[3:]
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
            threading.Thread(target=relay, args=(client, target, count_file, lock, delay),
                             daemon=True).start()
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
