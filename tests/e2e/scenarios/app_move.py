#!/usr/bin/python3
"""(app_move) A bundle unpacked into ~/Downloads moves itself to /opt/portweaver, on a machine of
its own (root, private mount, network and process namespaces; an empty /opt that the user may
write to), the app run as an unprivileged user on Xvfb and driven through its UI probe:
1. The app offers the move; "Move to Applications Folder" is pressed.
2. The bundle is copied to /opt/portweaver, the app ends with status 0 and runs again from there
   (as the same user, answering its probe, offering nothing more).
3. The source is in the user's freedesktop Trash, with a .trashinfo naming where it was.
4. The root helper's move-bundle (the way for a user who may not write to /opt) refuses a folder
   that is not the app's bundle and replaces only an older copy of the app."""

import os
import subprocess
import sys
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lib"))
from app_desktop import (USER, app_environment, clean_environment, make_bundle, probe_answers,  # noqa: E402
                         processes_running, read_info, run_in_namespaces, stop_orphans, wait)

NAME = "(app_move) moving the bundle from Downloads to /opt"
DESTINATION = "/opt/portweaver"


def trash_info(path):
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)


def inside(scene, problems):
    def check(ok, text):
        if not ok:
            problems.append(text)
        return ok

    scene.mount_scratch("/opt", owner=USER)
    daemon_env = scene.start_user_daemon()
    home = scene.user_home()
    downloads = os.path.join(home, "Downloads")
    os.makedirs(downloads)
    source = make_bundle(os.path.join(downloads, "PortWeaver"), owner=USER)
    display = scene.start_display()
    probe_path = os.path.join(home, "probe.sock")
    env = app_environment(home, display, probe_path, daemon_env)

    # 1. The offer, accepted.
    app, probe = scene.start_app(os.path.join(source, "bin", "portweaver"), "app.log", probe_path, env,
                                 as_user=True)
    probe.click_when_shown("moveToApplicationsButton", 30)
    wait("the app to end after the move", lambda: app.poll() is not None, 30)
    check(app.returncode == 0, "the app ended with status %s after the move" % app.returncode)

    # 2. Running again from /opt/portweaver.
    moved = os.path.join(DESTINATION, "bin", "portweaver")
    pids = wait("the app to run from " + DESTINATION, lambda: processes_running(moved, USER), 30)
    wait("the moved app's probe", lambda: probe_answers(probe_path), 30)
    check(read_info(DESTINATION).get("CFBundleIdentifier") == "com.kelvaro.portweaver.controlapp",
          "no bundle at " + DESTINATION)
    log = scene.log_text("app.log")
    check("INFO -- Moving myself to the Applications folder" in log, "the move was not logged")
    check(log.count("Moving myself") == 1, "the moved app offered the move again")

    # 3. The source in the Trash.
    trash = os.path.join(home, ".local", "share", "Trash")
    check(not os.path.exists(source), "the source is still in Downloads")
    check(os.path.exists(os.path.join(trash, "files", "PortWeaver", "Info.plist")), "the source is not in the Trash")
    info_file = os.path.join(trash, "info", "PortWeaver.trashinfo")
    if check(os.path.exists(info_file), "no .trashinfo for the source"):
        info = trash_info(info_file)
        check(urllib.parse.unquote(info.get("Path", "")) == source, "the .trashinfo names %r" % info.get("Path"))
        check("DeletionDate" in info, "the .trashinfo has no deletion date")
    stop_orphans(pids)
    details = ["moved to %s, relaunched there, source in the Trash" % DESTINATION]

    # 4. The root helper's verb, as it runs for a user who may not write to /opt.
    helper = os.path.join(DESTINATION, "libexec", "portweaver-root-helper")
    stray = scene.path("not-a-bundle")
    os.makedirs(stray)
    refused = subprocess.run([helper, "move-bundle", stray], capture_output=True, text=True, env=clean_environment())
    check(refused.returncode != 0 and os.path.exists(os.path.join(DESTINATION, "Info.plist")),
          "move-bundle took a folder that is not the app's bundle (status %d)" % refused.returncode)
    again = make_bundle(scene.path("again", "PortWeaver"))
    with open(os.path.join(again, "share", "marker"), "w") as f:
        f.write("the newer copy\n")
    moved_again = subprocess.run([helper, "move-bundle", again], capture_output=True, text=True,
                                 env=clean_environment())
    check(moved_again.returncode == 0 and os.path.exists(os.path.join(DESTINATION, "share", "marker")),
          "move-bundle did not replace the older copy: %s" % moved_again.stderr.strip())
    check(os.stat(os.path.join(DESTINATION, "bin", "portweaver")).st_uid == 0, "the helper's copy is not root's")
    details.append("move-bundle refuses a stray folder and replaces an older copy")
    return "; ".join(details)


if __name__ == "__main__":
    sys.exit(run_in_namespaces(__file__, NAME, inside))
