#!/usr/bin/python3
"""Throwaway certificates for TLS tests, made with the openssl command.

    test_pki.py DIR [NAME...]
        Writes into DIR a certificate authority (ca.pem) and, signed by it, a server
        certificate with its key (server.pem, server.key) for the given names
        (default: localhost and 127.0.0.1; names made of digits and dots are
        addresses). Also writes a second authority that nobody trusts with a server
        certificate of its own for the same names (stranger-server.pem and .key), and
        a certificate of the first authority for another name (other-name-server.pem
        and .key, for pop.tallwyn.test). Prints DIR.

Keys are P-256, valid for two days; nothing here is fit for anything but a test.
"""

import os
import re
import subprocess
import sys
from dataclasses import dataclass

OPENSSL = "openssl"
DAYS = "2"


@dataclass
class TestPki:
    directory: str

    def path(self, name: str) -> str:
        return os.path.join(self.directory, name)

    @property
    def ca(self) -> str:
        return self.path("ca.pem")

    def server(self, which: str = "server") -> tuple[str, str]:
        """(certificate, key) of "server", "stranger-server" or "other-name-server"."""
        return self.path(which + ".pem"), self.path(which + ".key")

    def issue(self, stem: str, names=("localhost", "127.0.0.1")) -> tuple[str, str]:
        """A further server certificate of the first authority (a renewal), with a
        key of its own: (certificate, key)."""
        _server(self.directory, stem, "ca", list(names))
        return self.server(stem)


def _run(*args: str) -> None:
    subprocess.run([OPENSSL, *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def _alt_names(names) -> str:
    kinds = ["IP" if re.fullmatch(r"[0-9.]+", n) else "DNS" for n in names]
    return ",".join(f"{k}:{n}" for k, n in zip(kinds, names))


def _authority(directory: str, stem: str, common_name: str) -> None:
    _run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", os.path.join(directory, stem + ".key"),
         "-out", os.path.join(directory, stem + ".pem"),
         "-subj", "/CN=" + common_name, "-days", DAYS,
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign")


def _server(directory: str, stem: str, authority: str, names) -> None:
    key = os.path.join(directory, stem + ".key")
    request = os.path.join(directory, stem + ".csr")
    extensions = os.path.join(directory, stem + ".ext")
    with open(extensions, "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "extendedKeyUsage=serverAuth\n"
                f"subjectAltName={_alt_names(names)}\n")
    _run("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", key, "-out", request, "-subj", "/CN=" + names[0])
    _run("x509", "-req", "-in", request,
         "-CA", os.path.join(directory, authority + ".pem"),
         "-CAkey", os.path.join(directory, authority + ".key"), "-CAcreateserial",
         "-out", os.path.join(directory, stem + ".pem"), "-days", DAYS,
         "-extfile", extensions)
    os.remove(request)
    os.remove(extensions)
    # Dovecot reads the key as root before it drops privileges; others need not.
    os.chmod(key, 0o600)


def make(directory: str, names=("localhost", "127.0.0.1")) -> TestPki:
    os.makedirs(directory, exist_ok=True)
    names = list(names)
    _authority(directory, "ca", "Tallwyn test CA")
    _server(directory, "server", "ca", names)
    _server(directory, "other-name-server", "ca", ["pop.tallwyn.test"])
    _authority(directory, "stranger-ca", "Someone else's CA")
    _server(directory, "stranger-server", "stranger-ca", names)
    return TestPki(directory)


def main() -> int:
    if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if len(sys.argv) >= 2 else 2
    try:
        pki = make(sys.argv[1], sys.argv[2:] or ("localhost", "127.0.0.1"))
    except subprocess.CalledProcessError as e:
        sys.stderr.write(f"test_pki.py: openssl failed: {e.stderr.decode(errors='replace')}")
        return 1
    print(pki.directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
