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
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts, freeze, thaw  # noqa: E402
from processes import report_and_exit, run_json_tool, start_node, start_rendezvous, status_of  # noqa: E402
from topology import INTERNET, Topology, hosts_behind_cone_nats, skip_unless_runnable  # noqa: E402

LIB = os.path.join(os.path.dirname(__file__), "..", "lib")
TOOLS = os.path.join(LIB, "forward_tools.py")
FORGE = os.path.join(LIB, "forge_tools.py")
PYTHON = "/usr/bin/python3"
A, B = ("node-a", 5), ("node-b", 6)
ECHO_B, FWD_ECHO = 9000, 7000
OUTSIDE = INTERNET + ".66"


def registered_endpoint(server, node_id):
    """The public endpoint of the node's first ping: its registered socket, which an attempt keeps
    (the registration itself moves on to a fresh socket when the attempt starts)."""
    pings = [l for _, l in list(server.lines) if l.get("event") == "ping" and l.get("id") == node_id]
    host, port = pings[0]["sender"].rsplit(":", 1)
    return host, int(port)


def main():
    name = "(h) forged datagrams"
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name}
    nodes, helpers, problems = [], [], []
    try:
        with Topology() as topology:
            internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
            outside = topology.namespace("outside")
            topology.link(outside, "eth0", internet, "pout")
            topology.enslave(internet, "pout", "inet0")
            outside.ip("addr", "add", OUTSIDE + "/24", "dev", "eth0")

            helpers.append(subprocess.Popen(host_b.command([PYTHON, TOOLS, "echo-server", str(ECHO_B)]),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            server = start_rendezvous(internet, server_address, workdir)
            node_b = start_node(host_b, server_address, B[1], B[0], workdir, ["--remote", "%d:%s" % (A[1], A[0])])
            nodes.append(node_b)
            if not node_b.wait_event("registered", 30):
                raise RuntimeError("node b did not register")
            # B frozen: A's attempt punches on toward B's endpoint until B thaws.
            b_public = registered_endpoint(server, B[1])
            freeze(node_b)
            node_a = start_node(host_a, server_address, A[1], A[0], workdir,
                                ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                                 "--forward", "%d:%d:%d" % (FWD_ECHO, B[1], ECHO_B)], limit_seconds=150)
            nodes.append(node_a)
            if not node_a.wait_event("registered", 30):
                raise RuntimeError("node a did not register")
            summary["a_before"] = counts(node_a)
            if not node_a.wait_for(status_of(B[0], 3), 30):
                raise RuntimeError("A's attempt did not start")
            a_public = registered_endpoint(server, A[1])
            spray = run_json_tool(outside, [FORGE, "spray", b_public[0], b_public[1], a_public[0], a_public[1], 3])
            summary["sprayed_during_attempt"] = spray.get("sent")
            thaw(node_b)

            connected = node_a.wait_for(status_of(B[0], 5), 40) and node_b.wait_for(status_of(A[0], 5), 40)
            first = run_json_tool(host_a, [TOOLS, "echo", FWD_ECHO, 1 << 20, 3])
            summary["first_echo"] = {k: first.get(k) for k in ("ok", "bytes", "sha_back")}
            if not connected:
                problems.append("the attempt did not reach status 5 with the real peer")
            if not first.get("ok"):
                problems.append("echo through the forward: %s" % first)
            uuids = {l.get("uuid") for l in node_a.events("status")}
            if uuids != {B[0]}:
                problems.append("A reported statuses for %s" % sorted(str(u) for u in uuids))

            # The connected tunnel sprayed again, then used again.
            spray = run_json_tool(outside, [FORGE, "spray", b_public[0], b_public[1], a_public[0], a_public[1], 2])
            summary["sprayed_while_connected"] = spray.get("sent")
            second = run_json_tool(host_a, [TOOLS, "echo", FWD_ECHO, 1 << 20, 4])
            summary["second_echo"] = second.get("ok")
            if not second.get("ok"):
                problems.append("echo after the second spray: %s" % second)
            time.sleep(1.0)
            summary["a_after"] = counts(node_a)
            if summary["a_after"] is None:
                problems.append("node A is gone")

            # The spray reached A's dispatcher (so the test means something) and was refused there.
            summary["refused_at_a"] = sum("a short word names no transaction" in l for l in node_a.log_tail(None))
            if summary["refused_at_a"] == 0:
                problems.append("no forged datagram reached A")
            summary["exit_codes"] = [node.stop() for node in nodes]
            server.stop()
        if any(code != 0 for code in summary["exit_codes"]):
            problems.append("node exit codes %s" % summary["exit_codes"])
        for node in nodes:
            if any("AddressSanitizer" in line or "runtime error" in line for line in node.log_tail(None)):
                problems.append("sanitizer report in %s" % node.name)
    except Exception as error:  # a broken topology or program: report, never hang
        problems.append("error: %s" % error)
    finally:
        for helper in helpers:
            helper.kill()
            helper.wait()
    report_and_exit(summary, problems, nodes, workdir, "forged datagrams changed nothing")


if __name__ == "__main__":
    main()
