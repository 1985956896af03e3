#!/usr/bin/python3
"""A real browser reads the pages: headless Chromium opens the list page that
tallwynd serves from a throwaway Dovecot, finds the decoded Japanese subject in the
page's text, follows the first link and finds that mail's text.

Chromium is driven over --remote-debugging-pipe (file descriptors 3 and 4, JSON
messages ended by a zero byte), so nothing but the standard library is needed."""

import base64
import datetime
import email
import email.utils
import fcntl
import hashlib
import html.parser
import json
import os
import re
import select
import signal
import subprocess
import struct
import time
import unittest
import urllib.parse
import zlib
from email import policy
from email.header import Header
from email.message import EmailMessage
from email.mime.text import MIMEText

import harness
from harness import Server, make_temp_dir, serve_mailbox, write_settings
import mail_samples
from pop3_fixture import DOVECOT, Pop3Fixture

CHROMIUM = "/usr/bin/chromium"
PHONE_WIDTH, PHONE_HEIGHT = 390, 844
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
        self.events = []  # messages without an id, oldest first
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
            if "id" not in reply:
                self.events.append(reply)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise CdpError(f"{method}: {reply['error']}")
                return reply.get("result", {})

    def open_tab(self) -> None:
        target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)
        attached = self.call("Target.attachToTarget",
                             {"targetId": target["targetId"], "flatten": True}, session=False)
        self.session = attached["sessionId"]

    def emulate_phone(self) -> None:
        """Makes the open tab a current phone: 390 CSS px wide, mobile viewport rules."""
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": PHONE_WIDTH, "height": PHONE_HEIGHT, "deviceScaleFactor": 3,
                   "mobile": True})

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise CdpError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_event(self, method: str, matches=lambda params: True) -> dict:
        """The parameters of the first event method (since the last wait) that matches."""
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == method and matches(event.get("params", {})):
                    del self.events[:i + 1]
                    return event["params"]
            self.events.append(self._read_message())

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
        samples = mail_samples.SAMPLE_SETS["test"]()
        cls.pop3, cls.server = serve_mailbox(work, cls.addClassCleanup, samples,
                                             MAIL_LIST_COUNT=str(len(samples)))
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


# The time zone the modern pages' dates are shown in, for tallwynd and for Python.
TOKYO = datetime.timezone(datetime.timedelta(hours=9))
TZ_ENV = dict(os.environ, TZ="JST-9")
# What the modern pages' rows, header lines and links say, in Python's words.
ROWS_JS = """JSON.stringify([...document.querySelectorAll('body > p')]
    .filter(p => !p.classList.contains('n') && !p.classList.contains('h'))
    .map(p => { const a = p.querySelector('a'), f = p.querySelector('small.f'),
                      d = p.querySelector('small.d'), r = p.getBoundingClientRect();
                return [a.getAttribute('href'), a.innerText, f ? f.innerText : '',
                        d ? d.innerText : '', r.top]; }))"""
FITS_JS = "[window.innerWidth, document.documentElement.scrollWidth]"
LINK_JS = ("(() => { const a = [...document.links].find(a => a.innerText == %s);"
           " return a ? a.getAttribute('href') : null; })()")
CLICK_JS = "[...document.links].find(a => a.innerText == %s).click()"
# Characters whose code page 932 bytes a browser reads as other characters: the em
# dash, the wave dash, the double vertical line and the minus sign, with the fullwidth
# tilde, which is not one of them, beside them.
MISREAD = "A\u2014B\u301cC\u2016D\u2212E\uff5eF"


def link_number(href: str) -> int:
    """The message number of a link to a message, with or without its token."""
    return int(re.search(r"mail(\d+)", href).group(1))


def name_or_address(address) -> str:
    return address.display_name or address.addr_spec


def short_date(message) -> str:
    """The list row's date of message as Python reads it, in the test's time zone."""
    if message["date"] is None:
        return ""
    date = email.utils.parsedate_to_datetime(str(message["date"])).astimezone(TOKYO)
    now = datetime.datetime.now(TOKYO)
    if date.date() == now.date():
        return f"{date:%H:%M}"
    return f"{date:%m/%d}" if date.year == now.year else f"{date:%Y/%m/%d}"


def misread_sample() -> mail_samples.Sample:
    message = MIMEText(f"{MISREAD}\n", "plain", "utf-8")
    message["Date"] = email.utils.formatdate(localtime=False)  # today: the row shows the time
    message["From"] = "=?utf-8?b?5bGx55Sw?= <yamada@example.jp>"
    message["To"] = "taro@example.jp"
    message["Subject"] = Header(MISREAD, "utf-8")
    return mail_samples.Sample("misread", message, shown=[MISREAD])


class PhoneBrowser:
    """A Chromium whose every tab is a phone; shared by the phone tests."""

    def __init__(self, test_class, seconds: float):
        test_class.profile = os.path.join(test_class.work, "chromium")
        os.mkdir(test_class.profile)
        self.browser = Chromium(test_class.profile, time.monotonic() + seconds)
        test_class.addClassCleanup(self.browser.close)

    def open(self, url: str, url_part: str) -> str:
        self.browser.open_tab()
        self.browser.emulate_phone()
        self.browser.call("Page.navigate", {"url": url})
        return self.browser.wait_loaded(url_part)


class PhoneTest(unittest.TestCase):
    """The modern pages in Chromium on a 390 px phone, against Python's reading of the
    same mails; setting 2 serves the same mailbox with the classic pages."""

    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_dir(cls.addClassCleanup)
        samples = mail_samples.SAMPLE_SETS["test"]() + [misread_sample()]
        cls.pop3 = Pop3Fixture(os.path.join(cls.work, "pop3"), samples=samples)
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)
        settings = os.path.join(cls.work, "tallwyn.stp")
        common = dict(ENABLE="1", WEB_PASS="pw", MAIL_SERVER=cls.pop3.address,
                      MAIL_ACCOUNT=cls.pop3.user, MAIL_PASS=cls.pop3.password,
                      MAIL_LIST_COUNT=str(len(samples)))
        write_settings(settings, 1, NAME="Inbox", MAIL_PAGE_STYLE="1", **common)
        write_settings(settings, 2, **common)
        cls.server = Server(settings, os.path.join(cls.work, "tallwynd.log"), env=TZ_ENV)
        cls.addClassCleanup(cls.server.stop)
        cls.phone = PhoneBrowser(cls, 3 * OVERALL)
        cls.messages = [email.message_from_bytes(s.as_bytes(), policy=policy.default)
                        for s in samples]

    def url(self, path: str) -> str:
        return f"http://127.0.0.1:{self.server.port}{path}"

    def open(self, path: str) -> str:
        try:
            return self.phone.open(self.url(path), path)
        except CdpError as e:
            self.fail(f"{e}: {path}")

    def evaluate(self, expression: str):
        return self.phone.browser.evaluate(expression)

    def assert_fits_the_phone(self):
        width, scroll_width = self.evaluate(FITS_JS)
        self.assertEqual(width, PHONE_WIDTH)  # the viewport is the phone's, not 980 px
        self.assertLessEqual(scroll_width, PHONE_WIDTH)  # nothing scrolls sideways

    def test_list_rows_fit_the_phone_and_show_sender_and_date(self):
        self.open("/001pwtoplist")
        self.assertEqual(self.evaluate("document.title"), "Inbox - 一覧")
        self.assert_fits_the_phone()
        rows = json.loads(self.evaluate(ROWS_JS))
        self.assertEqual([link_number(r[0]) for r in rows], list(range(1, len(self.messages) + 1)))
        self.assertTrue(all(re.fullmatch(r"001pwmail\d{3}\.[0-9a-f]{12}", r[0]) for r in rows),
                        rows)  # Dovecot keeps unique ids: every link carries its token
        for (_, subject, sender, date, _), sample, message in zip(
                rows, self.pop3.samples, self.messages):
            with self.subTest(sample.name):
                if sample.listed_whole:
                    self.assertEqual(squash(subject), squash(sample.subject))
                addresses = message["from"].addresses if message["from"] else ()
                self.assertEqual(squash(sender),
                                 squash(name_or_address(addresses[0])) if addresses else "")
                self.assertEqual(date, short_date(message))
        tops = [r[4] for r in rows]
        self.assertGreaterEqual(min(b - a for a, b in zip(tops, tops[1:])), 40)

    def test_style_block_is_allowed_by_its_hash_and_nothing_else(self):
        answer = self.server.get("/001pwtoplist")
        head, _, body = answer.partition(b"\r\n\r\n")
        style = re.search(rb"<STYLE>(.*?)</STYLE>", body).group(1)
        digest = base64.b64encode(hashlib.sha256(style).digest())
        self.assertIn(b"Content-Security-Policy: default-src 'none'; style-src 'sha256-" +
                      digest + b"'\r\n", head)
        self.assertNotIn(b"<SCRIPT", body.upper())
        self.open("/001pwtoplist")
        self.assertEqual(self.evaluate("getComputedStyle(document.body).maxWidth"), "736px")

    def test_mail_pages_show_their_header_lines_and_fit_the_phone(self):
        for number, (sample, message) in enumerate(zip(self.pop3.samples, self.messages), 1):
            with self.subTest(sample.name):
                self.open(f"/001pwmail{number:03d}")
                self.assert_fits_the_phone()
                lines = self.evaluate("document.querySelector('p.h').innerText").split("\n")
                shown = dict(line.split(" ", 1) for line in lines if " " in line)
                if sample.listed_whole:
                    self.assertEqual(squash(shown.get("件名", "")), squash(sample.subject))
                sender = message["from"].addresses[0]
                want = (f"{sender.display_name} <{sender.addr_spec}>" if sender.display_name
                        else sender.addr_spec)
                self.assertEqual(squash(shown.get("差出人", "")), squash(want))
                self.assertEqual(shown.get("宛先", ""), ", ".join(
                    name_or_address(a) for a in message["to"].addresses))
                self.assertNotIn("Cc", shown)
                date = email.utils.parsedate_to_datetime(str(message["date"]))
                self.assertEqual(shown.get("日付"), f"{date.astimezone(TOKYO):%Y/%m/%d %H:%M}")

    def test_list_previous_and_next_links_lead_where_they_say(self):
        last = len(self.messages)
        self.open("/001pwmail002")
        for label, target in (("次のメール", "/001pwmail003"), ("前のメール", "/001pwmail002"),
                              ("一覧へ", "/001pwtoplist")):
            self.evaluate(CLICK_JS % json.dumps(label))
            self.phone.browser.wait_loaded(target)
        for number, missing in ((1, "前のメール"), (last, "次のメール")):
            self.open(f"/001pwmail{number:03d}")
            self.assertIsNone(self.evaluate(LINK_JS % json.dumps(missing)))
            self.assertEqual(self.evaluate(LINK_JS % json.dumps("一覧へ")), "001pwtoplist")

    def test_misread_characters_show_as_the_mail_holds_them_in_both_styles(self):
        number = len(self.messages)
        for path in ("/001pwtoplist", "/002pwtoplist", f"/001pwmail{number:03d}",
                     f"/002pwmail{number:03d}"):
            with self.subTest(path):
                self.assertIn(MISREAD, self.open(path))


class PagingTest(unittest.TestCase):
    """Following 次へ (next) from the first page of a 45-message mailbox lists every
    message once, in both orders, with and without a filter."""

    COUNT = 45

    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_dir(cls.addClassCleanup)
        mails = []
        for n in range(1, cls.COUNT + 1):
            message = MIMEText(f"text {n}\n", "plain", "us-ascii")
            message["From"] = f"sender{n}@example.jp"
            message["Subject"] = f"m{n:02d}" + (" skip" if n % 4 == 0 else "")
            mails.append(message.as_bytes())
        cls.pop3 = Pop3Fixture(os.path.join(cls.work, "pop3"), samples=mails)
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)
        cls.servers = {}
        common = dict(ENABLE="1", WEB_PASS="pw", MAIL_SERVER=cls.pop3.address,
                      MAIL_ACCOUNT=cls.pop3.user, MAIL_PASS=cls.pop3.password,
                      MAIL_LIST_COUNT="20", MAIL_PAGE_STYLE="1")
        # Two servers of two settings each: every order with and without the filter.
        for name, first, second in (("a", ("0", "0"), ("1", "2")), ("b", ("1", "0"), ("0", "2"))):
            settings = os.path.join(cls.work, f"{name}.stp")
            for number, (order, filter_type) in ((1, first), (2, second)):
                write_settings(settings, number, MAIL_LIST_ORDER=order, FILTER_TYPE=filter_type,
                               FILTER2="skip", **common)
            cls.servers[name] = Server(settings, os.path.join(cls.work, f"{name}.log"))
            cls.addClassCleanup(cls.servers[name].stop)
        cls.phone = PhoneBrowser(cls, 2 * OVERALL)

    def test_next_links_list_every_message_once(self):
        rows = (("a", 1, False, False), ("a", 2, True, True), ("b", 1, True, False),
                ("b", 2, False, True))
        for server, setting, newest_first, filtered in rows:
            with self.subTest(server=server, newest_first=newest_first, filtered=filtered):
                numbers = list(range(1, self.COUNT + 1))
                if newest_first:
                    numbers.reverse()
                if filtered:
                    numbers = [n for n in numbers if n % 4 != 0]
                base = f"http://127.0.0.1:{self.servers[server].port}/{setting:03d}pw"
                browser = self.phone.browser
                try:
                    self.phone.open(base + "toplist", "toplist")
                    listed, pages = [], 0
                    while True:
                        pages += 1
                        rows_shown = json.loads(browser.evaluate(ROWS_JS))
                        listed += [link_number(r[0]) for r in rows_shown]
                        first = browser.evaluate(LINK_JS % json.dumps("最初へ"))
                        self.assertEqual(first, None if pages == 1 else f"{setting:03d}pwtoplist")
                        following = browser.evaluate(LINK_JS % json.dumps("次へ"))
                        if following is None:
                            break
                        self.assertLess(pages, 5)
                        browser.evaluate(CLICK_JS % json.dumps("次へ"))
                        browser.wait_loaded(following)
                except CdpError as e:
                    self.fail(str(e))
                self.assertEqual(listed, numbers)
                self.assertEqual(pages, -(-len(numbers) // 20))


def png(width: int, height: int) -> bytes:
    """A grey picture as a PNG file."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))
    rows = b"".join(b"\0" + b"\x80" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


# A script that, run anywhere, leaves a mark: the title.
SCRIPT = "<script>document.title='ran';</script>"


def attachment_mail() -> bytes:
    message = EmailMessage()
    message["From"] = "sender@example.jp"
    message["To"] = "alice@example.jp"
    message["Subject"] = "files"
    message["Date"] = email.utils.formatdate(localtime=False)
    message.set_content("The files.\n")
    message.add_attachment(png(3, 2), maintype="image", subtype="png", filename="dot.png")
    message.add_attachment(b"%PDF-1.4\n%\xe2\xe3\n1 0 obj<<>>endobj\n%%EOF\n",
                           maintype="application", subtype="pdf", filename="見積書.pdf")
    message.add_attachment(f"<html><body>page{SCRIPT}</body></html>\n".encode(),
                           maintype="text", subtype="html", filename="page.html")
    message.add_attachment(f'<svg xmlns="http://www.w3.org/2000/svg">{SCRIPT}</svg>\n'.encode(),
                           maintype="image", subtype="svg+xml", filename="logo.svg")
    message.add_attachment(bytes(range(256)) * 64, maintype="application",
                           subtype="x-tallwyn-test", filename="data.bin")
    message.add_attachment("メモの一行目\n二行目 = 等号\n", subtype="plain", charset="utf-8",
                           cte="quoted-printable", filename="メモ.txt")
    return message.as_bytes()


class AttachmentBrowserTest(unittest.TestCase):
    """The modern message page's attachment links in Chromium, against Python's email
    package decoding the same mail as the POP3 server sends it."""

    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_dir(cls.addClassCleanup)
        raw = attachment_mail()
        cls.pop3, cls.server = serve_mailbox(cls.work, cls.addClassCleanup, [raw],
                                             MAIL_PAGE_STYLE="1")
        cls.phone = PhoneBrowser(cls, 2 * OVERALL)
        cls.downloads = os.path.join(cls.work, "downloads")
        os.mkdir(cls.downloads)
        # The lines the server sends end in CR LF.
        cls.message = email.message_from_bytes(re.sub(rb"\r?\n", b"\r\n", raw),
                                               policy=policy.default)
        cls.files = [part for part in cls.message.walk() if part.get_filename()]

    def links(self) -> list:
        try:
            self.phone.open(f"http://127.0.0.1:{self.server.port}/001pwmail001", "/001pwmail001")
        except CdpError as e:
            self.fail(str(e))
        links = json.loads(self.phone.browser.evaluate(
            "JSON.stringify([...document.links].filter(a => a.innerText.startsWith('[添付]'))"
            ".map(a => [a.href, a.innerText]))"))
        self.assertEqual(len(links), len(self.files), links)
        return links

    def test_each_link_gives_the_bytes_and_name_python_decodes(self):
        for (href, text), part in zip(self.links(), self.files):
            with self.subTest(part.get_filename()):
                self.assertTrue(text.startswith(f"[添付] {part.get_filename()} ("), text)
                answer = self.server.get(href.split(str(self.server.port), 1)[1])
                head, _, body = answer.partition(b"\r\n\r\n")
                self.assertEqual(body, part.get_payload(decode=True))
                fields = dict(line.split(": ", 1) for line in head.decode().split("\r\n")[1:])
                name = fields["Content-Disposition"].split("filename*=UTF-8''", 1)[1]
                self.assertEqual(urllib.parse.unquote(name), part.get_filename())
                self.assertEqual(fields["X-Content-Type-Options"], "nosniff")
                self.assertTrue(fields["Content-Security-Policy"].startswith("sandbox"))

    def test_pictures_open_in_the_browser(self):
        href = self.links()[0][0]
        browser = self.phone.browser
        browser.call("Page.navigate", {"url": href})
        browser.wait_loaded(href.rsplit("/", 1)[1])
        self.assertEqual(browser.evaluate("document.contentType"), "image/png")
        self.assertEqual(browser.evaluate("document.images[0].naturalWidth"), 3)

    def test_html_svg_and_unknown_types_are_saved_never_run(self):
        links = self.links()
        browser = self.phone.browser
        page = browser.evaluate("[location.href, document.title]")
        browser.call("Browser.setDownloadBehavior",
                     {"behavior": "allow", "downloadPath": self.downloads, "eventsEnabled": True},
                     session=False)
        for (href, _), part in zip(links, self.files):
            if part.get_content_type() not in ("text/html", "image/svg+xml",
                                               "application/x-tallwyn-test"):
                continue
            with self.subTest(part.get_filename()):
                browser.evaluate("[...document.links].find(a => a.href == %s).click()"
                                 % json.dumps(href))
                begun = browser.wait_event("Browser.downloadWillBegin")
                self.assertEqual(begun["suggestedFilename"], part.get_filename())
                browser.wait_event("Browser.downloadProgress",
                                   lambda p: p["guid"] == begun["guid"] and
                                   p["state"] == "completed")
                with open(os.path.join(self.downloads, part.get_filename()), "rb") as f:
                    self.assertEqual(f.read(), part.get_payload(decode=True))
                # The message page stays; the file was never shown.
                self.assertEqual(browser.evaluate("[location.href, document.title]"), page)

if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program(CHROMIUM, "chromium")
    harness.require_program(DOVECOT, "dovecot-pop3d")
    unittest.main()
