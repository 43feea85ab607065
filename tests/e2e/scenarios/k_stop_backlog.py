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
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts, descriptor_kinds, signal_node  # noqa: E402
from processes import start_node, start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario, sanitizer_reports  # noqa: E402
from topology import Topology, hosts_behind_cone_nats  # noqa: E402

ECHO_B, FWD_ECHO = 9000, 7000
# Two in CI; more by hand (KL_E2E_CYCLES=20) for the descriptor figures over many tunnels.
CYCLES = int(os.environ.get("KL_E2E_CYCLES", "2"))


def main():
    run = Scenario("(k) stop with a backlog", cycles=[])
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir, limit_seconds=60 + 20 * CYCLES)
        node_b = start_node(host_b, server_address, B[1], B[0], run.workdir, ["--remote", "%d:%s" % (A[1], A[0])],
                            limit_seconds=60 + 20 * CYCLES)
        run.nodes.append(node_b)
        if not node_b.wait_event("registered", 30):
            raise RuntimeError("node b did not register")
        run.summary["b_before"] = counts(node_b)
        kinds_before = descriptor_kinds(node_b)

        for cycle in range(CYCLES):
            how = ("stdin", "sigterm")[cycle % 2]
            node_a = start_node(host_a, server_address, A[1], A[0], run.workdir,
                                ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                                 "--forward", "%d:%d:%d" % (FWD_ECHO, B[1], ECHO_B)])
            run.nodes.append(node_a)
            ends_before = len([l for l in node_b.events("status") if l.get("status") == 0])
            if not node_a.wait_for(status_of(B[0], 5), 40):
                raise RuntimeError("cycle %d: no status 5" % cycle)
            echo = run.echo(host_a, FWD_ECHO, 256 << 10, 10 + cycle, "echo_of_cycle_%d" % cycle)
            result = {"how": how, "echo": echo.get("ok")}
            backlog = run.echo_started(host_a, FWD_ECHO, 64 << 20, 1)
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
            run.summary["cycles"].append(result)
            if result["exit_code"] != 0 or result["sanitizer_lines"]:
                run.problems.append("cycle %d (%s): exit %s, %d sanitizer lines" % (cycle, how, result["exit_code"],
                                                                                   result["sanitizer_lines"]))
            if not result["b_saw_the_end"]:
                run.problems.append("cycle %d: B never saw the tunnel end" % cycle)

            time.sleep(2.0)  # the transport lets a closed channel's descriptor go a moment later
            result["b_after"] = counts(node_b)

        # Figures only: B's descriptors after each cycle (a leak shows as steady growth).
        run.summary["b_descriptor_kinds"] = {"before": kinds_before, "after": descriptor_kinds(node_b)}
        run.stop_nodes([node_b], server)
    # Each cycle's own sanitizer count is its figure and its check.
    run.finish("stopped cleanly with data in flight", check_sanitizers=False)


if __name__ == "__main__":
    main()
