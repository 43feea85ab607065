#!/usr/bin/python3
"""(r) A local user floods the daemon's control socket. The real daemon listens on a socket folder
of its own; a user without privileges (nobody) opens 3,000 connections to it, keeps them, and sends
on each one the daemon kept frames that decode to as much as the wire allows (and one over the
element limit). What must hold: the daemon keeps answering a proper client's check-in within a
second, its threads, descriptors and resident memory stay bounded during the flood, the
descriptors come back once the flooder is gone, and a SIGTERM still ends it cleanly. Figures: the
check-in time before and during the flood; threads, descriptors and resident memory before,
during (with the peak) and after."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import JsonProcess, build_dir  # noqa: E402
from scenario import Scenario  # noqa: E402
from topology import Topology  # noqa: E402

SERVICE = "com.kelvaro.portweaver.controlapp"
NOBODY = 65534
CONNECTIONS = 3000
PER_USER_CAP = 16  # the listener's cap on one user's connections
ANSWER_WITHIN = 1.0
MEMORY_ROOM_KIB = 512 * 1024


def program(*parts):
    path = os.path.join(build_dir(), *parts)
    if not os.access(path, os.X_OK):
        raise RuntimeError("%s is not built" % path)
    return path


def figures(pid):
    """Threads, descriptors, resident and peak resident KiB of the process, from /proc."""
    status = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            status[key] = value.split()[0] if value.split() else ""
    return {"threads": int(status["Threads"]), "fds": len(os.listdir("/proc/%d/fd" % pid)),
            "rss_kib": int(status["VmRSS"]), "peak_kib": int(status["VmHWM"])}


class Daemon:
    def __init__(self, run, ns):
        self.root = os.path.join(run.workdir, "root")
        self.sockets = os.path.join(run.workdir, "run")
        os.makedirs(self.root)
        os.makedirs(self.sockets)
        # The flooder gives up root before it connects: it must reach the socket as any user can.
        os.chmod(run.workdir, 0o755)
        os.chmod(self.sockets, 0o755)
        self.ns = ns
        self.env = {"KLIPC_SOCKET_DIR": self.sockets, "ASAN_OPTIONS": "detect_leaks=0"}
        # Freed memory held in a sanitizer's quarantine would stand for the daemon's own bound.
        daemon_env = dict(self.env, KL_ROOT=self.root, KL_LOG_STDERR="1",
                          ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=0")
        self.log_path = os.path.join(run.workdir, "daemon.log")
        with open(self.log_path, "w") as log:
            self.proc = run.helper(ns, ["env"] + ["%s=%s" % kv for kv in daemon_env.items()]
                                   + [program("src", "daemon", "program", "com.kelvaro.portweaver.daemon")], stderr=log)

    def check_in_seconds(self):
        """Seconds a proper client's check-in took, or None when it got no reply."""
        started = time.monotonic()
        result = self.ns.run("env", *["%s=%s" % kv for kv in self.env.items()],
                             program("tests", "standins", "control-client", "control-client"), "--timeout", "10", "1",
                             check=False)
        took = time.monotonic() - started
        return round(took, 3) if '"reply"' in result.stdout else None


def main():
    run = Scenario("(r) local flood of the control socket")
    with run.guard(), Topology() as topology:
        ns = topology.namespace("local")
        daemon = Daemon(run, ns)
        for _ in range(40):
            if daemon.check_in_seconds() is not None:
                break
            time.sleep(0.5)
        else:
            raise RuntimeError("the daemon did not answer")
        run.summary["check_in_before"] = daemon.check_in_seconds()
        before = run.summary["daemon_before"] = figures(daemon.proc.pid)

        flooder = JsonProcess(ns, [program("tests", "foundation", "ipc_peer", "klipc_peer"), "flood", SERVICE,
                                   str(NOBODY), str(CONNECTIONS)], os.path.join(run.workdir, "flood.log"), 180,
                              env={"KLIPC_SOCKET_DIR": daemon.sockets, "ASAN_OPTIONS": "detect_leaks=0"})
        run.helpers.append(flooder.proc)
        flooding = flooder.wait_for(lambda l: str(l.get("text", "")).startswith("FLOODING"), 150)
        if not flooding:
            raise RuntimeError("the flood did not get through its connections")
        kept, refused = (int(n) for n in flooding[1]["text"].split()[1:3])
        run.summary["flood"] = {"connections": CONNECTIONS, "kept": kept, "refused": refused}
        answered = run.summary["check_in_during"] = daemon.check_in_seconds()
        during = run.summary["daemon_during"] = figures(daemon.proc.pid)
        if answered is None or answered > ANSWER_WITHIN:
            run.problems.append("check-in during the flood: %s s" % answered)
        if kept > PER_USER_CAP:
            run.problems.append("the daemon kept %d connections of one user" % kept)
        if during["threads"] > before["threads"] + 2:
            run.problems.append("threads grew: %d -> %d" % (before["threads"], during["threads"]))
        if during["fds"] > before["fds"] + PER_USER_CAP + 4:
            run.problems.append("descriptors grew: %d -> %d" % (before["fds"], during["fds"]))
        if during["peak_kib"] > before["rss_kib"] + MEMORY_ROOM_KIB:
            run.problems.append("resident memory peaked at %d KiB" % during["peak_kib"])

        flooder.stop(grace=1)
        deadline = time.monotonic() + 10
        while figures(daemon.proc.pid)["fds"] > before["fds"] + 1 and time.monotonic() < deadline:
            time.sleep(0.2)
        after = run.summary["daemon_after"] = figures(daemon.proc.pid)
        if after["fds"] > before["fds"] + 1:
            run.problems.append("descriptors left behind: %d -> %d" % (before["fds"], after["fds"]))
        daemon.proc.terminate()
        run.summary["daemon_exit"] = daemon.proc.wait(20)
        if run.summary["daemon_exit"] != 0:
            run.problems.append("daemon exit status %s" % run.summary["daemon_exit"])
        with open(daemon.log_path, errors="replace") as log:
            if any("AddressSanitizer" in l or "runtime error" in l for l in log):
                run.problems.append("sanitizer report in the daemon's log")
    run.finish("the daemon answered within a second, bounded")


if __name__ == "__main__":
    main()
