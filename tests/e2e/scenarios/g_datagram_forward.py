#!/usr/bin/python3
"""(g) A datagram forward through a tunnel between two hosts behind cone NATs of their own: a UDP
client on A sends numbered datagrams to the forwarded port, a UDP receiver on B counts them. Most
must arrive (it is UDP), every one that arrives intact and in order; the remote's result of the
forward is a success, and no plaintext marker crosses A's NAT."""
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import report_and_exit, start_node, start_rendezvous, status_of  # noqa: E402
from topology import Topology, hosts_behind_cone_nats, skip_unless_runnable  # noqa: E402

LIB = os.path.join(os.path.dirname(__file__), "..", "lib")
UDP_TOOLS = os.path.join(LIB, "udp_tools.py")
FORWARD_TOOLS = os.path.join(LIB, "forward_tools.py")
PYTHON = "/usr/bin/python3"
A, B = ("node-a", 5), ("node-b", 6)
UDP_B, FWD_UDP = 9400, 7400
COUNT = 300
ENOUGH = 0.9  # share of the datagrams that must arrive
MARKER = "PLAINTEXT-MARKER-4c2a"


def last_json(text):
    for line in reversed(text.strip().splitlines()):
        try:
            return json.loads(line)
        except ValueError:
            continue
    return {"ok": False, "error": text[-400:]}


def main():
    name = "(g) datagram forward"
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name}
    nodes, helpers, problems = [], [], []
    try:
        with Topology() as topology:
            internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)

            server = start_rendezvous(internet, server_address, workdir)
            node_b = start_node(host_b, server_address, B[1], B[0], workdir, ["--remote", "%d:%s" % (A[1], A[0])])
            nodes.append(node_b)
            if not node_b.wait_event("registered", 30):
                raise RuntimeError("node b did not register")
            node_a = start_node(host_a, server_address, A[1], A[0], workdir,
                                ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                                 "--udp-forward", "%d:%d:%d" % (FWD_UDP, B[1], UDP_B)], limit_seconds=200)
            nodes.append(node_a)
            if not (node_a.wait_for(status_of(B[0], 5), 60) and node_b.wait_for(status_of(A[0], 5), 60)):
                raise RuntimeError("the tunnel did not reach status 5")
            forward = node_a.wait_for(lambda l: l.get("event") == "forward" and l.get("local_port") == FWD_UDP, 30)
            result = node_a.wait_for(lambda l: l.get("event") == "forward-result" and l.get("kind") == 1, 30)
            summary["forward"] = forward[1] if forward else None
            summary["forward_result"] = result[1] if result else None
            if not forward or not forward[1].get("ok"):
                raise RuntimeError("the datagram forward was not set up: %s" % summary["forward"])
            if not result or not result[1].get("ok") or result[1].get("port") != UDP_B:
                raise RuntimeError("the remote's forward result: %s" % summary["forward_result"])

            receiver = subprocess.Popen(host_b.command([PYTHON, UDP_TOOLS, "receive", str(UDP_B), str(COUNT), "60",
                                                        MARKER]), stdout=subprocess.PIPE, text=True)
            helpers.append(receiver)
            sniffer = subprocess.Popen(nat_a.command([PYTHON, FORWARD_TOOLS, "sniff", "10", MARKER]),
                                       stdout=subprocess.PIPE, text=True)
            helpers.append(sniffer)
            time.sleep(1.0)  # both listening
            started = time.monotonic()
            sent = last_json(subprocess.run(host_a.command([PYTHON, UDP_TOOLS, "send", str(FWD_UDP), str(COUNT),
                                                            MARKER]), capture_output=True, text=True,
                                            timeout=60).stdout)
            received = last_json(receiver.communicate(timeout=90)[0])
            summary["seconds"] = round(time.monotonic() - started, 2)
            capture = last_json(sniffer.communicate(timeout=60)[0])
            summary["sent"], summary["received"], summary["capture"] = sent, received, capture
            if not sent.get("ok"):
                problems.append("sender: %s" % sent)
            if received.get("received", 0) < ENOUGH * COUNT:
                problems.append("only %s of %d datagrams arrived" % (received.get("received"), COUNT))
            if received.get("corrupt") or not received.get("in_order"):
                problems.append("datagrams damaged or out of order: %s" % received)
            if capture.get("marker_seen") or capture.get("packets", 0) == 0:
                problems.append("capture on the NAT: %s" % capture)

            summary["exit_codes"] = [node.stop() for node in nodes]
            server.stop()
        if any(code != 0 for code in summary["exit_codes"]):
            problems.append("node exit codes %s" % summary["exit_codes"])
    except Exception as error:  # a broken topology or program: report, never hang
        problems.append("error: %s" % error)
    for helper in helpers:
        if helper.poll() is None:
            helper.kill()
            helper.wait()
    report_and_exit(summary, problems, nodes, workdir, "%s of %d datagrams forwarded intact and in order" % (
        summary.get("received", {}).get("received"), COUNT))


if __name__ == "__main__":
    main()
