#!/usr/bin/python3
"""(i) A lossy path: each NAT drops a fifth of what reaches its WAN side (nftables `numgen random`),
so every datagram of the handshake and of the tunnel crosses one 20% drop. The connect must reach
status 5 on both sides within the attempt's bounds (a lost acknowledgement is repeated, never
waited for), data through a forward must come back intact (SHA-256), and the originator's
descriptors and threads are counted after the first transfer and after a second one."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts  # noqa: E402
from processes import start_node, start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import Topology, hosts_behind_cone_nats  # noqa: E402

ECHO_B, FWD_ECHO = 9000, 7000
LOSS_PERCENT = 20
# A lost pong leaves a node unregistered until its ping time-out: short ones keep the scenario short.
PING = ["--ping-interval-ms", "1000", "--ping-timeout-ms", "3000"]
LOSSY_WAN = """
table ip klloss {
  chain inbound { type filter hook prerouting priority -300; policy accept;
    iifname "wan0" numgen random mod 100 < %d drop; }
}
""" % LOSS_PERCENT


def main():
    run = Scenario("(i) %d%% loss" % LOSS_PERCENT)
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        for nat in (nat_a, nat_b):
            nat.nft(LOSSY_WAN)
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir)
        node_b = start_node(host_b, server_address, B[1], B[0], run.workdir, ["--remote", "%d:%s" % (A[1], A[0])] + PING)
        run.nodes.append(node_b)
        if not node_b.wait_event("registered", 30):
            raise RuntimeError("node b did not register")
        node_a = start_node(host_a, server_address, A[1], A[0], run.workdir,
                            ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                             "--forward", "%d:%d:%d" % (FWD_ECHO, B[1], ECHO_B)] + PING, limit_seconds=150)
        run.nodes.append(node_a)
        sent = node_a.wait_event("connect-sent", 30)
        if not sent:
            raise RuntimeError("node a sent no connect request")
        connected = node_a.wait_for(status_of(B[0], 5), 60)
        if not connected or not node_b.wait_for(status_of(A[0], 5), 20):
            failed = node_a.wait_for(status_of(B[0], 0), 1)
            raise RuntimeError("no status 5 within 60 s (status 0 reported: %s)" % bool(failed))
        run.summary["connect_seconds"] = round(connected[0] - sent[0], 2)

        started = time.monotonic()
        run.echo(host_a, FWD_ECHO, 128 << 10, 5, "first_echo", timeout=150)
        run.summary["echo_seconds"] = round(time.monotonic() - started, 2)
        run.summary["a_after_first"] = counts(node_a)
        run.echo(host_a, FWD_ECHO, 64 << 10, 6, "second_echo", timeout=150)
        run.wind_up(server, a_after_second=node_a)
        before, after = run.summary["a_after_first"], run.summary["a_after_second"]
        if not before or not after or after["fds"] > before["fds"] + 2:
            run.problems.append("descriptors grew: %s -> %s" % (before, after))
    run.finish("connected and carried data intact")


if __name__ == "__main__":
    main()
