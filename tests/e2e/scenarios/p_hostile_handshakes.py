#!/usr/bin/python3
"""(p) Hostile transport handshakes from a host outside both NATs against a node in every state it
can reach: registered and idle (B), mid-attempt (A punching toward a frozen B; each round opens
with a forged ACCEPT), and connected (both). Each handshake carries a segment size of -1, 0, 28
or 44, or a flight size of 0, 0x7fffffff or 0xffffffff, in each request and socket type, sent to
the node's public UDP port with the source forged as the rendezvous server and as the peer (the
addresses its NAT lets in) and from the attacker's own address. What must hold: the forged ACCEPT
points the attempt nowhere (A connects to B's endpoint only), the nodes keep running without a
sanitizer report, the real tunnel comes up and carries data intact (SHA-256) after the attacks,
and the nodes end cleanly. A's descriptors and threads are reported before and after."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts, thaw  # noqa: E402
from processes import SERVER_PORT, registered_endpoint, run_json_tool, start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import INTERNET, Topology, hosts_behind_cone_nats  # noqa: E402

FORGE = os.path.join(os.path.dirname(__file__), "..", "lib", "forge_tools.py")
ECHO_B, FWD_ECHO = 9000, 7000
OUTSIDE = INTERNET + ".66"


def text(endpoint):
    return "%s:%d" % endpoint


def handshakes_reached(node):
    return sum("Received UDT handshake message" in l for l in node.log_tail(None))


def attack(run, outside, state, target, sources, seconds=2.0, accept_first=False):
    argv = [FORGE, "handshakes", text(target), seconds] + (["--accept-first"] if accept_first else [])
    result = run_json_tool(outside, argv + [text(s) for s in sources])
    run.summary.setdefault("sent", {})[state] = result.get("sent")
    if not result.get("ok"):
        raise RuntimeError("the attack on the %s node did not run: %s" % (state, result))


def alive(run, node, state):
    if counts(node) is None:
        run.problems.append("%s is gone after the attack on it %s" % (node.name, state))
        return False
    return True


def main():
    run = Scenario("(p) hostile transport handshakes")
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        outside = topology.outside_host("outside", OUTSIDE)
        server_endpoint = (server_address, SERVER_PORT)
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir)
        node_b = run.registered_node(host_b, server_address, B, A, limit_seconds=150)
        b_public = registered_endpoint(server, B[1])

        # Registered and idle: only the server's address passes B's NAT.
        attack(run, outside, "idle", b_public, [server_endpoint])
        time.sleep(0.5)
        run.summary["reached_idle_b"] = handshakes_reached(node_b)
        if run.summary["reached_idle_b"] == 0:
            run.problems.append("no handshake reached the idle node (the attack means nothing)")
        alive(run, node_b, "while idle")

        # Mid-attempt: B frozen, so A punches on toward it while the forged ACCEPTs come in.
        node_a = run.attempt_toward_frozen(server_address, host_a, node_b, (FWD_ECHO, ECHO_B))
        a_public = registered_endpoint(server, A[1])
        attack(run, outside, "mid-attempt", a_public, [server_endpoint, b_public], seconds=3.0, accept_first=True)
        run.summary["reached_a_mid_attempt"] = handshakes_reached(node_a)
        alive(run, node_a, "mid-attempt")
        thaw(node_b)

        if not (node_a.wait_for(status_of(B[0], 5), 40) and node_b.wait_for(status_of(A[0], 5), 40)):
            raise RuntimeError("the attempt did not reach status 5 with the real peer")
        targets = {l.split("Connecting to ")[1].strip() for l in node_a.log_tail(None) if "Connecting to " in l}
        run.summary["a_connected_to"] = sorted(targets)
        if targets != {text(b_public)}:
            run.problems.append("A's transport connected toward %s, not B's %s only" % (sorted(targets),
                                                                                       text(b_public)))
        run.echo(host_a, FWD_ECHO, 1 << 20, 41, "echo_after_attack_mid_attempt")

        # Connected: each side's tunnel socket, forged as its peer and as the server.
        attack(run, outside, "connected-a", a_public, [b_public, server_endpoint])
        attack(run, outside, "connected-b", b_public, [a_public, server_endpoint])
        alive(run, node_a, "connected")
        alive(run, node_b, "connected")
        run.echo(host_a, FWD_ECHO, 1 << 20, 42, "echo_after_attack_connected")
        run.expect_last_status(node_a, B[0])
        run.wind_up(server, a_after=node_a)
    run.finish("every attacked state held and the tunnel carried data")


if __name__ == "__main__":
    main()
