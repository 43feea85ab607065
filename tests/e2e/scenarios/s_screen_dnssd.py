#!/usr/bin/python3
"""(s) The screen service's publication: on a virtual display in a namespace of its own with
avahi-daemon, the service publishes "_dgmscreen._tcp" on port 7001 on this machine only (the
loopback interface), a viewer is served on it, and a second launch in the same session exits at
once with status 0, saying so, and publishes nothing more."""
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
import avahi  # noqa: E402
from processes import report_and_exit  # noqa: E402
from screen_tools import Desktop, event, missing_tools, service_path, viewer_path  # noqa: E402
from topology import Topology, skip_unless_runnable  # noqa: E402

NAME = "(s) screen dnssd"
SERVICE_TYPE = "_dgmscreen._tcp"
ALREADY_RUNNING = "deskgate already running, we should simply exit."


def log_text(proc):
    with open(proc.log_path, errors="replace") as f:
        return f.read()


def wait_log(proc, text, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if text in log_text(proc):
            return True
        time.sleep(0.1)
    return False


def browse_until(host_avahi, predicate, timeout):
    deadline = time.monotonic() + timeout
    found = []
    while time.monotonic() < deadline:
        found = host_avahi.browse(SERVICE_TYPE)
        if predicate(found):
            return found
        time.sleep(0.5)
    return found


def run(desktop, host_avahi, summary, problems, logs):
    def check(condition, message):
        if not condition:
            problems.append(message)
        return bool(condition)

    service = desktop.start_service(host_avahi.env())
    logs.append(service)
    if not check(wait_log(service, "Published %s" % SERVICE_TYPE, 20), "the service reported no publication"):
        return
    found = browse_until(host_avahi, lambda f: f, 20)
    summary["browsed"] = found
    check(found, "avahi-browse found no %s" % SERVICE_TYPE)
    check(all(s["port"] == 7001 for s in found), "published on ports %s" % [s["port"] for s in found])
    check(all(s["interface"] == "lo" for s in found), "published beyond this machine: %s" %
          sorted({s["interface"] for s in found}))
    names = {s["name"] for s in found}
    check(len(names) == 1, "publication names %s" % sorted(names))

    # The publication leads to a service that serves.
    viewer = desktop.viewer("viewer", "--version", "1.1.2", "--size", "640x480", "--rate", 10,
                            "--sideband-port", 0)
    logs.append(viewer)
    check(viewer.wait_for(event("update"), 20), "the viewer got no update on port 7001")
    viewer.send("close")

    # A second launch in the same session: exits 0 before publishing anything.
    started = time.monotonic()
    second = subprocess.run(desktop.ns.command(["timeout", "20", service_path()]),
                            env=desktop.env(dict(host_avahi.env(), KL_LOG_STDERR="1")),
                            capture_output=True, text=True, timeout=40)
    summary["second_launch_exit"] = second.returncode
    summary["second_launch_seconds"] = round(time.monotonic() - started, 2)
    check(second.returncode == 0, "second launch exit status %d: %s" % (second.returncode, second.stderr[-300:]))
    check(ALREADY_RUNNING in second.stderr, "second launch said: %s" % second.stderr[-300:])
    check("Published" not in second.stderr, "the second launch published")
    again = browse_until(host_avahi, lambda f: f, 10)
    check({s["name"] for s in again} == names, "publications after the second launch: %s" % again)
    check(service.proc.poll() is None, "the first instance ended (%s)" % service.proc.poll())

    service.proc.terminate()
    try:
        summary["service_exit"] = service.proc.wait(15)
    except subprocess.TimeoutExpired:
        summary["service_exit"] = None
    check(summary["service_exit"] == 0, "service exit status %s" % summary["service_exit"])
    gone = browse_until(host_avahi, lambda f: not f, 15)
    check(not gone, "the publication outlived the service: %s" % gone)


def main():
    skip_unless_runnable(NAME)
    missing = missing_tools() + ([avahi.missing_tool()] if avahi.missing_tool() else [])
    if missing:
        print(json.dumps({"scenario": NAME, "result": "skipped", "details": "needs " + ", ".join(missing)}))
        sys.exit(4)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-screen-dnssd-")
    summary = {"scenario": NAME}
    problems = []
    logs = []
    started = time.monotonic()
    try:
        for program in (service_path(), viewer_path()):
            if not os.access(program, os.X_OK):
                raise RuntimeError("%s is not built" % program)
        with Topology() as topology:
            ns = topology.namespace("screen")
            host_avahi = avahi.HostAvahi(ns, workdir, "screenhost")
            desktop = None
            try:
                if not host_avahi.wait_ready():
                    raise RuntimeError("avahi-daemon did not answer")
                desktop = Desktop(ns, workdir, "640x480")
                run(desktop, host_avahi, summary, problems, logs)
            finally:
                if desktop:
                    desktop.close()
                host_avahi.stop()
    except Exception as error:  # a broken desktop or program: report, never hang
        problems.append("error: %s" % error)
    summary["seconds"] = round(time.monotonic() - started, 1)
    report_and_exit(summary, problems, logs, workdir, "published on lo port 7001; a second launch exits 0")


if __name__ == "__main__":
    main()
