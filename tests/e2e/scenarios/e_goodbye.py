#!/usr/bin/python3
"""(e) Two tunnel nodes on the loopback interface of one private namespace connect through the
rendezvous stand-in and their tunnel managers, reach status 5 (connected) on both sides, then the
originator is told to disconnect: its goodbye takes both sides back to status 0."""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import report_and_exit, start_node, start_rendezvous, status_of  # noqa: E402
from topology import Topology, skip_unless_runnable  # noqa: E402

RESPONDER, ORIGINATOR = ("node-a", 5), ("node-b", 6)


def main():
    name = "(e) goodbye"
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name}
    nodes = []
    problems = []
    try:
        with Topology() as topology:
            ns = topology.namespace("lo")
            server = start_rendezvous(ns, "127.0.0.1", workdir)
            responder = start_node(ns, "127.0.0.1", RESPONDER[1], RESPONDER[0], workdir,
                                   ["--remote", "%d:%s" % (ORIGINATOR[1], ORIGINATOR[0])])
            nodes.append(responder)
            if not responder.wait_event("registered", 30):
                raise RuntimeError("the responder did not register")
            originator = start_node(ns, "127.0.0.1", ORIGINATOR[1], ORIGINATOR[0], workdir,
                                    ["--remote", "%d:%s" % (RESPONDER[1], RESPONDER[0]),
                                     "--connect", str(RESPONDER[1])])
            nodes.append(originator)
            started = time.monotonic()
            up = [originator.wait_for(status_of(RESPONDER[0], 5), 60),
                  responder.wait_for(status_of(ORIGINATOR[0], 5), 60)]
            if not all(up):
                problems.append("status 5 not reached (originator %s, responder %s)" % tuple(bool(u) for u in up))
            else:
                summary["connect_seconds"] = round(up[0][0] - started, 3)
                originator.send("disconnect")
                down = [originator.wait_for(status_of(RESPONDER[0], 0), 30),
                        responder.wait_for(status_of(ORIGINATOR[0], 0), 30)]
                if not all(down):
                    problems.append("status 0 not reached after goodbye (originator %s, responder %s)"
                                    % tuple(bool(d) for d in down))
            summary["exit_codes"] = [node.stop() for node in nodes]
            server.stop()
        if any(code != 0 for code in summary["exit_codes"]):
            problems.append("node exit codes %s" % summary["exit_codes"])
    except Exception as error:  # a broken topology or program: report, never hang
        problems.append("error: %s" % error)
    report_and_exit(summary, problems, nodes, workdir, "connected and said goodbye", tail_lines=60)


if __name__ == "__main__":
    main()
