#!/usr/bin/python3
"""(q) Spoofed copies of a tunnel's own packets. A link on the path between the two NATs is
watched from the tunnel's start on: the hole punch, the transport's handshakes, the key exchange,
data, acknowledgements, loss reports and the ends of data channels. With the tunnel up, every
packet seen so far is sent again, pass after pass for several seconds, with the peers' own
addresses and ports, once as it was and once reflected back at its sender, while a long transfer
runs and new data channels open one after another. What must hold: the tunnel stays up (no status
0 on either side), every transfer under the burst and one after it comes back intact (SHA-256),
and the nodes end cleanly. A's descriptors and threads are reported before and after."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts  # noqa: E402
from processes import PYTHON, JsonProcess, start_rendezvous  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import Topology, hosts_behind_cone_nats  # noqa: E402

REPLAY = os.path.join(os.path.dirname(__file__), "..", "lib", "packet_replay.py")
ECHO_B, FWD_ECHO = 9000, 7000
BURST_SECONDS = 8.0


def main():
    run = Scenario("(q) spoofed copies of tunnel packets")
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir)
        watcher = JsonProcess(internet, [PYTHON, REPLAY, nat_a.internet_port, nat_a.wan_address, nat_b.wan_address],
                              os.path.join(run.workdir, "replay.log"), limit_seconds=150)
        run.helpers.append(watcher.proc)
        if not watcher.wait_event("capturing", 10):
            raise RuntimeError("the packet watcher did not start")
        node_a, node_b = run.connected_pair(server_address, host_a, host_b, (FWD_ECHO, ECHO_B))
        if not run.echo(host_a, FWD_ECHO, 4 << 20, 51, "echo_before_burst").get("ok"):
            raise RuntimeError("no echo before the burst")
        run.summary["a_before"] = counts(node_a)

        during = run.echo_started(host_a, FWD_ECHO, 48 << 20, 52)
        time.sleep(0.5)
        watcher.send("replay %.1f" % BURST_SECONDS)
        # Channels opened under the burst: each opening's handshakes meet old ones of the same peers.
        for i in range(4):
            run.echo(host_a, FWD_ECHO, 256 << 10, 60 + i, "echo_opened_during_burst_%d" % i)
        burst = watcher.wait_event("replayed", 30)
        if not burst:
            raise RuntimeError("the burst was not sent")
        run.summary["burst"] = {k: burst[1].get(k) for k in ("captured", "control", "passes", "sent")}
        if not burst[1].get("control"):
            run.problems.append("no control packet was captured (the burst means little)")
        run.echo_ended(during, "long_echo_under_burst")
        run.echo(host_a, FWD_ECHO, 4 << 20, 53, "echo_after_burst")

        for node, uuid in ((node_a, B[0]), (node_b, A[0])):
            run.expect_last_status(node, uuid)
            if 0 in run.summary["statuses_%s_for_%s" % (node.name, uuid)]:
                run.problems.append("the tunnel went down in %s" % node.name)
        watcher.stop()
        run.wind_up(server, a_after=node_a)
    run.finish("the tunnel stayed up and carried data intact")


if __name__ == "__main__":
    main()
