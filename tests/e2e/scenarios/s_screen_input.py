#!/usr/bin/python3
"""(s) Input from the viewer: on a virtual display with a window manager in a namespace of its own,
the screen service takes the connected viewer's input datagrams: mouse datagrams move the pointer
(xdotool reads it) and click where they say (an X client that prints its events sees the button),
a quick tap up a few pixels away lands on its down position, a scroll of (0, 3.7) clicks the wheel
downwards, typed text arrives as text, a window request brings another client's window forward
(_NET_ACTIVE_WINDOW), and datagrams sent from another port, or too short for their type, move
nothing."""
import os
import plistlib
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import JsonProcess, build_dir  # noqa: E402
from screen_tools import XDOTOOL, event, run_desktop_scenario, service_path, viewer_path  # noqa: E402

NAME = "(s) screen input"
SIZE = "1024x768"
PRINTER_RECT = (100, 100, 400, 300)  # x, y, width, height of the client that reports its events
OTHER_RECT = (600, 400, 300, 200)
TEXT = "Hello, World!"


def printer_path():
    return os.path.join(build_dir(), "tests", "standins", "x-event-printer", "kl_x_event_printer")


def keyboard_character(unit):
    """A keyboard datagram typing one UTF-16 unit (kind 0, no shift, no modifiers)."""
    return struct.pack("<BBBBBH", 3, 0, 0, 0, 0, unit)


def window_request(pid, window):
    return struct.pack("<BQQ", 5, pid, window)


def mouse(buttons, x, y):
    return struct.pack("<BBhh", 6, buttons, x, y)


class Scenario:
    def __init__(self, desktop, summary, problems):
        self.d = desktop
        self.d.root = os.path.join(desktop.workdir, "root")
        self.summary = summary
        self.problems = problems
        self.logs = []

    def check(self, condition, message):
        if not condition:
            self.problems.append(message)
        return bool(condition)

    def pointer(self):
        out = self.d.x(XDOTOOL, "getmouselocation", "--shell").stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"])

    def wait_pointer(self, where, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.pointer() == where:
                return True
            time.sleep(0.05)
        return False

    def active_window(self):
        out = self.d.x(XDOTOOL, "getactivewindow", check=False).stdout.strip()
        return int(out) if out.isdigit() else None

    def client(self, name, rect):
        proc = JsonProcess(self.d.ns, [printer_path()] + [str(v) for v in rect],
                           os.path.join(self.d.workdir, name + ".log"), 180, self.d.env())
        self.d.procs.append(proc.proc)
        self.logs.append(proc)
        ready = proc.wait_for(event("ready"), 15)
        if not ready:
            raise RuntimeError("%s did not map its window" % name)
        window = ready[1]["window"]
        # The window manager places windows itself: put it where the scenario clicks.
        self.d.x(XDOTOOL, "windowmove", "--sync", str(window), str(rect[0]), str(rect[1]), check=False)
        pid = int(self.d.x(XDOTOOL, "getwindowpid", str(window)).stdout.strip())
        return proc, window, pid

    def origin(self, window):
        out = self.d.x(XDOTOOL, "getwindowgeometry", "--shell", str(window)).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"])

    def lines_since(self, proc, since, name):
        return [line for stamp, line in list(proc.lines) if stamp >= since and line.get("event") == name]

    def send(self, viewer, datagram):
        viewer.send("input " + datagram.hex())

    def wait_key_after(self, printer, since, text, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(l.get("text") == text for l in self.lines_since(printer, since, "key")):
                return True
            time.sleep(0.05)
        return False

    def run(self):
        d = self.d
        # Scrolling is not reversed, so the wheel's direction is known.
        prefs = os.path.join(d.root, "var", "lib", "Kelvaro", "Preferences")
        os.makedirs(prefs, exist_ok=True)
        with open(os.path.join(prefs, "com.kelvaro.Deskgate.plist"), "wb") as f:
            plistlib.dump({"ReverseScrollwheelEventDirection": False}, f)
        other, other_window, other_pid = self.client("other-client", OTHER_RECT)
        printer, printer_window, printer_pid = self.client("printer", PRINTER_RECT)
        px, py = self.origin(printer_window)
        self.summary["printer_origin"] = [px, py]
        service = d.start_service({"KL_ROOT": d.root})
        self.logs.append(service)
        viewer = self.viewer()
        self.check(viewer.wait_for(event("update"), 20), "the viewer got no update")

        # A mouse move: the pointer goes where the viewer says (same size: no scaling).
        self.send(viewer, mouse(0, 300, 200))
        self.check(self.wait_pointer((300, 200)), "pointer at %s after a move to (300, 200)" % (self.pointer(),))

        # A click inside the printer's window lands there.
        since = time.monotonic()
        cx, cy = px + 150, py + 150
        for buttons in (0, 1, 0):
            self.send(viewer, mouse(buttons, cx, cy))
        time.sleep(0.5)
        clicks = [(b["button"], b["down"], b["x"], b["y"]) for b in self.lines_since(printer, since, "button")]
        self.summary["click"] = clicks
        self.check(clicks == [(1, True, cx, cy), (1, False, cx, cy)], "click arrived as %s" % clicks)

        # A tap up 0.1 s after its down and 5 pixels away lands on the down position.
        since = time.monotonic()
        tx, ty = px + 100, py + 50
        viewer.send("tap 0 %d %d" % (tx, ty))
        time.sleep(0.1)
        viewer.send("tap 2 %d %d" % (tx + 5, ty))
        time.sleep(0.5)
        taps = [(b["button"], b["down"], b["x"], b["y"]) for b in self.lines_since(printer, since, "button")]
        self.summary["tap"] = taps
        self.check(taps == [(1, True, tx, ty), (1, False, tx, ty)], "tap arrived as %s" % taps)

        # Scrolling down by 3.7 turns into downward wheel clicks (button 5) only.
        self.send(viewer, mouse(0, px + 200, py + 100))
        since = time.monotonic()
        for _ in range(3):
            viewer.send("scroll 0 3.7")
        time.sleep(0.5)
        wheel = [b["button"] for b in self.lines_since(printer, since, "button") if b["down"]]
        self.summary["wheel_buttons"] = wheel
        self.check(wheel and set(wheel) == {5}, "scrolling clicked buttons %s" % wheel)

        # Typed text arrives as text.
        since = time.monotonic()
        for c in TEXT:
            self.send(viewer, keyboard_character(ord(c)))
        self.wait_key_after(printer, since, "!")
        typed = "".join(k.get("text", "") for k in self.lines_since(printer, since, "key"))
        self.summary["typed"] = typed
        self.check(typed == TEXT, "typed text arrived as %r" % typed)

        # A window request brings the other client's window forward.
        before = self.active_window()
        self.send(viewer, window_request(other_pid, other_window))
        deadline = time.monotonic() + 5
        while self.active_window() != other_window and time.monotonic() < deadline:
            time.sleep(0.05)
        self.summary["active_window"] = {"before": before, "after": self.active_window(), "requested": other_window}
        self.check(self.active_window() == other_window, "active window %s after the request for %s" % (
            self.active_window(), other_window))
        self.send(viewer, window_request(printer_pid, printer_window))  # the printer takes the keys again
        deadline = time.monotonic() + 5
        while self.active_window() != printer_window and time.monotonic() < deadline:
            time.sleep(0.05)

        # Datagrams from another port of this machine, and a short one from the viewer, move nothing.
        self.send(viewer, mouse(0, 320, 220))
        self.check(self.wait_pointer((320, 220)), "the viewer's move to (320, 220) did not arrive")
        stranger = ("import socket,struct\n"
                    "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                    "for _ in range(5): s.sendto(struct.pack('<BBhh',6,0,700,600),('127.0.0.1',7002))\n")
        d.x("/usr/bin/python3", "-c", stranger)
        self.send(viewer, bytes([6, 0, 0x58]))  # a mouse datagram cut short
        time.sleep(0.5)
        self.summary["pointer_after_refused"] = self.pointer()
        self.check(self.pointer() == (320, 220), "refused datagrams moved the pointer to %s" % (self.pointer(),))
        self.check(service.proc.poll() is None, "the service ended (%s)" % service.proc.poll())
        with open(service.log_path, errors="replace") as f:
            log = f.read()
        self.check("Input datagram dropped" in log, "the stranger's datagrams were not logged as dropped")

        inputs = viewer.events("input")
        self.summary["viewer_inputs"] = {"sent": sum(1 for i in inputs if i.get("ok")),
                                         "failed": sum(1 for i in inputs if not i.get("ok"))}
        viewer.send("close")
        service.proc.terminate()
        try:
            self.summary["service_exit"] = service.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.summary["service_exit"] = None
        self.check(self.summary["service_exit"] == 0, "service exit status %s" % self.summary["service_exit"])

    def viewer(self):
        return self.d.served_viewer("viewer", "--version", "1.1.2", "--size", SIZE, "--rate", 10, logs=self.logs)


def main():
    run_desktop_scenario(NAME, SIZE, (service_path(), viewer_path(), printer_path()), Scenario,
                         "pointer, click, tap, wheel, text and window request arrive; "
                         "a stranger's and short datagrams are dropped")


if __name__ == "__main__":
    main()
