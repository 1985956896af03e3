#!/usr/bin/python3
"""OAuth 2.0 sign-in against a real Dovecot that checks every token with its OAuth 2.0
password database, which asks the test's authorization server (tools/oauth_fixture.py)
about each one: tallwynd login by the device flow and by the loopback flow, pages served
with AUTH XOAUTH2, one refresh for many requests, rotation, revocation, and no token
where it does not belong. The tests of a class run in the order of their names."""

import concurrent.futures
import os
import re
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

import harness
from harness import FOOTER, HEAD, TALLWYND, Server, make_temp_dir, run, write_settings
from oauth_fixture import OAuthFixture
from pop3_fixture import DOVECOT, Pop3Fixture

CONCURRENT = 8


def login(settings_file: str, number: int):
    """tallwynd login N, running: its first printed lines tell what to open."""
    return subprocess.Popen([TALLWYND, "login", "--settings", settings_file, str(number),
                             "--timeout", "30"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def read(path: str) -> str:
    with open(path, "rb") as f:
        return f.read().decode("latin-1")


def finish(proc):
    out, err = proc.communicate(timeout=harness.WAIT * 3)
    return proc.returncode, out.decode(), err.decode()


class OAuthTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = make_temp_dir(cls.addClassCleanup)
        cls.auth = OAuthFixture().start()
        cls.addClassCleanup(cls.auth.stop)
        cls.pop3 = Pop3Fixture(os.path.join(cls.dir, "pop3"), samples="test",
                               oauth2_introspection_url=cls.auth.url + "/introspect")
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)
        cls.file = os.path.join(cls.dir, "tallwyn.stp")
        common = dict(ENABLE="1", WEB_PASS="pw", MAIL_SERVER=cls.pop3.address,
                      MAIL_ACCOUNT=cls.pop3.user, MAIL_LIST_COUNT="3", MAIL_AUTH="1",
                      OAUTH_PROVIDER="custom", OAUTH_CLIENT_ID=cls.auth.client_id,
                      OAUTH_TOKEN_URL=cls.auth.url + "/token", OAUTH_SCOPE="pop offline")
        write_settings(cls.file, 1, OAUTH_DEVICE_URL=cls.auth.url + "/device", **common)
        # Setting 2 has no device address: it signs in through the loopback redirect.
        write_settings(cls.file, 2, OAUTH_AUTHORIZE_URL=cls.auth.url + "/authorize",
                       **common)
        cls.tokens_file = cls.file + ".tokens"
        cls.server = None

    @classmethod
    def start_server(cls, extra=()):
        if cls.server:
            cls.server.stop()
        cls.server = Server(cls.file, os.path.join(cls.dir, "log"), extra=extra)
        cls.addClassCleanup(cls.server.stop)

    def show(self, number: int) -> str:
        done = run(["show", "--settings", self.file, str(number)])
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def test_1_device_flow_waits_while_pending_and_slows_down_when_told(self):
        self.assertIn("not signed in yet; run tallwynd login 1", self.show(1))
        self.auth.device_script = ["authorization_pending", "slow_down"]
        proc = login(self.file, 1)
        first = harness.Server._read_line(proc.stdout).decode()
        self.assertIn(f"open {self.auth.url}/verify", first)
        self.assertIn("enter the code WDJB-MJHT", first)
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        self.assertIn("setting 1 is signed in", out)
        self.assertEqual(self.auth.counts["device_poll"], 3)
        # After slow_down the interval (1 s) grows by 5 s for good.
        gaps = [b - a for a, b in zip(self.auth.poll_times, self.auth.poll_times[1:])]
        self.assertGreaterEqual(gaps[0], 1.0)
        self.assertGreaterEqual(gaps[1], 6.0)
        self.assertRegex(self.show(1), r"signs in +with OAuth 2\.0 \(custom\): signed in\n")
        self.assertEqual(os.stat(self.tokens_file).st_mode & 0o777, 0o600)

    def test_2_loopback_flow_refuses_redirects_without_the_state(self):
        proc = login(self.file, 2)
        lines = b""
        while b"/authorize?" not in lines:
            line = harness.Server._read_line(proc.stdout)
            self.assertTrue(line, "no address printed")
            lines += line
        address = re.search(rb"(http://\S+/authorize\?\S+)", lines).group(1).decode()
        redirect = re.search(r"redirect_uri=([^&]+)", address).group(1)
        redirect = urllib.request.unquote(redirect)
        for name, query in (("no state", "?code=stolen"), ("wrong state", "?code=x&state=guess"),
                            ("no query", "")):
            with self.subTest(name):
                with self.assertRaises(urllib.error.HTTPError) as refused:
                    urllib.request.urlopen(redirect + query, timeout=harness.WAIT)
                self.assertEqual(refused.exception.code, 400)
        # The browser: the provider redirects it back to the listener with code and state.
        with urllib.request.urlopen(address, timeout=harness.WAIT) as answer:
            self.assertIn(b"Signed in", answer.read())
        code, out, err = finish(proc)
        self.assertEqual(code, 0, err)
        self.assertEqual(self.auth.counts["code"], 1)
        self.assertIn("signed in", self.show(2))

    def test_3_pages_are_served_with_xoauth2(self):
        self.start_server()
        before = self.auth.counts["refresh"]
        for path in ("/001pwtoplist", "/002pwtoplist", "/001pwmail001"):
            with self.subTest(path):
                page, line = self.server.page_and_log_line(path)
                self.assertTrue(page.startswith(HEAD) and page.endswith(FOOTER), page[-200:])
                self.assertIn(" outcome=ok ", line)
        # One refresh for each setting; the third page took the cached token.
        self.assertEqual(self.auth.counts["refresh"], before + 2)

    def test_4_concurrent_requests_after_expiry_refresh_once(self):
        self.auth.access_ttl = 2
        self.start_server()  # an empty cache: the first page gets a token of 2 s
        self.assertTrue(self.server.page("/001pwtoplist").endswith(FOOTER))
        time.sleep(self.auth.access_ttl + 0.2)
        before = self.auth.counts["refresh"]
        with concurrent.futures.ThreadPoolExecutor(CONCURRENT) as pool:
            pages = list(pool.map(lambda _: self.server.page("/001pwtoplist"), range(CONCURRENT)))
        self.assertTrue(all(p.endswith(FOOTER) for p in pages))
        self.assertEqual(self.auth.counts["refresh"], before + 1)
        self.auth.access_ttl = 3600

    def test_5_rotated_refresh_token_is_saved_at_once(self):
        with open(self.tokens_file, "rb") as f:
            stored = f.read()
        self.start_server()
        self.assertTrue(self.server.page("/001pwtoplist").endswith(FOOTER))
        with open(self.tokens_file, "rb") as f:
            self.assertNotEqual(f.read(), stored)
        # The provider took the old token back; a fresh process has only the file.
        self.start_server()
        self.assertTrue(self.server.page("/001pwtoplist").endswith(FOOTER))
        # Its line is written once the server has said goodbye, after the page.
        self.server.request_lines(1)

    def test_6_token_the_server_refuses_is_refreshed_and_tried_once_more(self):
        # The only refusal by Dovecot here: it delays the next attempt by seconds.
        self.auth.expire_access_tokens()
        before = self.auth.counts["refresh"]
        page, line = self.server.page_and_log_line("/001pwtoplist")
        self.assertTrue(page.endswith(FOOTER), line)
        self.assertEqual(self.auth.counts["refresh"], before + 1)

    def test_7_bad_token_answers_fail_the_login_and_are_logged(self):
        rows = [("html", (200, b"<html><body>Sign in</body></html>"), "no JSON object"),
                ("megabytes", (200, b'{"access_token": "' + b"a" * 3_000_000 + b'"}'),
                 "longer than"),
                ("token of 9 kB", (200, b'{"access_token": "' + b"a" * 9000 + b'"}'),
                 "no usable access_token"),
                ("error without description", (400, b'{"error": "server_error"}'),
                 "oauth: server_error")]
        for name, reply, reason in rows:
            with self.subTest(name):
                self.auth.token_reply = reply
                self.start_server()  # an empty cache: the page must refresh
                page, line = self.server.page_and_log_line("/001pwtoplist")
                self.assertEqual(page, HEAD)
                self.assertIn(' reason="oauth: ', line)
                self.assertIn(reason, line)
        self.auth.token_reply = None
        with self.subTest("slower than the time-out"):
            self.auth.token_delay = 3
            self.start_server(extra=["--timeout", "0.5"])
            page, line = self.server.page_and_log_line("/001pwtoplist")
            self.auth.token_delay = 0
            self.assertEqual(page, HEAD)
            self.assertIn('reason="oauth: token endpoint unreachable: ', line)
        self.start_server()
        self.assertTrue(self.server.page("/001pwtoplist").endswith(FOOTER))

    def test_8_revoked_refresh_token_asks_for_a_new_sign_in(self):
        self.auth.revoke_refresh_tokens()
        write_settings(self.file, 2, MAIL_PAGE_STYLE="1")
        self.start_server()
        page, line = self.server.page_and_log_line("/001pwtoplist")
        self.assertEqual(page, HEAD)
        self.assertIn('reason="oauth: invalid_grant"', line)
        self.assertIn("setting 1 must sign in again", self.show(1))
        # The modern page says that the login failed.
        refused = "ユーザ名またはパスワードが違います。".encode("cp932")
        page = self.server.page("/002pwtoplist")
        self.assertTrue(page.endswith(b"<P CLASS=e>" + refused + b"</P>" + FOOTER), page[-200:])
        # The next request does not ask the provider again.
        refreshes = self.auth.counts["refresh"]
        page, line = self.server.page_and_log_line("/001pwtoplist")
        self.assertIn('reason="oauth: invalid_grant"', line)
        self.assertEqual(self.auth.counts["refresh"], refreshes)

    def test_9_no_token_in_log_show_command_line_or_environment(self):
        tokens = {f[key] for _, f in self.auth.requests
                  for key in ("refresh_token", "device_code", "code", "token", "code_verifier")
                  if f.get(key)}
        tokens |= set(self.auth.access) | set(self.auth.refresh)
        self.assertGreater(len(tokens), 5)
        pid = self.server.proc.pid
        places = {"log": self.server.log_text(), "show": self.show(1) + self.show(2),
                  "settings": read(self.file), "tokens file": read(self.tokens_file),
                  "command line": read(f"/proc/{pid}/cmdline"),
                  "environment": read(f"/proc/{pid}/environ")}
        for where, text in places.items():
            for token in tokens:
                self.assertNotIn(token, text, where)


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program(DOVECOT, "dovecot-pop3d")
    unittest.main(verbosity=2)
