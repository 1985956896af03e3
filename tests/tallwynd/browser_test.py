#!/usr/bin/python3
"""A real browser reads the pages: headless Chromium opens the list page that
tallwynd serves from a throwaway Dovecot, finds the decoded Japanese subject in the
page's text, follows the first link and finds that mail's text.

Chromium is driven over --remote-debugging-pipe (file descriptors 3 and 4, JSON
messages ended by a zero byte), so nothing but the standard library is needed."""

import fcntl
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


class BrowserTest(unittest.TestCase):
    def test_list_page_then_first_mail_in_chromium(self):
        deadline = time.monotonic() + OVERALL
        work = make_temp_dir(self.addCleanup)
        pop3 = Pop3Fixture(os.path.join(work, "pop3"), samples="test")
        pop3.start()
        self.addCleanup(pop3.stop)
        settings = os.path.join(work, "tallwyn.stp")
        write_settings(settings, 1, ENABLE="1", WEB_PASS="pw", MAIL_SERVER=pop3.address,
                       MAIL_ACCOUNT=pop3.user, MAIL_PASS=pop3.password, MAIL_LIST_COUNT="3")
        server = Server(settings, os.path.join(work, "tallwynd.log"))
        self.addCleanup(server.stop)

        profile = os.path.join(work, "chromium")
        os.mkdir(profile)
        browser = Chromium(profile, deadline)
        self.addCleanup(browser.close)
        try:
            browser.open_tab()
            browser.call("Page.navigate", {"url": f"http://127.0.0.1:{server.port}/001pwtoplist"})
            text = browser.wait_loaded("/001pwtoplist")
            first = pop3.samples[0]
            self.assertIn(first.subject, text)
            self.assertIn(pop3.samples[1].subject, text)
            self.assertEqual(browser.evaluate("document.characterSet"), "Shift_JIS")

            browser.evaluate("document.links[0].click()")
            text = browser.wait_loaded("/001pwmail001")
            for line in first.shown:
                self.assertIn(line, text)
        except CdpError as e:
            with open(os.path.join(profile, "chromium.log"), "rb") as f:
                tail = f.read()[-2000:].decode("utf-8", "replace")
            self.fail(f"{e}\nChromium's output:\n{tail}")


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program(CHROMIUM, "chromium")
    harness.require_program(DOVECOT, "dovecot-pop3d")
    unittest.main()
