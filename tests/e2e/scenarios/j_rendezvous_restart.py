#!/usr/bin/python3
"""(j) The rendezvous server restarts. Two registered nodes lose it for a few seconds; the server
comes back on the same address with its reply nonces begun anew. Each node must be heard again
(a pong after the restart) within its ping time-out and a little more, and a node that connects
afterwards must reach the registered node through the restarted server and carry data intact
(SHA-256). The figures: each node's time from the restart to its first pong, and the registered
node's descriptors and threads before the outage and after the new tunnel."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts  # noqa: E402
from processes import start_node, start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import Topology, hosts_behind_cone_nats  # noqa: E402

C = ("node-c", 7)
ECHO_B, FWD_ECHO = 9000, 7000
PING = ["--ping-interval-ms", "1000", "--ping-timeout-ms", "5000"]
OUTAGE_SECONDS = 3.0
HEARD_WITHIN = 15.0  # the time-out, a recycle's first ping and room for a loaded machine


def first_pong_after(node, since, timeout):
    """Seconds from since to the node's first pong after it, or None within timeout."""
    deadline = since + timeout
    while True:
        stamps = [stamp for stamp, line in list(node.lines) if line.get("event") == "pong" and stamp > since]
        if stamps:
            return round(min(stamps) - since, 2)
        if time.monotonic() > deadline:
            return None
        time.sleep(0.2)


def main():
    run = Scenario("(j) rendezvous restart")
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir)
        node_b = start_node(host_b, server_address, B[1], B[0], run.workdir,
                            ["--remote", "%d:%s" % (A[1], A[0]), "--remote", "%d:%s" % (C[1], C[0])] + PING)
        node_a = start_node(host_a, server_address, A[1], A[0], run.workdir, ["--remote", "%d:%s" % (B[1], B[0])] + PING)
        run.nodes += [node_b, node_a]
        if not (node_b.wait_event("registered", 30) and node_a.wait_event("registered", 30)):
            raise RuntimeError("the nodes did not register")
        time.sleep(3.0)  # a few pongs: the old server's nonces run ahead of the new one's
        run.summary["b_before"] = counts(node_b)

        server.stop()
        time.sleep(OUTAGE_SECONDS)
        os.rename(os.path.join(run.workdir, "rendezvous.log"), os.path.join(run.workdir, "rendezvous-old.log"))
        server = start_rendezvous(internet, server_address, run.workdir)
        restarted = time.monotonic()
        heard = {label: first_pong_after(node, restarted, HEARD_WITHIN) for label, node in (("a", node_a), ("b", node_b))}
        run.summary["heard_after_restart_seconds"] = heard
        if not all(heard.values()):
            raise RuntimeError("not heard again within %.0f s: %s" % (HEARD_WITHIN, heard))

        # A node that connects afterwards reaches B through the restarted server.
        node_c = start_node(host_a, server_address, C[1], C[0], run.workdir,
                            ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                             "--forward", "%d:%d:%d" % (FWD_ECHO, B[1], ECHO_B)] + PING)
        run.nodes.append(node_c)
        if not node_c.wait_for(status_of(B[0], 5), 40):
            raise RuntimeError("a new tunnel through the restarted server did not reach status 5")
        run.echo(host_a, FWD_ECHO, 512 << 10, 9, "echo")
        run.wind_up(server, b_after=node_b)
    run.finish("heard again and reachable")


if __name__ == "__main__":
    main()
