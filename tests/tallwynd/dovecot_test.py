#!/usr/bin/python3
"""tallwynd serving pages from a real POP3 server: a throwaway Dovecot holding mails
composed with Python's email package. Expected subjects are what Python's email
package decodes, in code page 932 and escaped for HTML."""

import html
import os
import poplib
import re
import threading
import time
import unittest

import harness
from harness import (FOOTER, HEAD, Server, escape_html, make_temp_dir, serve_mailbox,
                     write_settings)
import mail_samples
from pop3_fixture import DOVECOT, Pop3Fixture

# A plain mail far longer than any TOP line count a fixed guess would give.
BIG_LINES = [f"line {i} of the long text".encode() for i in range(20000)]
BIG_MAIL = (b"From: a@example.jp\nSubject: long\nContent-Type: text/plain; charset=us-ascii\n\n" +
            b"\n".join(BIG_LINES) + b"\n")


def cp932(text: str) -> bytes:
    """text as the pages write it: code page 932, escaped for HTML, a character code
    page 932 lacks as its numeric character reference."""
    out = []
    for c in text:
        try:
            out.append(escape_html(c.encode("cp932")))
        except UnicodeEncodeError:
            out.append(b"&#%d;" % ord(c))
    return b"".join(out)


def shown_text(link_text: bytes) -> str:
    """What a browser shows of a link's text: references resolved, runs of white space
    one space."""
    return " ".join(html.unescape(link_text.decode("cp932")).split())


def expected_row(number: int, sample) -> bytes:
    """A list-page row. A subject that is not an encoded word keeps its line's CR LF."""
    return (b"<A HREF='001pwmail%03d'>" % number + cp932(sample.subject) +
            (b"" if sample.subject_is_encoded else b"\r\n") + b" </A><BR>")


class DovecotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = make_temp_dir(cls.addClassCleanup)
        cls.pop3 = Pop3Fixture(os.path.join(cls.dir, "pop3"), samples="test")
        cls.pop3.start()
        cls.addClassCleanup(cls.pop3.stop)
        cls.file = os.path.join(cls.dir, "tallwyn.stp")
        common = dict(ENABLE="1", WEB_PASS="pw", MAIL_SERVER=cls.pop3.address,
                      MAIL_ACCOUNT=cls.pop3.user, MAIL_LIST_COUNT=str(len(cls.pop3.samples)))
        write_settings(cls.file, 1, MAIL_PASS=cls.pop3.password, **common)
        # Setting 2 lists only subjects with 会議 (meeting) or "Tom".
        write_settings(cls.file, 2, MAIL_PASS=cls.pop3.password, FILTER_TYPE="1",
                       FILTER1="会議,Tom", **common)
        cls.server = Server(cls.file, os.path.join(cls.dir, "log"))
        cls.addClassCleanup(cls.server.stop)

    def test_list_page_shows_every_subject_decoded_in_mailbox_order(self):
        page = self.server.page("/001pwtoplist")
        self.assertTrue(page.startswith(HEAD), page[:200])
        self.assertTrue(page.endswith(FOOTER), page[-200:])
        position = 0
        rows = dict(re.findall(rb"<A HREF='001pwmail(\d{3})'>(.*?) </A><BR>", page, re.S))
        for number, sample in enumerate(self.pop3.samples, start=1):
            with self.subTest(sample.name):
                if sample.written_today:
                    # Compared as a reader sees it: how the subject was folded and
                    # encoded leaves line breaks in the link text or not.
                    self.assertIn(b"%03d" % number, rows)
                    shown = shown_text(rows[b"%03d" % number])
                    want = " ".join(sample.subject.split())
                    if sample.listed_whole:
                        self.assertEqual(shown, want)
                    else:
                        self.assertTrue(want.startswith(shown), shown[:200])
                        self.assertGreater(len(shown), 3000)
                        self.assertLessEqual(len(rows[b"%03d" % number]), 4096)
                    continue
                row = expected_row(number, sample)
                found = page.find(row, position)
                self.assertGreaterEqual(found, 0, f"{row!r} not in {page!r}")
                position = found + len(row)
        # The folded To after the folded subject stays out of the subject.
        self.assertNotIn(b"member", page)

    def test_filter_keywords_given_in_utf8_match_the_decoded_subjects(self):
        page = self.server.page("/002pwtoplist")
        listed = [sample.name for sample in self.pop3.samples
                  if cp932(sample.subject).rstrip() in page]
        self.assertEqual(listed, ["jp_plain", "jp_folded", "markup"])
        self.assertIn(b"<A HREF='002pwmail006'>", page)

    def test_mail_pages_show_the_text_and_nothing_else(self):
        for number, sample in enumerate(self.pop3.samples, start=1):
            with self.subTest(sample.name):
                page = self.server.page(f"/001pwmail{number:03d}")
                self.assertTrue(page.startswith(HEAD), page[:200])
                self.assertTrue(page.endswith(FOOTER), page[-200:])
                for text in sample.shown:
                    self.assertIn(cp932(text) + b"<BR>", page)
                for text in sample.hidden:
                    self.assertNotIn(text.encode("cp932"), page)
                    self.assertNotIn(cp932(text), page)

    def test_message_number_the_mailbox_lacks_gives_the_head_only(self):
        self.assertEqual(self.server.page("/001pwmail099"), HEAD)

    def test_wrong_mail_password_ends_the_page_as_its_style_does_and_is_logged(self):
        refused = "ユーザ名またはパスワードが違います。"
        # The classic page is its head alone; the modern one says what failed and ends.
        rows = [("classic", "0", lambda page: self.assertEqual(page, HEAD)),
                ("modern", "1", lambda page: self.assertTrue(
                    page.endswith(b"<P CLASS=e>" + refused.encode("cp932") + b"</P>" + FOOTER),
                    page[-200:]))]
        for name, style, check in rows:
            with self.subTest(name):
                file = os.path.join(self.dir, f"wrong-{name}.stp")
                write_settings(file, 1, ENABLE="1", WEB_PASS="pw", MAIL_SERVER=self.pop3.address,
                               MAIL_ACCOUNT=self.pop3.user, MAIL_PASS="not-" + self.pop3.password,
                               MAIL_PAGE_STYLE=style)
                server = Server(file, os.path.join(self.dir, f"wrong-{name}.log"))
                try:
                    page, line = server.page_and_log_line("/001pwtoplist")
                finally:
                    self.assertEqual(server.stop(), 0)
                check(page)
                self.assertNotIn(b"not-" + self.pop3.password.encode(), page)
                self.assertIn(f"page=toplist outcome={refused}", line)

    def test_every_served_page_is_logged_ok(self):
        _, line = self.server.page_and_log_line("/001pwmail004")
        self.assertRegex(line, r" setting=1 page=\"mail 4\" outcome=ok bytes=\d+ ")


class SeenFlagTest(unittest.TestCase):
    """Dovecot marks a message read (Seen, the S after ':2,' in its Maildir file name)
    when a client RETRs it; other mail clients of the mailbox show that flag."""

    def setUp(self):
        self.dir = make_temp_dir(self.addCleanup)
        samples = mail_samples.SAMPLE_SETS["test"]() + [BIG_MAIL]
        self.pop3, self.server = serve_mailbox(self.dir, self.addCleanup, samples,
                                               MAIL_LIST_COUNT=str(len(samples)),
                                               MAIL_LIST_ORDER="1")

    def seen(self) -> list:
        """The numbers of the messages marked read, from their file names."""
        maildir = os.path.join(self.pop3.directory, "mail", self.pop3.user)
        numbers = []
        for sub in ("new", "cur"):
            for name in os.listdir(os.path.join(maildir, sub)):
                base, _, flags = name.partition(":2,")
                if "S" in flags:
                    numbers.append(int(re.search(r"\.M(\d+)P", base).group(1)))
        return sorted(numbers)

    def test_the_list_leaves_every_message_unread_and_reading_one_marks_only_it(self):
        page = self.server.page("/001pwtoplist")
        self.assertTrue(page.endswith(FOOTER), page[-200:])
        count = len(self.pop3.samples)
        links = [int(n) for n in re.findall(rb"<A HREF='001pwmail(\d+)'>", page)]
        self.assertEqual(links, list(range(count, 0, -1)))  # the newest first
        self.assertEqual(self.seen(), [])
        self.assertTrue(self.server.page("/001pwmail002").endswith(FOOTER))
        self.assertEqual(self.seen(), [])

    def test_a_long_message_is_shown_whole_and_left_unread(self):
        count = len(self.pop3.samples)
        page = self.server.page(f"/001pwmail{count:03d}")
        self.assertTrue(page.endswith(b"<BR>".join(BIG_LINES) + b"<BR>" + FOOTER), page[-300:])
        self.assertEqual(self.seen(), [])


def hold_mailbox(pop3: Pop3Fixture, seconds: float) -> threading.Thread:
    """A POP3 session of another client, logged in for seconds: with
    pop3_lock_session, Dovecot holds every other login meanwhile."""
    session = poplib.POP3(*pop3.address.split(":"), timeout=10)
    session.user(pop3.user)
    session.pass_(pop3.password)

    def release():
        time.sleep(seconds)
        session.quit()

    holder = threading.Thread(target=release)
    holder.start()
    return holder


class LockedMailboxTest(unittest.TestCase):
    """Dovecot with pop3_lock_session: one POP3 session per mailbox at a time."""

    @classmethod
    def setUpClass(cls):
        cls.dir = make_temp_dir(cls.addClassCleanup)
        cls.pop3, cls.server = serve_mailbox(
            cls.dir, cls.addClassCleanup, "test",
            fixture={"extra_config": "protocol pop3 {\n  pop3_lock_session = yes\n}"},
            extra=["--timeout", "2"])

    def test_requests_of_one_setting_at_once_all_end_whole(self):
        paths = ["/001pwtoplist", "/001pwmail001", "/001pwmail002", "/001pwmail003"] * 2
        pages = [None] * len(paths)

        def fetch(i):
            pages[i] = self.server.page(paths[i])

        threads = [threading.Thread(target=fetch, args=(i,)) for i in range(len(paths))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for path, page in zip(paths, pages):
            self.assertTrue(page.endswith(FOOTER), f"{path}: {page[-200:]!r}")

    def test_a_mailbox_another_client_holds_is_waited_for(self):
        holder = hold_mailbox(self.pop3, 0.3)
        page, line = self.server.page_and_log_line("/001pwmail001")
        holder.join()
        self.assertTrue(page.endswith(FOOTER), line)
        self.assertIn("outcome=ok", line)


class MovedMessageTest(unittest.TestCase):
    """The modern pages' links name a message by its unique id as well as its number:
    another mail program deleting a message shifts the numbers of every later one, and
    a link must still open the message its row named."""

    GONE = "このメールはサーバにありません。".encode("cp932")

    def setUp(self):
        self.dir = make_temp_dir(self.addCleanup)
        mails = [(f"From: a@example.jp\nSubject: Mail number {i}\n\nText of mail {i}.\n").encode()
                 for i in range(1, 6)]
        self.pop3, self.server = serve_mailbox(self.dir, self.addCleanup, mails,
                                               MAIL_PAGE_STYLE="1")

    def delete_first_message(self):
        maildir = os.path.join(self.pop3.directory, "mail", self.pop3.user)
        for sub in ("new", "cur"):
            for name in os.listdir(os.path.join(maildir, sub)):
                if ".M000001P" in name:
                    os.remove(os.path.join(maildir, sub, name))
                    return
        self.fail("message 1 not found in the Maildir")

    def test_rows_open_their_messages_after_an_earlier_one_is_deleted(self):
        page = self.server.page("/001pwtoplist")
        # A subject that is not an encoded word keeps its line's CR LF.
        rows = re.findall(rb"<P><A HREF='(001pwmail\d{3}\.[0-9a-f]{12})'>(.*?)(?:\r\n)?</A>", page)
        self.assertEqual([subject for _, subject in rows],
                         [b"Mail number %d" % i for i in range(1, 6)])
        self.delete_first_message()
        for href, subject in rows[1:]:
            with self.subTest(subject):
                shown = self.server.page("/" + href.decode())
                self.assertIn(b"</B> " + subject + b"<BR>", shown)
                self.assertIn(b"Text of mail " + subject[-1:] + b".<BR>", shown)
                self.assertTrue(shown.endswith(FOOTER), shown[-200:])
        gone = self.server.page("/" + rows[0][0].decode())
        self.assertIn(b"<P>" + self.GONE + b"</P><P CLASS=n><A HREF='001pwtoplist'>", gone)
        self.assertTrue(gone.endswith(FOOTER), gone[-200:])
        self.assertNotIn(b"Mail number", gone)
        # A token no id makes is no message either; the number alone opens it as before.
        self.assertIn(self.GONE, self.server.page("/001pwmail002.zz"))
        self.assertIn(b"Text of mail 3.", self.server.page("/001pwmail002"))


if __name__ == "__main__":
    harness.require_tallwynd()
    harness.require_program(DOVECOT, "dovecot-pop3d")
    unittest.main()
