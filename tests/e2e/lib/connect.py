"""The connection scenario shared by the topologies: a responder registers with the rendezvous
stand-in, an originator asks to be introduced to it, both punch through whatever lies between them
and connect the UDT main channel. What counts: both sides' main channel connected (progress stage
2 at 1.0), the tunnel statuses each side reported (originator 2, 3, 4, 5; responder 3, 4, 5: status 5
comes only after the key exchange over the main channel), clean
exits, and the time from the connect request to the originator's connected main channel."""

import json
import shutil
import sys
import tempfile
import time

from processes import start_node, start_rendezvous
from topology import Topology, skip_unless_runnable

RESPONDER, ORIGINATOR = ("node-a", 5), ("node-b", 6)
EXPECTED_ORIGINATOR, EXPECTED_RESPONDER = [2, 3, 4, 5], [3, 4, 5]


def _channel_connected(line):
    return line.get("event") == "progress" and line.get("stage") == 2 and line.get("percent") == 1.0


def _failed(line):
    return line.get("event") == "outcome" and line.get("result") in ("failed", "disconnected")


def _settled(line):
    return _channel_connected(line) or _failed(line)


def _statuses(node, uuid):
    return [line.get("status") for line in node.events("status") if line.get("uuid") == uuid]


def run_connect(name, build, gating=True, settle_seconds=60):
    """build(topology) -> (server namespace, server address, responder namespace, originator
    namespace). Prints one JSON summary line and exits: 0 passed, 1 failed, 3 reported (not
    gating), 4 skipped."""
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name}
    nodes = []
    try:
        with Topology() as topology:
            server_ns, server_address, responder_ns, originator_ns = build(topology)
            server = start_rendezvous(server_ns, server_address, workdir)
            responder = start_node(responder_ns, server_address, RESPONDER[1], RESPONDER[0], workdir)
            nodes.append(responder)
            if not responder.wait_event("registered", 30):
                raise RuntimeError("the responder did not register")
            originator = start_node(originator_ns, server_address, ORIGINATOR[1], ORIGINATOR[0], workdir,
                                    ["--remote", "%d:%s" % (RESPONDER[1], RESPONDER[0]),
                                     "--connect", str(RESPONDER[1])])
            nodes.append(originator)
            sent = originator.wait_event("connect-sent", 30)
            if not sent:
                raise RuntimeError("the originator sent no connect request")

            ends = {}
            deadline = time.monotonic() + settle_seconds
            for role, node in (("originator", originator), ("responder", responder)):
                ends[role] = node.wait_for(_settled, max(1.0, deadline - time.monotonic()))
            connected = {role: bool(end and _channel_connected(end[1])) for role, end in ends.items()}
            if connected["originator"]:
                summary["connect_seconds"] = round(ends["originator"][0] - sent[0], 3)
            # Reports travel on a queue of their own: give the last ones a moment.
            # Status 5 follows the key exchange, whose first message may need UDT's retransmission
            # when it overtook the last handshake.
            originator.wait_for(lambda l: l.get("event") == "status" and l.get("status") == 5, 8)
            responder.wait_for(lambda l: l.get("event") == "status" and l.get("status") == 5, 8)
            summary["originator_statuses"] = _statuses(originator, RESPONDER[0])
            summary["responder_statuses"] = _statuses(responder, ORIGINATOR[0])
            summary["connected"] = connected
            summary["exit_codes"] = [node.stop() for node in nodes]
            server.stop()

        problems = []
        for role, ok in connected.items():
            if not ok:
                problems.append("%s: main channel not connected" % role)
        if summary["originator_statuses"] != EXPECTED_ORIGINATOR:
            problems.append("originator statuses %s, expected %s" % (summary["originator_statuses"],
                                                                    EXPECTED_ORIGINATOR))
        if summary["responder_statuses"] != EXPECTED_RESPONDER:
            problems.append("responder statuses %s, expected %s" % (summary["responder_statuses"],
                                                                   EXPECTED_RESPONDER))
        # Each side's main channel carried the other's first message (the encryption wish).
        if any(code != 0 for code in summary["exit_codes"]):
            problems.append("node exit codes %s" % summary["exit_codes"])
        summary["details"] = "; ".join(problems) or "connected"
        if not gating:
            summary["result"] = "reported"
        else:
            summary["result"] = "failed" if problems else "passed"
    except Exception as error:  # a broken topology or program: report, never hang
        summary["result"] = "failed" if gating else "reported"
        summary["details"] = "error: %s" % error
    if summary["result"] == "failed" or (not gating and summary.get("details") != "connected"):
        for node in nodes:
            sys.stderr.write("--- last lines of %s ---\n" % node.log_path)
            sys.stderr.writelines(node.log_tail())
        sys.stderr.write("--- the programs' whole logs are kept in %s ---\n" % workdir)
    else:
        shutil.rmtree(workdir, ignore_errors=True)
    print(json.dumps(summary))
    sys.exit({"passed": 0, "failed": 1, "reported": 3}[summary["result"]])
