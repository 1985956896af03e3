#!/usr/bin/python3
"""A small OAuth 2.0 authorization server on 127.0.0.1 for the tests, in the standard
library only. It issues, expires, rotates and revokes tokens, and answers Dovecot's
token introspection, so that a real Dovecot checks the tokens tallwynd sends.

Endpoints (all form-encoded POSTs answered with JSON, except /authorize):
    /device      device authorization (RFC 8628 3.1)
    /authorize   GET: the "browser" step of the code flow; redirects at once to the
                 redirect_uri with a code and the state, as if the user had agreed
    /token       device_code, authorization_code (PKCE S256 checked) and refresh_token
    /introspect  token=...: {"active": true, "username": ...} for a live access token

Counters and switches are attributes the test reads and sets.
"""

import base64
import hashlib
import http.server
import json
import secrets
import sys
import threading
import time
import urllib.parse

HOST = "127.0.0.1"
DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"


class OAuthFixture:
    def __init__(self, username: str = "alice", client_id: str = "tallwyn-test",
                 access_ttl: float = 3600, rotate: bool = True):
        self.username = username
        self.client_id = client_id
        self.access_ttl = access_ttl   # seconds an access token lives
        self.rotate = rotate           # a refresh gives a new refresh token
        self.device_interval = 1
        self.device_expires = 60
        # What the device polls get before the token: e.g. ["authorization_pending",
        # "slow_down"]; each entry answers one poll.
        self.device_script = []
        self.lock = threading.Lock()
        self.access = {}    # access token -> expiry (monotonic)
        self.refresh = set()
        self.devices = {}   # device_code -> remaining script
        self.codes = {}     # code -> (challenge, redirect_uri)
        self.counts = {"refresh": 0, "device_poll": 0, "introspect": 0, "code": 0}
        self.poll_times = []
        self.requests = []  # (path, form) of every POST, for checks of what was sent
        self.token_reply = None  # when set: (status, body bytes) for every /token
        self.token_delay = 0.0   # when set: /token waits this long, then refuses
        self.server = None
        self.thread = None

    # Tokens ------------------------------------------------------------------
    def _issue(self) -> dict:
        access = "at-" + secrets.token_urlsafe(24)
        refresh = "rt-" + secrets.token_urlsafe(48)
        self.access[access] = time.monotonic() + self.access_ttl
        self.refresh.add(refresh)
        return {"access_token": access, "token_type": "Bearer",
                "expires_in": int(self.access_ttl), "refresh_token": refresh,
                "scope": "pop"}

    def issue_refresh_token(self) -> str:
        with self.lock:
            return self._issue()["refresh_token"]

    def expire_access_tokens(self) -> None:
        with self.lock:
            for token in self.access:
                self.access[token] = 0

    def revoke_refresh_tokens(self) -> None:
        with self.lock:
            self.refresh.clear()

    # HTTP --------------------------------------------------------------------
    def _token(self, form: dict):
        grant = form.get("grant_type", "")
        if form.get("client_id") != self.client_id:
            return 401, {"error": "invalid_client"}
        if grant == "refresh_token":
            self.counts["refresh"] += 1
            old = form.get("refresh_token", "")
            if old not in self.refresh:
                return 400, {"error": "invalid_grant",
                             "error_description": "refresh token revoked"}
            reply = self._issue()
            if self.rotate:
                self.refresh.discard(old)
            else:
                self.refresh.discard(reply.pop("refresh_token"))
            return 200, reply
        if grant == DEVICE_GRANT:
            self.counts["device_poll"] += 1
            self.poll_times.append(time.monotonic())
            script = self.devices.get(form.get("device_code", ""))
            if script is None:
                return 400, {"error": "invalid_grant"}
            if script:
                return 400, {"error": script.pop(0)}
            del self.devices[form["device_code"]]
            return 200, self._issue()
        if grant == "authorization_code":
            self.counts["code"] += 1
            entry = self.codes.pop(form.get("code", ""), None)
            if entry is None:
                return 400, {"error": "invalid_grant"}
            challenge, redirect = entry
            verifier = form.get("code_verifier", "").encode()
            made = base64.urlsafe_b64encode(hashlib.sha256(verifier).digest()).rstrip(b"=")
            if made.decode() != challenge or form.get("redirect_uri") != redirect:
                return 400, {"error": "invalid_grant", "error_description": "PKCE or redirect"}
            return 200, self._issue()
        return 400, {"error": "unsupported_grant_type"}

    def _post(self, path: str, form: dict):
        with self.lock:
            self.requests.append((path, form))
            if path == "/device":
                code = "dc-" + secrets.token_urlsafe(16)
                self.devices[code] = list(self.device_script)
                return 200, {"device_code": code, "user_code": "WDJB-MJHT",
                             "verification_uri": f"{self.url}/verify",
                             "expires_in": self.device_expires,
                             "interval": self.device_interval}
            if path == "/token":
                if self.token_reply is not None:
                    return self.token_reply
                return self._token(form)
            if path == "/introspect":
                self.counts["introspect"] += 1
                expiry = self.access.get(form.get("token", ""))
                if expiry is None or expiry <= time.monotonic():
                    return 200, {"active": False}
                return 200, {"active": True, "username": self.username}
        return 404, {"error": "not_found"}

    def _authorize(self, query: dict):
        redirect = query.get("redirect_uri", "")
        if (query.get("client_id") != self.client_id or query.get("response_type") != "code"
                or query.get("code_challenge_method") != "S256"
                or not redirect.startswith("http://127.0.0.1:")):
            return 400, "bad authorization request"
        code = "code-" + secrets.token_urlsafe(16)
        with self.lock:
            self.codes[code] = (query.get("code_challenge", ""), redirect)
        target = redirect + "?" + urllib.parse.urlencode({"code": code,
                                                          "state": query.get("state", "")})
        return 302, target

    @property
    def url(self) -> str:
        return f"http://{HOST}:{self.server.server_address[1]}"

    def start(self) -> "OAuthFixture":
        fixture = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def _send(self, status, body: bytes, content_type="application/json",
                      location=None):
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                if location:
                    self.send_header("Location", location)
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                if self.path == "/token" and fixture.token_delay:
                    # Too late for the client, and no token spent on it.
                    time.sleep(fixture.token_delay)
                    self._send(503, b'{"error": "temporarily_unavailable"}')
                    return
                length = int(self.headers.get("Content-Length", "0"))
                form = dict(urllib.parse.parse_qsl(self.rfile.read(length).decode()))
                status, body = fixture._post(urllib.parse.urlsplit(self.path).path, form)
                self._send(status, body if isinstance(body, bytes) else json.dumps(body).encode())

            def do_GET(self):
                parts = urllib.parse.urlsplit(self.path)
                if parts.path != "/authorize":
                    self._send(404, b"{}")
                    return
                status, target = fixture._authorize(dict(urllib.parse.parse_qsl(parts.query)))
                if status == 302:
                    self._send(302, b"", "text/plain", location=target)
                else:
                    self._send(status, target.encode(), "text/plain")

        class Server(http.server.ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                # A client that stops reading a long answer (as it must) is no fault.
                if not isinstance(sys.exc_info()[1], (ConnectionResetError, BrokenPipeError)):
                    super().handle_error(request, client_address)

        self.server = Server((HOST, 0), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    def stop(self) -> None:
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.server = None
