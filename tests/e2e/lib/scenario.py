"""The frame every fault scenario shares: its summary and problems, the nodes and helper programs it
started, and its ending (an error becomes a problem, helpers are ended, the summary is printed).

    run = Scenario("(x) name")           # prints "skipped" and exits when namespaces cannot be made
    with run.guard(), Topology() as topology:
        ...                              # raise RuntimeError to fail early; append to run.problems
        run.wind_up(server, a_after=node_a)
    run.finish("what passing means")    # also fails on a sanitizer report in any node's log"""

import contextlib
import os
import subprocess
import tempfile
import time

from node_probe import counts, freeze
from processes import PYTHON, last_json, report_and_exit, run_json_tool, start_node, status_of
from topology import skip_unless_runnable

FORWARD_TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "forward_tools.py")
A, B = ("node-a", 5), ("node-b", 6)  # (uuid, server id) of the two nodes most scenarios run


def sanitizer_reports(node):
    """The lines of the node's log in which a sanitizer reported a fault."""
    return [l for l in node.log_tail(None) if "AddressSanitizer" in l or "runtime error" in l]


class Scenario:
    def __init__(self, name, **summary):
        skip_unless_runnable(name)
        self.workdir = tempfile.mkdtemp(prefix="kl-e2e-")
        self.summary = dict({"scenario": name}, **summary)
        self.nodes, self.helpers, self.problems = [], [], []

    def helper(self, ns, argv, stderr=subprocess.DEVNULL):
        """A background program in the namespace, ended when the scenario ends."""
        process = subprocess.Popen(ns.command([str(a) for a in argv]), stdout=subprocess.DEVNULL, stderr=stderr)
        self.helpers.append(process)
        return process

    def echo_server(self, ns, port):
        return self.helper(ns, [PYTHON, FORWARD_TOOLS, "echo-server", port])

    def registered_node(self, ns, server_address, node, peer, extra=(), limit_seconds=120):
        """The node (uuid, id) started knowing peer (uuid, id), once registered with the server."""
        started = start_node(ns, server_address, node[1], node[0], self.workdir,
                             ["--remote", "%d:%s" % (peer[1], peer[0])] + list(extra), limit_seconds)
        self.nodes.append(started)
        if not started.wait_event("registered", 30):
            raise RuntimeError("%s did not register" % node[0])
        return started

    @staticmethod
    def asking_for_b(forward):
        """A's arguments to connect to B with a stream forward (local port, B's port)."""
        return ["--connect", str(B[1]), "--forward", "%d:%d:%d" % (forward[0], B[1], forward[1])]

    def connected_pair(self, server_address, host_a, host_b, forward, extra=(), limit_seconds=120):
        """B registered, then A asking for B with a stream forward (local port, B's port): the two
        nodes, (node_a, node_b), once both report the tunnel at status 5."""
        node_b = self.registered_node(host_b, server_address, B, A, extra, limit_seconds)
        node_a = self.registered_node(host_a, server_address, A, B, self.asking_for_b(forward) + list(extra),
                                      limit_seconds)
        if not (node_a.wait_for(status_of(B[0], 5), 40) and node_b.wait_for(status_of(A[0], 5), 20)):
            raise RuntimeError("the tunnel did not reach status 5")
        return node_a, node_b

    def attempt_toward_frozen(self, server_address, host_a, node_b, forward):
        """B frozen, then A asking for B with a stream forward: A punches on toward B's endpoint
        until B thaws. A once its attempt (status 3) is under way; its counts before go to the
        summary as a_before."""
        freeze(node_b)
        node_a = self.registered_node(host_a, server_address, A, B, self.asking_for_b(forward), 150)
        self.summary["a_before"] = counts(node_a)
        if not node_a.wait_for(status_of(B[0], 3), 30):
            raise RuntimeError("A's attempt did not start")
        return node_a

    def echo(self, ns, port, size, seed, label, timeout=120):
        """An echo client through the forward on port: the result's gist goes to the summary under
        label, and a result that is not intact (SHA-256) is a problem. The whole result."""
        return self._echo_result(run_json_tool(ns, [FORWARD_TOOLS, "echo", port, size, seed], timeout=timeout),
                                 label, True)

    def echo_started(self, ns, port, size, seed):
        """An echo client left running in the background; echo_ended collects it."""
        process = subprocess.Popen(ns.command([PYTHON, FORWARD_TOOLS, "echo", str(port), str(size), str(seed)]),
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.helpers.append(process)
        return process

    def echo_ended(self, process, label, timeout=120, must_be_whole=True):
        """As echo, for a client echo_started; a cut-short echo may be allowed (must_be_whole=False)."""
        try:
            result = last_json(process.communicate(timeout=timeout)[0])
        except subprocess.TimeoutExpired:
            result = {"ok": False, "error": "the client still hangs after %d s" % timeout}
        return self._echo_result(result, label, must_be_whole)

    def _echo_result(self, result, label, must_be_whole):
        self.summary[label] = {k: result[k] for k in ("ok", "bytes", "bytes_back", "prefix_intact", "cut", "error")
                               if k in result}
        if must_be_whole and not result.get("ok"):
            self.problems.append("%s: %s" % (label, self.summary[label]))
        return result

    def stop_nodes(self, nodes, server=None):
        """Stops the nodes (then the server); a node that does not end with 0 is a problem."""
        codes = [node.stop() for node in nodes]
        self.summary["exit_codes"] = codes
        if server is not None:
            server.stop()
        if any(code != 0 for code in codes):
            self.problems.append("node exit codes %s" % codes)
        return codes

    def wind_up(self, server, **counted):
        """Counts each named node (summary key = its name) a moment after the last traffic, then
        stops every node and the server."""
        time.sleep(1.0)
        for key, node in counted.items():
            self.summary[key] = counts(node)
        self.stop_nodes(self.nodes, server)

    def expect_flat_cycles(self, key="a_after"):
        """Over repeated cycles, the descriptors and threads counted after each (summary["cycles"][i][key])
        must not grow from the first cycle on (one of slack for a closing moment)."""
        seen = [cycle.get(key) for cycle in self.summary.get("cycles", [])]
        if len(seen) < 2 or not all(seen):
            return
        first, last = seen[0], seen[-1]
        if last["fds"] > first["fds"] + 1 or last["threads"] > first["threads"] + 1:
            self.problems.append("grew over %d cycles: %s -> %s" % (len(seen), first, last))

    def expect_last_status(self, node, uuid, expected=5):
        """The node's statuses for uuid go to the summary; a last one other than expected is a problem."""
        statuses = [l.get("status") for l in node.events("status") if l.get("uuid") == uuid]
        self.summary["statuses_%s_for_%s" % (node.name, uuid)] = statuses
        if statuses[-1:] != [expected]:
            self.problems.append("%s's statuses for %s: %s" % (node.name, uuid, statuses))

    @contextlib.contextmanager
    def guard(self):
        """A broken topology or program becomes a problem, never a hang; helpers end either way."""
        try:
            yield
        except Exception as error:
            self.problems.append("error: %s" % error)
        finally:
            for helper in self.helpers:
                helper.kill()
                helper.wait()
            self.helpers = []

    def finish(self, details, tail_lines=80, check_sanitizers=True):
        if check_sanitizers:
            for node in self.nodes:
                if sanitizer_reports(node):
                    self.problems.append("sanitizer report in %s" % node.name)
        report_and_exit(self.summary, self.problems, self.nodes, self.workdir, details, tail_lines)
