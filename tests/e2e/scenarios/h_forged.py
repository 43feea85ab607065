#!/usr/bin/python3
"""(h) Forged datagrams from a host outside both NATs. While node A's attempt toward B is under way
(B frozen, so A keeps punching), an outside host sprays A's public endpoint with the short
ACCEPT/CONFIRM/HELLO words, records of guessed transactions with a forged UUID, and transport
handshakes with segment and flight sizes that would make an unguarded transport allocate without
bound, each both with B's public endpoint forged as its source and from its own address. Then B
thaws: the attempt must still succeed with the real B (status 5 under B's own UUID), the data
through a forward must come back intact (SHA-256), and after a second spray at the connected
tunnel it must still carry data; A's descriptors and threads are counted before and after."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import thaw  # noqa: E402
from processes import registered_endpoint, run_json_tool, start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import INTERNET, Topology, hosts_behind_cone_nats  # noqa: E402

FORGE = os.path.join(os.path.dirname(__file__), "..", "lib", "forge_tools.py")
ECHO_B, FWD_ECHO = 9000, 7000
OUTSIDE = INTERNET + ".66"


def main():
    run = Scenario("(h) forged datagrams")
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        outside = topology.outside_host("outside", OUTSIDE)
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir)
        node_b = run.registered_node(host_b, server_address, B, A)
        b_public = registered_endpoint(server, B[1])
        node_a = run.attempt_toward_frozen(server_address, host_a, node_b, (FWD_ECHO, ECHO_B))
        a_public = registered_endpoint(server, A[1])
        spray = run_json_tool(outside, [FORGE, "spray", b_public[0], b_public[1], a_public[0], a_public[1], 3])
        run.summary["sprayed_during_attempt"] = spray.get("sent")
        thaw(node_b)

        connected = node_a.wait_for(status_of(B[0], 5), 40) and node_b.wait_for(status_of(A[0], 5), 40)
        run.echo(host_a, FWD_ECHO, 1 << 20, 3, "first_echo")
        if not connected:
            run.problems.append("the attempt did not reach status 5 with the real peer")
        uuids = {l.get("uuid") for l in node_a.events("status")}
        if uuids != {B[0]}:
            run.problems.append("A reported statuses for %s" % sorted(str(u) for u in uuids))

        # The connected tunnel sprayed again, then used again.
        spray = run_json_tool(outside, [FORGE, "spray", b_public[0], b_public[1], a_public[0], a_public[1], 2])
        run.summary["sprayed_while_connected"] = spray.get("sent")
        run.echo(host_a, FWD_ECHO, 1 << 20, 4, "second_echo")

        # The spray reached A's dispatcher (so the test means something) and was refused there.
        run.summary["refused_at_a"] = sum("a short word names no transaction" in l for l in node_a.log_tail(None))
        if run.summary["refused_at_a"] == 0:
            run.problems.append("no forged datagram reached A")
        run.wind_up(server, a_after=node_a)
        if run.summary["a_after"] is None:
            run.problems.append("node A is gone")
    run.finish("forged datagrams changed nothing")


if __name__ == "__main__":
    main()
