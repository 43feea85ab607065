#!/usr/bin/python3
"""(app_window) The control app on a virtual display, signed in through the real daemon to the
stand-in account server, all inside one private namespace, the app run as an unprivileged user:
- with trayer docking the icon, a click on the icon shows the window under it; while it is open
  the account server sees the host list asked for every 5 s, and after a second click no more;
- without a tray, the app opens an ordinary window at once;
- the window's widget tree matches the golden file of the unit tests; screenshots are kept in
  $KL_ARTIFACTS_DIR/app_window (default: the build folder's e2e-artifacts)."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import PYTHON, ProcessSet, build_dir  # noqa: E402
from topology import Topology, can_run  # noqa: E402
from ui_probe import UIProbe as Probe  # noqa: E402

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
ACCOUNT_SERVER = os.path.join(REPO, "tests", "standins", "account_server", "account_server.py")
GOLDEN = os.path.join(REPO, "tests", "controlapp", "golden", "menulet_signed_in.json")
EMAIL, PASSWORD = "window@example.com", "window password"
USER = 65534  # nobody
SCENARIO = "(app_window) control app window"


def finish(result, details):
    print(json.dumps({"scenario": SCENARIO, "result": result, "details": details}), flush=True)
    sys.exit(0 if result != "failed" else 1)


def wait(what, predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.3)
    raise RuntimeError("timed out waiting for " + what)


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def plist(values):
    items = "".join("<key>%s</key>%s" % (k, "<integer>%d</integer>" % v if isinstance(v, int) else
                                          "<string>%s</string>" % v) for k, v in values.items())
    return '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>%s</dict></plist>\n' % items


class Scene(ProcessSet):
    def __init__(self, ns, workdir):
        self.ns, self.workdir = ns, workdir
        ProcessSet.__init__(self)
        self.env = {}

    def spawn(self, argv, log_name, as_user=False, env=None, **kwargs):
        full_env = dict(os.environ, **(env or {}))
        prefix = ["setpriv", "--reuid=%d" % USER, "--regid=%d" % USER, "--clear-groups"] if as_user else []
        log = open(os.path.join(self.workdir, log_name), "w")
        proc = subprocess.Popen(self.ns.command(["timeout", "-k", "5", "280"] + prefix + list(argv)), env=full_env,
                                stderr=log, stdout=kwargs.pop("stdout", log), **kwargs)
        self.procs.append(proc)
        return proc


def account_requests(ns, cert, port):
    out = ns.run("curl", "-sf", "--cacert", cert, "https://127.0.0.1:%d/_test/requests" % port).stdout
    return json.loads(out)


def host_list_requests(log):
    return [r for r in (log if isinstance(log, list) else log.get("requests", []))
            if r.get("method") == "GET" and r.get("path", "").rstrip("/").endswith("/api/v1/hosts")]


def start_display(scene):
    read_fd, write_fd = os.pipe()
    proc = scene.spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                       "xvfb-%d.log" % len(scene.procs), pass_fds=(write_fd,))
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        number = f.readline().strip()
    if not number:
        raise RuntimeError("Xvfb gave no display")
    return ":" + number, proc


def start_app(scene, display, probe_path, env):
    if os.path.exists(probe_path):
        os.unlink(probe_path)
    app = os.path.join(build_dir(), "src", "controlapp", "program", "portweaver-uitest")
    proc = scene.spawn([app], "app-%d.log" % len(scene.procs), as_user=True,
                       env=dict(env, DISPLAY=display, KL_UI_PROBE=probe_path, QT_QPA_PLATFORM="xcb"))
    try:
        wait("the UI probe", lambda: os.path.exists(probe_path), 60)
    except RuntimeError:
        dump_stacks(scene, proc)
        raise
    return proc, Probe(probe_path)


def dump_stacks(scene, proc):
    """The stacks of a stuck app's processes, into the scene's folder (kept with the logs)."""
    if not shutil.which("gdb"):
        return
    pids = subprocess.run(["pgrep", "-f", "portweaver-uitest"], capture_output=True, text=True).stdout.split()
    with open(os.path.join(scene.workdir, "stuck-app.log"), "w") as out:
        for pid in pids:
            out.write("== %s\n" % pid)
            out.flush()
            subprocess.run(["gdb", "-p", pid, "-batch", "-ex", "thread apply all bt"], stdout=out,
                           stderr=subprocess.STDOUT, timeout=60)


def window_tree(probe):
    for window in probe.request(op="tree")["windows"]:
        if window["objectName"] == "KLTMenuletWindow":
            return window
    return None


def run(workdir, artifacts):
    details = []
    with Topology() as topology:
        ns = topology.namespace("lo")
        scene = Scene(ns, workdir)
        try:
            # The account server, with the account.
            cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", key, "-out", cert], check=True, capture_output=True)
            server = scene.spawn([PYTHON, ACCOUNT_SERVER, "--bind", "127.0.0.1", "--port", "0", "--cert", cert,
                                  "--key", key], "account-server.log", stdout=subprocess.PIPE, text=True)
            port = int(server.stdout.readline().split()[1])
            ns.run("curl", "-sf", "--cacert", cert, "-d", json.dumps({"email": EMAIL, "password": PASSWORD}),
                   "https://127.0.0.1:%d/_test/users" % port)

            # The daemon, on a root folder of its own, with its program "installed" there.
            root, sockets = os.path.join(workdir, "root"), os.path.join(workdir, "run")
            os.makedirs(sockets)
            os.chmod(workdir, 0o755)
            os.chmod(sockets, 0o755)
            prefs = os.path.join(root, "var/lib/Kelvaro/Preferences")
            write(os.path.join(prefs, "com.kelvaro.portweaver.daemon.plist"),
                  plist({"AccountServerHost": "127.0.0.1", "AccountServerPort": port}))
            write(os.path.join(root, "etc/machine-id"), "0123456789abcdef0123456789abcdef\n")
            write(os.path.join(root, "usr/libexec/portweaver/com.kelvaro.portweaver.daemon"), "", 0o755)
            daemon_env = {"KL_ROOT": root, "KLIPC_SOCKET_DIR": sockets, "KL_HTTP_CA_FILE": cert, "KL_LOG_STDERR": "1",
                          "ASAN_OPTIONS": "detect_leaks=0"}
            scene.spawn([os.path.join(build_dir(), "src", "daemon", "program", "com.kelvaro.portweaver.daemon")],
                        "daemon.log", env=daemon_env)
            client = os.path.join(build_dir(), "tests", "standins", "control-client", "control-client")

            def control(*arguments):
                result = subprocess.run(ns.command(["env", "KLIPC_SOCKET_DIR=" + sockets, "ASAN_OPTIONS=detect_leaks=0",
                                                    client, "--timeout", "10"] + list(arguments)),
                                        capture_output=True, text=True, timeout=30)
                for line in result.stdout.splitlines():
                    reply = json.loads(line).get("reply")
                    if reply is not None:
                        return reply
                return None

            wait("the daemon's control socket", lambda: control("14"), 30)
            reply = control("6", "email=" + EMAIL, "password=" + PASSWORD)
            if not reply or reply.get("registrarSignInResult") not in (0, "0"):
                raise RuntimeError("the daemon did not sign in: %s" % reply)

            # The user's session: a home and runtime folder of the app's user.
            home = os.path.join(workdir, "home")
            os.makedirs(home)
            os.chown(home, USER, USER)
            os.chmod(home, 0o700)
            # Not the first run, which would open the window by itself: here the icon opens it.
            config = os.path.join(home, ".config")
            prefs_folder = os.path.join(config, "Kelvaro", "Preferences")
            app_prefs = os.path.join(prefs_folder, "com.kelvaro.portweaver.controlapp.plist")
            write(app_prefs, plist({"firstRun": False}))
            for path in (config, os.path.dirname(prefs_folder), prefs_folder, app_prefs):
                os.chown(path, USER, USER)
            app_env = {"KL_ROOT": root, "KLIPC_SOCKET_DIR": sockets, "HOME": home, "XDG_RUNTIME_DIR": home,
                       "XDG_CONFIG_HOME": os.path.join(home, ".config"), "ASAN_OPTIONS": "detect_leaks=0"}
            probe_path = os.path.join(home, "probe.sock")
            display, xvfb = start_display(scene)

            # With a tray: the icon opens and closes the window.
            trayer = scene.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                                  "120", "--height", "24", "--transparent", "false"], "trayer.log",
                                 env={"DISPLAY": display})
            wait("trayer's window", lambda: "trayer" in subprocess.run(
                ns.command(["xwininfo", "-display", display, "-root", "-tree"]), capture_output=True,
                text=True).stdout.lower(), 20)
            app, probe = start_app(scene, display, probe_path, app_env)
            status = wait("the tray icon", lambda: (lambda s: s if s.get("trayGeometry") else None)(
                probe.request(op="status")), 30)
            wait("the signed-in view", lambda: "KLTAccountDetailsViewController" in json.dumps(window_tree(probe)), 30)
            if status["menuletDisplayed"]:
                raise RuntimeError("the window was open before any click")
            x, y, w, h = status["trayGeometry"]

            def click():
                subprocess.run(ns.command(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"]),
                               env=dict(os.environ, DISPLAY=display), check=True)

            click()
            status = wait("the window to open", lambda: (lambda s: s if s["menuletDisplayed"] else None)(
                probe.request(op="status")), 10)
            wx, wy, ww, wh = status["windowGeometry"]
            if not (wy >= y + h - 1 and wx <= x + w and wx + ww >= x and wx + ww <= 1024):
                raise RuntimeError("window %s is not under the icon %s" % (status["windowGeometry"], [x, y, w, h]))
            details.append("window under the icon")
            tree = window_tree(probe)
            with open(GOLDEN) as f:
                if json.load(f) != tree:
                    with open(os.path.join(artifacts, "menulet_tree.json"), "w") as out:
                        json.dump(tree, out, indent=4, sort_keys=True)
                    raise RuntimeError("the window's tree differs from " + os.path.basename(GOLDEN))
            probe.request(op="grab", path=os.path.join(artifacts, "menulet_open.png"))

            # The daemon's 5-second tick asks when more than 5 s have passed since it last asked, so
            # a tick's jitter can stretch one interval to 10 s: 21 s see at least two.
            ns.run("curl", "-sf", "--cacert", cert, "-X", "POST", "https://127.0.0.1:%d/_test/reset" % port)
            time.sleep(21)
            open_requests = len(host_list_requests(account_requests(ns, cert, port)))
            if open_requests < 2:
                raise RuntimeError("%d host-list requests in 21 s with the window open" % open_requests)
            details.append("%d host-list requests in 21 s open" % open_requests)

            click()
            wait("the window to close", lambda: not probe.request(op="status")["menuletDisplayed"], 10)
            time.sleep(1)
            ns.run("curl", "-sf", "--cacert", cert, "-X", "POST", "https://127.0.0.1:%d/_test/reset" % port)
            time.sleep(12)
            closed_requests = len(host_list_requests(account_requests(ns, cert, port)))
            if closed_requests:
                raise RuntimeError("%d host-list requests in 12 s after closing" % closed_requests)
            details.append("none closed")
            scene.stop(app)
            scene.stop(trayer)
            scene.stop(xvfb)

            # Without a tray (on a display of its own): the ordinary window, open at once.
            display, xvfb = start_display(scene)
            app, probe = start_app(scene, display, probe_path, app_env)
            wait("the plain window", lambda: probe.request(op="status")["menuletDisplayed"], 30)
            status = probe.request(op="status")
            if status.get("trayGeometry"):
                raise RuntimeError("a tray icon without a tray")
            wait("the signed-in view", lambda: "KLTAccountDetailsViewController" in json.dumps(window_tree(probe)), 30)
            probe.request(op="grab", path=os.path.join(artifacts, "plain_window.png"))
            details.append("plain window without a tray")
        finally:
            scene.stop_all()
    return details


def main():
    reason = can_run()
    if reason:
        finish("skipped", reason)
    for tool in ("Xvfb", "trayer", "xdotool", "xwininfo", "setpriv"):
        if not shutil.which(tool):
            finish("skipped", tool + " is not installed")
    artifacts = os.environ.get("KL_ARTIFACTS_DIR", os.path.join(build_dir(), "e2e-artifacts"))
    artifacts = os.path.join(artifacts, "app_window")
    os.makedirs(artifacts, exist_ok=True)
    os.chmod(artifacts, 0o777)
    workdir = tempfile.mkdtemp(prefix="kl-app-window-")
    try:
        details = run(workdir, artifacts)
        finish("passed", "; ".join(details))
    except Exception as error:  # the summary line carries the reason
        for name in sorted(os.listdir(workdir)):
            if name.endswith(".log"):
                shutil.copy(os.path.join(workdir, name), artifacts)
        finish("failed", str(error))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
