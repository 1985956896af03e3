#!/usr/bin/python3
"""Sample mails for the POP3 fixture, composed with Python's email package the way
Japanese mail software writes them (ISO-2022-JP text, base64 encoded-word subjects,
Date before Subject), written into a maildir.

    mail_samples.py {test,demo} MAILDIR

Each sample also says what a reader of Tallwyn's pages should see: the subject as
the list page decodes it and a piece of the text the single-mail page shows.
"""

import argparse
import base64
import email
import os
import random
import sys
from dataclasses import dataclass, field
from email import policy
from email.charset import BASE64, QP, Charset
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
    # The mail as sent, when its header is written in a form the email package never
    # writes itself (then message is what Python reads back from it), and the subject
    # a reader sees when Python cannot decode it (raw Shift_JIS).
    raw: bytes = None
    reader_subject: str = None
    # False when the subject is longer than the list page keeps: the row shows its start.
    listed_whole: bool = True

    @property
    def subject(self) -> str:
        """The subject as a mail reader decodes it."""
        if self.reader_subject is not None:
            return self.reader_subject
        if self.raw is not None or self.message.get("Subject") is None:
            header = email.message_from_bytes(self.as_bytes(), policy=policy.default)["subject"]
            return "" if header is None else str(header)
        return str(make_header(decode_header(self.message["Subject"])))

    @property
    def written_today(self) -> bool:
        """Whether the subject is of a kind only today's decoding reads: written in a
        form the email package never writes, or in a charset other than ISO-2022-JP.
        Its list row is compared by the text a reader sees, since the folding decides
        where line breaks stay in the link."""
        if self.raw is not None:
            return True
        return any(charset not in (None, JIS, "us-ascii")
                   for _, charset in decode_header(self.message["Subject"]))

    def as_bytes(self) -> bytes:
        return self.raw if self.raw is not None else self.message.as_bytes()

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
               shown=["The measurements are attached (1 MB).",
                      "measurements.bin (application/octet-stream, 1.0 MB)"],
               hidden=[attachment.get_payload()[:60]]))

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
    samples += _today_subject_samples(len(samples) + 1)
    samples += _today_body_samples(len(samples) + 1)
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
    samples += _today_demo_samples(len(samples) + 1)
    return samples


# --- Mail as today's software writes it ------------------------------------------------
# UTF-8 and Latin subjects, B and Q words, raw 8-bit text, quoted-printable bodies,
# HTML-only mail. Composed with the email package; the few header forms it never writes
# (a field name in lower case, no blank after the colon, a character split across two
# encoded words) are written as mail software out there writes them.

UTF8 = "utf-8"


def _utf8_qp() -> Charset:
    """UTF-8 text sent quoted-printable, as most mailers send mostly-Latin text."""
    charset = Charset(UTF8)
    charset.body_encoding = QP
    return charset


def _today_head(msg: Message, index: int, sender, to, subject) -> Message:
    """The usual fields, the subject as given (a str or an email.header.Header)."""
    msg["Date"] = formatdate(BASE_TIME + 3600 * index, localtime=False)
    msg["From"] = formataddr(sender) if sender[0].isascii() else formataddr(sender, charset=UTF8)
    msg["To"] = formataddr(to)
    if subject is not None:
        msg["Subject"] = subject
    msg["Message-ID"] = f"<{BASE_TIME + index}.{index}@tallwyn.example>"
    return msg


def _raw_subject(msg: Message, field: bytes) -> bytes:
    """The mail as bytes with field (one or more header lines) ending its header."""
    head, _, body = msg.as_bytes().partition(b"\n\n")
    return head + b"\n" + field + b"\n\n" + body


def _outlook_split(text: str) -> bytes:
    """text as two UTF-8 B words on two lines, split inside a character, as Outlook
    and others split long subjects."""
    data = text.encode(UTF8)
    cut = len(data) // 2
    while cut < len(data) and (data[cut] & 0xC0) != 0x80:
        cut += 1  # inside a character: a continuation byte follows
    words = [b"=?utf-8?B?" + base64.b64encode(part) + b"?=" for part in (data[:cut], data[cut:])]
    return b"Subject: " + b"\n ".join(words)


def _jis_words_on_one_line(first: str, second: str) -> bytes:
    words = [b"=?ISO-2022-JP?B?" + base64.b64encode(part.encode(JIS)) + b"?=" for part in (first, second)]
    return b"Subject: " + b" ".join(words)


def _today_subject_samples(first_index: int) -> list:
    """One mail per kind of subject that today's mail software writes."""
    me = ("Taro Yamada", "taro@example.jp")
    plain = [
        ("today_utf8_japanese", Header("来週の打ち合わせの件（議事録つき）", UTF8)),
        ("today_utf8_emoji", Header("週末のバーベキュー🍖 参加費¥1,000です", UTF8)),
        ("today_q_latin", Header("Die Hasen und die Frösche: ein Märchen", "iso-8859-1")),
    ]
    raw = [
        ("today_outlook_split", _outlook_split("年末調整の書類提出のお願い（総務部より）"), None),
        ("today_lower_case_name", b"subject: Field name in lower case", None),
        ("today_no_blank", b"Subject:Undelivered Mail Returned to Sender", None),
        ("today_longer_name", b"Subjectx: not the subject\nSubject: The subject after Subjectx", None),
        ("today_raw_utf8", "Subject: 🎉 月末セールのお知らせ".encode(UTF8), None),
        ("today_raw_shift_jis", "Subject: 古いメーラーの件名".encode("cp932"), "古いメーラーの件名"),
        ("today_jis_words_on_one_line", _jis_words_on_one_line("見積書", "送付のご案内"), None),
        # Folded over ten thousand lines: 100 KB that the list page cuts to 4 KiB.
        ("today_endless_fold",
         b"Subject: " + b"\n ".join(b"word%05d" % i for i in range(10000)), None),
    ]
    samples = []
    index = first_index
    for name, subject in plain:
        body = f"This mail's subject is of the kind {name[6:]}.\n"
        msg = _today_head(MIMEText(body, "plain", "us-ascii"), index, me, me, subject)
        samples.append(Sample(name, msg, shown=[body.strip()]))
        index += 1
    for name, field_, reader_subject in raw:
        body = f"This mail's subject is of the kind {name[6:]}.\n"
        data = _raw_subject(_today_head(MIMEText(body, "plain", "us-ascii"), index, me, me, None), field_)
        samples.append(Sample(name, email.message_from_bytes(data), shown=[body.strip()], raw=data,
                              reader_subject=reader_subject,
                              listed_whole=name != "today_endless_fold"))
        index += 1
    return samples


def _html_newsletter(index: int, sender, to, subject) -> Message:
    html = ("<html><head><style>p { color: #333; }</style><title>Newsletter</title></head>"
            "<body><h1>今月のニュースレター 🌸</h1>"
            "<p>春の新商品が入荷しました。<br>店頭でお待ちしています。</p>"
            "<p>Caf&eacute; &amp; Bäckerei: <a href=\"https://shop.example.jp/spring\">特集ページ</a></p>"
            "</body></html>\n")
    return _today_head(MIMEText(html, "html", _utf8_qp()), index, sender, to, Header(subject, UTF8))


def _today_body_samples(first_index: int) -> list:
    """Mail whose body only today's decoding shows right: checked by the browser test
    against Python's reading (shown stays empty here)."""
    shop = ("Hanamizuki Shop", "news@shop.example.jp")
    me = ("Taro Yamada", "taro@example.jp")
    return [Sample("today_html_only", _html_newsletter(first_index, shop, me, "今月のニュースレター 🌸"))]


def _today_demo_samples(first_index: int) -> list:
    """Demo mails of today's kinds."""
    me = ("Demo", "demo@tallwyn.example")
    samples = []
    body = ("Hallo!\n\nGrüße aus München – das Wetter ist schön, 23 °C.\n"
            "Wir sehen uns am Freitag im Café.\n\nLiebe Grüße\nJörg 😊\n")
    msg = _today_head(MIMEText(body, "plain", _utf8_qp()), first_index,
                      ("Jörg Müller", "joerg@example.de"), me, Header("🎉 Grüße aus München", UTF8))
    samples.append(Sample("today_emoji_quoted_printable", msg))
    samples.append(Sample("today_html_newsletter",
                          _html_newsletter(first_index + 1, ("Hanamizuki Shop", "news@shop.example.jp"),
                                           me, "今月のニュースレター 🌸")))
    mixed = MIMEMultipart()
    mixed.attach(MIMEText("お世話になっております。\n見積書をお送りします。ご確認ください。\n", "plain", UTF8))
    pdf = b"%PDF-1.4\n% a tiny sample, not a real quotation\n%%EOF\n"
    attachment = MIMEApplication(pdf, "pdf")
    attachment.add_header("Content-Disposition", "attachment", filename=("utf-8", "", "見積書.pdf"))
    mixed.attach(attachment)
    samples.append(Sample("today_attachment",
                          _today_head(mixed, first_index + 2, ("佐藤 花子", "hanako@example.jp"), me,
                                      Header("見積書送付のご案内", UTF8))))
    return samples


# --- Bodies of today's mail: charsets, transfer encodings, HTML, nesting, attachments ---

def _body_text(text: str, charset: str, encoding=None) -> MIMEText:
    """A text/plain part in charset; encoding "qp" or "base64" overrides Python's choice."""
    if encoding is None:
        return MIMEText(text, "plain", charset)
    cs = Charset(charset)
    cs.body_encoding = QP if encoding == "qp" else BASE64
    return MIMEText(text, "plain", cs)


def _raw_text(payload: str, charset: str, encoding: str) -> Message:
    """A text/plain part whose payload (7-bit or 8-bit, as the mail carries it) is given
    as it stands, for what Python's codecs will not write."""
    part = Message()
    part["MIME-Version"] = "1.0"
    part["Content-Type"] = f'text/plain; charset="{charset}"'
    part["Content-Transfer-Encoding"] = encoding
    part.set_payload(payload)
    return part


def body_samples(first: int) -> list:
    """Mails whose text today's mailers write in other forms than ISO-2022-JP 7bit;
    message numbers (for the dates) start at first."""
    taro = ("Taro Yamada", "taro@example.jp")
    me = ("Hanako Sato", "hanako@example.jp")
    samples = []

    def add(name, message, subject, shown, hidden=()):
        index = first + len(samples)
        samples.append(Sample(name, _head(message, index, taro, me, subject),
                              shown=list(shown), hidden=list(hidden)))

    text = "こんにちは。UTF-8の本文です。\n絵文字もあります。\n"
    add("utf8_base64", _body_text(text, "utf-8", "base64"), "UTF-8 text in base64",
        ["こんにちは。UTF-8の本文です。", "絵文字もあります。"])

    # Longer than a quoted-printable line, so the encoder breaks it with soft line breaks.
    long_line = "この行は長いので、引用符付き印字可能形式では途中で何度も折り返されます。" * 2
    add("utf8_quoted_printable", _body_text(f"{long_line}\n次の行です。\n", "utf-8", "qp"),
        "UTF-8 text in quoted-printable", [long_line, "次の行です。"])

    # Python writes EUC-JP mail as ISO-2022-JP; this one goes out as the bytes themselves.
    euc = "EUC-JPの本文です。\n半角カナもどうぞ。\n".encode("euc-jp").decode("ascii", "surrogateescape")
    add("euc_jp_8bit", _raw_text(euc, "EUC-JP", "8bit"), "EUC-JP text",
        ["EUC-JPの本文です。", "半角カナもどうぞ。"])

    # NEC special characters (row 13): Python's iso2022_jp codec refuses them.
    add("jis_nec_specials", _raw_text("\x1b$B-!-\"-j\x1b(B\n", "ISO-2022-JP", "7bit"),
        "Numbered items", ["①②㈱"])

    page = ("<html><head><title>News</title><style>p { font-family: serif; }</style></head>"
            "<body><h1>今月のお知らせ</h1><p>新しい&amp;便利な機能を<b>追加</b>しました。</p>"
            "<p>詳しくは<a href=\"https://example.jp/news\">こちら</a></p></body></html>\n")
    add("html_only", MIMEText(page, "html", "utf-8"), "Newsletter in HTML only",
        ["今月のお知らせ", "新しい&便利な機能を追加しました。", "詳しくはこちら (https://example.jp/news)"],
        hidden=["<p>", "font-family", "News"])

    # Thunderbird's shape: the alternative's boundary on its Content-Type line, inside mixed.
    alt = MIMEMultipart("alternative", boundary="alt-1")
    alt.attach(_body_text("見積書を添付します。\nご確認ください。\n", "utf-8", "qp"))
    alt.attach(MIMEText("<p>HTMLの見積書です。</p>\n", "html", "utf-8"))
    mixed = MIMEMultipart()
    mixed.attach(alt)
    pdf = MIMEApplication(b"%PDF-1.4\n" + bytes(2038), "pdf")
    pdf.add_header("Content-Disposition", "attachment", filename=("utf-8", "", "見積書.pdf"))
    mixed.attach(pdf)
    add("nested_with_attachment", mixed, "Quotation attached",
        ["見積書を添付します。", "ご確認ください。", "見積書.pdf (application/pdf, 2 KB)"],
        hidden=["HTMLの見積書", "%PDF"])
    return samples


def _test_set() -> list:
    samples = test_samples()
    return samples + body_samples(len(samples) + 1)


SAMPLE_SETS = {"test": _test_set, "demo": demo_samples}


def write_maildir(maildir: str, samples: list) -> None:
    """Writes the samples (Sample objects or raw mails as bytes) into maildir/new in
    order, so that message number i+1 is samples[i] (the server numbers new mails in
    file-name order)."""
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    for i, sample in enumerate(samples, start=1):
        name = f"{BASE_TIME + i}.M{i:06d}P1.tallwyn"
        data = sample if isinstance(sample, bytes) else sample.as_bytes()
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
