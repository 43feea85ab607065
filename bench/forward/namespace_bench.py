#!/usr/bin/python3
"""A forwarded TCP connection side by side with direct TCP and `ssh -L`, between two network
namespaces that this program builds (it needs root), measured in one run:

- throughput each way on a clean veth link, and at 1% and 5% loss with 10 ms delay each way over
  a user-space link (lossy_link: a TAP device in each namespace; the kernel may lack netem);
- on the clean link: the round trip of 64-byte messages (median, p99), the time of a new
  connection to its first echoed byte (median of 20) and of ten opened at once, CPU seconds per GB
  moved (the forwarding processes of both sides; for bare UDT its two ends), and start to first
  byte (from starting the connecting side to the first echoed byte through it);
- ratios to ssh -L.

The forward and a bare UDT stream (udt_stream, opened as the tunnel opens a data channel) run under
the loss-tolerant UDT control and, for comparison, under UDT's native one (rows ".../native"); the
forward's throughput is also given as a ratio to bare UDT under the same control. With --rounds
the methods are measured in turn that many times and each figure is the median.

  namespace_bench.py [--build DIR] [--seconds S] [--lossy-seconds S] [--skip-native] [--rounds N]

The build folder (default build/release, else $KL_BUILD_DIR) must hold tunnel-node, lossy_link and
udt_stream."""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e", "lib"))
from processes import JsonProcess, start_rendezvous, status_of  # noqa: E402
from topology import Topology  # noqa: E402

PYTHON = "/usr/bin/python3"
TOOLS = os.path.join(HERE, "bench_tools.py")
KEY = "00112233445566778899aabbccddeeff"
A, B = ("bench-a", 11), ("bench-b", 12)
SERVICE, SSH_PORT, SSH_LOCAL, FORWARD_LOCAL = 9000, 2222, 7200, 7300
CLEAN = ("10.77.0.1", "10.77.0.2")
LOSSY = ("10.78.0.1", "10.78.0.2")


def tool(ns, *args, timeout=180):
    out = subprocess.run(ns.command([PYTHON, TOOLS] + [str(a) for a in args]), capture_output=True, text=True,
                         timeout=timeout)
    for line in reversed(out.stdout.splitlines()):
        try:
            return json.loads(line)
        except ValueError:
            continue
    raise RuntimeError("bench_tools %s: %s" % (args[0], out.stderr[-300:]))


def cpu_seconds(ns_list, names):
    """User and system CPU of the processes with these names in the namespaces."""
    tick = os.sysconf("SC_CLK_TCK")
    total = 0.0
    for ns in ns_list:
        pids = subprocess.run(["ip", "netns", "pids", ns.name], capture_output=True, text=True).stdout.split()
        for pid in pids:
            try:
                with open("/proc/%s/stat" % pid) as f:
                    stat = f.read()
            except OSError:
                continue
            name = stat[stat.index("(") + 1:stat.rindex(")")]
            if name in names:
                fields = stat[stat.rindex(")") + 2:].split()
                total += (int(fields[11]) + int(fields[12])) / tick
    return total


class Bench:
    def __init__(self, options, topology, workdir):
        self.options = options
        self.workdir = workdir
        self.a = topology.namespace("a")
        self.b = topology.namespace("b")
        topology.link(self.a, "eth0", self.b, "eth0")
        self.a.ip("addr", "add", CLEAN[0] + "/24", "dev", "eth0")
        self.b.ip("addr", "add", CLEAN[1] + "/24", "dev", "eth0")
        self.helpers = []
        self.helpers.append(self.background(self.b, [PYTHON, TOOLS, "serve", str(SERVICE)], "service"))
        self.ssh_key = self.start_sshd()
        self.rendezvous = start_rendezvous(self.a, "0.0.0.0", workdir, limit_seconds=7200)
        self.link = None
        self.udt_port = 9400
        self.far = CLEAN[1]
        self.near = CLEAN[0]

    def background(self, ns, argv, name):
        log = open(os.path.join(self.workdir, name + ".log"), "w")
        return subprocess.Popen(ns.command(argv), stdin=subprocess.PIPE, stdout=log, stderr=subprocess.STDOUT)

    def start_sshd(self):
        d = self.workdir
        for name in ("host", "user"):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(d, name)], check=True)
        shutil.copy(os.path.join(d, "user.pub"), os.path.join(d, "authorized_keys"))
        config = os.path.join(d, "sshd_config")
        with open(config, "w") as f:
            f.write("Port %d\nListenAddress 0.0.0.0\nHostKey %s/host\nPidFile %s/sshd.pid\n"
                    "AuthorizedKeysFile %s/authorized_keys\nPermitRootLogin prohibit-password\n"
                    "PasswordAuthentication no\nKbdInteractiveAuthentication no\nStrictModes no\nUsePAM no\n"
                    "AllowTcpForwarding yes\n" % (SSH_PORT, d, d, d))
        os.makedirs("/run/sshd", exist_ok=True)
        self.helpers.append(self.background(self.b, ["/usr/sbin/sshd", "-D", "-e", "-f", config], "sshd"))
        return os.path.join(d, "user")

    # --- the link ---

    def impair(self, delay_ms, loss_percent):
        self.restore()
        self.a.ip("link", "set", "eth0", "down")
        self.b.ip("link", "set", "eth0", "down")
        link = self.options.build + "/bench/forward/lossy_link"
        self.link = subprocess.Popen([link, self.a.name, self.b.name, "eth1", str(delay_ms), str(loss_percent)],
                                     stdout=subprocess.PIPE, stderr=open(os.path.join(self.workdir, "link.log"), "a"),
                                     text=True)
        if self.link.stdout.readline().strip() != "ready":
            raise RuntimeError("lossy_link did not start")
        for ns, address in ((self.a, LOSSY[0]), (self.b, LOSSY[1])):
            ns.ip("addr", "add", address + "/24", "dev", "eth1")
            ns.ip("link", "set", "eth1", "up")
        self.near, self.far = LOSSY
        self.wait_reachable()

    def restore(self):
        if self.link:
            self.link.terminate()
            self.link.wait()
            self.link = None
            self.a.ip("link", "set", "eth0", "up")
            self.b.ip("link", "set", "eth0", "up")
            self.near, self.far = CLEAN
            self.wait_reachable()

    def wait_reachable(self):
        probe = "import socket; socket.create_connection(('%s', %d), timeout=1).close()" % (self.far, SSH_PORT)
        for _ in range(100):
            if self.a.run(PYTHON, "-c", probe, check=False).returncode == 0:
                return
            time.sleep(0.1)
        raise RuntimeError("%s unreachable" % self.far)

    # --- the methods: each starts what it needs and yields the local address and port ---

    def start_ssh(self):
        argv = ["ssh", "-N", "-i", self.ssh_key, "-p", str(SSH_PORT), "-o", "StrictHostKeyChecking=no",
                "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", "-o", "ExitOnForwardFailure=yes",
                "-L", "127.0.0.1:%d:127.0.0.1:%d" % (SSH_LOCAL, SERVICE), "root@" + self.far]
        started = time.monotonic()
        proc = self.background(self.a, argv, "ssh")
        return proc, started, ("127.0.0.1", SSH_LOCAL)

    def start_forward(self, native):
        env = dict(os.environ, KL_LOG_LEVEL="1", KL_UDT_CC="native" if native else "loss-tolerant")
        # A lost pong leaves a node unregistered until its ping time-out: short ones on lossy links.
        common = ["--server", "%s:9300" % self.near, "--key", KEY, "--ping-interval-ms", "1000",
                  "--ping-timeout-ms", "3000"]
        node_b = JsonProcess(self.b, [self.options.node] + common + ["--id", str(B[1]), "--uuid", B[0],
                                                                     "--remote", "%d:%s" % (A[1], A[0])],
                             os.path.join(self.workdir, "node-b.log"), 7200, env)
        if not node_b.wait_event("registered", 60):
            raise RuntimeError("node b did not register")
        started = time.monotonic()
        node_a = JsonProcess(self.a, [self.options.node] + common + [
            "--id", str(A[1]), "--uuid", A[0], "--remote", "%d:%s" % (B[1], B[0]), "--connect", str(B[1]),
            "--forward", "%d:%d:%d" % (FORWARD_LOCAL, B[1], SERVICE)], os.path.join(self.workdir, "node-a.log"),
            7200, env)
        return (node_a, node_b), started, ("127.0.0.1", FORWARD_LOCAL)

    def udt_stream(self, sender, receiver, seconds, native=False):
        """One bare UDT stream from one namespace to the other: Mbit/s, bytes, CPU seconds of both ends."""
        self.udt_port += 1
        program = os.path.join(self.options.build, "bench", "forward", "udt_stream")
        env = dict(os.environ, KL_UDT_CC="native" if native else "loss-tolerant")
        ends = {self.a.name: self.near, self.b.name: self.far}
        argv = lambda ns, other: [program, ends[ns.name], str(self.udt_port), ends[other.name], str(self.udt_port)]
        receiving = subprocess.Popen(receiver.command(argv(receiver, sender) + ["receive"]), stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, env=env)
        sending = subprocess.Popen(sender.command(argv(sender, receiver) + ["send", str(seconds)]),
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
        try:
            out, _ = receiving.communicate(timeout=seconds + 120)
            sent, _ = sending.communicate(timeout=30)
        finally:
            sending.kill()
            sending.wait()
        got = json.loads(out.strip().splitlines()[-1])
        sender_cpu = json.loads(sent.strip().splitlines()[-1])["cpu_s"]
        return got["mbps"], got["bytes"], got["cpu_s"] + sender_cpu

    def measure(self, method, clean):
        """The figures of one method on the current link."""
        row = {}
        if method.startswith("bare UDT"):
            seconds = self.options.seconds if clean else self.options.lossy_seconds
            native = method.endswith("native")
            row["up_mbps"], up_bytes, up_cpu = self.udt_stream(self.a, self.b, seconds, native)
            row["down_mbps"], down_bytes, down_cpu = self.udt_stream(self.b, self.a, seconds, native)
            if clean:
                row["cpu_s_per_gb"] = (up_cpu + down_cpu) / ((up_bytes + down_bytes) / 1e9)
            return row
        procs, started, target = None, None, (self.far, SERVICE)
        if method == "ssh -L":
            procs, started, target = self.start_ssh()
        elif method.startswith("forward"):
            procs, started, target = self.start_forward(method.endswith("native"))
        try:
            if started is not None:
                got = tool(self.a, "first", target[0], target[1], 60)
                if not got.get("ok"):
                    raise RuntimeError("%s: no first byte" % method)
                row["first_byte_s"] = got["at"] - started
            seconds = self.options.seconds if clean else self.options.lossy_seconds
            names = {"ssh -L": {"ssh", "sshd"}}.get(method, {"tunnel-node"})
            before = cpu_seconds([self.a, self.b], names)
            upload = tool(self.a, "up", target[0], target[1], seconds)
            download = tool(self.a, "down", target[0], target[1], seconds)
            cpu = cpu_seconds([self.a, self.b], names) - before
            row["up_mbps"], row["down_mbps"] = upload["mbps"], download["mbps"]
            if clean and method != "direct":
                row["cpu_s_per_gb"] = cpu / ((upload["bytes"] + download["bytes"]) / 1e9)
            if clean:
                row["rtt"] = tool(self.a, "rtt", target[0], target[1], 2000, 64)
                row["connect"] = tool(self.a, "connect", target[0], target[1], 20)
                row["parallel"] = tool(self.a, "parallel", target[0], target[1], 10)
        finally:
            if isinstance(procs, tuple):
                for node in procs:
                    node.stop()
            elif procs is not None:
                procs.terminate()
                procs.wait()
        return row


def median_row(rows):
    """The median of every figure over the rounds' rows (nested the same way)."""
    if isinstance(rows[0], dict):
        return {key: median_row([row[key] for row in rows if key in row]) for key in rows[0]}
    if isinstance(rows[0], bool):
        return all(rows)
    return statistics.median(rows)


def ratio(value, reference):
    return "%.2f" % (value / reference) if value is not None and reference else "-"


def fmt(value, spec="%.1f"):
    return spec % value if value is not None else "-"


def print_table(results, methods):
    ssh = {k: v.get("ssh -L", {}) for k, v in results.items()}
    print("\nThroughput, Mbit/s (ratio to ssh -L)")
    print("%-16s %-16s %18s %18s" % ("link", "method", "A to B", "B to A"))
    for link, rows in results.items():
        for m in methods:
            r = rows.get(m)
            if not r:
                continue
            print("%-16s %-16s %10s (%5s) %10s (%5s)" % (link, m, fmt(r["up_mbps"]), ratio(r["up_mbps"], ssh[link].get("up_mbps")),
                                                        fmt(r["down_mbps"]), ratio(r["down_mbps"], ssh[link].get("down_mbps"))))
    print("\nForward / bare UDT under the same control")
    for link, rows in results.items():
        for forward, bare in (("forward", "bare UDT"), ("forward/native", "bare UDT/native")):
            f, b = rows.get(forward), rows.get(bare)
            if f and b:
                print("%-16s %-16s %10s %18s" % (link, forward, ratio(f["up_mbps"], b["up_mbps"]),
                                                 ratio(f["down_mbps"], b["down_mbps"])))
    if "clean" not in results:
        return
    clean = results["clean"]
    s = clean.get("ssh -L", {})
    print("\nClean link (ratio to ssh -L)")
    print("%-16s %16s %16s %16s %18s %14s %14s" % ("method", "rtt median ms", "rtt p99 ms", "new conn ms",
                                                   "10 parallel ms", "CPU s/GB", "first byte s"))
    for m in methods:
        r = clean.get(m)
        if not r or ("rtt" not in r and "cpu_s_per_gb" not in r):
            continue
        get = lambda row, key, field: row.get(key, {}).get(field)
        cells = [
            "%s (%s)" % (fmt(get(r, "rtt", "median_ms"), "%.3f"), ratio(get(r, "rtt", "median_ms"), get(s, "rtt", "median_ms"))),
            "%s (%s)" % (fmt(get(r, "rtt", "p99_ms"), "%.3f"), ratio(get(r, "rtt", "p99_ms"), get(s, "rtt", "p99_ms"))),
            "%s (%s)" % (fmt(get(r, "connect", "median_ms"), "%.2f"), ratio(get(r, "connect", "median_ms"), get(s, "connect", "median_ms"))),
            "%s (%s)" % (fmt(get(r, "parallel", "all_ms")), ratio(get(r, "parallel", "all_ms"), get(s, "parallel", "all_ms"))),
            "%s (%s)" % (fmt(r.get("cpu_s_per_gb"), "%.2f"), ratio(r.get("cpu_s_per_gb"), s.get("cpu_s_per_gb"))),
            "%s (%s)" % (fmt(r.get("first_byte_s"), "%.3f"), ratio(r.get("first_byte_s"), s.get("first_byte_s"))),
        ]
        print("%-16s %16s %16s %16s %18s %14s %14s" % tuple([m] + cells))


def main():
    default_build = os.environ.get("KL_BUILD_DIR", os.path.join(REPO, "build", "release"))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=default_build)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--lossy-seconds", type=float, default=10.0)
    parser.add_argument("--skip-native", action="store_true")
    parser.add_argument("--links", default="clean,1,5", help="clean and/or loss percents, comma-separated")
    parser.add_argument("--methods", help="only these methods, comma-separated")
    parser.add_argument("--rounds", type=int, default=1,
                        help="measure every method this many times, interleaved; the medians are shown")
    parser.add_argument("--json", help="also write the figures to this file")
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("namespace_bench: needs root (it builds network namespaces and TAP devices); not run", file=sys.stderr)
        return 1
    options.build = os.path.abspath(options.build)
    options.node = os.path.join(options.build, "tests", "standins", "tunnel-node", "tunnel-node")
    for program in (options.node, os.path.join(options.build, "bench", "forward", "lossy_link"),
                    os.path.join(options.build, "bench", "forward", "udt_stream")):
        if not os.access(program, os.X_OK):
            print("namespace_bench: %s is not built" % program, file=sys.stderr)
            return 1
    methods = ["direct", "ssh -L", "bare UDT", "forward"] + ([] if options.skip_native else ["bare UDT/native", "forward/native"])
    if options.methods:
        methods = [m for m in methods if m in options.methods.split(",")]
    workdir = tempfile.mkdtemp(prefix="kl-nsbench-")
    results = {}
    try:
        with Topology("nb%x" % (os.getpid() & 0xFFFF)) as topology:
            bench = Bench(options, topology, workdir)
            for link in options.links.split(","):
                name = "clean" if link == "clean" else "%s%% loss 10ms" % link
                if link == "clean":
                    bench.restore()
                else:
                    bench.impair(10, float(link))
                rounds = {method: [] for method in methods}
                for _ in range(options.rounds):
                    for method in methods:
                        try:
                            rounds[method].append(bench.measure(method, link == "clean"))
                            print("%s / %s: %s" % (name, method, json.dumps(rounds[method][-1])), file=sys.stderr,
                                  flush=True)
                        except (RuntimeError, subprocess.TimeoutExpired, KeyError, IndexError, ValueError) as error:
                            print("%s / %s: %s" % (name, method, error), file=sys.stderr, flush=True)
                results[name] = {method: median_row(rows) for method, rows in rounds.items() if rows}
            bench.restore()
            for helper in bench.helpers:
                helper.kill()
                helper.wait()
            bench.rendezvous.stop()
    finally:
        if options.json:
            with open(options.json, "w") as f:
                json.dump(results, f, indent=1)
        if not os.environ.get("KL_BENCH_KEEP"):
            shutil.rmtree(workdir, ignore_errors=True)
    print_table(results, methods)
    return 0


if __name__ == "__main__":
    sys.exit(main())
