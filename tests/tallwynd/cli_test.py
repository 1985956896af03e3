#!/usr/bin/python3
"""tallwynd's command line: show and set, its refusals, reading passwords from
standard input, the server's start, log and stop. No mail server needed beyond a
few lines of fake POP3."""

import os
import re
import signal
import socket
import threading
import unittest

import harness
from harness import CONNECT_FAILED, HEAD, Server, make_temp_dir, run, write_settings
from pop3_fixture import unused_port


class FakePop3(threading.Thread):
    """Accepts one connection, greets, refuses CAPA, accepts USER, records the PASS
    line and refuses it."""

    def __init__(self):
        super().__init__(daemon=True)
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(harness.WAIT)
        self.port = self.sock.getsockname()[1]
        self.lines = []

    def run(self):
        try:
            conn, _ = self.sock.accept()
            with conn, conn.makefile("rwb") as f:
                conn.settimeout(harness.WAIT)
                f.write(b"+OK ready\r\n")
                f.flush()
                for reply in (b"-ERR unknown command\r\n", b"+OK\r\n", b"-ERR no\r\n"):
                    line = f.readline()
                    if not line.startswith(b"CAPA"):
                        self.lines.append(line)
                    f.write(reply)
                    f.flush()
        except OSError:
            pass
        finally:
            self.sock.close()


class SetAndShowTest(unittest.TestCase):
    def setUp(self):
        self.dir = make_temp_dir(self.addCleanup)
        self.file = os.path.join(self.dir, "tallwyn.stp")

    def file_bytes(self) -> bytes:
        with open(self.file, "rb") as f:
            return f.read()

    def test_set_then_show_gives_back_every_value_with_passwords_masked(self):
        values = {"NAME": "会議室の受信箱", "ENABLE": "1", "FILTER_TYPE": "1",
                  "FILTER1": "緊急,重要", "FILTER2": "広告", "WEB_PASS": "webpw-7",
                  "MAIL_SERVER": "pop.example.jp:1100", "MAIL_ACCOUNT": "taro",
                  "MAIL_PASS": "mailpw-9", "MAIL_LIMIT_ENABLE": "1", "MAIL_LIMIT_BYTE": "500",
                  "MAIL_LIMIT_ENABLE2": "1", "MAIL_LIMIT_BYTE2": "-4", "MAIL_LIST_COUNT": "12",
                  "MAIL_LIST_ORDER": "1", "MAIL_PAGE_STYLE": "1"}
        write_settings(self.file, 1, **values)

        shown = run(["show", "--settings", self.file, "1"])
        self.assertEqual(shown.returncode, 0, shown.stderr)
        for key, value in values.items():
            expected = "(set)" if key.endswith("_PASS") else value
            self.assertRegex(shown.stdout, rf"\n  {key} *{re.escape(expected)}\n")
        for secret in ("webpw-7", "mailpw-9"):
            self.assertNotIn(secret, shown.stdout)
            self.assertNotIn(secret.encode(), self.file_bytes())
        self.assertIn("会議室の受信箱".encode("cp932"), self.file_bytes())
        self.assertNotIn("Setting 2", shown.stdout)

        both = run(["show", "--settings", self.file])
        self.assertEqual(both.returncode, 0)
        self.assertIn("Setting 1 [SETTING001]", both.stdout)
        self.assertRegex(both.stdout, r"Setting 2 \[SETTING002\]\n  NAME +新しい設定002\n")
        self.assertRegex(both.stdout, r"\n  WEB_PASS +\(empty\)\n")

    def test_refusals_exit_2_and_leave_the_file_as_it_was(self):
        write_settings(self.file, 1, NAME="inbox", ENABLE="1", MAIL_LIST_COUNT="7")
        rows = [
            ("setting 3", ["set", "3", "ENABLE=1"], "setting 3"),
            ("setting 0", ["set", "0", "ENABLE=1"], "setting 0"),
            ("unknown key", ["set", "1", "COLOUR=red"], "COLOUR"),
            ("not a number", ["set", "1", "MAIL_LIST_COUNT=many"], "MAIL_LIST_COUNT"),
            ("flag other than 0 or 1", ["set", "1", "ENABLE=yes"], "ENABLE"),
            ("not in code page 932", ["set", "1", "NAME=caf\u00e9 \U0001F600"], "code page 932"),
            ("no equals sign", ["set", "1", "ENABLE"], "KEY=VALUE"),
            ("good change before a bad one", ["set", "1", "NAME=changed", "ENABLE=2"], "ENABLE"),
            ("address-breaking public password", ["set", "1", "WEB_PASS=a b"], "WEB_PASS"),
            ("port out of range", ["set", "1", "MAIL_SERVER=pop:70000"], "MAIL_SERVER"),
            ("token address in plain http", ["set", "1", "OAUTH_TOKEN_URL=http://id.example/t"],
             "OAUTH_TOKEN_URL"),
            ("unknown provider", ["set", "1", "OAUTH_PROVIDER=yahoo"], "OAUTH_PROVIDER"),
            ("login of a setting with a password", ["login", "1"], "MAIL_AUTH=1"),
            ("login of setting 3", ["login", "3"], "setting 3"),
        ]
        before = self.file_bytes()
        for name, args, mentioned in rows:
            with self.subTest(name):
                args = args[:1] + ["--settings", self.file] + args[1:]
                done = run(args)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertIn(mentioned, done.stderr)
                self.assertTrue(done.stderr.startswith("tallwynd: "), done.stderr)
                self.assertEqual(self.file_bytes(), before)

    def test_refused_set_creates_no_file(self):
        done = run(["set", "--settings", self.file, "1", "ENABLE=2"])
        self.assertEqual(done.returncode, 2)
        self.assertFalse(os.path.exists(self.file))

    def test_unwritable_directory_exits_1(self):
        if os.geteuid() == 0:
            self.skipTest("root writes anywhere")
        os.chmod(self.dir, 0o555)
        self.addCleanup(os.chmod, self.dir, 0o755)
        done = run(["set", "--settings", self.file, "1", "ENABLE=1"])
        self.assertEqual(done.returncode, 1, done.stderr)

    def test_show_of_a_missing_setting_exits_2(self):
        done = run(["show", "--settings", self.file, "3"])
        self.assertEqual(done.returncode, 2)
        self.assertIn("setting 3", done.stderr)

    def test_dash_reads_passwords_from_standard_input_in_argument_order(self):
        fake = FakePop3()
        fake.start()
        write_settings(self.file, 1, ENABLE="1", MAIL_SERVER=f"127.0.0.1:{fake.port}",
                       MAIL_ACCOUNT="taro", NAME="-")
        done = run(["set", "--settings", self.file, "1", "WEB_PASS=-", "MAIL_PASS=-"],
                   stdin="web-pw\nmail pw with blanks \n")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(run(["show", "--settings", self.file, "1"]).stdout, r"\n  NAME +-\n")

        server = Server(self.file, os.path.join(self.dir, "log"))
        try:
            # The public password read from stdin opens the page; the mail password
            # reaches the POP3 server whole.
            page = server.page("/001web-pwtoplist")
            self.assertEqual(page, HEAD)
        finally:
            self.assertEqual(server.stop(), 0)
        fake.join(harness.WAIT)
        self.assertEqual(fake.lines, [b"USER taro\r\n", b"PASS mail pw with blanks \r\n"])

    def test_dash_without_a_line_on_standard_input_exits_2(self):
        write_settings(self.file, 1, NAME="inbox")
        before = self.file_bytes()
        done = run(["set", "--settings", self.file, "1", "MAIL_PASS=-"], stdin="")
        self.assertEqual(done.returncode, 2)
        self.assertIn("MAIL_PASS", done.stderr)
        self.assertEqual(self.file_bytes(), before)


    def test_warnings_of_an_open_mailbox_and_a_readable_file(self):
        open_warning = "anyone who can reach the port can read its mailbox at /001toplist"
        readable = "is readable by group or others (mode 0644)"
        done = run(["set", "--settings", self.file, "1", "ENABLE=1"])
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(open_warning, done.stderr)
        # A file that set makes is its owner's alone.
        self.assertEqual(os.stat(self.file).st_mode & 0o777, 0o600)
        self.assertNotIn(readable, done.stderr)
        self.assertIn(open_warning, run(["show", "--settings", self.file]).stderr)
        server = Server(self.file, os.path.join(self.dir, "log"))
        self.assertEqual(server.stop(), 0)
        self.assertIn(open_warning, server.log_text())

        os.chmod(self.file, 0o644)
        for args in (["set", "1", "WEB_PASS=pw"], ["show"]):
            with self.subTest(args[0]):
                done = run([args[0], "--settings", self.file, *args[1:]])
                self.assertIn(readable, done.stderr)
                self.assertNotIn(open_warning, done.stderr)


class UsageTest(unittest.TestCase):
    def test_help_version_and_usage_errors(self):
        rows = [
            ("help", ["--help"], 0, "set"),
            ("help of set", ["set", "--help"], 0, "MAIL_LIST_COUNT"),
            ("version", ["--version"], 0, "tallwynd "),
            ("unknown option", ["--frobnicate"], 2, "frobnicate"),
            ("set without arguments", ["set"], 2, "N"),
            ("set without keys", ["set", "1"], 2, "KEY=VALUE"),
            ("port out of range", ["--port", "70000"], 2, "70000"),
            ("port not a number", ["--port", "http"], 2, "http"),
            ("serving option given to show", ["show", "--port", "1"], 2, "--port"),
            ("HTTPS without a key", ["--https-port", "0", "--tls-cert", "c.pem"], 2,
             "--https-port needs --tls-cert FILE and --tls-key FILE"),
            ("certificate without HTTPS", ["--tls-cert", "c.pem", "--tls-key", "k.pem"], 2,
             "--tls-cert and --tls-key are for --https-port N"),
            ("no HTTP and no HTTPS", ["--no-http"], 2, "--no-http leaves nothing to serve"),
            ("both on one port", ["--port", "8443", "--https-port", "8443", "--tls-cert", "c",
                                  "--tls-key", "k"], 2, "are both 8443"),
            ("proxy by name", ["--trusted-proxy", "proxy.example"], 2,
             "--trusted-proxy proxy.example is not ADDRESS or ADDRESS/BITS"),
            ("proxy range too wide", ["--trusted-proxy", "::1", "--trusted-proxy", "10.0.0.0/33"],
             2, "--trusted-proxy 10.0.0.0/33 is not"),
        ]
        for name, args, code, mentioned in rows:
            with self.subTest(name):
                done = run(args)
                self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                self.assertIn(mentioned, done.stdout + done.stderr)


class ServeTest(unittest.TestCase):
    def setUp(self):
        self.dir = make_temp_dir(self.addCleanup)
        self.file = os.path.join(self.dir, "tallwyn.stp")
        self.log = os.path.join(self.dir, "log")

    def test_stop_signals_end_the_server_with_status_0(self):
        write_settings(self.file, 1, ENABLE="1", WEB_PASS="topsecret")
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig.name):
                server = Server(self.file, self.log)
                self.assertNotIn(b"topsecret", server.first_line)
                self.assertEqual(server.stop(sig), 0)
                # The port is free again at once.
                with socket.socket() as s:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                    s.bind(("127.0.0.1", server.port))

    def test_port_in_use_exits_1_with_a_clear_message(self):
        with socket.socket() as busy:
            busy.bind(("127.0.0.1", 0))
            busy.listen(1)
            port = busy.getsockname()[1]
            done = run(["--settings", self.file, "--bind", "127.0.0.1", "--port", str(port)])
        self.assertEqual(done.returncode, 1)
        self.assertIn(f"port {port} is already in use", done.stderr)

    def test_one_log_line_per_request_without_passwords(self):
        # The mail server is a loopback port where nothing listens.
        write_settings(self.file, 1, ENABLE="1", WEB_PASS="topsecret", MAIL_ACCOUNT="taro",
                       MAIL_PASS="mailsecret", MAIL_SERVER=f"127.0.0.1:{unused_port()}")
        server = Server(self.file, self.log)
        try:
            self.assertEqual(server.page("/001topsecrettoplist"), HEAD)
            self.assertEqual(server.get("/001wrongpasstoplist"), b"")
            server.get("/001topsecretmail002")
            lines = server.request_lines(3)
        finally:
            self.assertEqual(server.stop(), 0)
        log = server.log_text()
        self.assertNotIn("secret", log)
        self.assertEqual(len(lines), 3, log)
        fields = [line.split(" ", 1)[1] for line in lines]
        self.assertRegex(lines[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4} ")
        self.assertRegex(fields[0], r"^client=127\.0\.0\.1:\d+ setting=1 page=toplist "
                                    rf"outcome={re.escape(CONNECT_FAILED)} "
                                    r"detail=\"connection to 127\.0\.0\.1:\d+ failed: "
                                    r"Connection refused\" bytes=\d+ ms=\d+$")
        self.assertRegex(fields[1], r"^client=127\.0\.0\.1:\d+ setting=1 page=refused "
                                    r"outcome=refused reason=\"wrong password\" bytes=0 ms=\d+$")
        self.assertRegex(fields[2], rf"page=\"mail 2\" outcome={re.escape(CONNECT_FAILED)}")


if __name__ == "__main__":
    harness.require_tallwynd()
    unittest.main()
