#!/usr/bin/python3
"""(f) Port forwarding through a tunnel between two hosts behind NATs of their own: 8 MiB of random
data each way through a forward with equal SHA-256 sums, 10 parallel connections, an HTTP download
from python3's http.server, a refused remote port reported as a failed forward result, forwards in
both directions at once, and no plaintext marker in the traffic captured in a NAT's namespace."""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from processes import report_and_exit, start_node, start_rendezvous, status_of  # noqa: E402
from topology import Topology, hosts_behind_cone_nats, skip_unless_runnable  # noqa: E402

TOOLS = os.path.join(os.path.dirname(__file__), "..", "lib", "forward_tools.py")
PYTHON = "/usr/bin/python3"
A, B = ("node-a", 5), ("node-b", 6)
ECHO_B, ECHO_A, HTTP_B, REFUSED_B = 9000, 9100, 9200, 9300
FWD_ECHO, FWD_HTTP, FWD_REFUSED, FWD_BACK = 7000, 7001, 7002, 7100
MARKER = "PLAINTEXT-MARKER-7d1f"


def tool(ns, *args, timeout=120):
    """Runs a forward_tools command in the namespace; its JSON result."""
    out = subprocess.run(ns.command([PYTHON, TOOLS] + [str(a) for a in args]), capture_output=True, text=True,
                         timeout=timeout)
    for line in reversed(out.stdout.splitlines()):
        try:
            return json.loads(line)
        except ValueError:
            continue
    return {"ok": False, "error": out.stderr[-400:]}


def background(ns, argv, workdir, name):
    log = open(os.path.join(workdir, name + ".log"), "w")
    return subprocess.Popen(ns.command(argv), stdout=log, stderr=subprocess.STDOUT)


def main():
    name = "(f) port forwarding"
    skip_unless_runnable(name)
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": name}
    nodes, helpers, problems = [], [], []
    try:
        with Topology() as topology:
            internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)

            # The services: echo and HTTP on B, echo on A (for the reverse direction).
            body = os.urandom(3 << 20)
            with open(os.path.join(workdir, "file.bin"), "wb") as f:
                f.write(body)
            helpers.append(background(host_b, [PYTHON, TOOLS, "echo-server", str(ECHO_B)], workdir, "echo-b"))
            helpers.append(background(host_a, [PYTHON, TOOLS, "echo-server", str(ECHO_A)], workdir, "echo-a"))
            helpers.append(background(host_b, [PYTHON, "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                                               workdir, str(HTTP_B)], workdir, "http-b"))

            server = start_rendezvous(internet, server_address, workdir)
            node_b = start_node(host_b, server_address, B[1], B[0], workdir,
                                ["--remote", "%d:%s" % (A[1], A[0]),
                                 "--forward", "%d:%d:%d" % (FWD_BACK, A[1], ECHO_A)])
            nodes.append(node_b)
            if not node_b.wait_event("registered", 30):
                raise RuntimeError("node b did not register")
            node_a = start_node(host_a, server_address, A[1], A[0], workdir,
                                ["--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
                                 "--forward", "%d:%d:%d" % (FWD_ECHO, B[1], ECHO_B),
                                 "--forward", "%d:%d:%d" % (FWD_HTTP, B[1], HTTP_B),
                                 "--forward", "%d:%d:%d" % (FWD_REFUSED, B[1], REFUSED_B)], limit_seconds=240)
            nodes.append(node_a)
            forwards = [node_a.wait_for(lambda l, p=p: l.get("event") == "forward" and l.get("local_port") == p, 30)
                        for p in (FWD_ECHO, FWD_HTTP, FWD_REFUSED)]
            if not all(f and f[1].get("ok") for f in forwards):
                raise RuntimeError("the forwards were not set up")
            if not (node_a.wait_for(status_of(B[0], 5), 60) and node_b.wait_for(status_of(A[0], 5), 60)):
                raise RuntimeError("the tunnel did not reach status 5")

            # 8 MiB each way, with a capture of the NAT's traffic for the marker meanwhile.
            sniffer = subprocess.Popen(nat_a.command([PYTHON, TOOLS, "sniff", "20", MARKER]), stdout=subprocess.PIPE,
                                       text=True)
            time.sleep(1.0)
            started = time.monotonic()
            bulk = tool(host_a, "echo", FWD_ECHO, 8 << 20, 1, MARKER)
            summary["bulk_seconds"] = round(time.monotonic() - started, 2)
            capture = json.loads(sniffer.communicate(timeout=60)[0].strip().splitlines()[-1])
            summary["bulk"] = {k: bulk.get(k) for k in ("ok", "bytes", "sha_sent", "sha_back")}
            summary["capture"] = capture
            if not bulk.get("ok"):
                problems.append("8 MiB echo differs: %s" % bulk)
            if capture.get("marker_seen") or capture.get("packets", 0) == 0:
                problems.append("capture on the NAT: %s" % capture)

            parallel = tool(host_a, "parallel", FWD_ECHO, 10, 256 << 10)
            summary["parallel"] = parallel.get("results")
            if not parallel.get("ok"):
                problems.append("10 parallel connections: %s" % parallel)

            fetched = tool(host_a, "fetch", "http://127.0.0.1:%d/file.bin" % FWD_HTTP, hashlib.sha256(body).hexdigest())
            summary["http"] = fetched
            if not fetched.get("ok"):
                problems.append("HTTP through the forward: %s" % fetched)

            closed = tool(host_a, "expect-closed", FWD_REFUSED)
            result = node_a.wait_for(lambda l: l.get("event") == "forward-result" and l.get("port") == REFUSED_B, 30)
            summary["refused"] = {"client_closed": closed.get("ok"), "result": result[1] if result else None}
            if not closed.get("ok") or not result or result[1].get("ok") is not False:
                problems.append("refused port: client closed %s, result %s" % (closed.get("ok"), result))

            # Both directions at once: A's client to B's echo, B's client to A's echo.
            both = [subprocess.Popen(ns.command([PYTHON, TOOLS, "echo", str(port), str(1 << 20), str(seed)]),
                                     stdout=subprocess.PIPE, text=True)
                    for ns, port, seed in ((host_a, FWD_ECHO, 7), (host_b, FWD_BACK, 8))]
            outcomes = [json.loads(p.communicate(timeout=120)[0].strip().splitlines()[-1]) for p in both]
            summary["both_directions"] = [o.get("ok") for o in outcomes]
            if not all(o.get("ok") for o in outcomes):
                problems.append("forwards in both directions at once: %s" % outcomes)

            summary["exit_codes"] = [node.stop() for node in nodes]
            server.stop()
            for helper in helpers:
                helper.kill()
                helper.wait()
        if any(code != 0 for code in summary["exit_codes"]):
            problems.append("node exit codes %s" % summary["exit_codes"])
    except Exception as error:  # a broken topology or program: report, never hang
        problems.append("error: %s" % error)
        for helper in helpers:
            helper.kill()
    report_and_exit(summary, problems, nodes, workdir, "forwarded")


if __name__ == "__main__":
    main()
