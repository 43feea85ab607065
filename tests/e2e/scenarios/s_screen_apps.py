#!/usr/bin/python3
"""(s) Applications: on a virtual display with a window manager, a session bus and an accessibility
bus in a namespace of their own, the screen service describes a Qt application with a menu bar and
a plain X client. Without the accessibility bus it lists both and sends no menus. With it the first
application section lists both (names, TIFF icons whose MD5 is the sent hash, no icon for the hash
the viewer's handshake named), window records where xwininfo puts the windows, thumbnails of at
most 256 px and the Qt application's menus; activating a window brings the active-application and
top-menu datagrams; a menu request opens a menu and presses an item (the application reports it);
and a client that ends loses its windows."""
import hashlib
import os
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import JsonProcess, build_dir  # noqa: E402
from screen_tools import XDOTOOL, event, run_desktop_scenario, service_path, viewer_path, wait_after  # noqa: E402

NAME = "(s) screen applications"
SIZE = "1024x768"
DBUS_DAEMON = "/usr/bin/dbus-daemon"
BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
XWININFO = "/usr/bin/xwininfo"
XPROP = "/usr/bin/xprop"
PLAIN_CLASS = "KlPlainWindow"
THUMBNAIL_SIDE = 256


def standin(*parts):
    return os.path.join(build_dir(), "tests", "standins", *parts)


def qt_app_path():
    return standin("qt-menu-app", "kl_qt_menu_app")


def plain_app_path():
    return standin("x-app-window", "kl_x_app_window")


def menu_request(handle, pid):
    return struct.pack("<BQQ", 8, handle, pid)


def is_tiff(data):
    return data[:4] in (b"II*\x00", b"MM\x00*")


class Scenario:
    def __init__(self, desktop, summary, problems):
        self.d = desktop
        self.summary = summary
        self.problems = problems
        self.logs = []
        self.groups = []  # process groups of the buses
        self.bus_env = {}

    def check(self, condition, message):
        if not condition:
            self.problems.append(message)
        return bool(condition)

    def start_buses(self):
        socket = os.path.join(self.d.workdir, "session-bus")
        with open(os.path.join(self.d.workdir, "buses.log"), "w") as log:
            daemon = subprocess.Popen(self.d.ns.command([DBUS_DAEMON, "--session", "--nofork",
                                                         "--address=unix:path=" + socket]),
                                      env=self.d.env(), stdout=log, stderr=log, start_new_session=True)
            self.groups.append(daemon)
            deadline = time.monotonic() + 10
            while not os.path.exists(socket) and time.monotonic() < deadline:
                time.sleep(0.05)
            if not os.path.exists(socket):
                raise RuntimeError("the session bus did not start")
            self.bus_env = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=" + socket}
            launcher = subprocess.Popen(self.d.ns.command([BUS_LAUNCHER, "--launch-immediately"]),
                                        env=self.d.env(self.bus_env), stdout=log, stderr=log, start_new_session=True)
            self.groups.append(launcher)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.at_spi_bus():
                return
            time.sleep(0.1)
        raise RuntimeError("the accessibility bus did not start")

    def close(self):
        """Ends the buses (after the desktop, whose clients use them)."""
        for proc in reversed(self.groups):
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()

    def at_spi_bus(self):
        """The accessibility bus's address as the launcher published it on the root window."""
        out = self.d.x(XPROP, "-root", "AT_SPI_BUS", check=False).stdout
        return out.split("=", 1)[1].strip().strip('"') if "=" in out else None

    def app(self, name, argv, env=None):
        proc = JsonProcess(self.d.ns, argv, os.path.join(self.d.workdir, name + ".log"), 180, self.d.env(env))
        self.d.procs.append(proc.proc)
        self.logs.append(proc)
        ready = proc.wait_for(lambda l: l.get("ready"), 20)
        if not ready:
            raise RuntimeError("%s did not show its window" % name)
        return proc, int(ready[1]["window"]), int(ready[1]["pid"])

    def geometry(self, window):
        out = self.d.x(XWININFO, "-id", str(window)).stdout
        fields = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            fields[key] = value.strip()
        return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                int(fields["Width"]), int(fields["Height"]))

    def wm_class(self, window):
        out = self.d.x(XPROP, "-id", str(window), "WM_CLASS").stdout
        return out.split("=", 1)[1].split(",")[-1].strip().strip('"') if "=" in out else None

    def start_service(self, name, env):
        service = JsonProcess(self.d.ns, [service_path()], os.path.join(self.d.workdir, name + ".log"), 120,
                              self.d.env(dict({"KL_LOG_STDERR": "1"}, **env)))
        self.d.procs.append(service.proc)
        self.logs.append(service)
        return service

    def viewer(self, name, *extra):
        return self.d.served_viewer(name, "--version", "1.1.2", "--size", SIZE, "--rate", 10, *extra, logs=self.logs)

    def first_applications(self, viewer, timeout=20):
        """The first section that lists applications."""
        found = viewer.wait_for(lambda l: l.get("event") == "section" and l.get("new_applications"), timeout)
        return found[1] if found else None

    def stop_service(self, service, viewer, label):
        viewer.send("close")
        service.proc.terminate()
        try:
            status = service.proc.wait(15)
        except subprocess.TimeoutExpired:
            status = None
        self.summary[label + "_exit"] = status
        self.check(status == 0, "%s: service exit status %s" % (label, status))

    def run(self):
        d = self.d
        self.start_buses()
        bus_address = self.at_spi_bus()
        qt, qt_window, qt_pid = self.app("qt-app", [qt_app_path()], dict(self.bus_env, QT_QPA_PLATFORM="xcb"))
        plain, plain_window, plain_pid = self.app("plain-app", [plain_app_path(), "--class", PLAIN_CLASS, "--title",
                                                                "Plain", "--geometry", "600x400+300+200", "--icon", "32",
                                                                "--icon", "48"])
        d.x(XDOTOOL, "windowsize", "--sync", str(qt_window), "500", "350", check=False)
        time.sleep(2)  # the Qt application registers its accessible tree after it shows
        self.summary["pids"] = {"qt": qt_pid, "plain": plain_pid}
        plain_hash = self.without_accessibility(qt_pid, plain_pid)
        d.x(XPROP, "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", bus_address)
        self.with_accessibility(qt, qt_window, qt_pid, plain, plain_window, plain_pid, plain_hash)

    def without_accessibility(self, qt_pid, plain_pid):
        """No session bus and no bus address on the root window: applications without menus."""
        self.d.x(XPROP, "-root", "-remove", "AT_SPI_BUS")
        service = self.start_service("service-no-accessibility", {"DBUS_SESSION_BUS_ADDRESS": "",
                                                                  "AT_SPI_BUS_ADDRESS": ""})
        viewer = self.viewer("viewer-no-accessibility")
        section = self.first_applications(viewer)
        plain_hash = None
        if self.check(section, "no accessibility: no section listed applications"):
            apps = {a["id"]: a for a in section["new_applications"]}
            self.summary["no_accessibility"] = {"applications": sorted(a["name"] for a in apps.values()),
                                                "menus": len(section["menu_list"])}
            self.check(qt_pid in apps and plain_pid in apps, "no accessibility: applications %s" % list(apps))
            self.check(not section["menu_list"], "no accessibility: %d menu records" % len(section["menu_list"]))
            if plain_pid in apps:
                plain_hash = apps[plain_pid]["hash"]
                icon = bytes.fromhex(apps[plain_pid]["icon"])
                self.check(is_tiff(icon) and hashlib.md5(icon).hexdigest() == plain_hash,
                           "no accessibility: the plain client's icon is no TIFF of its hash")
        time.sleep(1)
        self.check(service.proc.poll() is None, "no accessibility: the service ended (%s)" % service.proc.poll())
        with open(service.log_path, errors="replace") as f:
            self.check("accessibility disabled" in f.read(), "no accessibility: not logged as disabled")
        self.stop_service(service, viewer, "no_accessibility")
        return plain_hash

    def with_accessibility(self, qt, qt_window, qt_pid, plain, plain_window, plain_pid, plain_hash):
        d = self.d
        service = self.start_service("service", self.bus_env)
        extra = ("--icon-hash", plain_hash) if plain_hash else ()
        viewer = self.viewer("viewer", *extra)
        section = self.first_applications(viewer)
        if not self.check(section, "no section listed applications"):
            return
        apps = {a["id"]: a for a in section["new_applications"]}
        self.check(qt_pid in apps and plain_pid in apps, "first section lists %s" % list(apps))
        if qt_pid in apps:
            qt_app = apps[qt_pid]
            icon = bytes.fromhex(qt_app["icon"])
            self.summary["qt_application"] = {"name": qt_app["name"], "icon_bytes": len(icon)}
            self.check(qt_app["name"] == self.wm_class(qt_window), "Qt application named %r" % qt_app["name"])
            self.check(is_tiff(icon), "the Qt application's icon is no TIFF")
            self.check(hashlib.md5(icon).hexdigest() == qt_app["hash"], "the Qt application's icon MD5 differs")
        if plain_pid in apps:
            plain_app = apps[plain_pid]
            self.summary["plain_application"] = {"name": plain_app["name"], "icon_bytes": len(plain_app["icon"]) // 2}
            self.check(plain_app["name"] == PLAIN_CLASS, "plain client named %r" % plain_app["name"])
            self.check(plain_app["hash"] == plain_hash and not plain_app["icon"],
                       "the icon the handshake named was sent again (%d bytes)" % (len(plain_app["icon"]) // 2))

        # Window records where the X server has the windows.
        records = {w["window"]: w for w in section["window_list"]}
        for label, window, pid in (("qt", qt_window, qt_pid), ("plain", plain_window, plain_pid)):
            record = records.get(window)
            if not self.check(record, "no window record for the %s window" % label):
                continue
            where = self.geometry(window)
            got = (record["x"], record["y"], record["width"], record["height"])
            self.summary[label + "_window"] = {"record": got, "xwininfo": where}
            self.check(record["application"] == pid, "%s window record of application %s" % (label, record["application"]))
            self.check(got == where, "%s window record %s, xwininfo %s" % (label, got, where))

        # The Qt application's menu bar came with it.
        titles = [m["title"] for m in section["menu_list"] if m["application"] == qt_pid]
        self.summary["menus"] = titles
        self.check("File" in titles and "Edit" in titles, "menus of the Qt application: %s" % titles)
        file_menu = next((m for m in section["menu_list"] if m["application"] == qt_pid and m["title"] == "File"), None)

        # Thumbnails, at most 256 pixels a side, for both windows within a few updates.
        deadline = time.monotonic() + 10
        thumbs = {}
        while time.monotonic() < deadline and not {qt_window, plain_window} <= set(thumbs):
            for _, line in list(viewer.lines):
                if line.get("event") == "section":
                    for t in line["thumbnail_list"]:
                        thumbs[t["window"]] = (t["width"], t["height"])
            time.sleep(0.2)
        self.summary["thumbnails"] = {str(k): v for k, v in thumbs.items()}
        self.check({qt_window, plain_window} <= set(thumbs), "thumbnails came for %s" % list(thumbs))
        self.check(all(0 < w <= THUMBNAIL_SIDE and 0 < h <= THUMBNAIL_SIDE for w, h in thumbs.values()),
                   "thumbnail sizes %s" % thumbs)
        if plain_window in thumbs:  # 600x400 shrinks to fit
            self.check(max(thumbs[plain_window]) == THUMBNAIL_SIDE, "plain thumbnail %s" % (thumbs[plain_window],))

        # Activating the Qt window brings its pid and its top menu on the sideband.
        d.x(XDOTOOL, "windowactivate", str(plain_window), check=False)
        time.sleep(0.5)
        since = time.monotonic()
        d.x(XDOTOOL, "windowactivate", str(qt_window), check=False)
        active = wait_after(viewer, since, event("active-application", pid=qt_pid), 10)
        top = wait_after(viewer, since, lambda l: l.get("event") == "menu" and l.get("application") == qt_pid, 10)
        self.summary["top_menu"] = top[1]["titles"] if top else None
        self.check(active, "no active-application datagram for the Qt application")
        self.check(top and "File" in top[1]["titles"], "top-menu datagram: %s" % (top and top[1]))

        # A menu request opens File; a request for its Open item presses it.
        if self.check(file_menu, "no File menu to open"):
            since = time.monotonic()
            viewer.send("input " + menu_request(file_menu["handle"], qt_pid).hex())
            lower = wait_after(viewer, since, lambda l: l.get("event") == "menu" and l.get("handle") == file_menu["handle"],
                               10)
            self.summary["file_menu"] = lower[1]["titles"] if lower else None
            if self.check(lower and "Open" in lower[1]["titles"], "lower menu of File: %s" % (lower and lower[1])):
                open_handle = lower[1]["handles"][lower[1]["titles"].index("Open")]
                since = time.monotonic()
                viewer.send("input " + menu_request(open_handle, qt_pid).hex())
                pressed = wait_after(qt, since, lambda l: l.get("triggered") == "Open", 10)
                self.summary["pressed"] = bool(pressed)
                self.check(pressed, "the Qt application did not report Open")
            # A handle that is no menu of that application is refused, not pressed.
            viewer.send("input " + menu_request(0x7FFF0000DEAD, qt_pid).hex())
            deadline = time.monotonic() + 5
            refused = False
            while not refused and time.monotonic() < deadline:
                with open(service.log_path, errors="replace") as f:
                    refused = "Menu request for an unknown menu of application %d" % qt_pid in f.read()
                time.sleep(0.1)
            self.check(refused, "an unknown menu handle was not refused")

        # The plain client ends: its window leaves the snapshot.
        plain.proc.terminate()
        plain.proc.wait(5)
        since = time.monotonic()
        gone = wait_after(viewer, since, lambda l: l.get("event") == "section"
                          and all(w["window"] != plain_window for w in l["window_list"])
                          and any(w["window"] == qt_window for w in l["window_list"]), 15)
        self.check(gone, "the ended client's window stayed in the snapshot")
        self.check(service.proc.poll() is None, "the service ended (%s)" % service.proc.poll())
        self.stop_service(service, viewer, "service")


def main():
    run_desktop_scenario(NAME, SIZE, (service_path(), viewer_path(), qt_app_path(), plain_app_path()), Scenario,
                         "applications, icons, windows, thumbnails and menus described; switch and menu press "
                         "reach the viewer and the application; no accessibility, no menus",
                         tools=(DBUS_DAEMON, BUS_LAUNCHER, XWININFO, XPROP))


if __name__ == "__main__":
    main()
