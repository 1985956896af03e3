#!/usr/bin/python3
"""tallwynd reading a mailbox over TLS: one throwaway Dovecot serves the same mailbox
over plain POP3 and over TLS (pop3s), with certificates made by the test. tallwynd
trusts only the test's CA (SSL_CERT_FILE), as a user trusts a private CA."""

import os
import re
import shutil
import signal
import ssl
import subprocess
import unittest

import harness
import test_pki
from harness import CONNECT_FAILED, FOOTER, HEAD, Server, make_temp_dir, run, write_settings
from pop3_fixture import DOVECOT, HOST, Pop3Fixture


def open_descriptors(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


class TlsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = make_temp_dir(cls.addClassCleanup)
        cls.pki = test_pki.make(os.path.join(cls.dir, "pki"))
        # Without SNI (an address) Dovecot shows the certificate for localhost and
        # 127.0.0.1; to a client that asks for localhost by name it shows one for
        # another name, so the name a client sends decides, and a wrong one shows.
        cls.pop3 = Pop3Fixture(os.path.join(cls.dir, "pop3"), samples="test",
                               tls=cls.pki.server("server"),
                               tls_by_name={"localhost": cls.pki.server("other-name-server")})
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)

        cls.plain_file = os.path.join(cls.dir, "plain.stp")
        cls.tls_file = os.path.join(cls.dir, "tls.stp")
        common = dict(ENABLE="1", WEB_PASS="pw", MAIL_ACCOUNT=cls.pop3.user,
                      MAIL_PASS=cls.pop3.password, MAIL_LIST_COUNT="20")
        write_settings(cls.plain_file, 1, MAIL_SERVER=cls.pop3.address, **common)
        write_settings(cls.tls_file, 1, MAIL_SERVER=cls.pop3.tls_address(HOST), **common)
        write_settings(cls.tls_file, 2, MAIL_SERVER=cls.pop3.tls_address("localhost"), **common)

        cls.plain = cls.server(cls.plain_file, "plain.log", cls.pki.ca)
        cls.tls = cls.server(cls.tls_file, "tls.log", cls.pki.ca)

    @classmethod
    def server(cls, settings_file: str, log: str, ca_file: str) -> Server:
        """tallwynd trusting nothing but ca_file."""
        empty = os.path.join(cls.dir, "no-more-cas")
        os.makedirs(empty, exist_ok=True)
        env = dict(os.environ, SSL_CERT_FILE=ca_file, SSL_CERT_DIR=empty)
        server = Server(settings_file, os.path.join(cls.dir, log), env=env)
        cls.addClassCleanup(server.stop)
        return server

    def assertSameAnswer(self, path: str):
        over_plain = self.plain.get(path)
        over_tls = self.tls.get(path)
        self.assertTrue(over_tls.endswith(FOOTER), over_tls[-300:])
        self.assertEqual(over_tls, over_plain)

    def test_list_page_over_tls_is_byte_for_byte_the_plain_one(self):
        self.assertSameAnswer("/001pwtoplist")

    def test_every_mail_page_over_tls_is_byte_for_byte_the_plain_one(self):
        for number in range(1, len(self.pop3.samples) + 1):
            with self.subTest(number=number):
                self.assertSameAnswer(f"/001pwmail{number:03d}")

    def test_wrong_host_name_gives_the_head_only_and_the_log_says_why(self):
        page, line = self.tls.page_and_log_line("/002pwtoplist")
        self.assertEqual(page, HEAD)
        self.assertIn(f"outcome={CONNECT_FAILED}", line)
        self.assertIn('detail="host name mismatch: the certificate is not for localhost"', line)

    def test_unknown_ca_gives_the_head_only_and_the_log_says_why(self):
        stranger = self.pki.path("stranger-ca.pem")
        server = self.server(self.tls_file, "stranger.log", stranger)
        page, line = server.page_and_log_line("/001pwtoplist")
        self.assertEqual(page, HEAD)
        self.assertIn(f"outcome={CONNECT_FAILED}", line)
        self.assertIn('detail="certificate verify failed: unable to get local issuer '
                      'certificate"', line)

    def test_stls_on_the_plain_port_serves_the_same_pages(self):
        stls_file = os.path.join(self.dir, "stls.stp")
        write_settings(stls_file, 1, ENABLE="1", WEB_PASS="pw", MAIL_ACCOUNT=self.pop3.user,
                       MAIL_PASS=self.pop3.password, MAIL_LIST_COUNT="20",
                       MAIL_SERVER=f"pop3+stls://{self.pop3.address}")
        server = self.server(stls_file, "stls.log", self.pki.ca)
        for path in ("/001pwtoplist", "/001pwmail004"):
            with self.subTest(path):
                over_stls = server.get(path)
                self.assertTrue(over_stls.endswith(FOOTER), over_stls[-300:])
                self.assertEqual(over_stls, self.plain.get(path))
        shown = run(["show", "--settings", stls_file, "1"])
        self.assertIn(f"  connects            STARTTLS to {HOST} port {self.pop3.port}\n",
                      shown.stdout)

    def test_stls_with_an_unknown_ca_is_refused_before_the_login(self):
        stls_file = os.path.join(self.dir, "stls-stranger.stp")
        write_settings(stls_file, 1, ENABLE="1", WEB_PASS="pw", MAIL_ACCOUNT=self.pop3.user,
                       MAIL_PASS=self.pop3.password, MAIL_SERVER=f"pop3+stls://{self.pop3.address}")
        server = self.server(stls_file, "stls-stranger.log", self.pki.path("stranger-ca.pem"))
        logins_before = self.dovecot_logins()
        page, line = server.page_and_log_line("/001pwtoplist")
        self.assertEqual(page, HEAD)
        self.assertIn(f"outcome={CONNECT_FAILED}", line)
        self.assertIn('detail="certificate verify failed: unable to get local issuer '
                      'certificate"', line)
        # Dovecot saw no login: the password never left tallwynd.
        self.assertEqual(self.dovecot_logins(), logins_before)

    def dovecot_logins(self) -> int:
        with open(self.pop3.log_path, errors="replace") as f:
            return sum(1 for l in f if " Login: " in l or "auth failed" in l)

    def test_tls_port_spoken_to_in_plain_text_is_told_apart(self):
        plain_to_tls = os.path.join(self.dir, "mixed.stp")
        write_settings(plain_to_tls, 1, ENABLE="1", WEB_PASS="pw",
                       MAIL_SERVER=f"pop3s://{self.pop3.address}")
        server = self.server(plain_to_tls, "mixed.log", self.pki.ca)
        page, line = server.page_and_log_line("/001pwtoplist")
        self.assertEqual(page, HEAD)
        self.assertIn("does not speak TLS on this port", line)

    def test_show_prints_how_each_setting_reaches_its_server(self):
        shown = run(["show", "--settings", self.tls_file])
        self.assertEqual(shown.returncode, 0, shown.stderr)
        connects = re.findall(r"\n  connects +(.*)\n", shown.stdout)
        self.assertEqual(connects, [f"TLS to {HOST} port {self.pop3.tls_port}",
                                    f"TLS to localhost port {self.pop3.tls_port}"])
        shown = run(["show", "--settings", self.plain_file, "1"])
        self.assertIn(f"  connects            plain to {HOST} port {self.pop3.port}\n",
                      shown.stdout)

    def test_many_tls_requests_leave_no_descriptor_behind_and_exit_cleanly(self):
        server = self.server(self.tls_file, "many.log", self.pki.ca)
        try:
            server.page("/001pwmail004")  # whatever is made once is made now
            # Each count waits for the log line of the last request: the line is
            # written after the connection closes and may briefly open a file.
            server.request_lines(1)
            before = open_descriptors(server.proc.pid)
            for _ in range(30):
                self.assertTrue(server.page("/001pwmail004").endswith(FOOTER))
                self.assertEqual(server.page("/002pwmail004"), HEAD)
            self.assertEqual(len(server.request_lines(61)), 61, server.log_text()[-2000:])
            self.assertEqual(open_descriptors(server.proc.pid), before)
        finally:
            # Built with sanitizers, a leak would show in the exit status here (the
            # class cleanup's second stop() then only reads the status again).
            self.assertEqual(server.stop(), 0, server.log_text()[-2000:])


HSTS = b"Strict-Transport-Security: max-age=31536000\r\n"


def served_certificate(server: Server) -> bytes:
    """The certificate a new HTTPS connection is shown, in DER."""
    with server.connect(https=True) as s:
        return s.getpeercert(binary_form=True)


def der_of(pem_file: str) -> bytes:
    with open(pem_file) as f:
        return ssl.PEM_cert_to_DER_cert(f.read())


class HttpsTest(unittest.TestCase):
    """tallwynd serving the same mailbox over HTTP and HTTPS at once."""

    @classmethod
    def setUpClass(cls):
        cls.dir = make_temp_dir(cls.addClassCleanup)
        cls.pki = test_pki.make(os.path.join(cls.dir, "pki"))
        cls.pop3 = Pop3Fixture(os.path.join(cls.dir, "pop3"), samples="test")
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)
        cls.settings = os.path.join(cls.dir, "tallwyn.stp")
        write_settings(cls.settings, 1, ENABLE="1", WEB_PASS="pw", MAIL_ACCOUNT=cls.pop3.user,
                       MAIL_PASS=cls.pop3.password, MAIL_LIST_COUNT="20",
                       MAIL_SERVER=cls.pop3.address)
        cls.both = cls.start("both.log", *cls.pki.server())

    @classmethod
    def start(cls, log: str, cert: str, key: str, extra=()) -> Server:
        server = Server(cls.settings, os.path.join(cls.dir, log), extra=extra,
                        tls=(cert, key, cls.pki.ca))
        cls.addClassCleanup(server.stop)
        return server

    def test_pages_over_https_are_the_http_ones_after_a_head_with_hsts(self):
        paths = ["/001pwtoplist"] + [f"/001pwmail{n:03d}" for n in
                                     range(1, len(self.pop3.samples) + 1)]
        for path in paths:
            with self.subTest(path):
                plain_head, _, plain = self.both.get(path).partition(b"\r\n\r\n")
                tls_head, _, over_tls = self.both.get(path, https=True).partition(b"\r\n\r\n")
                self.assertTrue(over_tls.endswith(FOOTER), over_tls[-300:])
                self.assertEqual(over_tls, plain)
                self.assertNotIn(b"Strict-Transport", plain_head)
                self.assertEqual(tls_head + b"\r\n", plain_head + b"\r\n" + HSTS)

    def test_curl_verifies_with_the_test_ca_in_either_version(self):
        expected = self.both.page("/001pwtoplist", https=True)
        url = f"https://localhost:{self.both.https_port}/001pwtoplist"
        for name, options, version in [("TLS 1.2", ["--tlsv1.2", "--tls-max", "1.2"], "TLSv1.2"),
                                       ("TLS 1.3", ["--tlsv1.3"], "TLSv1.3")]:
            with self.subTest(name):
                done = subprocess.run(["curl", "-sS", "-v", "--cacert", self.pki.ca, *options,
                                       url], capture_output=True, timeout=harness.WAIT)
                self.assertEqual(done.returncode, 0, done.stderr[-1000:])
                self.assertEqual(done.stdout, expected)
                self.assertIn(f"SSL connection using {version}".encode(), done.stderr)

    def test_https_alone_with_no_http(self):
        server = self.start("alone.log", *self.pki.server(), extra=["--no-http"])
        self.assertIsNone(server.port)
        self.assertTrue(server.page("/001pwtoplist", https=True).endswith(FOOTER))

    def test_sighup_serves_a_renewed_pair_and_keeps_it_when_the_next_is_broken(self):
        cert, key = os.path.join(self.dir, "live.pem"), os.path.join(self.dir, "live.key")
        shutil.copy(self.pki.path("server.pem"), cert)
        shutil.copy(self.pki.path("server.key"), key)
        server = self.start("renew.log", cert, key)
        renewed = self.pki.issue("renewed-server")
        with server.connect(https=True) as slow:
            # Begun before the renewal, finished after it.
            slow.sendall(b"GET /001pwtoplist HTTP/1.1\r\n")
            shutil.copy(renewed[0], cert)
            shutil.copy(renewed[1], key)
            server.proc.send_signal(signal.SIGHUP)
            self.assertTrue(harness.wait_for(lambda: "SIGHUP: read" in server.log_text()))
            self.assertEqual(served_certificate(server), der_of(renewed[0]))
            slow.sendall(b"\r\n")
            answer = b""
            while chunk := slow.recv(65536):
                answer += chunk
        self.assertTrue(answer.endswith(FOOTER), answer[-200:])
        # A key that is not the certificate's: one line, and the renewed pair stays.
        shutil.copy(self.pki.path("stranger-server.key"), key)
        server.proc.send_signal(signal.SIGHUP)
        self.assertTrue(harness.wait_for(lambda: "kept" in server.log_text()))
        lines = [l for l in server.log_text().splitlines() if "SIGHUP" in l]
        self.assertEqual(lines[1], f"tallwynd: SIGHUP: the key in {key} does not belong to the "
                                   f"certificate in {cert}; the certificate in use is kept")
        self.assertEqual(served_certificate(server), der_of(renewed[0]))
        self.assertEqual(server.stop(), 0)

    def test_start_is_refused_naming_the_file(self):
        not_pem = os.path.join(self.dir, "not.pem")
        with open(not_pem, "w") as f:
            f.write("not a certificate\n")
        cert, key = self.pki.server()
        missing = os.path.join(self.dir, "missing.pem")
        rows = [("missing certificate", [missing, key], 1,
                 f"cannot read the certificate file {missing}: No such file or directory"),
                ("not PEM", [not_pem, key], 1, f"{not_pem} holds no PEM certificate"),
                ("key of another certificate", [cert, self.pki.path("stranger-server.key")], 1,
                 "does not belong to the certificate in " + cert),
                ("no key", [cert, ""], 2, "--https-port needs --tls-cert FILE and --tls-key FILE")]
        for name, (row_cert, row_key), status, message in rows:
            with self.subTest(name):
                args = ["--settings", self.settings, "--bind", "127.0.0.1", "--https-port", "0",
                        "--tls-cert", row_cert]
                args += ["--tls-key", row_key] if row_key else []
                done = run(args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual(done.stdout, "")


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program(DOVECOT, "dovecot-pop3d")
    harness.require_program(test_pki.OPENSSL, "openssl")
    harness.require_program("curl", "curl")
    unittest.main()
