#!/usr/bin/python3
"""(app_install) The control app installs and upgrades the daemon on a machine of its own: as root,
in private mount, network and process namespaces, with empty scratch folders over
/usr/libexec/portweaver (under an overlay of /usr/libexec), /etc/systemd/system, /run and /var/lib,
and no systemd running.

1. Fresh machine: the bundle's program installs the daemon through the bundle's root helper (the
   program, 0755, and both units), the daemon runs from its installed place and answers a
   check-in with the bundle's revision.
2. The next launch (app-probe: the same launch without windows) finds that revision running:
   nothing is installed, the link is checked in (state 2) and fullVersionString names the
   bundle's and the daemon's versions.
3. The units pass systemd-analyze verify.
4. A bundle whose daemon has a higher revision finds the older one running: it is prepared for
   the upgrade (request 8 removes the installed program before the helper runs), replaced and
   checked in again.
5. With no daemon answering, an unprivileged user (runuser) without polkit is refused the
   credentials: "Unable to run without credential", exit status 1, nothing installed."""
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

NAME = "(app_install) install and upgrade from the bundle"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from processes import PYTHON, build_dir, last_json  # noqa: E402

PROGRAM_DIR = "/usr/libexec/portweaver"
DAEMON = PROGRAM_DIR + "/com.kelvaro.portweaver.daemon"
UNIT_DIR = "/etc/systemd/system"
UNITS = ("com.kelvaro.portweaver.daemon.service", "com.kelvaro.portweaver.daemon.socket")
SOCKET = "/run/com.kelvaro.portweaver.controlapp"
APP_ENV = {"QT_QPA_PLATFORM": "offscreen", "ASAN_OPTIONS": "detect_leaks=0"}
REFUSAL = "Unable to run without credential"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def embedded_info(path):
    """(version, revision) from the daemon's embedded information list."""
    with open(path, "rb") as f:
        data = f.read()
    found = {}
    for key in ("CFBundleShortVersionString", "CFBundleVersion"):
        match = re.search(rb"<key>" + key.encode() + rb"</key>\s*<string>([^<]*)</string>", data)
        found[key] = match.group(1).decode() if match else None
    return found["CFBundleShortVersionString"], found["CFBundleVersion"]


def newer_bundle(bundle, workdir):
    """A copy of the bundle whose daemon carries a higher revision of the same length."""
    copy = os.path.join(workdir, "newer", "PortWeaver")
    shutil.copytree(bundle, copy, symlinks=False)
    daemon = os.path.join(copy, "libexec", os.path.basename(DAEMON))
    with open(daemon, "rb") as f:
        data = f.read()
    pattern = rb"(<key>CFBundleVersion</key>\s*<string>)(\d+)(</string>)"
    match = re.search(pattern, data)
    if not match or set(match.group(2)) == {ord("9")}:
        raise RuntimeError("no revision in %s that can be raised in place" % daemon)
    higher = b"9" * len(match.group(2))
    data = data[:match.start(2)] + higher + data[match.end(2):]
    with open(daemon, "wb") as f:
        f.write(data)
    os.chmod(daemon, 0o755)
    return copy, higher.decode()


def daemons_running():
    """Pids of the processes that run the installed daemon program."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/exe" % entry) == DAEMON:
                pids.append(int(entry))
        except OSError:
            continue
    return sorted(pids)


def wait(predicate, timeout, step=0.2):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def check_in():
    """The daemon's check-in reply through the control-client stand-in, or None."""
    client = os.path.join(build_dir(), "tests", "standins", "control-client", "control-client")
    result = subprocess.run(["env", "ASAN_OPTIONS=detect_leaks=0", client, "--timeout", "3", "1"],
                            capture_output=True, text=True, timeout=20)
    for line in result.stdout.splitlines():
        reply = json.loads(line).get("reply")
        if reply is not None:
            return reply
    return None


def probe(bundle, workdir, label):
    argv = [os.path.join(build_dir(), "tests", "standins", "app-probe", "app-probe"), bundle, "20"]
    with open(os.path.join(workdir, "probe-%s.log" % label), "w") as log:
        result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=log, text=True, timeout=90,
                                env=dict(os.environ, **APP_ENV))
    return last_json(result.stdout)


def make_machine(workdir):
    """Empty scratch folders over the places the installation writes to."""
    scratch = os.path.join(workdir, "machine")
    for name in ("libexec", "units", "run", "varlib", "overlay-upper", "overlay-work"):
        os.makedirs(os.path.join(scratch, name))

    def run(*argv):
        subprocess.run(list(argv), check=True, capture_output=True)
    run("ip", "link", "set", "lo", "up")
    run("mount", "-t", "overlay", "overlay", "-o", "lowerdir=/usr/libexec,upperdir=%s,workdir=%s" % (
        os.path.join(scratch, "overlay-upper"), os.path.join(scratch, "overlay-work")), "/usr/libexec")
    os.makedirs(PROGRAM_DIR, exist_ok=True)
    run("mount", "--bind", os.path.join(scratch, "libexec"), PROGRAM_DIR)
    run("mount", "--bind", os.path.join(scratch, "units"), UNIT_DIR)
    run("mount", "--bind", os.path.join(scratch, "run"), "/run")
    run("mount", "--bind", os.path.join(scratch, "varlib"), "/var/lib")


def inside(workdir):
    summary = {"scenario": NAME}
    problems = []

    def check(ok, text):
        if not ok:
            problems.append(text)
        return ok

    for key in ("KL_ROOT", "KLIPC_SOCKET_DIR"):
        os.environ.pop(key, None)
    bundle = os.path.join(build_dir(), "PortWeaver")
    bundle_daemon = os.path.join(bundle, "libexec", os.path.basename(DAEMON))
    version, revision = embedded_info(bundle_daemon)
    try:
        make_machine(workdir)
        if os.path.exists(DAEMON) or os.listdir(UNIT_DIR):
            raise RuntimeError("the scratch machine is not empty")

        # 1. The bundle's own program on a fresh machine.
        app_log = os.path.join(workdir, "app-fresh.log")
        # The app keeps login items and state in its user's home: a scratch one, not root's own.
        home = os.path.join(workdir, "root-home")
        os.makedirs(home)
        with open(app_log, "w") as log:
            app = subprocess.Popen([os.path.join(bundle, "bin", "portweaver")], stdout=log, stderr=log,
                                   env=dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                                            XDG_STATE_HOME=os.path.join(home, ".local", "state"), **APP_ENV))
        reply = wait(lambda: os.path.exists(SOCKET) and check_in(), 30)
        check(reply and reply.get("revision") == revision and reply.get("version") == version,
              "the installed daemon's check-in: %s" % reply)
        check(app.poll() is None, "the app ended after installing (status %s)" % app.poll())
        app.send_signal(signal.SIGTERM)
        app.wait(10)
        check(os.path.exists(DAEMON) and sha256(DAEMON) == sha256(bundle_daemon), "the installed program differs")
        check(os.path.exists(DAEMON) and os.stat(DAEMON).st_mode & 0o7777 == 0o755, "the program's mode")
        check(sorted(os.listdir(UNIT_DIR)) == sorted(UNITS), "units installed: %s" % os.listdir(UNIT_DIR))
        first = daemons_running()
        check(len(first) == 1, "daemons running the installed program: %s" % first)
        summary["fresh"] = {"revision": revision, "daemon_pids": first}

        # 2. Launching again: the same revision runs, nothing to install.
        same = probe(bundle, workdir, "same")
        summary["same"] = same
        check(same.get("blessings") == 0, "the same revision was installed again: %s" % same)
        check(same.get("daemonState") == 2, "the link is not checked in: %s" % same)
        check(same.get("daemonRevision") == revision == same.get("ourDaemonRevision"), "revisions: %s" % same)
        check(re.match(r"^\S+ \(Daemon:%s .+\)$" % re.escape(version), same.get("fullVersionString") or ""),
              "fullVersionString %r" % same.get("fullVersionString"))
        check(daemons_running() == first, "the running daemon changed without an upgrade")

        # 3. The units as systemd reads them.
        verify = subprocess.run(["systemd-analyze", "verify"] + [os.path.join(UNIT_DIR, u) for u in UNITS],
                                capture_output=True, text=True, timeout=60)
        check(verify.returncode == 0, "systemd-analyze verify: %s" % (verify.stdout + verify.stderr).strip())

        # 4. A newer bundle upgrades the older daemon.
        newer, higher = newer_bundle(bundle, workdir)
        upgraded = probe(newer, workdir, "upgrade")
        summary["upgrade"] = upgraded
        check(upgraded.get("blessings") == 1 and upgraded.get("ourDaemonRevision") == higher,
              "the newer bundle did not install once: %s" % upgraded)
        check(upgraded.get("installedAtBlessing") == [False], "the daemon was not prepared for the upgrade")
        check(upgraded.get("daemonState") == 2, "no check-in after the upgrade: %s" % upgraded)
        newer_daemon = os.path.join(newer, "libexec", os.path.basename(DAEMON))
        check(os.path.exists(DAEMON) and sha256(DAEMON) == sha256(newer_daemon), "the upgrade did not replace the program")
        after = daemons_running()
        check(len(after) == 1 and after != first, "daemons before %s and after the upgrade %s" % (first, after))

        # 5. An unprivileged user, no daemon answering, no polkit: refused.
        for pid in daemons_running():
            os.kill(pid, signal.SIGTERM)
        wait(lambda: not daemons_running(), 10)
        installed_before = sha256(DAEMON)
        runtime = os.path.join(workdir, "nobody-runtime")
        os.makedirs(runtime, mode=0o700)
        shutil.chown(runtime, "nobody")
        refused = subprocess.run(["runuser", "-u", "nobody", "--", "env", "HOME=/nonexistent",
                                  "XDG_RUNTIME_DIR=" + runtime] + ["%s=%s" % kv for kv in APP_ENV.items()] +
                                 [os.path.join(bundle, "bin", "portweaver")], capture_output=True, text=True,
                                 timeout=60)
        summary["unprivileged"] = {"status": refused.returncode}
        check(refused.returncode == 1, "the unprivileged launch ended with %d" % refused.returncode)
        check(REFUSAL in refused.stderr, "no refusal message: %s" % refused.stderr[-500:])
        check(sha256(DAEMON) == installed_before and not daemons_running(), "the refused launch changed the machine")
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        problems.append(str(error))
    if problems:
        for name in sorted(os.listdir(workdir)):
            if name.endswith(".log"):
                with open(os.path.join(workdir, name), errors="replace") as log:
                    sys.stderr.write("--- last lines of %s ---\n" % name)
                    sys.stderr.writelines(log.readlines()[-30:])
    summary["result"] = "failed" if problems else "passed"
    summary["details"] = "; ".join(problems) or "fresh install, same revision, upgrade, refusal"
    print(json.dumps(summary), flush=True)
    return 1 if problems else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        return inside(sys.argv[2])
    reason = None
    if os.geteuid() != 0:
        reason = "needs root (mount namespaces)"
    for tool in ("unshare", "runuser", "systemd-analyze"):
        if not reason and not shutil.which(tool):
            reason = "needs " + tool
    for path in (os.path.join(build_dir(), "PortWeaver", "bin", "portweaver"),
                 os.path.join(build_dir(), "tests", "standins", "app-probe", "app-probe")):
        if not reason and not os.access(path, os.X_OK):
            reason = "%s is not built" % path
    if reason:
        print(json.dumps({"scenario": NAME, "result": "skipped", "details": reason}))
        return 4
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    try:
        # The process namespace ends every daemon started inside when the scenario ends.
        result = subprocess.run(["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc",
                                 "--propagation", "private", PYTHON, os.path.abspath(__file__), "--inside", workdir],
                                stdout=subprocess.PIPE, text=True, timeout=240)
        summary = last_json(result.stdout)
        if "scenario" not in summary:
            summary = {"scenario": NAME, "result": "failed", "details": "no summary: %s" % summary}
    except subprocess.TimeoutExpired:
        summary = {"scenario": NAME, "result": "failed", "details": "timed out"}
    shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(summary))
    return 0 if summary.get("result") == "passed" else 1


if __name__ == "__main__":
    sys.exit(main())
