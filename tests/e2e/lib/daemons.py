"""Real daemon programs in host namespaces, the stand-in account server on the "internet", and
control requests through the control-client stand-in. Used by scripts/demo and the scenarios
that follow the whole road (sign-in, host lists, tunnels, published services)."""

import json
import os
import signal
import subprocess
import time

from processes import KEY, PYTHON, REPO, SERVER_PORT, JsonProcess, build_dir
from topology import INTERNET

ACCOUNT_SERVER = os.path.join(REPO, "tests", "standins", "account_server", "account_server.py")
ACCOUNT_PORT = 8443
CONNECTED = 5  # the tunnel state of a connected, keyed tunnel


def program(*parts):
    path = os.path.join(build_dir(), *parts)
    if not os.access(path, os.X_OK):
        raise SystemExit("%s is not built (cmake --build --preset asan)" % path)
    return path


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def plist(values):
    items = "".join("<key>%s</key>%s" % (k, "<integer>%d</integer>" % v if isinstance(v, int) else
                                          "<string>%s</string>" % v) for k, v in values.items())
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>%s</dict></plist>\n' % items)


def wait(what, predicate, timeout, step=0.5):
    """predicate's first true value within timeout; RuntimeError naming what otherwise."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(step)


def message_of(line, command=None):
    """The daemon message of a --follow line (optionally only one of that command), or None."""
    message = line.get("message")
    if not isinstance(message, dict) or (command is not None and message.get("command") != command):
        return None
    return message


class Daemon:
    """A daemon in a host namespace, on a root folder and control socket of its own."""

    def __init__(self, ns, name, machine_id, workdir, cert, env=None, logging_level=1):
        self.ns, self.name = ns, name
        self.root = os.path.join(workdir, name, "root")
        self.sockets = os.path.join(workdir, name, "run")
        os.makedirs(self.sockets)
        write(os.path.join(self.root, "etc/hostname"), name + "\n")
        write(os.path.join(self.root, "etc/machine-id"), machine_id + "\n")
        preferences = os.path.join(self.root, "var/lib/Kelvaro/Preferences")
        write(os.path.join(preferences, "com.kelvaro.portweaver.daemon.plist"), plist(
            {"AccountServerHost": INTERNET + ".1", "AccountServerPort": ACCOUNT_PORT}))
        write(os.path.join(preferences, "com.kelvaro.portweaver.controlapp.plist"),
              plist({"loggingLevel": logging_level}))
        self.env = {"KL_ROOT": self.root, "KLIPC_SOCKET_DIR": self.sockets, "KL_HTTP_CA_FILE": cert,
                    "KL_LOG_STDERR": "1", "ASAN_OPTIONS": "detect_leaks=0"}
        self.env.update(env or {})
        self.log = os.path.join(workdir, name + ".log")
        self.proc = None
        self.start()

    def start(self):
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen(self.ns.command(["env"] + ["%s=%s" % kv for kv in self.env.items()] +
                                                         [program("src", "daemon", "program",
                                                                  "com.kelvaro.portweaver.daemon")]),
                                         stdout=subprocess.DEVNULL, stderr=log)

    def kill(self):
        """Ends the daemon without a goodbye. ip netns exec and env exec it: the child is the daemon."""
        os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait(10)

    def client_command(self, *arguments):
        return self.ns.command(["env", "KLIPC_SOCKET_DIR=" + self.sockets, "ASAN_OPTIONS=detect_leaks=0",
                                program("tests", "standins", "control-client", "control-client")] + list(arguments))

    def request(self, *arguments, timeout=30):
        """The reply of one control request, or None."""
        result = subprocess.run(self.client_command("--timeout", str(timeout), *arguments), capture_output=True,
                                text=True, timeout=timeout + 10)
        for line in result.stdout.splitlines():
            reply = json.loads(line).get("reply")
            if reply is not None:
                return reply
        return None

    def follow(self, *arguments):
        """A client that stays connected and prints the daemon's messages."""
        return JsonProcess(self.ns, self.client_command("--follow", *arguments), self.log + ".follow", 600,
                           {"ASAN_OPTIONS": "detect_leaks=0"})

    def sign_in(self, email, password):
        reply = self.request("6", "email=" + email, "password=" + password)
        if not reply or reply.get("registrarSignInResult") != 0:
            raise RuntimeError("%s could not sign in: %s" % (self.name, reply))
        self.request("31", "shouldRequestHosts:b=true")

    def hosts(self):
        self.request("32")
        reply = self.request("16") or {}
        return reply.get("hosts_array", [])

    def log_tail(self, count=40):
        try:
            with open(self.log, errors="replace") as log:
                return log.readlines()[-count:]
        except OSError:
            return []


def uuid_of(name, hosts):
    return next((h["uuid"] for h in hosts if h.get("name") == name), None)


def start_account_server(ns, workdir, email, password):
    """The stand-in account server at the internet's .1, with one account whose tunnel key the
    rendezvous stand-in shares; (process, certificate path)."""
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "2", "-subj", "/CN=" + INTERNET + ".1", "-addext", "subjectAltName=IP:%s.1" % INTERNET,
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    log = open(os.path.join(workdir, "account-server.log"), "w")
    server = subprocess.Popen(ns.command([PYTHON, ACCOUNT_SERVER, "--bind", INTERNET + ".1", "--port", str(ACCOUNT_PORT),
                                          "--cert", cert, "--key", key,
                                          "--rendezvous", "%s.1:%d" % (INTERNET, SERVER_PORT)]),
                              stdout=subprocess.PIPE, stderr=log, text=True)
    if not server.stdout.readline().startswith("PORT"):
        raise RuntimeError("the account server did not start")
    ns.run("curl", "-sf", "--cacert", cert, "-d", json.dumps({"email": email, "password": password, "key": KEY}),
           "https://%s.1:%d/_test/users" % (INTERNET, ACCOUNT_PORT))
    return server, cert


class AccountSession:
    """A session of the account on the stand-in server through its REST interface (curl in the
    internet namespace), for hosts that are not daemons."""

    def __init__(self, ns, cert, email, password, workdir):
        self.ns, self.cert = ns, cert
        self.jar = os.path.join(workdir, "account-session.cookies")
        self._curl("POST", "sessions", {"session[email]": email, "session[password]": password})

    def _curl(self, method, path, form=None):
        argv = ["curl", "-sf", "--cacert", self.cert, "-b", self.jar, "-c", self.jar, "-X", method]
        for key, value in (form or {}).items():
            argv += ["--data-urlencode", "%s=%s" % (key, value)]
        result = self.ns.run(*(argv + ["https://%s.1:%d/api/v1/%s" % (INTERNET, ACCOUNT_PORT, path)]))
        return json.loads(result.stdout) if result.stdout.strip() else None

    def register_host(self, uuid, name, status, service_names):
        return self._curl("POST", "hosts", {"host[uuid]": uuid, "host[name]": name, "host[status]": status,
                                            "host[service_names]": service_names})
