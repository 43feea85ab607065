"""The control app on a machine of its own, for the desktop scenarios (login items, updates, moving
the bundle): a scenario re-runs itself as root in private mount, network and process namespaces
(so every program it starts ends with it and nothing it mounts reaches the machine), builds bundle
folders from the build tree whose bin/portweaver is the app with the UI probe, runs a daemon for
the app's user, a virtual display, and drives the app through the probe."""

import json
import os
import plistlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from daemons import plist, wait, write
from processes import PYTHON, ProcessSet, build_dir, last_json
from ui_probe import UIProbe

USER = 65534  # nobody
DAEMON_NAME = "com.kelvaro.portweaver.daemon"
SCREEN_SERVICE_NAME = "com.kelvaro.portweaver.service.deskgate"
# The app's environment without what would send its HTTP elsewhere or make ASan fail at exit.
PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")


def build_program(*parts):
    return os.path.join(build_dir(), *parts)


def missing_requirement(tools=(), programs=()):
    """Why the scenario cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root (mount namespaces)"
    for tool in ("unshare", "setpriv", "Xvfb") + tuple(tools):
        if not shutil.which(tool):
            return "needs " + tool
    for path in (os.path.join(build_dir(), "PortWeaver", "bin", "portweaver"),
                 build_program("src", "controlapp", "program", "portweaver-uitest")) + tuple(programs):
        if not os.access(path, os.X_OK):
            return "%s is not built" % path
    return None


def run_in_namespaces(script, name, inside, tools=(), programs=(), timeout=240):
    """The scenario's main: outside, re-runs script as root in new namespaces and prints the summary
    it printed; inside (argv "--inside WORKDIR"), runs inside(workdir, problems) and prints its
    summary (inside returns the details text; problems collects failed checks)."""
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        sys.exit(_inside(name, inside, sys.argv[2]))
    reason = missing_requirement(tools, programs)
    if reason:
        print(json.dumps({"scenario": name, "result": "skipped", "details": reason}))
        return 4
    workdir = tempfile.mkdtemp(prefix="kl-e2e-app-")
    os.chmod(workdir, 0o755)
    try:
        result = subprocess.run(["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc", "--propagation",
                                 "private", PYTHON, os.path.abspath(script), "--inside", workdir],
                                stdout=subprocess.PIPE, text=True, timeout=timeout)
        summary = last_json(result.stdout)
        if "scenario" not in summary:
            summary = {"scenario": name, "result": "failed", "details": "no summary: %s" % summary}
    except subprocess.TimeoutExpired:
        summary = {"scenario": name, "result": "failed", "details": "timed out"}
    shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(summary), flush=True)
    return 0 if summary.get("result") == "passed" else 1


def _inside(name, inside, workdir):
    problems = []
    scene = Scene(workdir)
    details = ""
    try:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True, capture_output=True)
        details = inside(scene, problems)
    except (RuntimeError, OSError, subprocess.SubprocessError, ValueError) as error:
        problems.append(str(error))
    finally:
        scene.stop_all()
    if problems:
        scene.print_log_tails()
    summary = {"scenario": name, "result": "failed" if problems else "passed",
               "details": "; ".join(problems) or details}
    print(json.dumps(summary), flush=True)
    return 1 if problems else 0


class Probe(UIProbe):
    """The UI probe's client for scenarios whose app may end on a click: a request the app answers
    by going away gives None."""

    def __init__(self, path):
        UIProbe.__init__(self, path, timeout=20)

    def request(self, **fields):
        try:
            return UIProbe.request(self, **fields)
        except (ConnectionError, socket.timeout, RuntimeError):
            return None

    def click_when_shown(self, name, timeout):
        """Clicks the widget of accessible name once it exists (a dialog may still be coming)."""
        def attempt():
            reply = self.request(op="click", name=name)
            return reply is None or reply.get("ok")
        wait(name, attempt, timeout, step=0.3)



class Scene(ProcessSet):
    """The scenario's programs and scratch folders; logs are kept in the work folder."""

    def __init__(self, workdir):
        self.workdir = workdir
        ProcessSet.__init__(self)

    def path(self, *parts):
        return os.path.join(self.workdir, *parts)

    def spawn(self, argv, log_name, as_user=False, env=None, **kwargs):
        prefix = ["setpriv", "--reuid=%d" % USER, "--regid=%d" % USER, "--clear-groups"] if as_user else []
        log = open(self.path(log_name), "a")
        proc = subprocess.Popen(prefix + list(argv), env=env if env is not None else dict(os.environ), stdout=log,
                                stderr=log, **kwargs)
        self.procs.append(proc)
        return proc

    def log_text(self, log_name):
        try:
            with open(self.path(log_name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def print_log_tails(self, lines=30):
        for name in sorted(os.listdir(self.workdir)):
            if name.endswith(".log"):
                sys.stderr.write("--- last lines of %s ---\n" % name)
                sys.stderr.writelines(self.log_text(name).splitlines(True)[-lines:])

    def mount_scratch(self, target, owner=0, mode=0o755):
        """An empty folder of the scratch over target (made when missing)."""
        scratch = self.path("mounts", target.strip("/").replace("/", "_"))
        os.makedirs(scratch)
        os.chown(scratch, owner, owner)
        os.chmod(scratch, mode)
        os.makedirs(target, exist_ok=True)
        subprocess.run(["mount", "--bind", scratch, target], check=True, capture_output=True)

    def mount_overlay(self, target):
        """A writable layer over target: what the scenario writes there stays in the scratch."""
        name = target.strip("/").replace("/", "_")
        upper, work = self.path("mounts", "upper_" + name), self.path("mounts", "work_" + name)
        os.makedirs(upper)
        os.makedirs(work)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s,workdir=%s" % (
            target, upper, work), target], check=True, capture_output=True)

    def start_display(self):
        """Xvfb on a display number it picks; the display's name."""
        read_fd, write_fd = os.pipe()
        self.spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                   "xvfb.log", pass_fds=(write_fd,))
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb gave no display")
        return ":" + number

    def user_home(self, name="home"):
        """A home and runtime folder of the app's user."""
        home = self.path(name)
        os.makedirs(home)
        os.chown(home, USER, USER)
        os.chmod(home, 0o700)
        return home

    def start_user_daemon(self):
        """The daemon on a root folder and socket folder of its own (KL_ROOT, KLIPC_SOCKET_DIR), with
        its program "installed" there, so that an unprivileged app links to it and installs
        nothing; the environment the app needs to find it."""
        root, sockets = self.path("root"), self.path("run")
        os.makedirs(sockets)
        os.chmod(sockets, 0o755)
        write(os.path.join(root, "var/lib/Kelvaro/Preferences", DAEMON_NAME + ".plist"),
              plist({"AccountServerHost": "127.0.0.1", "AccountServerPort": 9}))
        write(os.path.join(root, "etc/machine-id"), "0123456789abcdef0123456789abcdef\n")
        write(os.path.join(root, "usr/libexec/portweaver", DAEMON_NAME), "")
        os.chmod(os.path.join(root, "usr/libexec/portweaver", DAEMON_NAME), 0o755)
        env = {"KL_ROOT": root, "KLIPC_SOCKET_DIR": sockets}
        self.spawn([build_program("src", "daemon", "program", DAEMON_NAME)], "daemon.log",
                   env=dict(clean_environment(), KL_LOG_STDERR="1", **env))
        wait("the daemon's control socket", lambda: check_in(sockets), 30)
        return env

    def start_app(self, program, log_name, probe_path, env, as_user):
        """The app (a probe build) on the display env names; its process and a probe client."""
        if os.path.exists(probe_path):
            os.unlink(probe_path)
        proc = self.spawn([program], log_name, as_user=as_user, env=env)
        wait("the UI probe of " + program, lambda: os.path.exists(probe_path) or proc.poll() is not None, 60)
        if proc.poll() is not None:
            raise RuntimeError("%s ended with status %s" % (program, proc.returncode))
        return proc, Probe(probe_path)


def clean_environment():
    env = {k: v for k, v in os.environ.items()
           if k not in PROXY_VARIABLES and not k.startswith("KL_") and k != "KLIPC_SOCKET_DIR"}
    env.update({"ASAN_OPTIONS": "detect_leaks=0", "KL_BUILD_DIR": build_dir()})
    return env


def app_environment(home, display, probe_path, extra=None):
    """What the app runs with: its user's folders, the display, the probe's socket."""
    env = clean_environment()
    env.update({"HOME": home, "XDG_RUNTIME_DIR": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                "DISPLAY": display, "KL_UI_PROBE": probe_path, "QT_QPA_PLATFORM": "xcb"})
    env.pop("XDG_DATA_HOME", None)
    env.pop("XDG_CONFIG_DIRS", None)
    env.update(extra or {})
    return env


def make_bundle(destination, owner=0):
    """A copy of the build's bundle at destination whose bin/portweaver carries the UI probe."""
    shutil.copytree(os.path.join(build_dir(), "PortWeaver"), destination, symlinks=True)
    shutil.copy2(build_program("src", "controlapp", "program", "portweaver-uitest"),
                 os.path.join(destination, "bin", "portweaver"))
    if owner:
        for folder, dirs, files in os.walk(destination):
            for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
                os.lchown(name, owner, owner)
        os.chown(os.path.dirname(destination), owner, owner)
    return destination


def read_info(bundle):
    with open(os.path.join(bundle, "Info.plist"), "rb") as f:
        return plistlib.load(f)


def edit_info(bundle, **values):
    """Sets keys of the bundle's Info.plist (XML, as the build writes it)."""
    info = read_info(bundle)
    info.update(values)
    with open(os.path.join(bundle, "Info.plist"), "wb") as f:
        plistlib.dump(info, f, fmt=plistlib.FMT_XML)


def processes_running(program, uid=None):
    """Pids of the processes whose program is program (of user uid when given)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % entry) != program:
                continue
            if uid is not None and os.stat("/proc/" + entry).st_uid != uid:
                continue
        except OSError:
            continue
        pids.append(int(entry))
    return sorted(pids)


def check_in(socket_dir=None):
    """The daemon's check-in reply through the control-client stand-in, or None."""
    env = clean_environment()
    if socket_dir:
        env["KLIPC_SOCKET_DIR"] = socket_dir
    client = build_program("tests", "standins", "control-client", "control-client")
    result = subprocess.run([client, "--timeout", "3", "1"], capture_output=True, text=True, timeout=20, env=env)
    for line in result.stdout.splitlines():
        reply = json.loads(line).get("reply")
        if reply is not None:
            return reply
    return None


def probe_answers(path):
    """Whether an app answers a status request at the probe socket path (a stale one does not)."""
    try:
        probe = Probe(path)
    except OSError:
        return False
    try:
        return bool((probe.request(op="status") or {}).get("ok"))
    finally:
        probe.close()


def window_texts(probe):
    """Every text of the app's named windows (labels, buttons, titles)."""
    texts = []

    def collect(node):
        if node.get("text"):
            texts.append(node["text"])
        for child in node.get("children", []):
            collect(child)
    for window in (probe.request(op="tree") or {}).get("windows", []):
        collect(window)
    return texts


def alive(pid):
    """Whether pid runs (a zombie does not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop_orphans(pids, timeout=15):
    """Ends processes that a launcher left behind; as the namespace's first process the scenario
    inherits them, so it also reaps them."""
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + timeout
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    if any(alive(pid) for pid in pids):
        raise RuntimeError("processes %s did not end" % pids)
    for pid in pids:
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass
