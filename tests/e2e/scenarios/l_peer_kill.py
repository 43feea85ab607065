#!/usr/bin/python3
"""(l) A peer killed and restarted at once. With the tunnel up and an echo through it checked, B is
killed (SIGKILL: no goodbye). A must notice the dead tunnel within the silence limit (status 0 well
before UDT's own expiry of close to a minute) and stay up. B restarts at once and connects to A
again: the new tunnel must reach status 5 on both sides and stay there (the old tunnel's end and
the late repeats of B's first requests must not report over it), and an echo through B's forward
to A must come back intact (SHA-256). A's descriptors and threads are reported before the kill and
after each new tunnel (the cycle repeats KL_E2E_CYCLES times, once by default)."""
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts, signal_node  # noqa: E402
from processes import start_node, start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import Topology, hosts_behind_cone_nats  # noqa: E402

ECHO_A, FWD_ECHO = 9100, 7100
NOTICE_WITHIN = 15.0  # the silence limit (10 s) and room for a loaded machine
# One in CI; more by hand (KL_E2E_CYCLES=20) for the descriptor figures over many rebuilds.
CYCLES = int(os.environ.get("KL_E2E_CYCLES", "1"))


def main():
    run = Scenario("(l) peer kill and quick restart", cycles=[])
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        run.echo_server(host_a, ECHO_A)
        server = start_rendezvous(internet, server_address, run.workdir, limit_seconds=150 + 30 * CYCLES)
        node_a = run.registered_node(host_a, server_address, A, B, limit_seconds=120 + 30 * CYCLES)
        b_args = ["--remote", "%d:%s" % (A[1], A[0]), "--connect", str(A[1]),
                  "--forward", "%d:%d:%d" % (FWD_ECHO, A[1], ECHO_A)]
        node_b = start_node(host_b, server_address, B[1], B[0], run.workdir, b_args)
        run.nodes.append(node_b)
        if not (node_b.wait_for(status_of(A[0], 5), 40) and node_a.wait_for(status_of(B[0], 5), 20)):
            raise RuntimeError("the first tunnel did not reach status 5")
        run.echo(host_b, FWD_ECHO, 256 << 10, 21, "echo_through_first_tunnel")
        run.summary["a_before"] = counts(node_a)

        for cycle in range(CYCLES):
            killed = time.monotonic()
            signal_node(node_b, signal.SIGKILL)
            node_b.proc.wait(10)
            ended = node_a.wait_for(status_of(B[0], 0), NOTICE_WITHIN, since=killed)
            result = {"noticed_seconds": round(ended[0] - killed, 2) if ended else None}
            run.summary["cycles"].append(result)
            if not ended:
                raise RuntimeError("cycle %d: A did not notice the dead tunnel within %.0f s" % (cycle, NOTICE_WITHIN))

            # B back at once, asking for A again.
            restarted = time.monotonic()
            node_b = start_node(host_b, server_address, B[1], B[0], run.workdir, b_args)
            run.nodes.append(node_b)
            up = node_b.wait_for(status_of(A[0], 5), 40)
            if not up:
                raise RuntimeError("cycle %d: the new tunnel did not reach status 5" % cycle)
            result["rebuilt_seconds"] = round(up[0] - restarted, 2)
            time.sleep(5.0)  # late repeats of the first requests and the old tunnel's end, if any
            run.expect_last_status(node_a, B[0])
            run.expect_last_status(node_b, A[0])
            run.echo(host_b, FWD_ECHO, 256 << 10, 22 + cycle, "echo_after_rebuild")
            result["a_after"] = counts(node_a)
        run.expect_flat_cycles()
        run.stop_nodes([node_a, node_b], server)
    run.finish("noticed the dead peer and rebuilt")


if __name__ == "__main__":
    main()
