"""Programs of the scenarios, each under `timeout` inside a namespace, printing one JSON object per
line: the rendezvous stand-in and tunnel nodes. Lines are collected with their arrival time."""

import json
import os
import shutil
import subprocess
import sys
import threading
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
PYTHON = "/usr/bin/python3"  # Debian's, with python3-cryptography
RENDEZVOUS = os.path.join(REPO, "tests", "standins", "rendezvous", "server.py")
KEY = "00112233445566778899aabbccddeeff"
SERVER_PORT = 9300


class ProcessSet:
    """The processes a scenario started; stop_all ends them in reverse order (SIGTERM, then SIGKILL
    after ten seconds)."""

    def __init__(self):
        self.procs = []

    def stop(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def stop_all(self):
        for proc in reversed(self.procs):
            self.stop(proc)


def build_dir():
    return os.path.abspath(os.environ.get("KL_BUILD_DIR", os.path.join(REPO, "build", "asan")))


def tunnel_node_path():
    return os.path.join(build_dir(), "tests", "standins", "tunnel-node", "tunnel-node")


class JsonProcess:
    """One program in a namespace; stdin is a pipe (closing it asks the program to end)."""

    def __init__(self, ns, argv, log_path, limit_seconds=120, env=None):
        self.name = os.path.basename(log_path)
        self.log_path = log_path
        self.lines = []  # (monotonic time, object)
        self._cond = threading.Condition()
        self._ended = False
        command = ns.command(["timeout", "-k", "5", str(limit_seconds)] + list(argv))
        with open(log_path, "w") as log:
            self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                         env=dict(os.environ, **(env or {})), text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for text in self.proc.stdout:
            try:
                line = json.loads(text)
            except ValueError:
                line = {"event": "unparsed", "text": text.rstrip()}
            with self._cond:
                self.lines.append((time.monotonic(), line))
                self._cond.notify_all()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def wait_for(self, predicate, timeout, since=None):
        """(time, line) of the first line (of those that came at or after since) for which
        predicate is true, or None."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for stamp, line in self.lines:
                    if (since is None or stamp >= since) and predicate(line):
                        return stamp, line
                left = deadline - time.monotonic()
                if self._ended or left <= 0:
                    return None
                self._cond.wait(left)

    def wait_event(self, event, timeout, **fields):
        return self.wait_for(lambda l: l.get("event") == event and all(l.get(k) == v for k, v in fields.items()),
                             timeout)

    def events(self, event):
        with self._cond:
            return [line for _, line in self.lines if line.get("event") == event]

    def send(self, text):
        try:
            self.proc.stdin.write(text + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def stop(self, grace=15):
        """Closes stdin and waits; ends the program if it does not go. Its exit status."""
        try:
            self.proc.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        try:
            return self.proc.wait(grace)
        except subprocess.TimeoutExpired:
            self.proc.terminate()
            try:
                return self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                return self.proc.wait()

    def log_tail(self, count=40):
        """The last count lines of the program's stderr (all of them for None)."""
        try:
            with open(self.log_path, errors="replace") as log:
                lines = log.readlines()
                return lines if count is None else lines[-count:]
        except OSError:
            return []


def report_and_exit(summary, problems, nodes, workdir, details, tail_lines=80):
    """Ends a scenario: its result and details (the problems, else details), the nodes' last log
    lines without the ping cycle when something failed, the work folder removed, the summary
    printed as the last line; exits 0 when it passed, 1 when it failed."""
    summary["result"] = "failed" if problems else "passed"
    summary["details"] = "; ".join(problems) or details
    if problems:
        for node in nodes:
            sys.stderr.write("--- last lines of %s ---\n" % node.log_path)
            lines = [l for l in node.log_tail(100000) if "ping" not in l and "pong" not in l]
            sys.stderr.writelines(lines[-tail_lines:])
    shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(summary))
    sys.exit(1 if problems else 0)


def status_of(uuid, status):
    """A predicate on a node's events: the tunnel to uuid reported that status."""
    return lambda l: l.get("event") == "status" and l.get("uuid") == uuid and l.get("status") == status


def start_rendezvous(ns, address, workdir, limit_seconds=180):
    server = JsonProcess(ns, [PYTHON, RENDEZVOUS, "serve", "--bind", "%s:%d" % (address, SERVER_PORT), "--key", KEY],
                         os.path.join(workdir, "rendezvous.log"), limit_seconds)
    if not server.wait_event("listening", 15):
        raise RuntimeError("the rendezvous stand-in did not start")
    return server


def registered_endpoint(server, node_id):
    """(address, port) of the node's first ping as the server saw it: the public endpoint of its
    registered socket, which an attempt keeps (the registration itself moves on to a fresh socket
    when the attempt starts) and which then carries the tunnel."""
    pings = [l for _, l in list(server.lines) if l.get("event") == "ping" and l.get("id") == node_id]
    host, port = pings[0]["sender"].rsplit(":", 1)
    return host, int(port)


def start_node(ns, server_address, node_id, uuid, workdir, extra=(), limit_seconds=120):
    argv = [tunnel_node_path(), "--server", "%s:%d" % (server_address, SERVER_PORT), "--id", str(node_id),
            "--key", KEY, "--uuid", uuid] + list(extra)
    # Debug lines on stderr go to the node's log file, shown when a scenario fails; the scenarios
    # read info lines (level 1) from it.
    env = {"KL_LOG_LEVEL": str(max(1, int(os.environ.get("KL_E2E_LOG_LEVEL", "2"))))}
    return JsonProcess(ns, argv, os.path.join(workdir, "node-%s.log" % uuid), limit_seconds, env)


def last_json(text):
    """The last line of text that is a JSON object, or a failure object quoting the text's end."""
    for line in reversed(text.splitlines()):
        try:
            return json.loads(line)
        except ValueError:
            continue
    return {"ok": False, "error": text[-300:]}


def run_json_tool(ns, argv, timeout=120):
    """Runs a python3 helper (argv: its script and arguments) in the namespace; its JSON result."""
    out = subprocess.run(ns.command([PYTHON] + [str(a) for a in argv]), capture_output=True, text=True,
                         timeout=timeout)
    return last_json(out.stdout + out.stderr)
