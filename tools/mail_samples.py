#!/usr/bin/python3
"""Sample mails for the POP3 fixture, composed with Python's email package the way
Japanese mail software writes them (ISO-2022-JP text, base64 encoded-word subjects,
Date before Subject), written into a maildir.

    mail_samples.py {test,demo} MAILDIR

Each sample also says what a reader of Tallwyn's pages should see: the subject as
the list page decodes it and a piece of the text the single-mail page shows.
"""

import argparse
import os
import random
import sys
from dataclasses import dataclass, field
from email.header import Header, decode_header, make_header
from email.message import Message
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate

JIS = "iso-2022-jp"
BASE_TIME = 1714550400  # 2024-05-01 08:00 UTC; every sample is an hour after the last


@dataclass
class Sample:
    name: str
    message: Message
    # Text the single-mail page must show, and text it must not show.
    shown: list = field(default_factory=list)
    hidden: list = field(default_factory=list)

    @property
    def subject(self) -> str:
        """The subject as a mail reader decodes it."""
        return str(make_header(decode_header(self.message["Subject"])))

    @property
    def subject_is_encoded(self) -> bool:
        """Whether the subject went out as encoded words (anything but ASCII does)."""
        return isinstance(self.message["Subject"], Header)


def _jis_text(text: str) -> MIMEText:
    return MIMEText(text, "plain", JIS)


def _address(name: str, addr: str) -> str:
    return formataddr((name, addr), charset=JIS) if not name.isascii() else formataddr((name, addr))


def _head(msg: Message, index: int, sender, to, subject: str, date_first: bool = True) -> Message:
    """Adds the usual header fields; most mailers put Date before Subject."""
    subject_value = subject if subject.isascii() else Header(subject, JIS)
    date = formatdate(BASE_TIME + 3600 * index, localtime=False)
    if date_first:
        msg["Date"] = date
    msg["From"] = _address(*sender)
    msg["To"] = to if isinstance(to, str) else _address(*to)
    msg["Subject"] = subject_value
    if not date_first:
        msg["Date"] = date
    msg["Message-ID"] = f"<{BASE_TIME + index}.{index}@tallwyn.example>"
    return msg


def test_samples() -> list:
    """Mails that exercise the pages: message numbers follow the list order."""
    taro = ("山田 太郎", "taro@example.jp")
    hanako = ("佐藤 花子", "hanako@example.jp")
    samples = []

    body = "お疲れさまです。山田です。\n\n明日の会議は十時からです。\nよろしくお願いします。\n"
    samples.append(
        Sample("jp_plain", _head(_jis_text(body), 1, taro, hanako, "会議のお知らせ"),
               shown=["お疲れさまです。山田です。", "よろしくお願いします。"]))

    # Long enough that the subject folds over several encoded words; a folded To
    # follows it, whose continuation lines are not part of the subject.
    subject = ("【重要】来週の定例会議は第二会議室で午後三時から開催します。"
               "資料を事前にご確認の上、ご出席ください。")
    many = ", ".join(f"member{i:02d}@example.jp" for i in range(1, 15))
    body = "各位\n\n定例会議の場所が変わりました。\n"
    samples.append(
        Sample("jp_folded", _head(_jis_text(body), 2, taro, many, subject, date_first=False),
               shown=["定例会議の場所が変わりました。"]))

    alt = MIMEMultipart("alternative")
    alt.attach(_jis_text("テキスト版の本文です。\n写真を添付します。\n"))
    alt.attach(MIMEText("<html><body><p>HTML版だけの本文です。</p></body></html>\n", "html", JIS))
    samples.append(
        Sample("alternative", _head(alt, 3, hanako, taro, "週末の予定について"),
               shown=["テキスト版の本文です。", "写真を添付します。"], hidden=["HTML版"]))

    mixed = MIMEMultipart()
    mixed.attach(MIMEText("The measurements are attached (1 MB).\n", "plain", "us-ascii"))
    blob = random.Random(4).randbytes(1 << 20)
    attachment = MIMEApplication(blob, "octet-stream")
    attachment.add_header("Content-Disposition", "attachment", filename="measurements.bin")
    mixed.attach(attachment)
    samples.append(
        Sample("attachment", _head(mixed, 4, ("Lab Robot", "robot@example.org"),
                                   ("Taro Yamada", "taro@example.jp"), "Measurement data"),
               shown=["The measurements are attached (1 MB)."],
               hidden=["measurements.bin", attachment.get_payload()[:60]]))

    words = " ".join(f"word{i:04d}" for i in range(1, 151))  # 1349 bytes on one line
    long_line = f"Start of a long line: {words} end of the long line."
    body = f"The next line is long.\n{long_line}\nAfter the long line.\n"
    samples.append(
        Sample("long_line", _head(MIMEText(body, "plain", "us-ascii"), 5,
                                  ("Printer", "printer@example.org"), ("Taro", "taro@example.jp"),
                                  "Status report with a long line"),
               shown=[long_line, "After the long line."]))

    body = "Tom wrote: <b>not bold</b> & \"quoted\" 'single'\n"
    samples.append(
        Sample("markup", _head(MIMEText(body, "plain", "us-ascii"), 6,
                               ("Tom", "tom@example.com"), ("Jerry", "jerry@example.com"),
                               "Re: Tom & Jerry <b>cartoon</b>"),
               shown=["Tom wrote: <b>not bold</b> & \"quoted\" 'single'"]))
    return samples


def demo_samples() -> list:
    """A few friendly mails for the demo mailbox."""
    me = ("Tallwyn デモ", "demo@tallwyn.example")
    samples = []
    body = ("Tallwynのデモへようこそ。\n\n"
            "この一覧はPOP3サーバから毎回読み直しています。\n"
            "件名をクリックすると本文が表示されます。\n")
    samples.append(Sample("welcome", _head(_jis_text(body), 1, ("管理者", "admin@tallwyn.example"),
                                           me, "Tallwynへようこそ")))
    body = "各位\n\n来週の定例会議は第二会議室で午後三時からです。\n資料は前日までにお送りします。\n"
    samples.append(Sample("meeting", _head(_jis_text(body), 2, ("山田 太郎", "taro@example.jp"), me,
                                           "【連絡】来週の定例会議は第二会議室で午後三時から開催します")))
    alt = MIMEMultipart("alternative")
    alt.attach(_jis_text("今週のお知らせです。\n・図書室は金曜日休みです。\n・健康診断は来月です。\n"))
    alt.attach(MIMEText("<html><body><h1>今週のお知らせ</h1><p>図書室は金曜日休みです。</p>"
                        "</body></html>\n", "html", JIS))
    samples.append(Sample("newsletter", _head(alt, 3, ("総務部", "soumu@example.jp"), me,
                                              "今週のお知らせ")))
    body = "Hi,\n\nshall we have lunch on Friday? The new noodle place opened.\n\nCheers,\nAnna\n"
    samples.append(Sample("lunch", _head(MIMEText(body, "plain", "us-ascii"), 4,
                                         ("Anna Berg", "anna@example.org"), ("Demo", me[1]),
                                         "Lunch on Friday?")))
    return samples


SAMPLE_SETS = {"test": test_samples, "demo": demo_samples}


def write_maildir(maildir: str, samples: list) -> None:
    """Writes the samples (Sample objects or raw mails as bytes) into maildir/new in
    order, so that message number i+1 is samples[i] (the server numbers new mails in
    file-name order)."""
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    for i, sample in enumerate(samples, start=1):
        name = f"{BASE_TIME + i}.M{i:06d}P1.tallwyn"
        data = sample if isinstance(sample, bytes) else sample.message.as_bytes()
        tmp = os.path.join(maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
        os.rename(tmp, os.path.join(maildir, "new", name))


def main() -> int:
    parser = argparse.ArgumentParser(description="Write sample mails into a maildir.")
    parser.add_argument("set", choices=sorted(SAMPLE_SETS))
    parser.add_argument("maildir")
    args = parser.parse_args()
    samples = SAMPLE_SETS[args.set]()
    write_maildir(args.maildir, samples)
    for i, sample in enumerate(samples, start=1):
        print(f"{i}\t{sample.name}\t{sample.subject}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
