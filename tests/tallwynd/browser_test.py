#!/usr/bin/python3
"""A real browser reads the pages: headless Chromium opens the list page that
tallwynd serves from a throwaway Dovecot, finds the decoded Japanese subject in the
page's text, follows the first link and finds that mail's text.

Chromium is driven over --remote-debugging-pipe (file descriptors 3 and 4, JSON
messages ended by a zero byte), so nothing but the standard library is needed."""

import fcntl
import html.parser
import json
import os
import select
import signal
import subprocess
import time
import unittest

import harness
from harness import Server, make_temp_dir, write_settings
from pop3_fixture import DOVECOT, Pop3Fixture

CHROMIUM = "/usr/bin/chromium"
OVERALL = 60.0  # bound of the whole browser session (generous: CI machines are shared)
# What Chromium answers to an evaluation that meets a navigation half-way.
NAVIGATING = ("navigated or closed", "context was destroyed", "Cannot find context")


class CdpError(RuntimeError):
    pass


def _move_above_9(fd: int) -> int:
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return moved


class Chromium:
    """One headless Chromium with a fresh profile, spoken to over the pipe."""

    def __init__(self, profile_dir: str, deadline: float):
        self.deadline = deadline
        self.next_id = 0
        self.buffer = b""
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()
        # Chromium's ends move above 9 first, so that placing them on 3 and 4 below
        # cannot overwrite one with the other.
        to_chrome_r, from_chrome_w = (_move_above_9(fd) for fd in (to_chrome_r, from_chrome_w))
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage",
                 "--remote-debugging-pipe", f"--user-data-dir={profile_dir}", "about:blank"]
        # The shell puts the pipe ends where Chromium looks for them: 3 and 4.
        script = (f'exec "$0" "$@" 3<&{to_chrome_r} 4>&{from_chrome_w} '
                  f'{to_chrome_r}<&- {from_chrome_w}>&-')
        self.log = open(os.path.join(profile_dir, "chromium.log"), "wb")
        self.proc = subprocess.Popen(["/bin/bash", "-c", script, CHROMIUM, *flags],
                                     pass_fds=(to_chrome_r, from_chrome_w),
                                     stdin=subprocess.DEVNULL, stdout=self.log,
                                     stderr=self.log, start_new_session=True)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.session = None

    def _left(self) -> float:
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise CdpError("Chromium did not answer in time")
        return left

    def _read_message(self) -> dict:
        while b"\0" not in self.buffer:
            if not select.select([self.from_chrome], [], [], self._left())[0]:
                continue
            chunk = os.read(self.from_chrome, 65536)
            if not chunk:
                raise CdpError("Chromium closed its pipe")
            self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method: str, params=None, session=True) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        data = json.dumps(message).encode() + b"\0"
        while data:
            select.select([], [self.to_chrome], [], self._left())
            data = data[os.write(self.to_chrome, data):]
        while True:
            reply = self._read_message()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise CdpError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def open_tab(self) -> None:
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        attached = self.call("Target.attachToTarget",
                             {"targetId": target["targetId"], "flatten": True}, session=False)
        self.session = attached["sessionId"]

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise CdpError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_loaded(self, url_part: str) -> str:
        """Waits until the page whose address contains url_part has loaded; returns
        its text."""
        while True:
            try:
                state = self.evaluate("[location.href, document.readyState]")
            except CdpError as e:
                # Asked while the tab swaps one page for the next: ask again.
                if not any(word in str(e) for word in NAVIGATING):
                    raise
                state = ["", ""]
            if url_part in state[0] and state[1] == "complete":
                return self.evaluate("document.body ? document.body.innerText : ''")
            time.sleep(0.05)
            self._left()

    def close(self) -> None:
        try:
            if self.proc.poll() is None:
                os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=harness.WAIT)
        finally:
            os.close(self.to_chrome)
            os.close(self.from_chrome)
            self.log.close()


def squash(text: str) -> str:
    return " ".join(text.split())


class _HtmlText(html.parser.HTMLParser):
    """Python's reading of an HTML part as text: the data of the body, entities
    resolved, what head, style and script hold left out."""
    SKIP = {"head", "title", "style", "script"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.words, self.skip = [], 0

    def handle_starttag(self, tag, attrs):
        if tag in self.SKIP:
            self.skip += 1

    def handle_endtag(self, tag):
        if tag in self.SKIP and self.skip:
            self.skip -= 1

    def handle_data(self, data):
        if not self.skip:
            self.words += data.split()


def html_words(message) -> list:
    """The words of an HTML-only mail's text, as Python reads it."""
    parser = _HtmlText()
    parser.feed(message.get_payload(decode=True).decode(message.get_content_charset()))
    parser.close()
    return parser.words


class BrowserTest(unittest.TestCase):
    """One Dovecot, one tallwynd and one Chromium for all the tests."""

    @classmethod
    def setUpClass(cls):
        work = make_temp_dir(cls.addClassCleanup)
        cls.pop3 = Pop3Fixture(os.path.join(work, "pop3"), samples="test")
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)
        settings = os.path.join(work, "tallwyn.stp")
        write_settings(settings, 1, ENABLE="1", WEB_PASS="pw", MAIL_SERVER=cls.pop3.address,
                       MAIL_ACCOUNT=cls.pop3.user, MAIL_PASS=cls.pop3.password,
                       MAIL_LIST_COUNT=str(len(cls.pop3.samples)))
        cls.server = Server(settings, os.path.join(work, "tallwynd.log"))
        cls.addClassCleanup(cls.server.stop)
        cls.profile = os.path.join(work, "chromium")
        os.mkdir(cls.profile)
        cls.browser = Chromium(cls.profile, time.monotonic() + OVERALL)
        cls.addClassCleanup(cls.browser.close)

    def open(self, path: str) -> str:
        """The text Chromium shows of the page at path, loaded in a fresh tab."""
        self.browser.open_tab()
        self.browser.call("Page.navigate", {"url": f"http://127.0.0.1:{self.server.port}{path}"})
        return self.browser.wait_loaded(path)

    def chromium_failure(self, error: Exception):
        with open(os.path.join(self.profile, "chromium.log"), "rb") as f:
            tail = f.read()[-2000:].decode("utf-8", "replace")
        self.fail(f"{error}\nChromium's output:\n{tail}")

    def test_list_page_then_first_mail_in_chromium(self):
        try:
            text = self.open("/001pwtoplist")
            self.assertEqual(self.browser.evaluate("document.characterSet"), "Shift_JIS")
            # Every subject as Python's email package decodes it, emoji and all.
            for sample in self.pop3.samples:
                if sample.listed_whole:
                    with self.subTest(sample.name):
                        self.assertIn(squash(sample.subject), squash(text))

            first = self.pop3.samples[0]
            self.browser.evaluate("document.links[0].click()")
            text = self.browser.wait_loaded("/001pwmail001")
            for line in first.shown:
                self.assertIn(line, text)
        except CdpError as e:
            self.chromium_failure(e)

    def test_html_only_mail_shows_its_text_in_chromium(self):
        number, sample = next((n, s) for n, s in enumerate(self.pop3.samples, start=1)
                              if s.name == "today_html_only")
        try:
            text = self.open(f"/001pwmail{number:03d}")
        except CdpError as e:
            self.chromium_failure(e)
        # Python's words in their order; a link's address may stand after its text.
        shown = squash(text)
        position = 0
        for word in html_words(sample.message):
            found = shown.find(word, position)
            self.assertGreaterEqual(found, 0, f"{word!r} in order in {shown[:300]!r}")
            position = found + len(word)
        for raw in ("<p>", "<html", "color: #333", "=E3", "Caf&eacute;"):
            self.assertNotIn(raw, text)


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program(CHROMIUM, "chromium")
    harness.require_program(DOVECOT, "dovecot-pop3d")
    unittest.main()
