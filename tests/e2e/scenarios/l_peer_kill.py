#!/usr/bin/python3
"""(l) A peer killed and restarted at once. With the tunnel up and an echo through it checked, B is
killed (SIGKILL: no goodbye). A must notice the dead tunnel within the silence limit (status 0 well
before UDT's own expiry of close to a minute) and stay up. B restarts at once and connects to A
again: the new tunnel must reach status 5 on both sides and stay there (the old tunnel's end and
the late repeats of B's first requests must not report over it), and an echo through B's forward
to A must come back intact (SHA-256). A's descriptors and threads are reported before the kill and
after the new tunnel."""
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts, signal_node  # noqa: E402
from processes import report_and_exit, run_json_tool, start_node, start_rendezvous, status_of  # noqa: E402
from topology import Topology, hosts_behind_cone_nats, skip_unless_runnable  # noqa: E402

TOOLS = os.path.join(os.path.dirname(__file__), "..", "lib", "forward_tools.py")
PYTHON = "/usr/bin/python3"
A, B = ("node-a", 5), ("node-b", 6)
ECHO_A, FWD_ECHO = 9100, 7100
NOTICE_WITHIN = 15.0  # the silence limit (10 s) and room for a loaded machine


def main():
    name = "(l) peer kill and quick restart"
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name}
    nodes, helpers, problems = [], [], []
    try:
        with Topology() as topology:
            internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
            helpers.append(subprocess.Popen(host_a.command([PYTHON, TOOLS, "echo-server", str(ECHO_A)]),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            server = start_rendezvous(internet, server_address, workdir)
            node_a = start_node(host_a, server_address, A[1], A[0], workdir, ["--remote", "%d:%s" % (B[1], B[0])],
                                limit_seconds=150)
            nodes.append(node_a)
            if not node_a.wait_event("registered", 30):
                raise RuntimeError("node a did not register")
            b_args = ["--remote", "%d:%s" % (A[1], A[0]), "--connect", str(A[1]),
                      "--forward", "%d:%d:%d" % (FWD_ECHO, A[1], ECHO_A)]
            node_b = start_node(host_b, server_address, B[1], B[0], workdir, b_args)
            nodes.append(node_b)
            if not (node_b.wait_for(status_of(A[0], 5), 40) and node_a.wait_for(status_of(B[0], 5), 20)):
                raise RuntimeError("the first tunnel did not reach status 5")
            echo = run_json_tool(host_b, [TOOLS, "echo", FWD_ECHO, 256 << 10, 21])
            if not echo.get("ok"):
                problems.append("echo through the first tunnel: %s" % echo)
            summary["a_before"] = counts(node_a)

            killed = time.monotonic()
            signal_node(node_b, signal.SIGKILL)
            node_b.proc.wait(10)
            ended = node_a.wait_for(lambda l: l.get("event") == "status" and l.get("uuid") == B[0]
                                    and l.get("status") == 0, NOTICE_WITHIN)
            summary["noticed_seconds"] = round(ended[0] - killed, 2) if ended else None
            if not ended:
                raise RuntimeError("A did not notice the dead tunnel within %.0f s" % NOTICE_WITHIN)

            # B back at once, asking for A again.
            restarted = time.monotonic()
            node_b = start_node(host_b, server_address, B[1], B[0], workdir, b_args)
            nodes.append(node_b)
            up = node_b.wait_for(status_of(A[0], 5), 40)
            if not up:
                raise RuntimeError("the new tunnel did not reach status 5")
            summary["rebuilt_seconds"] = round(up[0] - restarted, 2)
            time.sleep(5.0)  # late repeats of the first requests and the old tunnel's end, if any
            last_a = [l.get("status") for l in node_a.events("status") if l.get("uuid") == B[0]][-1]
            last_b = [l.get("status") for l in node_b.events("status") if l.get("uuid") == A[0]][-1]
            summary["last_statuses"] = [last_a, last_b]
            if [last_a, last_b] != [5, 5]:
                problems.append("statuses after the rebuild: A %s, B %s" % (last_a, last_b))
            echo = run_json_tool(host_b, [TOOLS, "echo", FWD_ECHO, 256 << 10, 22])
            summary["echo_after_rebuild"] = echo.get("ok")
            if not echo.get("ok"):
                problems.append("echo through the new tunnel: %s" % echo)
            summary["a_after"] = counts(node_a)

            codes = [node_a.stop(), node_b.stop()]
            server.stop()
            if codes != [0, 0]:
                problems.append("exit codes %s" % codes)
    except Exception as error:  # a broken topology or program: report, never hang
        problems.append("error: %s" % error)
    finally:
        for helper in helpers:
            helper.kill()
            helper.wait()
    report_and_exit(summary, problems, nodes, workdir, "noticed the dead peer and rebuilt")


if __name__ == "__main__":
    main()
