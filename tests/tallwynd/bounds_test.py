#!/usr/bin/python3
"""No peer can hold tallwynd: a slow or silent browser or mail server costs only its
own request, which ends within its bound while a healthy one is served; and an
address that guesses public passwords is shut out."""

import os
import socket
import ssl
import threading
import time
import unittest

import harness
import test_pki
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


def tls_handshake(s, https: bool):
    """Tries a TLS handshake on s: offering TLS 1.0 alone on the HTTPS port, an
    ordinary one on the plain port. Returns what it failed with, None if it did not."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if https:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = context.maximum_version = ssl.TLSVersion.TLSv1
    try:
        context.wrap_socket(s).close()
        return None
    except (ssl.SSLError, OSError) as e:
        return e


class BoundsTest(unittest.TestCase):
    def test_each_slow_peer_ends_within_its_bound_while_others_are_served(self):
        directory = make_temp_dir(self.addCleanup)
        settings = os.path.join(directory, "tallwyn.stp")
        healthy = FakePop3("healthy", self)
        write_settings(settings, 2, ENABLE="1", WEB_PASS="pw",
                       MAIL_SERVER=f"127.0.0.1:{healthy.port}")
        request = b"GET /001pwtoplist HTTP/1.1\r\n"
        pki = test_pki.make(os.path.join(directory, "pki"))
        tls = (*pki.server(), pki.ca)
        # The held request, setting 1's mail server, its bound in time-outs (0: it is
        # refused at once), its page's end; the port it goes to and the healthy one's (both HTTPS, or both plain);
        # what the held one's log line says.
        cases = [("silent client", b"", "healthy", 1, b"", False, None),
                 ("trickling client", request + b"X: aaaa", "healthy", 1, b"", False, None),
                 ("trickling mail server", request + b"\r\n", "trickle", 4, HEAD, False, None),
                 # cut off in the message's text, after its row
                 ("endless RETR answer", request + b"\r\n", "endless", 4, b"</A><BR>", False,
                  None),
                 ("2^31-1 messages, each -ERR", request + b"\r\n", "huge", 4, FOOTER, False,
                  None),
                 # the first bytes of a client hello, then nothing
                 ("stalled TLS handshake", b"\x16\x03\x01\x02\x00\x01", "healthy", 1, b"", True,
                  "TLS handshake timed out"),
                 ("garbage on the HTTPS port", b"\x00\xff" * 300 + b"\r\n\r\n", "healthy", 0,
                  b"", True, "TLS handshake failed"),
                 ("plain HTTP on the HTTPS port", request + b"\r\n", "healthy", 0, b"", True,
                  "plain HTTP on the HTTPS port"),
                 ("client offering only TLS 1.0", None, "healthy", 0, b"", True,
                  "unsupported protocol"),
                 ("TLS on the plain port", None, "healthy", 1, b"", False, "nothing received")]
        for name, sent, mail, bound, page_end, https, logged in cases:
            with self.subTest(name):
                pop3 = FakePop3(mail, self)
                write_settings(settings, 1, ENABLE="1", WEB_PASS="pw",
                               MAIL_SERVER=f"127.0.0.1:{pop3.port}")
                server = Server(settings, os.path.join(directory, "log"),
                                extra=["--timeout", str(TIMEOUT)], tls=tls)
                stop, held = threading.Event(), {}

                def hold():
                    port = server.https_port if https else server.port
                    with socket.create_connection(("127.0.0.1", port)) as s:
                        if sent is None:
                            held["tls error"] = tls_handshake(s, https)
                        elif name == "trickling client":
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
                    healthy_page = server.page("/002pwtoplist", https=https)
                    healthy_end = time.monotonic()
                    holder.join(harness.WAIT)
                    lines = server.request_lines(2)
                finally:
                    stop.set()
                    self.assertEqual(server.stop(), 0)
                    pop3.close()
                self.assertTrue(healthy_page.endswith(FOOTER), healthy_page)
                self.assertIn("ended", held, "the held request did not end")
                if bound > 0:
                    self.assertLess(healthy_end, held["ended"], "the healthy request had to wait")
                # Generous, for a busy machine: unbounded, these would go on for minutes.
                self.assertLess(held["ended"] - started, bound * TIMEOUT + 2.0)
                self.assertTrue(held["answer"].endswith(page_end), held["answer"][-200:])
                if logged:
                    # One line for the held connection, saying why it ended.
                    held_lines = [line for line in lines if " setting=2 " not in line]
                    self.assertEqual(len(lines), 2, lines)
                    self.assertEqual(len(held_lines), 1, lines)
                    self.assertIn(logged, held_lines[0])
                    self.assertIsInstance(held.get("tls error", OSError()), OSError)


class ThrottleTest(unittest.TestCase):
    def test_ten_wrong_passwords_shut_that_client_out_but_no_other(self):
        directory = make_temp_dir(self.addCleanup)
        settings = os.path.join(directory, "tallwyn.stp")
        pop3 = FakePop3("healthy", self)
        write_settings(settings, 1, ENABLE="1", WEB_PASS="right",
                       MAIL_SERVER=f"127.0.0.1:{pop3.port}")
        xff = "X-Forwarded-For: {}\r\n"
        # --trusted-proxy; the guesser's peer address and fields (i: its request's
        # number); another client's; what the log calls the guesser and the other.
        rows = [("direct", [], "127.0.0.1", lambda i: "", "127.0.0.2", "",
                 "client=127.0.0.1:", "client=127.0.0.2:"),
                # What the guesser writes itself, left of the proxy's entry, changes nothing.
                ("through a trusted proxy", ["--trusted-proxy", "::1", "--trusted-proxy", "127.0.0.0/8"],
                 "127.0.0.1",
                 lambda i: xff.format(f"10.9.9.{i}, 203.0.113.5"), "127.0.0.1",
                 xff.format("203.0.113.6"), "client=203.0.113.5 via=127.0.0.1:",
                 "client=203.0.113.6 via=127.0.0.1:"),
                ("Forwarded through a trusted proxy", ["--trusted-proxy", "127.0.0.1"],
                 "127.0.0.1", lambda i: "Forwarded: for=\"[2001:db8::5]:1\"\r\n", "127.0.0.1",
                 "Forwarded: for=2001:db8::6\r\n", "client=2001:db8::5 via=", "client=2001:db8::6 "),
                # Fields from a peer that is not trusted are not read.
                ("field from an untrusted peer", ["--trusted-proxy", "127.0.0.2"], "127.0.0.1",
                 lambda i: xff.format(f"203.0.113.{i}"), "127.0.0.3", xff.format("203.0.113.5"),
                 "client=127.0.0.1:", "client=127.0.0.3:")]
        for name, extra, guesser, fields, other, other_fields, guesser_log, other_log in rows:
            with self.subTest(name):
                server = Server(settings, os.path.join(directory, "log"), extra=extra)
                try:
                    # A favicon tells a guesser nothing: it does not count.
                    paths = ["/favicon.ico"] + ["/001wrongtoplist"] * 10
                    for i, path in enumerate(paths):
                        self.assertEqual(server.get(path, fields=fields(i), source=(guesser, 0)),
                                         b"")
                    for i in range(2):
                        # Closed at once, or unanswered after its head: the close may come
                        # as a reset.
                        try:
                            self.assertEqual(server.get("/001righttoplist", fields=fields(20 + i),
                                                        source=(guesser, 0)), b"")
                        except ConnectionResetError:
                            pass
                    answer = server.get("/001righttoplist", fields=other_fields,
                                        source=(other, 0))
                    self.assertTrue(answer.endswith(FOOTER), answer)
                    lines = server.request_lines(13)
                finally:
                    self.assertEqual(server.stop(), 0)
                outcomes = [line.split(" outcome=")[1].split(" bytes=")[0] for line in lines]
                self.assertEqual(outcomes, ['refused reason="no such page"'] +
                                 ['refused reason="wrong password"'] * 10 + ["throttled", "ok"],
                                 server.log_text())
                for line in lines[:-1]:
                    self.assertIn(guesser_log, line)
                self.assertIn(other_log, lines[-1])


if __name__ == "__main__":
    harness.require_tallwynd()
    unittest.main()
