#!/usr/bin/python3
"""A throwaway Dovecot POP3 server on 127.0.0.1 for the tests and the demo.

    pop3_fixture.py start DIR [--samples test|demo|none] [--user U] [--password P]
        Creates DIR (new or empty) with a Dovecot configuration (POP3 only, no TLS, plain-text
        passwords, a maildir with the sample mails), starts Dovecot on a free port,
        waits until it greets, and prints HOST:PORT.
    pop3_fixture.py stop DIR
        Stops the Dovecot started in DIR (DIR itself is left to the caller).

From Python, Pop3Fixture(..., tls=(certificate, key)) serves the same mailbox over TLS
as well, on a second port (tls_port).

As root, Dovecot's login and internal processes run as the users the Debian package
made (dovenull, dovecot) and the mailbox belongs to nobody, since Dovecot refuses
uid 0 for mail access and root for login processes. As any other user, everything
runs as that user.
"""

import argparse
import errno
import grp
import os
import pwd
import random
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mail_samples  # noqa: E402

HOST = "127.0.0.1"
DOVECOT = "/usr/sbin/dovecot"
START_ATTEMPTS = 5


class FixtureError(RuntimeError):
    pass


def unused_port() -> int:
    """A loopback port nobody uses right now, below the range the kernel hands out by
    itself: no outgoing connection takes it before it is used, and the pick is random,
    so tests running side by side do not meet on it."""
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            automatic_low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        automatic_low = 32768
    high = max(11000, automatic_low) - 1
    for _ in range(100):
        port = random.randint(10000, high)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind((HOST, port))
            except OSError:
                continue
            return port
    raise FixtureError("no unused port below the automatic range")


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie (not yet reaped by its parent) has finished its work.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Pop3Fixture:
    """One Dovecot instance in its own directory. Use as a context manager or call
    start() and stop()."""

    def __init__(self, directory: str, user: str = "alice", password: str = "secret",
                 samples: str | list = "test", tls=None, tls_by_name=None, extra_config="",
                 oauth2_introspection_url: str = ""):
        """samples: the name of a sample set, "none", or the mails themselves (as
        write_maildir takes them); tls: (certificate file, key file) to serve POP3 over
        TLS as well, on tls_port beside the plain port, where STLS is offered then;
        tls_by_name: {server name: (certificate, key)} for clients that ask for that
        name (SNI); extra_config: lines added to dovecot.conf;
        oauth2_introspection_url: check logins (AUTH XOAUTH2 only) with Dovecot's OAuth 2.0
        password database, which asks that address about each token."""
        self.directory = os.path.abspath(directory)
        self.user = user
        self.password = password
        if isinstance(samples, str):
            samples = mail_samples.SAMPLE_SETS[samples]() if samples != "none" else []
        self.samples = samples
        self.port = 0
        self.tls = tls
        self.tls_by_name = tls_by_name or {}
        self.tls_port = 0
        self.extra_config = extra_config
        self.oauth2_introspection_url = oauth2_introspection_url

    @property
    def address(self) -> str:
        return f"{HOST}:{self.port}"

    def tls_address(self, host: str = HOST) -> str:
        """MAIL_SERVER for the TLS listener, reached by the name host."""
        return f"pop3s://{host}:{self.tls_port}"

    def _ssl_config(self) -> str:
        if not self.tls:
            return "ssl = no"
        lines = [f"ssl = yes", f"ssl_cert = <{self.tls[0]}", f"ssl_key = <{self.tls[1]}"]
        for name, (cert, key) in self.tls_by_name.items():
            lines += [f"local_name {name} {{", f"  ssl_cert = <{cert}", f"  ssl_key = <{key}",
                      "}"]
        return "\n".join(lines)

    def _path(self, *parts) -> str:
        return os.path.join(self.directory, *parts)

    @property
    def log_path(self) -> str:
        return self._path("dovecot.log")

    def _users(self):
        """(login user, internal user, internal group, mail uid, mail gid)."""
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            return "dovenull", "dovecot", "dovecot", nobody.pw_uid, nobody.pw_gid
        me = pwd.getpwuid(os.geteuid()).pw_name
        group = grp.getgrgid(os.getegid()).gr_name
        return me, me, group, os.geteuid(), os.getegid()

    def _passdb_config(self) -> str:
        d = self.directory
        if not self.oauth2_introspection_url:
            return f"""auth_mechanisms = plain
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/passwd
}}"""
        with open(self._path("dovecot-oauth2.conf.ext"), "w") as f:
            f.write(f"""introspection_mode = post
introspection_url = {self.oauth2_introspection_url}
force_introspection = yes
username_attribute = username
active_attribute = active
active_value = true
timeout_msecs = 5000
""")
        # No failure delay and no growing penalty for the address that failed (it is
        # waived for trusted networks): the tests have tokens refused on purpose.
        return f"""auth_mechanisms = xoauth2
auth_failure_delay = 0
login_trusted_networks = {HOST}/32
passdb {{
  driver = oauth2
  args = {d}/dovecot-oauth2.conf.ext
}}"""

    def _write_config(self, port: int) -> None:
        login_user, internal_user, internal_group, uid, gid = self._users()
        d = self.directory
        passdb = self._passdb_config()
        ssl = self._ssl_config()
        tls_port = self.tls_port if self.tls else 0
        conf = f"""# Throwaway POP3 server for Tallwyn's tests and demo.
protocols = pop3
listen = {HOST}
base_dir = {d}/run
state_dir = {d}/state
instance_name = tallwyn-{port}
log_path = {d}/dovecot.log
{ssl}
disable_plaintext_auth = no
default_login_user = {login_user}
default_internal_user = {internal_user}
default_internal_group = {internal_group}
first_valid_uid = {min(uid, 500)}
mail_location = maildir:{d}/mail/%u
{passdb}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={d}/mail/%u
}}
service pop3-login {{
  chroot =
  inet_listener pop3 {{
    address = {HOST}
    port = {port}
  }}
  inet_listener pop3s {{
    address = {HOST}
    port = {tls_port}
    ssl = yes
  }}
}}
service anvil {{
  chroot =
}}
{self.extra_config}
"""
        with open(self._path("dovecot.conf"), "w") as f:
            f.write(conf)

    def _check_reachable(self) -> None:
        """As root the server's processes run as other users, who must be able to
        pass through every directory above DIR."""
        if os.geteuid() != 0:
            return
        parent = os.path.dirname(self.directory)
        while True:
            mode = os.stat(parent).st_mode
            if not mode & 0o001:
                raise FixtureError(f"{parent} is not searchable by other users (mode "
                                   f"{mode & 0o777:o}); Dovecot's unprivileged processes "
                                   f"could not reach {self.directory}")
            if parent == "/":
                return
            parent = os.path.dirname(parent)

    def _prepare(self) -> None:
        os.makedirs(self.directory, exist_ok=True)
        if os.listdir(self.directory):
            raise FixtureError(f"{self.directory} is not empty; give a new directory")
        self._check_reachable()
        # Dovecot's unprivileged processes must reach their sockets and the mailbox.
        os.chmod(self.directory, 0o755)
        for sub in ("run", "state"):
            os.makedirs(self._path(sub), exist_ok=True)
        with open(self._path("passwd"), "w") as f:
            f.write(f"{self.user}:{{PLAIN}}{self.password}\n")
        os.chmod(self._path("passwd"), 0o644)
        maildir = self._path("mail", self.user)
        mail_samples.write_maildir(maildir, self.samples)
        uid, gid = self._users()[3:]
        if os.geteuid() == 0:
            for root, dirs, files in os.walk(self._path("mail")):
                for name in [root] + [os.path.join(root, n) for n in dirs + files]:
                    os.chown(name, uid, gid)

    def _wait_greeting(self, deadline: float) -> None:
        last = None
        while time.monotonic() < deadline:
            try:
                with socket.create_connection((HOST, self.port), timeout=1.0) as s:
                    s.settimeout(max(0.1, deadline - time.monotonic()))
                    greeting = s.recv(512)
                    if greeting.startswith(b"+OK"):
                        s.sendall(b"QUIT\r\n")
                        return
                    last = greeting
            except OSError as e:
                last = e
            time.sleep(0.05)
        raise FixtureError(f"Dovecot on {self.address} did not greet: {last}\n{self.log_tail()}")

    def log_tail(self, lines: int = 20) -> str:
        try:
            with open(self.log_path, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no log)"

    def start(self, timeout: float = 10.0) -> "Pop3Fixture":
        if not os.access(DOVECOT, os.X_OK):
            raise FixtureError(f"{DOVECOT} not found (Debian package dovecot-pop3d)")
        deadline = time.monotonic() + timeout
        self._prepare()
        for _ in range(START_ATTEMPTS):
            self.port = unused_port()
            self.tls_port = unused_port() if self.tls else 0
            self._write_config(self.port)
            # The daemon keeps inherited descriptors open, so its output goes to a
            # file rather than a pipe that would never reach end of file.
            with open(self._path("start.out"), "w+") as out:
                run = subprocess.run([DOVECOT, "-c", self._path("dovecot.conf")],
                                     stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                     timeout=max(1.0, deadline - time.monotonic()))
                out.seek(0)
                output = out.read()
            if run.returncode == 0:
                try:
                    self._wait_greeting(deadline)
                except FixtureError:
                    self.stop()
                    raise
                return self
            # Someone took the port between the probe and Dovecot's bind: try another.
            if "Address already in use" not in output:
                raise FixtureError(f"dovecot failed ({run.returncode}):\n{output}")
        raise FixtureError("no free port for Dovecot")

    def master_pid(self) -> int:
        try:
            with open(self._path("run", "master.pid")) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return 0

    def stop(self, timeout: float = 5.0) -> None:
        pid = self.master_pid()
        if pid <= 0:
            return
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.monotonic() + timeout
        while _pid_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        if _pid_alive(pid):
            os.kill(pid, signal.SIGKILL)
        try:
            os.unlink(self._path("run", "master.pid"))
        except OSError as e:
            if e.errno != errno.ENOENT:
                raise

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main() -> int:
    parser = argparse.ArgumentParser(description="Start or stop a throwaway Dovecot POP3 server.")
    sub = parser.add_subparsers(dest="command", required=True)
    start = sub.add_parser("start", help="create DIR, start Dovecot, print HOST:PORT")
    start.add_argument("directory")
    start.add_argument("--samples", choices=sorted(mail_samples.SAMPLE_SETS) + ["none"],
                       default="test")
    start.add_argument("--user", default="alice")
    start.add_argument("--password", default="secret")
    start.add_argument("--timeout", type=float, default=10.0)
    stop = sub.add_parser("stop", help="stop the Dovecot started in DIR")
    stop.add_argument("directory")
    args = parser.parse_args()

    try:
        if args.command == "start":
            fixture = Pop3Fixture(args.directory, args.user, args.password, args.samples)
            fixture.start(args.timeout)
            print(fixture.address)
        else:
            Pop3Fixture(args.directory, samples="none").stop()
    except (FixtureError, OSError, subprocess.TimeoutExpired) as e:
        print(f"pop3_fixture: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
