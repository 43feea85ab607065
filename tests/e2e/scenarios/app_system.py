#!/usr/bin/python3
"""(app_system) The package on a scratch machine, as a user installs and removes it: as root, in
private mount, network and process namespaces, with overlays over /usr, /etc and /var (dpkg's
database too) and empty folders over /opt, /run, the autostart and unit folders and the daemon's
state; no systemd runs.

1. dpkg installs the build's .deb (cpack): its postinst puts the daemon's program and units in
   place and starts the daemon on its own, which answers a check-in; polkitd reads the package's
   action for the bundle's root helper. The bundle's app is then swapped for its UI test build.
2. An administrator (a user of the sudo group, allowed that action by a polkit rule) runs the UI
   test build of the app from the installed bundle on Xvfb with trayer: the first run shows the
   sign-in view and installs nothing; after signing in through the window, the session's autostart
   folder holds the app and the screen service, which runs as the user.
3. About shows the versions of the app, the daemon, the screen service and the tunnel layer.
4. Uninstall from the tools menu removes the daemon's program, units and socket, the user's
   preferences, host archive and autostart entries and the bundle, and the app exits."""
import json
import os
import pwd
import re
import shutil
import subprocess
import sys
import tempfile
import time

NAME = "(app_system) package install, first run, sign-in, uninstall"
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
sys.path.insert(0, HERE)
from processes import PYTHON, build_dir, last_json  # noqa: E402
from app_desktop import processes_running  # noqa: E402
from app_install import check_in, wait  # noqa: E402
from app_window import Probe, Scene, plist, write  # noqa: E402

BUNDLE = "/opt/portweaver"
PROGRAM_DIR = "/usr/libexec/portweaver"
DAEMON = PROGRAM_DIR + "/com.kelvaro.portweaver.daemon"
SCREEN_SERVICE = BUNDLE + "/libexec/com.kelvaro.portweaver.service.deskgate"
UNIT_DIR = "/etc/systemd/system"
UNITS = ("com.kelvaro.portweaver.daemon.service", "com.kelvaro.portweaver.daemon.socket")
SOCKET = "/run/com.kelvaro.portweaver.controlapp"
ACTION = "com.kelvaro.portweaver.daemon.modify"
ACCOUNT_SERVER = os.path.join(REPO, "tests", "standins", "account_server", "account_server.py")
EMAIL, PASSWORD = "system@example.com", "system password"
USER = "pwsystem"
NO_LEAKS = {"ASAN_OPTIONS": "detect_leaks=0"}

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=/run/dbus/system_bus_socket</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>
"""
POLKIT_RULE = """polkit.addRule(function(action, subject) {
    if (action.id == "%s" && subject.user == "%s") return polkit.Result.YES;
});
""" % (ACTION, USER)


def run(*argv, **kwargs):
    return subprocess.run(list(argv), check=True, capture_output=True, text=True, **kwargs)


def make_deb(workdir):
    """The build's .deb, made by cpack as CI makes it (but compressed with zstd: twice as fast)."""
    out = os.path.join(workdir, "deb")
    result = subprocess.run(["cpack", "-G", "DEB", "-D", "CPACK_DEBIAN_COMPRESSION_TYPE=zstd", "--config",
                             os.path.join(build_dir(), "CPackConfig.cmake"), "-B", out],
                            capture_output=True, text=True, timeout=120)
    debs = [n for n in os.listdir(out) if n.endswith(".deb")] if os.path.isdir(out) else []
    if result.returncode != 0 or len(debs) != 1:
        raise RuntimeError("cpack: %s" % (result.stdout + result.stderr)[-800:])
    return os.path.join(out, debs[0])


def make_machine(scratch):
    """Writes to /usr, /etc and /var (dpkg's database too) land in scratch folders; /opt, /run and
    the daemon's state start empty."""
    run("ip", "link", "set", "lo", "up")
    for place in ("/usr", "/etc", "/var"):
        name = place.strip("/").replace("/", "-")
        upper, work = os.path.join(scratch, name + "-upper"), os.path.join(scratch, name + "-work")
        os.makedirs(upper)
        os.makedirs(work)
        run("mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s,workdir=%s" % (place, upper, work),
            place)
    for place in ("/opt", "/run", "/var/lib/Kelvaro"):
        os.makedirs(place, exist_ok=True)
        run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", place)
    for place in ("/etc/xdg/autostart", UNIT_DIR):
        if os.path.isdir(place):
            run("mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", place)


class Here:
    """The namespace of app_window's Scene: this process is already inside its namespaces."""

    @staticmethod
    def command(argv):
        return list(argv)


def start_account_server(scene, workdir):
    cert, key = os.path.join(workdir, "cert.pem"), os.path.join(workdir, "key.pem")
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
        "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert)
    os.chmod(cert, 0o644)
    server = scene.spawn([PYTHON, ACCOUNT_SERVER, "--bind", "127.0.0.1", "--port", "0", "--cert", cert, "--key", key],
                         "account-server.log", stdout=subprocess.PIPE, text=True)
    port = int(server.stdout.readline().split()[1])
    run("curl", "-sf", "--cacert", cert, "-d", json.dumps({"email": EMAIL, "password": PASSWORD}),
        "https://127.0.0.1:%d/_test/users" % port)
    return cert, port


def install_package(deb, workdir, cert, port):
    """dpkg -i of the package (its database lies in the /var overlay); the daemon's preferences
    name the stand-in account server, and the daemon that postinst starts trusts its certificate.
    Then the bundle's app is swapped for its UI test build, in place, so that the package still owns
    every file of the bundle."""
    write("/var/lib/Kelvaro/Preferences/com.kelvaro.portweaver.daemon.plist",
          plist({"AccountServerHost": "127.0.0.1", "AccountServerPort": port}))
    env = dict(os.environ, KL_HTTP_CA_FILE=cert, PATH="/usr/sbin:/usr/bin:/sbin:/bin", DEBIAN_FRONTEND="noninteractive",
               **NO_LEAKS)
    result = subprocess.run(["dpkg", "-i", deb], capture_output=True, text=True, timeout=120, env=env)
    with open(os.path.join(workdir, "dpkg-install.log"), "w") as log:
        log.write(result.stdout + result.stderr)
    uitest = os.path.join(build_dir(), "src", "controlapp", "program", "portweaver-uitest")
    shutil.copyfile(uitest, os.path.join(BUNDLE, "bin", "portweaver"))
    return result


def start_polkit(scene, workdir):
    """A system bus of the namespace's own and polkitd on it, with a rule for the test user."""
    config = os.path.join(workdir, "system-bus.conf")
    write(config, BUS_CONFIG)
    os.makedirs("/run/dbus", exist_ok=True)
    scene.spawn(["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"], "dbus.log")
    wait(lambda: os.path.exists("/run/dbus/system_bus_socket"), 10)
    write("/etc/polkit-1/rules.d/60-app-system.rules", POLKIT_RULE)
    scene.spawn(["/usr/lib/polkit-1/polkitd", "--no-debug"], "polkitd.log")

    def action_known():
        result = subprocess.run(["pkaction", "--verbose", "--action-id", ACTION], capture_output=True, text=True)
        return result.returncode == 0 and result.stdout
    return wait(action_known, 15)


def make_user(workdir):
    """An administrator of the machine in the daemon's sense (a member of sudo), with a home."""
    run("useradd", "--no-create-home", "--groups", "sudo", "--shell", "/bin/sh", USER)
    entry = pwd.getpwnam(USER)
    home = os.path.join(workdir, "home")
    runtime = os.path.join(workdir, "runtime")
    for folder in (home, runtime):
        os.makedirs(folder, mode=0o700)
        os.chown(folder, entry.pw_uid, entry.pw_gid)
    env = {"HOME": home, "USER": USER, "LOGNAME": USER, "XDG_RUNTIME_DIR": runtime,
           "XDG_CONFIG_HOME": os.path.join(home, ".config"), "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
           "XDG_STATE_HOME": os.path.join(home, ".local", "state"), "XDG_CACHE_HOME": os.path.join(home, ".cache")}
    return entry, env


def plant_host_archive(user_env, entry):
    """An (empty) host-item archive, as a session in which an SSH user name was set leaves it."""
    path = os.path.join(user_env["XDG_DATA_HOME"], "Kelvaro", "com.kelvaro.portweaver.controlapp",
                        "archive.kltHostItemArchive")
    write(path, '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>$archiver</key>'
          '<string>KLTButler</string><key>$version</key><integer>1</integer><key>$top</key><array/></dict></plist>\n')
    folder = path
    while folder != user_env["HOME"]:
        os.chown(folder, entry.pw_uid, entry.pw_gid)
        folder = os.path.dirname(folder)
    return path


def start_display(scene):
    read_fd, write_fd = os.pipe()
    scene.spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"], "xvfb.log",
                pass_fds=(write_fd,))
    os.close(write_fd)
    with os.fdopen(read_fd) as f:
        number = f.readline().strip()
    if not number:
        raise RuntimeError("Xvfb gave no display")
    display = ":" + number
    scene.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--height",
                 "24", "--transparent", "false"], "trayer.log", env={"DISPLAY": display})
    wait(lambda: "trayer" in subprocess.run(["xwininfo", "-display", display, "-root", "-tree"], capture_output=True,
                                            text=True).stdout.lower(), 20)
    return display


def tree_text(probe):
    return json.dumps(probe.request(op="tree")["windows"])


def autostart_programs(folder):
    """The programs (first word of Exec) of the autostart entries in a folder."""
    found = []
    if not os.path.isdir(folder):
        return found
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), errors="replace") as f:
            for line in f:
                if line.startswith("Exec="):
                    found.append(line[5:].strip().split(" ")[0].strip('"'))
    return found


def widget_texts(probe, window_name):
    """{objectName: text} of the widgets of the top-level window of that name, or None."""
    def walk(node, found):
        found[node.get("objectName", "")] = node.get("text", "")
        for child in node.get("children", []):
            walk(child, found)
        return found
    for window in probe.request(op="tree")["windows"]:
        if window.get("objectName") == window_name and window.get("visible"):
            return walk(window, {})
    return None


def inside(workdir, deb):
    summary = {"scenario": NAME}
    problems = []
    details = []

    def check(ok, text):
        if not ok:
            problems.append(text)
        return ok

    for key in ("KL_ROOT", "KLIPC_SOCKET_DIR", "XDG_CONFIG_DIRS"):
        os.environ.pop(key, None)
    scene = Scene(Here(), workdir)
    try:
        make_machine(os.path.join(workdir, "machine"))
        cert, port = start_account_server(scene, workdir)

        # 1. The package as dpkg installs it.
        installed = install_package(deb, workdir, cert, port)
        if not check(installed.returncode == 0, "dpkg -i ended with %d: %s" % (installed.returncode,
                                                                              installed.stderr[-500:])):
            raise RuntimeError("the package did not install")
        check("started on its own" in installed.stdout, "postinst said: %r" % installed.stdout[-300:])
        bundle_daemon = os.path.join(BUNDLE, "libexec", os.path.basename(DAEMON))
        with open(DAEMON, "rb") as a, open(bundle_daemon, "rb") as b:
            check(a.read() == b.read(), "the installed daemon is not the bundle's")
        check(all(os.path.isfile(os.path.join(UNIT_DIR, u)) for u in UNITS), "units: %s" % os.listdir(UNIT_DIR))
        check(os.readlink("/usr/bin/portweaver") == BUNDLE + "/bin/portweaver", "/usr/bin/portweaver")
        reply = wait(lambda: os.path.exists(SOCKET) and check_in(), 30)
        if not check(reply and reply.get("revision"), "no check-in after postinst: %s" % reply):
            raise RuntimeError("the daemon does not answer")
        daemons = processes_running(DAEMON)
        details.append("dpkg -i: the daemon %s answers" % reply.get("version"))
        action = start_polkit(scene, workdir)
        check(action and BUNDLE + "/libexec/portweaver-root-helper" in action,
              "polkitd does not know the package's action: %r" % action)

        # 2. The first run of an administrator, from the installed bundle.
        entry, user_env = make_user(workdir)
        archive = plant_host_archive(user_env, entry)
        app_program = "/usr/bin/portweaver"
        display = start_display(scene)
        probe_path = os.path.join(user_env["XDG_RUNTIME_DIR"], "probe.sock")
        app_env = dict(user_env, DISPLAY=display, KL_UI_PROBE=probe_path, QT_QPA_PLATFORM="xcb",
                       PATH="/usr/sbin:/usr/bin:/sbin:/bin", **NO_LEAKS)
        app = scene.spawn(["setpriv", "--reuid", str(entry.pw_uid), "--regid", str(entry.pw_gid), "--init-groups",
                           app_program], "app.log", env=app_env)
        if not wait(lambda: os.path.exists(probe_path), 60):
            raise RuntimeError("the app's UI probe did not appear")
        probe = Probe(probe_path)
        if not check(wait(lambda: "KLTSignInViewController" in tree_text(probe), 30), "no sign-in view at first run"):
            raise RuntimeError("no sign-in view")
        check(processes_running(DAEMON) == daemons, "the first run changed the daemon: %s" % processes_running(DAEMON))
        with open(DAEMON, "rb") as a, open(bundle_daemon, "rb") as b:
            check(a.read() == b.read(), "the first run replaced the daemon")
        details.append("first run: sign-in, nothing installed")

        for name, text in (("accountEmailAddress", EMAIL), ("accountPassword", PASSWORD)):
            check(probe.request(op="type", name=name, text=text).get("ok"), "typing into " + name)
        check(probe.request(op="click", name="signInButton").get("ok"), "clicking signInButton")
        if not check(wait(lambda: "KLTAccountDetailsViewController" in tree_text(probe), 30), "not signed in"):
            raise RuntimeError("the sign-in failed")
        autostart = os.path.join(user_env["XDG_CONFIG_HOME"], "autostart")
        programs = wait(lambda: (lambda p: p if SCREEN_SERVICE in p and any(os.path.realpath(x).startswith(BUNDLE + "/bin/") for x in p)
                                 else None)(autostart_programs(autostart)), 20)
        check(programs, "the session's autostart entries: %s" % autostart_programs(autostart))
        screen = wait(lambda: processes_running(SCREEN_SERVICE, entry.pw_uid), 20)
        screen_seen = time.monotonic()
        check(screen, "the screen service does not run as the user")
        details.append("signed in; autostart: app and screen service")

        # 3. About, once the services scan (every 7 s) has surely seen the screen service.
        time.sleep(max(0.0, screen_seen + 2 * 7 - time.monotonic()))
        check(probe.request(op="click", name="aboutMenuItem").get("ok"), "choosing About")
        about = wait(lambda: widget_texts(probe, "About"), 15) or {}
        with open(os.path.join(BUNDLE, "Info.plist")) as f:
            info = f.read()
        version, revision = (re.search(r"<key>%s</key>\s*<string>([^<]*)</string>" % key, info).group(1)
                             for key in ("CFBundleShortVersionString", "CFBundleVersion"))
        expected = {"controlAppVersionField": "%s (%s)" % (version, revision),
                    "daemonVersionField": "%s (%s)" % (reply.get("version"), reply.get("revision"))}
        for field, text in expected.items():
            check(about.get(field) == text, "About's %s: %r, not %r" % (field, about.get(field), text))
        for field in ("deskgateVersionField", "tunnexVersionField"):
            check(about.get(field) and about.get(field) != "?", "About's %s: %r" % (field, about.get(field)))
        details.append("About: " + ", ".join(about.get(f, "") for f in ("controlAppVersionField", "daemonVersionField",
                                                                         "deskgateVersionField", "tunnexVersionField")))

        # 4. Uninstall from the tools menu, confirmed: the package goes through pkexec and dpkg.
        preferences = os.path.join(user_env["XDG_CONFIG_HOME"], "Kelvaro", "Preferences",
                                   "com.kelvaro.portweaver.controlapp.plist")
        check(os.path.exists(archive) and os.path.exists(preferences), "before the uninstall: archive %s, "
              "preferences %s" % (os.path.exists(archive), os.path.exists(preferences)))
        check(probe.request(op="click", name="uninstallMenuItem").get("ok"), "choosing Uninstall")
        wait(lambda: widget_texts(probe, "Uninstall"), 15)
        check(probe.request(op="click", name="okButton").get("ok"), "confirming the uninstall")
        try:
            status = app.wait(90)
        except subprocess.TimeoutExpired:
            status = None
        check(status == 0, "the app did not exit after the uninstall (%s)" % status)
        left = [p for p in [DAEMON, SOCKET, BUNDLE, preferences, archive] + [os.path.join(UNIT_DIR, u) for u in UNITS]
                if os.path.lexists(p)]
        check(not left, "left after the uninstall: %s" % left)
        ours = [p for p in autostart_programs(autostart) + autostart_programs("/etc/xdg/autostart")
                if "portweaver" in p]
        check(not ours, "autostart entries left: %s" % ours)
        check(not processes_running(DAEMON) and not processes_running(SCREEN_SERVICE), "the daemon or screen service runs on")
        status = subprocess.run(["dpkg-query", "-W", "-f", "${Status}", "portweaver"], capture_output=True, text=True)
        check("installed" not in status.stdout.split(), "the package: %r" % status.stdout)
        details.append("uninstalled: daemon, units, socket, preferences, archive, autostart, bundle")
    except (RuntimeError, OSError, ValueError, subprocess.SubprocessError) as error:
        problems.append(str(error))
    finally:
        scene.stop_all()
    if problems:
        artifacts = os.path.join(os.environ.get("KL_ARTIFACTS_DIR", os.path.join(build_dir(), "e2e-artifacts")),
                                 "app_system")
        os.makedirs(artifacts, exist_ok=True)
        crashes = [os.path.join(d, n) for d, _, names in os.walk(os.path.join(workdir, "home"))
                   if os.path.basename(d) == "crashes" for n in names]
        for path in [os.path.join(workdir, n) for n in sorted(os.listdir(workdir)) if n.endswith(".log")] + crashes:
            shutil.copy(path, artifacts)
            with open(path, errors="replace") as log:
                sys.stderr.write("--- last lines of %s ---\n" % os.path.basename(path))
                sys.stderr.writelines(log.readlines()[-30:])
    summary["result"] = "failed" if problems else "passed"
    summary["details"] = "; ".join(problems) or "; ".join(details)
    print(json.dumps(summary), flush=True)
    return 1 if problems else 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--inside":
        return inside(sys.argv[2], sys.argv[3])
    reason = None
    if os.geteuid() != 0:
        reason = "needs root (mount namespaces)"
    for tool in ("unshare", "setpriv", "useradd", "cpack", "dpkg-deb", "Xvfb", "trayer", "xwininfo", "dbus-daemon",
                 "pkaction", "pkexec", "/usr/lib/polkit-1/polkitd", "openssl", "curl"):
        if not reason and not shutil.which(tool):
            reason = "needs " + tool
    for path in (os.path.join(build_dir(), "PortWeaver", "bin", "portweaver"),
                 os.path.join(build_dir(), "src", "controlapp", "program", "portweaver-uitest"),
                 os.path.join(build_dir(), "tests", "standins", "control-client", "control-client")):
        if not reason and not os.access(path, os.X_OK):
            reason = "%s is not built" % path
    if reason:
        print(json.dumps({"scenario": NAME, "result": "skipped", "details": reason}))
        return 4
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    os.chmod(workdir, 0o755)
    try:
        deb = make_deb(workdir)
        # The process namespace ends every program started inside when the scenario ends.
        result = subprocess.run(["unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc",
                                 "--propagation", "private", PYTHON, os.path.abspath(__file__), "--inside", workdir,
                                 deb], stdout=subprocess.PIPE, text=True, timeout=240)
        summary = last_json(result.stdout)
        if "scenario" not in summary:
            summary = {"scenario": NAME, "result": "failed", "details": "no summary: %s" % summary}
    except subprocess.TimeoutExpired:
        summary = {"scenario": NAME, "result": "failed", "details": "timed out"}
    except RuntimeError as error:
        summary = {"scenario": NAME, "result": "failed", "details": str(error)}
    shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(summary))
    return 0 if summary.get("result") == "passed" else 1


if __name__ == "__main__":
    sys.exit(main())
