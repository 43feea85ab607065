"""One desktop inside a network namespace for the screen scenarios: a virtual X display with a
window manager, the screen service on it, viewers (the screen-viewer stand-in) and X clients that
draw on it, split it into monitors, capture it and compare pictures."""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

from processes import JsonProcess, build_dir, report_and_exit
from topology import Topology, skip_unless_runnable

XVFB = "/usr/bin/Xvfb"
OPENBOX = "/usr/bin/openbox"
CONVERT = "/usr/bin/convert"
COMPARE = "/usr/bin/compare"
IMPORT = "/usr/bin/import"
DISPLAY_TOOL = "/usr/bin/display"
XDOTOOL = "/usr/bin/xdotool"
TOOLS = (XVFB, OPENBOX, CONVERT, COMPARE, IMPORT, DISPLAY_TOOL, XDOTOOL)


def service_path():
    return os.path.join(build_dir(), "src", "screen", "program", "com.kelvaro.portweaver.service.deskgate")


def viewer_path():
    return os.path.join(build_dir(), "tests", "standins", "screen-viewer", "screen-viewer")


def blank_cursor_path():
    return os.path.join(build_dir(), "tests", "standins", "screen-viewer", "kl_screen_blank_cursor")


def monitors_path():
    return os.path.join(build_dir(), "tests", "standins", "screen-monitors", "kl_screen_monitors")


def missing_tools():
    """The X tools this machine lacks (the scenario cannot run without them)."""
    return [tool for tool in TOOLS if not os.access(tool, os.X_OK)]


def psnr(a, b):
    """PSNR in dB of two picture files of one size (ImageMagick's compare); inf when equal."""
    out = subprocess.run([COMPARE, "-metric", "PSNR", a, b, "null:"], capture_output=True, text=True, timeout=60)
    text = (out.stderr or out.stdout).strip()
    if text.startswith("inf"):
        return float("inf")
    match = re.match(r"[0-9.]+", text)
    if not match:
        raise RuntimeError("compare: %s" % text[-200:])
    return float(match.group(0))


class Desktop:
    """Xvfb and openbox in namespace ns; processes started here end with close()."""

    def __init__(self, ns, workdir, size="1024x768"):
        self.ns = ns
        self.workdir = workdir
        self.width, self.height = (int(v) for v in size.split("x"))
        self.procs = []
        self.home = os.path.join(workdir, "home")
        for sub in ("", "config", "data", "cache", "run"):
            os.makedirs(os.path.join(self.home, sub), mode=0o700, exist_ok=True)
        read_end, write_end = os.pipe()
        with open(os.path.join(workdir, "xvfb.log"), "w") as log:
            self.xvfb = subprocess.Popen(ns.command([XVFB, "-displayfd", str(write_end), "-screen", "0", size + "x24",
                                                    "-nolisten", "tcp"]),
                                         stdout=log, stderr=log, pass_fds=(write_end,))
        os.close(write_end)
        self.procs.append(self.xvfb)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        with open(os.path.join(workdir, "openbox.log"), "w") as log:
            self.procs.append(subprocess.Popen(ns.command([OPENBOX]), env=self.env(), stdout=log, stderr=log))
        time.sleep(0.5)  # the window manager takes the root window's events before anyone draws

    def env(self, extra=None):
        env = dict(os.environ, DISPLAY=self.display, HOME=self.home,
                   XDG_CONFIG_HOME=os.path.join(self.home, "config"), XDG_DATA_HOME=os.path.join(self.home, "data"),
                   XDG_CACHE_HOME=os.path.join(self.home, "cache"), XDG_RUNTIME_DIR=os.path.join(self.home, "run"))
        env.update(extra or {})
        return env

    def x(self, *argv, timeout=30, check=True):
        """Runs an X client to its end in the namespace; its completed process."""
        out = subprocess.run(self.ns.command(list(argv)), env=self.env(), capture_output=True, text=True,
                             timeout=timeout)
        if check and out.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (os.path.basename(argv[0]), out.returncode, out.stderr[-300:]))
        return out

    def picture(self, name, *draw):
        """A desktop-sized picture file: a diagonal gradient with the given ImageMagick draw steps."""
        path = os.path.join(self.workdir, name)
        subprocess.run([CONVERT, "-size", "%dx%d" % (self.width, self.height), "gradient:#204080-#e0a030"]
                       + list(draw) + [path], check=True, capture_output=True, timeout=60)
        return path

    def show_on_root(self, path):
        """Makes the picture the root window's background (display -window root ends non-zero here)."""
        self.x(DISPLAY_TOOL, "-window", "root", path, check=False)

    def capture_root(self, name):
        path = os.path.join(self.workdir, name)
        self.x(IMPORT, "-window", "root", path)
        return path

    def blank_cursor(self):
        """Hides the pointer under an input-only window with a blank cursor while the helper runs."""
        helper = JsonProcess(self.ns, [blank_cursor_path()], os.path.join(self.workdir, "blank-cursor.log"), 120,
                             self.env())
        self.procs.append(helper.proc)
        if not helper.wait_for(lambda l: l.get("ready"), 10):
            raise RuntimeError("the pointer was not hidden")
        return helper

    def start_service(self, env=None):
        service = JsonProcess(self.ns, [service_path()], os.path.join(self.workdir, "service.log"), 240,
                              self.env(dict({"KL_LOG_STDERR": "1"}, **(env or {}))))
        self.procs.append(service.proc)
        return service

    def viewer(self, name, *args, limit_seconds=120):
        viewer = JsonProcess(self.ns, [viewer_path()] + [str(a) for a in args],
                             os.path.join(self.workdir, name + ".log"), limit_seconds, self.env())
        self.procs.append(viewer.proc)
        return viewer

    def served_viewer(self, name, *args, logs=None):
        """A viewer that is served: it retries while the service is not yet listening. Each try's
        viewer is added to logs."""
        deadline = time.monotonic() + 15
        while True:
            viewer = self.viewer(name, *args)
            if logs is not None:
                logs.append(viewer)
            if viewer.wait_for(lambda l: l.get("event") in ("connected", "error"), 10) and viewer.events("connected"):
                return viewer
            viewer.stop(5)
            if time.monotonic() > deadline:
                raise RuntimeError("viewer %s could not connect: %s" % (name, viewer.events("error")))
            time.sleep(0.3)

    def monitors(self, *specs):
        """Splits the screen into RandR monitors held by the helper while it runs (its JsonProcess)."""
        helper = JsonProcess(self.ns, [monitors_path()] + list(specs), os.path.join(self.workdir, "monitors.log"),
                             120, self.env())
        self.procs.append(helper.proc)
        if not helper.wait_for(lambda l: l.get("ready"), 10):
            raise RuntimeError("the monitors were not set")
        return helper

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()


def wait_after(proc, since, predicate, timeout):
    """(time, line) of proc's first line after the monotonic time since that satisfies predicate."""
    deadline = time.monotonic() + timeout
    while True:
        for stamp, line in list(proc.lines):
            if stamp >= since and predicate(line):
                return stamp, line
        if time.monotonic() >= deadline or proc.proc.poll() is not None and not _reader_pending(proc):
            return None
        time.sleep(0.05)


def _reader_pending(proc):
    """Whether proc's output may still bring lines (its reader thread runs)."""
    return proc._reader.is_alive()


def event(name, **fields):
    """A predicate on viewer lines: the event with these field values."""
    return lambda l: l.get("event") == name and all(l.get(k) == v for k, v in fields.items())


def count_between(proc, name, start, end):
    return sum(1 for stamp, line in list(proc.lines) if start <= stamp < end and line.get("event") == name)


def wait_quiet(viewer, since, updates, timeout):
    """Whether viewer received, after since, a run of that many updates without any rectangle: the
    service has sent (and resent cold) everything that changed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        run = 0
        for stamp, line in list(viewer.lines):
            if stamp < since or line.get("event") != "update":
                continue
            run = run + 1 if line.get("rects") == 0 else 0
            if run >= updates:
                return True
        time.sleep(0.1)
    return False


def run_desktop_scenario(name, size, programs, make_scenario, details, tools=()):
    """Runs a scenario on a fresh desktop in a namespace and exits with its report: skipped (4)
    when an X tool or one of tools is missing, failed when a program is not built or the run
    raised. make_scenario(desktop, summary, problems) returns an object with run(), logs and
    optionally close() (called after the desktop closed); details is the passing text, or a
    function of the summary."""
    skip_unless_runnable(name)
    missing = missing_tools() + [tool for tool in tools if not os.access(tool, os.X_OK)]
    if missing:
        print(json.dumps({"scenario": name, "result": "skipped", "details": "needs " + ", ".join(missing)}))
        sys.exit(4)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-screen-")
    summary = {"scenario": name}
    problems = []
    logs = []
    started = time.monotonic()
    try:
        for program in programs:
            if not os.access(program, os.X_OK):
                raise RuntimeError("%s is not built" % program)
        with Topology() as topology:
            desktop = Desktop(topology.namespace("screen"), workdir, size)
            scenario = make_scenario(desktop, summary, problems)
            try:
                scenario.run()
            finally:
                logs = scenario.logs
                desktop.close()
                if hasattr(scenario, "close"):
                    scenario.close()
    except Exception as error:  # a broken desktop or program: report, never hang
        problems.append("error: %s" % error)
    summary["seconds"] = round(time.monotonic() - started, 1)
    report_and_exit(summary, problems, logs, workdir, details(summary) if callable(details) else details)
