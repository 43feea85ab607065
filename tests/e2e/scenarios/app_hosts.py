#!/usr/bin/python3
"""(app_hosts) The host list of the control app, driven through its UI probe. Host A runs the real
daemon and portweaver-uitest on the offscreen platform as an unprivileged user; host B runs the
real daemon and an OpenSSH server; both sit behind cone NATs with the stand-in account and
rendezvous servers on the "internet". Through the app:
- account creation shows the server's errors, each field's first text ("|"-joined lists split);
- a wrong password shows the server's text in the sign-in alert, then the sign-in succeeds;
- B appears in the host list; Connect shows the progress, then "Disconnect" with A's daemon
  reporting the tunnel connected; Disconnect brings "Connect" back and the daemon agrees;
- the SSH button's URL, opened through a stand-in xdg-open first in PATH, carries the tray row's
  user name and really reaches B's sshd (ssh in batch mode runs in B's network namespace);
- the tray row's user name survives a restart of the app;
- Remove host asks, then the daemon's delete request (command 18) removes B from the account
  server;
- Log Out asks, then brings back the sign-in view, and the daemon is signed out.
On failure, a screenshot and the logs go to $KL_ARTIFACTS_DIR/app_hosts (default: the build
folder's e2e-artifacts)."""

import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import xdg_open_standin  # noqa: E402
from avahi import HostAvahi, missing_tool  # noqa: E402
from daemons import ACCOUNT_PORT, CONNECTED, Daemon, start_account_server, wait  # noqa: E402
from host_services import SSH_USER, Sshd  # noqa: E402
from processes import build_dir, start_rendezvous  # noqa: E402
from scenario import Scenario  # noqa: E402
from topology import INTERNET, Topology, hosts_behind_cone_nats  # noqa: E402
from ui_probe import UIProbe, walk  # noqa: E402

NAME = "(app_hosts) host list in the control app"
EMAIL, PASSWORD = "hosts@example.com", "hosts password"
# An account the server already holds under a malformed address: creating it again draws two
# e-mail errors at once.
TAKEN_AND_INVALID = "taken-and-invalid"
A_NAME, B_NAME = "hosts-a", "hosts-b"
APP_USER = 65534  # nobody
SANITIZER_MARKS = ("AddressSanitizer", "runtime error:")


class AccountServer:
    """The stand-in account server's test controls, through curl in the internet namespace."""

    def __init__(self, ns, cert):
        self.ns, self.cert = ns, cert

    def _control(self, path, body=None):
        argv = ["curl", "-sf", "--cacert", self.cert]
        if body is not None:
            argv += ["-d", json.dumps(body)]
        out = self.ns.run(*(argv + ["https://%s.1:%d/_test/%s" % (INTERNET, ACCOUNT_PORT, path)])).stdout
        return json.loads(out) if out.strip() else None

    def add_user(self, email, password):
        self._control("users", {"email": email, "password": password})

    def requests(self):
        log = self._control("requests")
        return log if isinstance(log, list) else log.get("requests", [])

    def host_ids(self):
        hosts = self._control("state").get("hosts", {})
        return {int(h["id"]) for h in (hosts.values() if isinstance(hosts, dict) else hosts)}


class App:
    """portweaver-uitest on A as the app's user, on the offscreen platform, with its probe."""

    def __init__(self, run, ns, env, home):
        self.run, self.ns, self.env = run, ns, env
        self.probe_path = os.path.join(home, "probe.sock")
        self.logs = []
        self.proc = self.probe = None

    def start(self):
        if os.path.exists(self.probe_path):
            os.unlink(self.probe_path)
        log_path = os.path.join(self.run.workdir, "app-%d.log" % len(self.logs))
        self.logs.append(log_path)
        argv = ["timeout", "-k", "5", "240", "setpriv", "--reuid=%d" % APP_USER, "--regid=%d" % APP_USER,
                "--clear-groups", os.path.join(build_dir(), "src", "controlapp", "program", "portweaver-uitest")]
        with open(log_path, "w") as log:
            self.proc = subprocess.Popen(self.ns.command(argv), env=dict(os.environ, **self.env), stdout=log,
                                         stderr=log)
        self.run.helpers.append(self.proc)
        wait("the UI probe", lambda: os.path.exists(self.probe_path) or self.proc.poll() is not None, 60, step=0.2)
        if self.proc.poll() is not None:
            raise RuntimeError("the app ended with status %d" % self.proc.returncode)
        self.probe = UIProbe(self.probe_path)
        return self.probe

    def stop(self):
        if self.probe:
            self.probe.close()
            self.probe = None
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def sanitizer_lines(self):
        lines = []
        for path in self.logs:
            with open(path, errors="replace") as log:
                lines += [l for l in log if any(mark in l for mark in SANITIZER_MARKS)]
        return lines


def texts_of(window):
    return [n.get("text") for n in walk(window or {}) if n.get("text")]


class HostsRoad:
    def __init__(self, run, artifacts):
        self.run, self.artifacts = run, artifacts
        self.details = []

    def check(self, ok, text):
        if not ok:
            self.run.problems.append(text)
        return ok

    # --- set-up ---

    def set_up(self, topology):
        workdir = self.run.workdir
        internet, _, _, self.host_a, self.host_b, server_address = hosts_behind_cone_nats(topology)
        start_rendezvous(internet, server_address, workdir, limit_seconds=240)
        _, cert = start_account_server(internet, workdir, EMAIL, PASSWORD)
        self.account = AccountServer(internet, cert)
        self.account.add_user(TAKEN_AND_INVALID, "some password")
        self.avahi = [HostAvahi(self.host_a, workdir, A_NAME), HostAvahi(self.host_b, workdir, B_NAME)]
        self.sshd = Sshd(self.host_b, workdir)
        if not all(avahi.wait_ready() for avahi in self.avahi):
            raise RuntimeError("avahi-daemon did not come up")
        # The app's user reaches its daemon's socket and root folder through the work folder.
        os.chmod(workdir, 0o755)
        self.a = Daemon(self.host_a, A_NAME, "a3" * 16, workdir, cert, self.avahi[0].env(), logging_level=2)
        self.b = Daemon(self.host_b, B_NAME, "b3" * 16, workdir, cert, self.avahi[1].env(), logging_level=2)
        # The app finds its daemon "installed" in A's root folder, so it asks for no installation.
        installed = os.path.join(self.a.root, "usr/libexec/portweaver/com.kelvaro.portweaver.daemon")
        os.makedirs(os.path.dirname(installed))
        with open(installed, "w"):
            pass
        os.chmod(installed, 0o755)
        for daemon in (self.a, self.b):
            wait(daemon.name + "'s control socket", lambda: daemon.request("14", timeout=2), 30)
        self.b.sign_in(EMAIL, PASSWORD)
        self.b_netns = self.host_b.run("readlink", "/proc/self/ns/net").stdout.strip()

        # The app's session: a home of its user, the xdg-open stand-in first in PATH, and a copy
        # of the ssh client key the user can read.
        home = os.path.join(workdir, "home")
        os.makedirs(home)
        key = os.path.join(home, "ssh_key")
        shutil.copy(self.sshd.client_key, key)
        self.record = os.path.join(home, "xdg-open.jsonl")
        bin_dir = xdg_open_standin.install(os.path.join(workdir, "bin"))
        for path in (home, key):
            os.chown(path, APP_USER, APP_USER)
        os.chmod(home, 0o700)
        os.chmod(key, 0o600)
        env = {"KL_ROOT": self.a.root, "KLIPC_SOCKET_DIR": self.a.sockets, "HOME": home, "XDG_RUNTIME_DIR": home,
               "XDG_CONFIG_HOME": os.path.join(home, ".config"), "XDG_DATA_HOME": os.path.join(home, ".local/share"),
               "QT_QPA_PLATFORM": "offscreen", "KL_UI_PROBE": os.path.join(home, "probe.sock"),
               "PATH": bin_dir + ":" + os.environ.get("PATH", "/usr/bin:/bin"), "ASAN_OPTIONS": "detect_leaks=0",
               "KL_XDG_OPEN_RECORD": self.record, "KL_XDG_OPEN_SSH_KEY": key,
               "KL_XDG_OPEN_SSH_COMMAND": "readlink /proc/self/ns/net"}
        self.app = App(self.run, self.host_a, env, home)

    # --- steps ---

    def create_account_errors(self, probe):
        probe.do(op="click", name="createAccountButton")
        wait("the account creation view", lambda: probe.shown("emailField"), 10)
        for field, text in (("emailField", TAKEN_AND_INVALID), ("passwordField", "abc"), ("passwordVerifyField", "abc")):
            probe.do(op="type", name=field, text=text, replace=True)
        probe.do(op="click", name="okButton")
        wait("the short password's error", lambda: probe.text("errorLabel") == (
            "is too short (minimum is 6 characters)"), 20)
        self.check(probe.shown("emailErrorImage") and probe.shown("passwordErrorImage"),
                   "both fields' error images after an invalid address and a short password")
        for field in ("passwordField", "passwordVerifyField"):
            probe.do(op="type", name=field, text="long enough", replace=True)
        probe.do(op="click", name="okButton")
        # Two e-mail errors come "|"-joined: the field shows the first.
        wait("the address's first error", lambda: probe.text("errorLabel") == "is invalid", 20)
        self.check(probe.shown("emailErrorImage") and not probe.shown("passwordErrorImage"),
                   "only the address's error image once the password is long enough")
        probe.do(op="click", name="cancelButton")
        wait("the sign-in view", lambda: probe.shown("signInButton"), 10)
        self.details.append("account errors shown")

    def sign_in(self, probe):
        probe.do(op="type", name="accountEmailAddress", text=EMAIL, replace=True)
        probe.do(op="type", name="accountPassword", text="not the password", replace=True)
        probe.do(op="click", name="signInButton")
        alert = wait("the sign-in alert", lambda: probe.window("signInAlert"), 20)
        self.check("Invalid email or password." in texts_of(alert),
                   "the sign-in alert does not show the server's text: %s" % texts_of(alert))
        probe.do(op="click", name="signInAlert", text="OK")
        wait("the alert to close", lambda: not probe.window("signInAlert"), 10)
        probe.do(op="type", name="accountPassword", text=PASSWORD, replace=True)
        probe.do(op="click", name="signInButton")
        wait("the signed-in view", lambda: probe.shown("hostsOutlineView"), 20)
        self.check((self.a.request("14") or {}).get("registrarState") == 1, "A's daemon is not signed in")
        self.details.append("sign-in alert, then signed in")

    def b_row(self, probe, timeout):
        """B's row once the host list shows it: (host row node, tray row node)."""
        def found():
            for window in probe.windows():
                for row in probe.nodes("HostItemCellView", window):
                    if any(n.get("text") == B_NAME for n in probe.nodes("hostTextField", row)):
                        trays = probe.nodes("TrayItemView", window)
                        return row, trays[0] if trays else None
            return None
        return wait("B in the host list", found, timeout, step=0.5)

    def b_entries(self):
        return [h for h in self.a.hosts() if h.get("name") == B_NAME]

    def connect_and_open_ssh(self, probe):
        row, _ = self.b_row(probe, 60)
        self.check(probe.text("connectButton", row) == "Connect", "B's button before connecting: %s" %
                   probe.text("connectButton", row))
        probe.do(op="type", name="usernameField", text=SSH_USER, replace=True)
        probe.do(op="leave", name="TrayItemView")

        # A tunnel publishes the services B has registered by then: B's services scan must have
        # found its sshd first.
        wait("B's SSH service in A's host list", lambda: any(
            h.get("service_names") == "_ssh._tcp" and h.get("status") == 1 for h in self.b_entries()), 45)
        probe.do(op="click", name="connectButton")
        progress = False
        deadline = time.monotonic() + 60
        while True:
            row, _ = self.b_row(probe, 5)
            progress = progress or probe.shown("progressIndicator", row)
            if probe.shown("connectButton", row) and probe.text("connectButton", row) == "Disconnect":
                break
            if time.monotonic() > deadline:
                raise RuntimeError("B's row did not show Disconnect")
            time.sleep(0.05)
        self.check(progress, "no progress shown while connecting")
        wait("A's daemon to report the tunnel connected", lambda: any(
            h.get("tunnexConnectionStatus") == CONNECTED for h in self.b_entries()), 10)
        self.details.append("Connect, progress, Disconnect")

        # The SSH service: its URL asks the daemon for B's published port, which follows the tunnel.
        def opened():
            calls = xdg_open_standin.read_record(self.record)
            if calls:
                return calls
            probe.do(op="click", name="sshButton")
            return None
        calls = wait("the SSH URL to be opened", opened, 40, step=4)
        url = calls[0]["argv"][0] if calls[0]["argv"] else ""
        self.check(re.fullmatch(r"ssh://%s@127\.0\.0\.1:\d+/" % SSH_USER, url), "the SSH URL was %r" % url)
        ssh = calls[0].get("ssh") or {}
        self.check(ssh.get("status") == 0 and ssh.get("stdout", "").strip() == self.b_netns,
                   "ssh through %s: %s (B's namespace %s)" % (url, ssh, self.b_netns))
        self.details.append("SSH URL %s reached B" % url)

        probe.do(op="click", name="connectButton")
        wait("B's row to show Connect", lambda: probe.text("connectButton", self.b_row(probe, 5)[0]) == "Connect",
                   20)
        wait("A's daemon to report the tunnel closed", lambda: all(
            h.get("tunnexConnectionStatus") == 0 for h in self.b_entries()), 15)
        self.details.append("disconnected")

    def restart(self):
        self.app.stop()
        probe = self.app.start()
        _, tray = self.b_row(probe, 40)
        name = probe.text("usernameField", tray)
        self.check(name == SSH_USER, "the tray row's user name after a restart: %r" % name)
        self.details.append("user name kept over a restart")
        return probe

    def remove_b(self, probe):
        b_id = int(self.b_entries()[0]["id"])
        probe.do(op="click", name="removeButton")
        wait("the remove-host alert", lambda: probe.window("removeHostAlert"), 10)
        probe.do(op="click", name="Remove")
        wait("the account server to delete B", lambda: any(
            r.get("method") == "DELETE" and r.get("path") == "/api/v1/hosts/%d" % b_id
            for r in self.account.requests()), 15)
        self.check(b_id not in self.account.host_ids(), "B's host %d is still on the account server" % b_id)
        self.details.append("B removed from the account")

    def log_out(self, probe):
        probe.do(op="click", name="signOutButton")
        wait("the sign-out warning", lambda: probe.window("SignOutWarning"), 10)
        probe.do(op="click", name="SignOutWarning", text="Log Out")
        wait("the sign-in view", lambda: probe.shown("signInButton"), 15)
        wait("A's daemon to sign out", lambda: (self.a.request("14") or {}).get("registrarState") == 0, 15)
        self.details.append("logged out")

    def run_road(self):
        probe = self.app.start()
        wait("the sign-in view", lambda: probe.shown("signInButton"), 30)
        self.create_account_errors(probe)
        self.sign_in(probe)
        self.connect_and_open_ssh(probe)
        probe = self.restart()
        self.remove_b(probe)
        self.log_out(probe)

    def keep_evidence(self):
        """A screenshot of the window and every log, into the artifacts folder."""
        probe = self.app.probe if getattr(self, "app", None) else None
        if probe:
            try:
                probe.request(op="grab", path=os.path.join(self.artifacts, "app_hosts_failed.png"))
                with open(os.path.join(self.artifacts, "app_hosts_failed.json"), "w") as out:
                    json.dump(probe.windows(), out, indent=1)
            except (OSError, RuntimeError, ValueError):
                pass
        for folder, _, files in os.walk(self.run.workdir):
            for name in files:
                if name.endswith((".log", ".jsonl", ".follow")):
                    shutil.copy(os.path.join(folder, name), self.artifacts)


def main():
    run = Scenario(NAME)
    tool = missing_tool() or next((t for t in ("/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen",
                                               "/usr/bin/setpriv") if not os.access(t, os.X_OK)), None)
    if tool:
        print(json.dumps({"scenario": NAME, "result": "skipped", "details": "missing " + tool}))
        return 4
    artifacts = os.path.join(os.environ.get("KL_ARTIFACTS_DIR", os.path.join(build_dir(), "e2e-artifacts")),
                             "app_hosts")
    os.makedirs(artifacts, exist_ok=True)
    os.chmod(artifacts, 0o777)
    road = HostsRoad(run, artifacts)
    started = time.monotonic()
    with run.guard(), Topology() as topology:
        try:
            road.set_up(topology)
            road.run_road()
        except Exception:
            road.keep_evidence()
            raise
        finally:
            if getattr(road, "app", None):
                road.app.stop()
                sanitized = road.app.sanitizer_lines()
                road.check(not sanitized, "sanitizer reports in the app: %s" % sanitized[:3])
            for daemon in (getattr(road, "a", None), getattr(road, "b", None)):
                if daemon:
                    reports = [l for l in daemon.log_tail(100000) if any(m in l for m in SANITIZER_MARKS)]
                    road.check(not reports, "sanitizer reports in %s: %s" % (daemon.name, reports[:3]))
    run.summary["seconds"] = round(time.monotonic() - started, 1)
    if run.problems and not os.listdir(artifacts):
        road.keep_evidence()
    run.finish("; ".join(road.details), check_sanitizers=False)


if __name__ == "__main__":
    sys.exit(main())
