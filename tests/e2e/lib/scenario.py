"""The frame every fault scenario shares: its summary and problems, the nodes and helper programs it
started, and its ending (an error becomes a problem, helpers are ended, the summary is printed).

    run = Scenario("(x) name")           # prints "skipped" and exits when namespaces cannot be made
    with run.guard(), Topology() as topology:
        ...                              # raise RuntimeError to fail early; append to run.problems
        run.stop_nodes(run.nodes, server)
    run.finish("what passing means")"""

import contextlib
import os
import subprocess
import tempfile

from processes import PYTHON, report_and_exit
from topology import skip_unless_runnable

FORWARD_TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "forward_tools.py")


def sanitizer_reports(node):
    """The lines of the node's log in which a sanitizer reported a fault."""
    return [l for l in node.log_tail(None) if "AddressSanitizer" in l or "runtime error" in l]


class Scenario:
    def __init__(self, name, **summary):
        skip_unless_runnable(name)
        self.workdir = tempfile.mkdtemp(prefix="kl-e2e-")
        self.summary = dict({"scenario": name}, **summary)
        self.nodes, self.helpers, self.problems = [], [], []

    def helper(self, ns, argv):
        """A background program in the namespace, ended when the scenario ends."""
        process = subprocess.Popen(ns.command([str(a) for a in argv]), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.helpers.append(process)
        return process

    def echo_server(self, ns, port):
        return self.helper(ns, [PYTHON, FORWARD_TOOLS, "echo-server", port])

    def stop_nodes(self, nodes, server=None):
        """Stops the nodes (then the server); a node that does not end with 0 is a problem."""
        codes = [node.stop() for node in nodes]
        self.summary["exit_codes"] = codes
        if server is not None:
            server.stop()
        if any(code != 0 for code in codes):
            self.problems.append("node exit codes %s" % codes)
        return codes

    def check_sanitizers(self, nodes):
        for node in nodes:
            if sanitizer_reports(node):
                self.problems.append("sanitizer report in %s" % node.name)

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

    def finish(self, details, tail_lines=80):
        report_and_exit(self.summary, self.problems, self.nodes, self.workdir, details, tail_lines)
