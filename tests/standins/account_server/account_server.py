#!/usr/bin/python3
"""Stand-in account server: the REST interface under /api/v1/ that the daemon's account client
talks to, over TLS on loopback, with controls for tests under /_test/.

REST (form-encoded parameters, JSON replies):
  POST   /api/v1/sessions            session[email], session[password] -> sets the _session_id cookie
  GET    /api/v1/sessions/logout     ends the session
  POST   /api/v1/users               user[email], user[password] -> creates the account, signs in
  POST   /api/v1/hosts               host[name|status|uuid|service_names|model_number] -> the host
  GET    /api/v1/hosts               the account's hosts
  GET    /api/v1/hosts/<id>/token    tunnex_token (URL-safe Base64 key), tunnex_host ("host:port")
  POST   /api/v1/hosts/<id>/iamhere  presence
  DELETE /api/v1/hosts/<id>          removes the host
  POST   /api/v1/hosts/<id>/rename   host[nickname]
Refused credentials and requests without a valid session get 422, as the client expects.

Test controls (JSON bodies and replies; not recorded in the request log):
  POST /_test/script    {"method", "path", "status", "content_type", "body" or "body_base64" (URL-safe),
                         "repeat" (the body sent that many times over), "headers", "delay", "times"}
                        the next matching request(s) get this reply instead (after the delay)
  GET  /_test/requests  the request log: method, path, query, headers, body, and for a
                        multipart/form-data body its "parts" (name, filename, content_type,
                        headers, body_base64), as Python's own MIME parser reads them
  POST /_test/reset     empties the log and the scripts
  POST /_test/users     {"email", "password", "key"}: adds an account; its tunnel key is the given
                        hexadecimal key (one the rendezvous stand-in shares), else a random one
  GET  /_test/state     users, hosts and sessions

Run: account_server.py --cert cert.pem --key key.pem [--port 0] [--rendezvous host:port]
It prints "PORT <n>" on standard output once it listens.
"""

import argparse
import base64
import json
import re
import secrets
import signal
import ssl
import sys
import threading
import urllib.parse
from email import policy
from email.parser import BytesParser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SESSION_COOKIE = "_session_id"
MAX_BODY = 16 << 20


class State:
    def __init__(self, rendezvous):
        self.lock = threading.Lock()
        self.users = {}          # email -> {"password", "key"}
        self.sessions = {}       # session id -> email
        self.hosts = {}          # id -> host record (with "owner")
        self.next_host_id = 1
        self.log = []
        self.scripts = []
        self.rendezvous = rendezvous
        self.stopping = threading.Event()

    def add_user(self, email, password, key=None):
        self.users[email] = {"password": password, "key": key or secrets.token_bytes(16)}

    def take_script(self, method, path):
        with self.lock:
            for script in self.scripts:
                if script.get("method", method).upper() == method and script.get("path") == path:
                    script["times"] = script.get("times", 1) - 1
                    if script["times"] <= 0:
                        self.scripts.remove(script)
                    return dict(script)
        return None


def multipart_parts(content_type, body):
    """The parts of a multipart/form-data body, read by the standard library's MIME parser."""
    message = BytesParser(policy=policy.HTTP).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    if not message.is_multipart():
        return None
    parts = []
    for part in message.iter_parts():
        payload = part.get_payload(decode=True) or b""
        parts.append({
            "name": part.get_param("name", header="content-disposition"),
            "filename": part.get_filename(),
            "content_type": part["Content-Type"],
            "headers": [[k, str(v)] for k, v in part.items()],
            "body_base64": base64.urlsafe_b64encode(payload).decode(),
        })
    return parts


def public_host(record):
    return {k: v for k, v in record.items() if k != "owner"}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "AccountStandIn/1.0"

    def log_message(self, fmt, *args):  # quiet: the request log is the record
        pass

    # --- plumbing -------------------------------------------------------------------------------

    @property
    def state(self):
        return self.server.state

    def read_body(self):
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            n = int(length)
        except ValueError:
            return None
        if n < 0 or n > MAX_BODY:
            return None
        return self.rfile.read(n)

    def reply(self, status, body=b"", content_type="application/json; charset=utf-8", headers=None):
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        elif isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        for name, value in (headers or []):
            self.send_header(name, value)
        if content_type and (body or status not in (204, 304)):
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def session_email(self):
        cookies = self.headers.get_all("Cookie") or []
        for header in cookies:
            for part in header.split(";"):
                name, _, value = part.strip().partition("=")
                if name == SESSION_COOKIE:
                    with self.state.lock:
                        return self.state.sessions.get(value)
        return None

    def handle_any(self):
        parsed = urllib.parse.urlsplit(self.path)
        path = parsed.path
        body = self.read_body()
        if body is None:
            self.reply(413, {"error": "body too large"})
            return
        if path.startswith("/_test/"):
            self.handle_control(path, body)
            return
        entry = {
            "method": self.command,
            "path": path,
            "query": parsed.query,
            "headers": {k: v for k, v in self.headers.items()},
            "body": body.decode("utf-8", "replace"),
        }
        content_type = self.headers.get("Content-Type") or ""
        if content_type.startswith("multipart/form-data"):
            entry["parts"] = multipart_parts(content_type, body)
        with self.state.lock:
            self.state.log.append(entry)
        script = self.state.take_script(self.command, path)
        if script is not None:
            if self.state.stopping.wait(float(script.get("delay", 0))):
                return
            extra = list((script.get("headers") or {}).items())
            body = script.get("body", "")
            if "body_base64" in script:  # bodies that are not UTF-8 text
                body = base64.urlsafe_b64decode(script["body_base64"])
            repeat = int(script.get("repeat", 1))
            if repeat > 1:
                body = (body.encode() if isinstance(body, str) else body) * repeat
            self.reply(int(script.get("status", 200)), body,
                       script.get("content_type", "application/json; charset=utf-8"), extra)
            return
        form = {}
        if body and "x-www-form-urlencoded" in (self.headers.get("Content-Type") or ""):
            form = dict(urllib.parse.parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True))
        query = dict(urllib.parse.parse_qsl(parsed.query, keep_blank_values=True))
        self.handle_api(path, form, query)

    do_GET = do_POST = do_DELETE = do_PUT = do_PATCH = do_HEAD = handle_any

    # --- REST -----------------------------------------------------------------------------------

    def handle_api(self, path, form, query):
        if not path.startswith("/api/v1/"):
            self.reply(404, {"error": "not found"})
            return
        route = path[len("/api/v1/"):]
        method = self.command
        if route == "sessions" and method == "POST":
            return self.sign_in(form)
        if route == "sessions/logout" and method == "GET":
            return self.sign_out()
        if route == "users" and method == "POST":
            return self.create_user(form)
        email = self.session_email()
        if route == "hosts" or route.startswith("hosts/"):
            if email is None:
                return self.reply(422, {"error": "not signed in"})
            return self.hosts_route(email, route, method, form)
        self.reply(404, {"error": "not found"})

    def start_session(self, email):
        session = secrets.token_hex(16)
        with self.state.lock:
            self.state.sessions[session] = email
        return ("Set-Cookie", f"{SESSION_COOKIE}={session}; path=/; secure; HttpOnly")

    def sign_in(self, form):
        email = form.get("session[email]", "")
        password = form.get("session[password]", "")
        with self.state.lock:
            user = self.state.users.get(email)
        if user is None or user["password"] != password:
            return self.reply(422, "Invalid email or password.", "text/plain; charset=utf-8")
        self.reply(200, {"email": email}, headers=[self.start_session(email)])

    def sign_out(self):
        for header in self.headers.get_all("Cookie") or []:
            for part in header.split(";"):
                name, _, value = part.strip().partition("=")
                if name == SESSION_COOKIE:
                    with self.state.lock:
                        self.state.sessions.pop(value, None)
        self.reply(200, {"signed_out": True},
                   headers=[("Set-Cookie", f"{SESSION_COOKIE}=; path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT")])

    def create_user(self, form):
        email = form.get("user[email]", "")
        password = form.get("user[password]", "")
        errors = {}
        if not re.fullmatch(r"[^@\s]+@[^@\s]+\.[^@\s]+", email):
            errors.setdefault("email", []).append("is invalid")
        with self.state.lock:
            if email in self.state.users:
                errors.setdefault("email", []).append("has already been taken")
        if len(password) < 6:
            errors.setdefault("password", []).append("is too short (minimum is 6 characters)")
        if errors:
            return self.reply(422, errors)
        with self.state.lock:
            self.state.add_user(email, password)
        self.reply(201, {"email": email}, headers=[self.start_session(email)])

    def hosts_route(self, email, route, method, form):
        parts = route.split("/")
        if len(parts) == 1:
            if method == "GET":
                with self.state.lock:
                    hosts = [public_host(h) for h in self.state.hosts.values() if h["owner"] == email]
                return self.reply(200, hosts)
            if method == "POST":
                return self.register_host(email, form)
            return self.reply(405, {"error": "method not allowed"})
        try:
            host_id = int(parts[1])
        except ValueError:
            return self.reply(404, {"error": "no such host"})
        with self.state.lock:
            host = self.state.hosts.get(host_id)
            if host is None or host["owner"] != email:
                return self.reply(404, {"error": "no such host"})
        action = "/".join(parts[2:])
        if action == "" and method == "DELETE":
            with self.state.lock:
                self.state.hosts.pop(host_id, None)
            return self.reply(200, {"deleted": host_id})
        if action == "token" and method == "GET":
            with self.state.lock:
                key = self.state.users[email]["key"]
            token = base64.urlsafe_b64encode(key).decode()
            return self.reply(200, {"tunnex_token": token, "tunnex_host": self.state.rendezvous})
        if action == "iamhere" and method == "POST":
            with self.state.lock:
                host["remote_addresses"] = self.client_address[0]
            return self.reply(200, {"id": host_id})
        if action == "rename" and method == "POST":
            nickname = form.get("host[nickname]")
            if nickname is None:
                return self.reply(422, {"nickname": ["can't be blank"]})
            with self.state.lock:
                host["nickname"] = nickname
                return self.reply(200, public_host(host))
        self.reply(404, {"error": "not found"})

    def register_host(self, email, form):
        uuid = form.get("host[uuid]", "")
        if not uuid:
            return self.reply(422, {"uuid": ["can't be blank"]})
        with self.state.lock:
            host = next((h for h in self.state.hosts.values() if h["owner"] == email and h["uuid"] == uuid), None)
            if host is None:
                host = {"id": self.state.next_host_id, "uuid": uuid, "owner": email, "nickname": None}
                self.state.hosts[host["id"]] = host
                self.state.next_host_id += 1
            host["name"] = form.get("host[name]", "")
            host["status"] = form.get("host[status]", "")
            host["service_names"] = form.get("host[service_names]", "")
            host["model_number"] = form.get("host[model_number]")
            host["remote_addresses"] = self.client_address[0]
            record = public_host(host)
        self.reply(200, record)

    # --- test controls --------------------------------------------------------------------------

    def handle_control(self, path, body):
        try:
            data = json.loads(body) if body else {}
        except ValueError:
            return self.reply(400, {"error": "control bodies are JSON"})
        with self.state.lock:
            if path == "/_test/script" and self.command == "POST":
                if not isinstance(data, dict) or "path" not in data:
                    return self.reply(400, {"error": "a script needs a path"})
                self.state.scripts.append(data)
                return self.reply(200, {"scripts": len(self.state.scripts)})
            if path == "/_test/requests" and self.command == "GET":
                return self.reply(200, self.state.log)
            if path == "/_test/reset" and self.command == "POST":
                self.state.log.clear()
                self.state.scripts.clear()
                return self.reply(200, {})
            if path == "/_test/users" and self.command == "POST":
                try:
                    key = bytes.fromhex(data["key"]) if data.get("key") else None
                except (TypeError, ValueError):
                    return self.reply(400, {"error": "the key is hexadecimal"})
                self.state.add_user(data.get("email", ""), data.get("password", ""), key)
                return self.reply(200, {})
            if path == "/_test/state" and self.command == "GET":
                return self.reply(200, {
                    "users": sorted(self.state.users),
                    "hosts": list(self.state.hosts.values()),
                    "sessions": len(self.state.sessions),
                })
        self.reply(404, {"error": "no such control"})


def main():
    parser = argparse.ArgumentParser(description="Stand-in account server")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--rendezvous", default="127.0.0.1:9300")
    args = parser.parse_args()

    server = ThreadingHTTPServer((args.bind, args.port), Handler)
    server.daemon_threads = True
    server.state = State(args.rendezvous)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        # The handshake runs on the handler's thread (at its first read), so a client that stalls
        # or refuses the certificate holds up no one else.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.handle_error = lambda request, address: None

    def stop(*_):
        server.state.stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print(f"PORT {server.server_address[1]}", flush=True)
    server.serve_forever()
    server.server_close()


if __name__ == "__main__":
    sys.exit(main())
