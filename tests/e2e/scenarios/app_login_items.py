#!/usr/bin/python3
"""(app_login_items) Login items as XDG autostart entries, on a machine of its own (root, private
mount, network and process namespaces; an empty folder over /etc/xdg/autostart), with the bundle
in a folder whose name has a blank:
1. The app, run as an unprivileged user on Xvfb, turns starting at login on through its UI probe:
   one entry in ~/.config/autostart that desktop-file-validate accepts; turned on again, still one
   ("Already in login items").
2. `dex -a` in that user's session starts the app from the entry.
3. Turned off, the entry is gone.
4. The root helper writes a global entry to /etc/xdg/autostart for the bundle's program and refuses
   a program outside a bundle; `dex -a` starts the app from the global entry; the helper removes it."""

import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from app_desktop import (USER, Probe, app_environment, clean_environment, make_bundle,  # noqa: E402
                         probe_answers, processes_running, run_in_namespaces, stop_orphans, wait)

NAME = "(app_login_items) start at login through autostart entries"
GLOBAL_FOLDER = "/etc/xdg/autostart"


def entries(folder):
    return sorted(glob.glob(os.path.join(folder, "*.desktop")))


def exec_argv(entry):
    """The entry's Exec line split by the Desktop Entry rules: the string escapes first, then the
    quoting (inside double quotes a backslash escapes '"', '`', '$' and itself). Our lines hold no
    field codes."""
    with open(entry) as f:
        line = next((line.rstrip("\n")[len("Exec="):] for line in f if line.startswith("Exec=")), None)
    if line is None:
        return None
    escapes = {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}
    value = re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(0)), line)
    args, current, quoted, i = [], None, False, 0
    while i < len(value):
        c = value[i]
        if quoted and c == "\\" and i + 1 < len(value) and value[i + 1] in '"`$\\':
            current, i = current + value[i + 1], i + 2
            continue
        if c == '"':
            quoted, current = not quoted, current or ""
        elif c == " " and not quoted:
            if current is not None:
                args.append(current)
            current = None
        else:
            current = (current or "") + c
        i += 1
    return None if quoted else args + ([current] if current is not None else [])


def validate(entry, problems):
    result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    if result.returncode != 0 or result.stdout.strip():
        problems.append("desktop-file-validate %s: %s" % (os.path.basename(entry), result.stdout.strip()))


def started_from_autostart(scene, program, env, probe_path, label):
    """Runs dex -a as the app's user and waits for the app it starts; the app's pid."""
    if os.path.exists(probe_path):
        os.unlink(probe_path)
    scene.spawn(["dex", "-a", "-e", "X-Portweaver-Test"], "dex-%s.log" % label, as_user=True, env=env)
    pids = wait("the app started by dex -a from the %s entry" % label, lambda: processes_running(program, USER), 60)
    wait("the probe of the app started from the %s entry" % label, lambda: probe_answers(probe_path), 60)
    return pids


def inside(scene, problems):
    def check(ok, text):
        if not ok:
            problems.append(text)
        return ok

    scene.mount_scratch(GLOBAL_FOLDER)
    daemon_env = scene.start_user_daemon()
    home = scene.user_home()
    # A blank and a quote in the path: the Exec line's quoting must hold for dex too (which takes
    # the escapes of '"' and '$' inside quotes literally, so the path has neither).
    folder = os.path.join(home, "Applications", "Port Weaver's")
    os.makedirs(folder)
    bundle = make_bundle(os.path.join(folder, "PortWeaver"), owner=USER)
    program = os.path.join(bundle, "bin", "portweaver")
    display = scene.start_display()
    probe_path = os.path.join(home, "probe.sock")
    env = app_environment(home, display, probe_path, daemon_env)
    session_folder = os.path.join(home, ".config", "autostart")

    # 1. On, twice: one entry for the bundle's program.
    app, probe = scene.start_app(program, "app.log", probe_path, env, as_user=True)
    for _ in range(2):
        reply = probe.request(op="startAtLogin", value=True)
        if not reply or not reply.get("ok"):
            raise RuntimeError("the probe did not turn starting at login on: %s" % reply)
    found = wait("the session entry", lambda: entries(session_folder), 10)
    check(len(found) == 1, "session entries after turning it on twice: %s" % found)
    check("Already in login items" in scene.log_text("app.log"), "no \"Already in login items\" in the app's log")
    entry = found[0]
    check(os.stat(entry).st_uid == USER, "the entry does not belong to the user")
    check(exec_argv(entry) == [program], "the entry's Exec line: %r" % exec_argv(entry))
    validate(entry, problems)
    probe.close()
    scene.stop(app)

    # 2. The session's autostart starts the app from the entry.
    pids = started_from_autostart(scene, program, env, probe_path, "session")
    details = ["session entry started by dex -a"]

    # 3. Off: the entry is gone.
    probe = Probe(probe_path)
    reply = probe.request(op="startAtLogin", value=False)
    check(reply and reply.get("ok"), "the probe did not turn starting at login off: %s" % reply)
    wait("the session entry to go", lambda: not entries(session_folder), 10)
    probe.close()
    stop_orphans(pids)

    # 4. A global entry through the root helper (as root, without the app's private root folder).
    helper = os.path.join(bundle, "libexec", "portweaver-root-helper")
    root_env = clean_environment()
    added = subprocess.run([helper, "add-login-item", program], capture_output=True, text=True, env=root_env)
    check(added.returncode == 0, "add-login-item: status %d %s" % (added.returncode, added.stderr.strip()))
    found = entries(GLOBAL_FOLDER)
    if check(len(found) == 1, "global entries: %s" % found):
        check(exec_argv(found[0]) == [program], "the global entry's Exec line: %r" % exec_argv(found[0]))
        validate(found[0], problems)
    refused = subprocess.run([helper, "add-login-item", "/bin/sh"], capture_output=True, text=True, env=root_env)
    check(refused.returncode != 0 and len(entries(GLOBAL_FOLDER)) == 1,
          "a program outside a bundle was not refused (status %d)" % refused.returncode)
    pids = started_from_autostart(scene, program, env, probe_path, "global")
    check(not entries(session_folder), "the user got a session entry of his own")
    stop_orphans(pids)
    removed = subprocess.run([helper, "remove-login-item", program], capture_output=True, text=True, env=root_env)
    check(removed.returncode == 0 and not entries(GLOBAL_FOLDER),
          "remove-login-item: status %d, left %s" % (removed.returncode, entries(GLOBAL_FOLDER)))
    details.append("global entry written, started and removed by the root helper")
    return "; ".join(details)


if __name__ == "__main__":
    sys.exit(run_in_namespaces(__file__, NAME, inside, tools=("dex", "desktop-file-validate")))
