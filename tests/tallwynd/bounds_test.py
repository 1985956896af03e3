#!/usr/bin/python3
"""No peer can hold tallwynd: a slow or silent browser or mail server costs only its
own request, which ends within its bound while a healthy one is served; and an
address that guesses public passwords is shut out."""

import os
import socket
import threading
import time
import unittest

import harness
from harness import FOOTER, HEAD, Server, make_temp_dir, write_settings

# tallwynd --timeout, in seconds: long enough that the healthy page beats it on a busy machine.
TIMEOUT = 1.0


def trickle(conn, data: bytes, stop: threading.Event) -> None:
    """Sends data one byte every 200 ms, over and over, until stop or the peer ends."""
    while True:
        for byte in data:
            if stop.wait(0.2):
                return
            conn.sendall(bytes([byte]))


def read_all(conn) -> bytes:
    answer = b""
    try:
        while chunk := conn.recv(65536):
            answer += chunk
    except OSError:
        pass
    return answer


class FakePop3(threading.Thread):
    """POP3 for any account, each connection served the way how says: healthy (no
    mail), trickle (its greeting a byte at a time, for ever), endless (a RETR or TOP
    answer without end) or huge (2^31-1 messages, each RETR or TOP -ERR)."""

    def __init__(self, how: str, test: unittest.TestCase):
        super().__init__(daemon=True)
        self.how, self.stop = how, threading.Event()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.start()
        test.addCleanup(self.close)

    def close(self):
        self.stop.set()
        self.join(harness.WAIT)
        self.sock.close()

    def run(self):
        while not self.stop.is_set():
            try:
                threading.Thread(target=self.serve, args=(self.sock.accept()[0],),
                                 daemon=True).start()
            except OSError:
                pass

    def serve(self, conn):
        count = {"huge": b"2147483647", "endless": b"1"}.get(self.how, b"0")
        with conn, conn.makefile("rb") as reader:
            try:
                if self.how == "trickle":
                    return trickle(conn, b"+OK ready\r\n", self.stop)
                conn.sendall(b"+OK ready\r\n")
                while (line := reader.readline()) and not line.startswith(b"QUIT"):
                    if line.startswith(b"CAPA"):
                        conn.sendall(b"-ERR unknown command\r\n")
                    elif line.startswith(b"STAT"):
                        conn.sendall(b"+OK " + count + b" 0\r\n")
                    elif not line.startswith((b"RETR", b"TOP")):
                        conn.sendall(b"+OK\r\n")
                    elif self.how == "endless":
                        conn.sendall(b"+OK\r\nSubject: long\r\n\r\n")
                        while not self.stop.is_set():
                            conn.sendall(b"a line of a mail that never ends\r\n" * 2000)
                    else:
                        conn.sendall(b"-ERR no such message\r\n")
                conn.sendall(b"+OK bye\r\n")
            except OSError:
                pass


class BoundsTest(unittest.TestCase):
    def test_each_slow_peer_ends_within_its_bound_while_others_are_served(self):
        directory = make_temp_dir(self.addCleanup)
        settings = os.path.join(directory, "tallwyn.stp")
        healthy = FakePop3("healthy", self)
        write_settings(settings, 2, ENABLE="1", WEB_PASS="pw",
                       MAIL_SERVER=f"127.0.0.1:{healthy.port}")
        request = b"GET /001pwtoplist HTTP/1.1\r\n"
        # the held request, setting 1's mail server, its bound in time-outs, its page's end
        cases = [("silent client", b"", "healthy", 1, b""),
                 ("trickling client", request + b"X: aaaa", "healthy", 1, b""),
                 ("trickling mail server", request + b"\r\n", "trickle", 4, HEAD),
                 # cut off in the message's text, after its row
                 ("endless RETR answer", request + b"\r\n", "endless", 4, b"</A><BR>"),
                 ("2^31-1 messages, each -ERR", request + b"\r\n", "huge", 4, FOOTER)]
        for name, sent, mail, bound, page_end in cases:
            with self.subTest(name):
                pop3 = FakePop3(mail, self)
                write_settings(settings, 1, ENABLE="1", WEB_PASS="pw",
                               MAIL_SERVER=f"127.0.0.1:{pop3.port}")
                server = Server(settings, os.path.join(directory, "log"),
                                extra=["--timeout", str(TIMEOUT)])
                stop, held = threading.Event(), {}

                def hold():
                    with socket.create_connection(("127.0.0.1", server.port)) as s:
                        if name == "trickling client":
                            threading.Thread(target=trickle, args=(s, sent, stop),
                                             daemon=True).start()
                        else:
                            s.sendall(sent)
                        held["answer"] = read_all(s)
                        held["ended"] = time.monotonic()

                try:
                    started = time.monotonic()
                    holder = threading.Thread(target=hold)
                    holder.start()
                    time.sleep(0.05)
                    healthy_page = server.page("/002pwtoplist")
                    healthy_end = time.monotonic()
                    holder.join(harness.WAIT)
                finally:
                    stop.set()
                    self.assertEqual(server.stop(), 0)
                    pop3.close()
                self.assertTrue(healthy_page.endswith(FOOTER), healthy_page)
                self.assertIn("ended", held, "the held request did not end")
                self.assertLess(healthy_end, held["ended"], "the healthy request had to wait")
                # Generous, for a busy machine: unbounded, these would go on for minutes.
                self.assertLess(held["ended"] - started, bound * TIMEOUT + 2.0)
                self.assertTrue(held["answer"].endswith(page_end), held["answer"][-200:])


class ThrottleTest(unittest.TestCase):
    def test_ten_wrong_passwords_shut_that_address_out_but_no_other(self):
        directory = make_temp_dir(self.addCleanup)
        settings = os.path.join(directory, "tallwyn.stp")
        pop3 = FakePop3("healthy", self)
        write_settings(settings, 1, ENABLE="1", WEB_PASS="right",
                       MAIL_SERVER=f"127.0.0.1:{pop3.port}")
        server = Server(settings, os.path.join(directory, "log"))
        try:
            # A favicon tells a guesser nothing: it does not count.
            for path in ["/favicon.ico"] + ["/001wrongtoplist"] * 10:
                self.assertEqual(server.get(path), b"")
            for _ in range(2):
                # Closed at once, the request unread: the close may come as a reset.
                try:
                    self.assertEqual(server.get("/001righttoplist"), b"")
                except ConnectionResetError:
                    pass
            with socket.create_connection(("127.0.0.1", server.port),
                                          source_address=("127.0.0.2", 0)) as s:
                s.sendall(b"GET /001righttoplist HTTP/1.1\r\n\r\n")
                answer = read_all(s)
            self.assertTrue(answer.endswith(FOOTER), answer)
            lines = server.request_lines(13)
        finally:
            self.assertEqual(server.stop(), 0)
        outcomes = [line.split(" outcome=")[1].split(" bytes=")[0] for line in lines]
        self.assertEqual(outcomes, ['refused reason="no such page"'] +
                         ['refused reason="wrong password"'] * 10 + ["throttled", "ok"],
                         server.log_text())
        self.assertIn("client=127.0.0.2:", lines[-1])


if __name__ == "__main__":
    harness.require_tallwynd()
    unittest.main()
