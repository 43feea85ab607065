#!/usr/bin/python3
"""(k) Stopping a node with data in flight. Node A forwards a client's stream to B's echo service;
while a 64 MiB transfer is under way A is stopped, once by closing its stdin and once by SIGTERM.
Each stop must end A cleanly (exit 0, no sanitizer report: no pool thread may still be forwarding
when the process's statics go); before each stop an echo through the tunnel must come back intact
(SHA-256). B stays up throughout: it must see each tunnel end; its descriptors and threads are
reported before and after each cycle (figures, not a gate)."""
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts, descriptor_kinds, signal_node  # noqa: E402
from processes import report_and_exit, run_json_tool, start_node, start_rendezvous, status_of  # noqa: E402
from topology import Topology, hosts_behind_cone_nats, skip_unless_runnable  # noqa: E402

TOOLS = os.path.join(os.path.dirname(__file__), "..", "lib", "forward_tools.py")
PYTHON = "/usr/bin/python3"
A, B = ("node-a", 5), ("node-b", 6)
ECHO_B, FWD_ECHO = 9000, 7000


def sanitizer_reports(node):
    return [l for l in node.log_tail(None) if "AddressSanitizer" in l or "runtime error" in l]


def main():
    name = "(k) stop with a backlog"
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name, "cycles": []}
    nodes, helpers, problems = [], [], []
    try:
        with Topology() as topology:
            internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
            helpers.append(subprocess.Popen(host_b.command([PYTHON, TOOLS, "echo-server", str(ECHO_B)]),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            server = start_rendezvous(internet, server_address, workdir)
            node_b = start_node(host_b, server_address, B[1], B[0], workdir, ["--remote", "%d:%s" % (A[1], A[0])])
            nodes.append(node_b)
            if not node_b.wait_event("registered", 30):
                raise RuntimeError("node b did not register")
            summary["b_before"] = counts(node_b)
            kinds_before = descriptor_kinds(node_b)

            for cycle, how in enumerate(("stdin", "sigterm")):
                node_a = start_node(host_a, server_address, A[1], A[0], workdir,
                                    ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                                     "--forward", "%d:%d:%d" % (FWD_ECHO, B[1], ECHO_B)])
                nodes.append(node_a)
                ends_before = len([l for l in node_b.events("status") if l.get("status") == 0])
                if not node_a.wait_for(status_of(B[0], 5), 40):
                    raise RuntimeError("cycle %d: no status 5" % cycle)
                echo = run_json_tool(host_a, [TOOLS, "echo", FWD_ECHO, 256 << 10, 10 + cycle])
                result = {"how": how, "echo": echo.get("ok")}
                if not echo.get("ok"):
                    problems.append("cycle %d: echo %s" % (cycle, echo))
                backlog = subprocess.Popen(host_a.command([PYTHON, TOOLS, "echo", str(FWD_ECHO), str(64 << 20), "1"]),
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(1.5)
                if how == "stdin":
                    result["exit_code"] = node_a.stop()
                else:
                    signal_node(node_a, signal.SIGTERM)
                    try:
                        result["exit_code"] = node_a.proc.wait(20)
                    except subprocess.TimeoutExpired:
                        result["exit_code"] = node_a.stop()
                backlog.kill()
                backlog.wait()
                result["sanitizer_lines"] = len(sanitizer_reports(node_a))
                result["b_saw_the_end"] = bool(node_b.wait_for(
                    lambda l, n=ends_before: len([x for x in node_b.events("status") if x.get("status") == 0]) > n, 30))
                summary["cycles"].append(result)
                if result["exit_code"] != 0 or result["sanitizer_lines"]:
                    problems.append("cycle %d (%s): exit %s, %d sanitizer lines" % (cycle, how, result["exit_code"],
                                                                                   result["sanitizer_lines"]))
                if not result["b_saw_the_end"]:
                    problems.append("cycle %d: B never saw the tunnel end" % cycle)

                time.sleep(2.0)  # the transport lets a closed channel's descriptor go a moment later
                result["b_after"] = counts(node_b)

            # Figures only: B's descriptors after each cycle (a leak shows as steady growth).
            summary["b_descriptor_kinds"] = {"before": kinds_before, "after": descriptor_kinds(node_b)}
            code = node_b.stop()
            server.stop()
            if code != 0:
                problems.append("node b exit code %s" % code)
    except Exception as error:  # a broken topology or program: report, never hang
        problems.append("error: %s" % error)
    finally:
        for helper in helpers:
            helper.kill()
            helper.wait()
    report_and_exit(summary, problems, nodes, workdir, "stopped cleanly with data in flight")


if __name__ == "__main__":
    main()
