"""Helpers shared by the tests that run the tallwynd executable: running its
commands, starting it as a server on a free loopback port, and fetching pages."""

import os
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools"))

TALLWYND = os.environ.get("TALLWYND", "")
WAIT = 10.0  # bound of every wait for a process or a page
SKIP = 77    # ctest's SKIP_RETURN_CODE for these tests

# Every page starts with HEAD and a whole page ends with FOOTER; a page whose mail
# could not be read is HEAD alone.
HEAD = b"<HTML><HEAD><TITLE>Ravenquill</TITLE></HEAD><BODY>"
FOOTER = b"<BR><BR><B>By Orrinwick</B></BODY></HTML>"
# The outcome logged when the mail server cannot be reached.
CONNECT_FAILED = "サーバとの接続に失敗しました。"


def require_tallwynd():
    if not TALLWYND or not os.access(TALLWYND, os.X_OK):
        print("TALLWYND must name the tallwynd executable", file=sys.stderr)
        sys.exit(2)


def require_program(program: str, package: str) -> None:
    """Skips the whole test (exit code SKIP) unless program, a path or a command
    name, can be run."""
    if shutil.which(program) is None:
        print(f"skipped: {program} is missing (Debian package {package})", file=sys.stderr)
        sys.exit(SKIP)


def make_temp_dir(add_cleanup) -> str:
    """A directory that add_cleanup (a test's addCleanup or addClassCleanup) removes;
    searchable by others, since a Dovecot started as root reaches its files as other
    users."""
    path = tempfile.mkdtemp(prefix="tallwynd-test-")
    os.chmod(path, 0o755)
    add_cleanup(shutil.rmtree, path, ignore_errors=True)
    return path


def run(args, stdin=None, timeout=WAIT):
    """Runs tallwynd with args; returns the finished process (text output)."""
    return subprocess.run([TALLWYND] + args, input=stdin, capture_output=True, text=True,
                          timeout=timeout)


def escape_html(data: bytes) -> bytes:
    """The escaping the pages apply to text from mail."""
    for raw, entity in ((b"&", b"&amp;"), (b"<", b"&lt;"), (b">", b"&gt;"), (b'"', b"&quot;"),
                        (b"'", b"&#39;")):
        data = data.replace(raw, entity)
    return data


class Server:
    """tallwynd serving on 127.0.0.1 and a port the system picks. Its standard error
    goes to a file, so that a long run never blocks on a full pipe. With tls, a
    (certificate, key, CA) triple, it serves HTTPS too, on https_port, and get and
    page take https=True."""

    def __init__(self, settings_file: str, log_file: str, extra=(), env=None, tls=None):
        self.log_file = log_file
        self.ca = None
        extra = list(extra)
        if tls:
            extra += ["--https-port", "0", "--tls-cert", tls[0], "--tls-key", tls[1]]
            self.ca = tls[2]
        with open(log_file, "wb") as log:
            self.proc = subprocess.Popen(
                [TALLWYND, "--settings", settings_file, "--bind", "127.0.0.1", "--port", "0",
                 *extra], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, env=env)
        schemes = ([] if "--no-http" in extra else ["http"]) + (["https"] if tls else [])
        self.port = self.https_port = None
        self.first_line = b""
        for scheme in schemes:
            line = self._read_line(self.proc.stdout)
            self.first_line = self.first_line or line
            match = re.search(scheme.encode() + rb"://127\.0\.0\.1:(\d+)/001XXXXXXtoplist", line)
            if not match:
                self.stop()
                raise AssertionError(f"unexpected start line {line!r}; "
                                     f"stderr: {self.log_text()}")
            setattr(self, "https_port" if scheme == "https" else "port", int(match.group(1)))

    def connect(self, https=False, timeout=WAIT, source=None):
        """A connection to the plain port, or a TLS one to the HTTPS port that trusts
        the test's CA alone and checks the name localhost."""
        s = socket.create_connection(("127.0.0.1", self.https_port if https else self.port),
                                     timeout=timeout, source_address=source)
        if not https:
            return s
        context = ssl.create_default_context(cafile=self.ca)
        return context.wrap_socket(s, server_hostname="localhost")

    @staticmethod
    def _read_line(stream, timeout=WAIT) -> bytes:
        deadline = time.monotonic() + timeout
        data = b""
        fd = stream.fileno()
        while not data.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 1)
            if not chunk:
                break
            data += chunk
        return data

    def log_text(self) -> str:
        with open(self.log_file, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def request_lines(self, count: int, timeout=WAIT) -> list:
        """The first count request lines of the log, waiting for them (a request is
        logged just after its connection closes)."""
        deadline = time.monotonic() + timeout
        while True:
            lines = [l for l in self.log_text().splitlines() if " client=" in l]
            if len(lines) >= count or time.monotonic() > deadline:
                return lines
            time.sleep(0.01)

    def get(self, path: str, timeout=WAIT, https=False, fields="", source=None) -> bytes:
        """The whole answer to GET path (with more header lines in fields), read
        until the server closes."""
        with self.connect(https, timeout, source) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n{fields}\r\n".encode("ascii"))
            chunks = []
            while True:
                try:
                    chunk = s.recv(65536)
                except ssl.SSLEOFError:  # closed without a close notification
                    chunk = b""
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)

    def page(self, path: str, https=False) -> bytes:
        """The HTML of an answer, its HTTP head checked and removed."""
        answer = self.get(path, https=https)
        head, sep, body = answer.partition(b"\r\n\r\n")
        assert sep, f"no HTTP head in {answer[:200]!r}"
        assert head.startswith(b"HTTP/1.0 200 OK\r\n"), head
        assert b"charset=Shift_JIS" in head, head
        return body

    def page_and_log_line(self, path: str):
        """The page at path, and the log line of its request."""
        before = len(self.request_lines(0))
        page = self.page(path)
        lines = self.request_lines(before + 1)
        if len(lines) != before + 1:
            raise AssertionError(f"{len(lines)} request lines, not {before + 1}: "
                                 f"{self.log_text()}")
        return page, lines[-1]

    def stop(self, sig=signal.SIGTERM) -> int:
        """Sends sig and returns the exit status."""
        try:
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
            return self.proc.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        finally:
            self.proc.stdout.close()


def wait_for(condition, timeout=WAIT) -> bool:
    """Whether condition() comes true within timeout."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def write_settings(settings_file: str, number: int, **values) -> None:
    """Sets keys of a setting through 'tallwynd set'."""
    args = ["set", "--settings", settings_file, str(number)]
    args += [f"{key}={value}" for key, value in values.items()]
    done = run(args)
    if done.returncode != 0:
        raise AssertionError(f"tallwynd {' '.join(args)} failed: {done.stderr}")


def serve_mailbox(work: str, add_cleanup, samples, fixture=None, extra=(), **values):
    """A throwaway Dovecot in work holding samples (with fixture's further options), and
    a tallwynd serving it as setting 1 (web password "pw"), given values besides; both
    are stopped by add_cleanup. Returns (pop3 fixture, server)."""
    from pop3_fixture import Pop3Fixture
    pop3 = Pop3Fixture(os.path.join(work, "pop3"), samples=samples, **(fixture or {}))
    pop3.start()
    add_cleanup(pop3.stop)
    settings = os.path.join(work, "tallwyn.stp")
    write_settings(settings, 1, ENABLE="1", WEB_PASS="pw", MAIL_SERVER=pop3.address,
                   MAIL_ACCOUNT=pop3.user, MAIL_PASS=pop3.password, **values)
    server = Server(settings, os.path.join(work, "tallwynd.log"), extra=extra)
    add_cleanup(server.stop)
    return pop3, server
