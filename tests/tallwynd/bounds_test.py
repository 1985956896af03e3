#!/usr/bin/python3
"""No peer can hold tallwynd: slow or silent browsers and mail servers each cost only
their own request, which ends within its bound while a healthy request is served;
and an address that guesses public passwords is shut out."""

import os
import socket
import threading
import time
import unittest

import harness
from harness import FOOTER, HEAD, Server, make_temp_dir, write_settings

TIMEOUT = 0.5  # tallwynd --timeout, in seconds
TRICKLE = 0.2  # seconds between the bytes of a trickling peer


def trickle(conn, data: bytes, stop: threading.Event) -> None:
    """Sends data one byte at a time, over and over, until the peer or the test ends."""
    while not stop.is_set():
        for byte in data:
            if stop.wait(TRICKLE):
                return
            conn.sendall(bytes([byte]))


class FakePop3(threading.Thread):
    """A POP3 server for account taro, serving every connection the way how says:
    healthy (an empty mailbox), trickle (one byte of its greeting every 200 ms, for
    ever), endless (a RETR or TOP answer that never ends) or huge (STAT tells of
    2^31-1 messages, every RETR or TOP is -ERR)."""

    def __init__(self, how: str):
        super().__init__(daemon=True)
        self.how = how
        self.stop = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.start()

    def close(self):
        self.stop.set()
        self.join(harness.WAIT)
        self.sock.close()

    def run(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        with conn:
            conn.settimeout(harness.WAIT)
            try:
                if self.how == "trickle":
                    trickle(conn, b"+OK ready\r\n", self.stop)
                    return
                conn.sendall(b"+OK ready\r\n")
                reader = conn.makefile("rb")
                count = b"2147483647" if self.how == "huge" else b"1" if self.how == "endless" else b"0"
                while not self.stop.is_set():
                    line = reader.readline()
                    if not line or line.startswith(b"QUIT"):
                        conn.sendall(b"+OK bye\r\n")
                        return
                    if line.startswith(b"STAT"):
                        conn.sendall(b"+OK " + count + b" 0\r\n")
                    elif line.startswith((b"RETR", b"TOP")) and self.how == "endless":
                        conn.sendall(b"+OK\r\nSubject: long\r\n\r\n")
                        while not self.stop.is_set():
                            conn.sendall(b"a line of a mail that never ends\r\n" * 2000)
                    elif line.startswith((b"RETR", b"TOP")):
                        conn.sendall(b"-ERR no such message\r\n")
                    else:
                        conn.sendall(b"+OK\r\n")
            except OSError:
                pass


class BoundsTest(unittest.TestCase):
    def setUp(self):
        self.dir = make_temp_dir(self.addCleanup)
        self.file = os.path.join(self.dir, "tallwyn.stp")
        self.healthy = FakePop3("healthy")
        self.addCleanup(self.healthy.close)
        write_settings(self.file, 2, ENABLE="1", WEB_PASS="pw", MAIL_ACCOUNT="taro",
                       MAIL_PASS="secret", MAIL_SERVER=f"127.0.0.1:{self.healthy.port}")

    def hold(self, how: str, server_port: int, stop: threading.Event, ended: dict):
        """One request that a slow peer holds; ended gets the time its answer ended."""
        with socket.create_connection(("127.0.0.1", server_port), timeout=harness.WAIT) as s:
            if how == "silent client":
                pass
            elif how == "trickling client":
                # The request line, then a header line that never ends.
                threading.Thread(target=trickle, daemon=True,
                                 args=(s, b"GET /001pwtoplist HTTP/1.1\r\nX: aaaa", stop)).start()
            else:
                s.sendall(b"GET /001pwtoplist HTTP/1.1\r\n\r\n")
            answer = b""
            try:
                while chunk := s.recv(65536):
                    answer += chunk
            except OSError:
                pass
            ended["at"] = time.monotonic()
            ended["answer"] = answer

    def test_each_slow_peer_ends_within_its_bound_while_others_are_served(self):
        # name, the mail server of setting 1, its bound in time-outs, the page it gets
        cases = [("silent client", "healthy", 1, b""),
                 ("trickling client", "healthy", 1, b""),
                 ("trickling mail server", "trickle", 4, HEAD),
                 # cut off in the message's text, after its row
                 ("endless RETR answer", "endless", 4, b"</A><BR>"),
                 ("2^31-1 messages, each RETR -ERR", "huge", 4, FOOTER)]
        for name, mail, bound, page_end in cases:
            with self.subTest(name):
                pop3 = FakePop3(mail)
                self.addCleanup(pop3.close)
                write_settings(self.file, 1, ENABLE="1", WEB_PASS="pw", MAIL_ACCOUNT="taro",
                               MAIL_PASS="secret", MAIL_SERVER=f"127.0.0.1:{pop3.port}")
                log = os.path.join(self.dir, "log")
                server = Server(self.file, log, extra=["--timeout", str(TIMEOUT)])
                stop = threading.Event()
                ended = {}
                try:
                    started = time.monotonic()
                    holder = threading.Thread(target=self.hold,
                                              args=(name, server.port, stop, ended))
                    holder.start()
                    time.sleep(0.05)
                    healthy = server.page("/002pwtoplist")
                    healthy_end = time.monotonic()
                    holder.join(harness.WAIT)
                finally:
                    stop.set()
                    self.assertEqual(server.stop(), 0)
                    pop3.close()
                self.assertTrue(healthy.endswith(FOOTER), healthy)
                self.assertIn("at", ended, "the slow request did not end")
                self.assertLess(healthy_end, ended["at"], "the healthy request had to wait")
                # Generous: the machine may be busy; unbounded, these run for minutes.
                self.assertLess(ended["at"] - started, bound * TIMEOUT + 2.0)
                self.assertTrue(ended["answer"].endswith(page_end), ended["answer"][-200:])


class ThrottleTest(unittest.TestCase):
    def test_ten_wrong_passwords_shut_that_address_out_but_no_other(self):
        directory = make_temp_dir(self.addCleanup)
        settings = os.path.join(directory, "tallwyn.stp")
        pop3 = FakePop3("healthy")
        self.addCleanup(pop3.close)
        write_settings(settings, 1, ENABLE="1", WEB_PASS="right", MAIL_ACCOUNT="taro",
                       MAIL_PASS="secret", MAIL_SERVER=f"127.0.0.1:{pop3.port}")
        server = Server(settings, os.path.join(directory, "log"))
        try:
            for _ in range(10):
                self.assertEqual(server.get("/001wrongtoplist"), b"")
            for _ in range(2):
                # Closed at once, the request unread: the close may come as a reset.
                try:
                    self.assertEqual(server.get("/001righttoplist"), b"")
                except ConnectionResetError:
                    pass
            # The same request from another loopback address is served.
            with socket.create_connection(("127.0.0.1", server.port), timeout=harness.WAIT,
                                          source_address=("127.0.0.2", 0)) as s:
                s.sendall(b"GET /001righttoplist HTTP/1.1\r\n\r\n")
                answer = b""
                while chunk := s.recv(65536):
                    answer += chunk
            self.assertTrue(answer.endswith(HEAD + "表示対象メールはありません。".encode("cp932")
                                            + FOOTER), answer)
            lines = server.request_lines(12)
        finally:
            self.assertEqual(server.stop(), 0)
        outcomes = [line.split(" outcome=")[1].split(" bytes=")[0] for line in lines]
        self.assertEqual(outcomes, ['refused reason="wrong password"'] * 10 +
                         ["throttled", "ok"], server.log_text())
        self.assertIn("client=127.0.0.2:", lines[-1])


if __name__ == "__main__":
    harness.require_tallwynd()
    unittest.main()
