"""Hosts in Linux network namespaces for the multi-host scenarios.

A Topology owns every namespace it makes (names unique per run: "kl<run id>-<role>") and removes
them when it is closed, also on SIGINT/SIGTERM. Nothing is routed out of the test namespaces: the
"internet" is a bridge inside its own namespace (documentation range 203.0.113.0/24), LANs are
192.168.x.0/24 behind NAT namespaces, and no namespace has a link to the root namespace.

A NAT namespace masquerades its LAN behind its WAN address and drops unsolicited inbound traffic
(to itself and to the LAN) as a home router does; conntrack lets answers to outgoing flows in.
With symmetric=True the masquerade draws a random port for every new flow.
"""

import atexit
import json
import os
import signal
import subprocess
import sys

INTERNET = "203.0.113"  # the rendezvous namespace's bridge: .1 is the server, NATs from .10
_open_topologies = []


def _run(*args, check=True, input=None):
    result = subprocess.run(list(args), input=input, capture_output=True, text=True, timeout=30)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(args), result.returncode, result.stderr.strip()))
    return result


def _close_all(*_):
    for topology in list(_open_topologies):
        topology.close()


def _on_signal(signum, _frame):
    _close_all()
    sys.exit(128 + signum)


atexit.register(_close_all)
for _sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(_sig, _on_signal)


def can_run():
    """None when namespaces can be made here, else the reason why not."""
    if os.geteuid() != 0:
        return "needs root (network namespaces)"
    for tool in ("ip", "nft"):
        if subprocess.run(["sh", "-c", "command -v " + tool], capture_output=True).returncode != 0:
            return "needs the %s command" % tool
    probe = "klprobe%d" % os.getpid()
    if subprocess.run(["ip", "netns", "add", probe], capture_output=True).returncode != 0:
        return "cannot create network namespaces"
    subprocess.run(["ip", "netns", "del", probe], capture_output=True)
    return None


def skip_unless_runnable(name):
    """Prints the scenario's "skipped" summary and exits 4 when namespaces cannot be made here."""
    reason = can_run()
    if reason:
        print(json.dumps({"scenario": name, "result": "skipped", "details": reason}))
        sys.exit(4)


def hosts_behind_cone_nats(topology):
    """The internet, NATs A and B, a host behind each, and the rendezvous server's address."""
    internet = topology.internet()
    nat_a = topology.nat("nata", "192.168.1")
    nat_b = topology.nat("natb", "192.168.2")
    return internet, nat_a, nat_b, topology.host("hosta", nat_a), topology.host("hostb", nat_b), INTERNET + ".1"


class Namespace:
    def __init__(self, name):
        self.name = name

    def run(self, *args, check=True, input=None):
        return _run("ip", "netns", "exec", self.name, *args, check=check, input=input)

    def ip(self, *args):
        return _run("ip", "-n", self.name, *args)

    def sysctl(self, key, value):
        self.run("sysctl", "-qw", "%s=%s" % (key, value))

    def nft(self, ruleset):
        self.run("nft", "-f", "-", input=ruleset)

    def command(self, argv):
        """argv prefixed to run inside this namespace."""
        return ["ip", "netns", "exec", self.name] + list(argv)


class Topology:
    def __init__(self, run_id=None):
        self.prefix = "kl%s" % (run_id or "%x" % (os.getpid() & 0xFFFFF))
        self.namespaces = []
        self._links = 0
        _open_topologies.append(self)

    # --- building blocks ---

    def namespace(self, role):
        ns = Namespace("%s-%s" % (self.prefix, role))
        _run("ip", "netns", "add", ns.name)
        self.namespaces.append(ns)
        ns.ip("link", "set", "lo", "up")
        return ns

    def link(self, a, a_name, b, b_name):
        """A veth pair between two namespaces, made inside them (never in the root namespace)."""
        self._links += 1
        a.ip("link", "add", a_name, "type", "veth", "peer", "name", b_name, "netns", b.name)
        a.ip("link", "set", a_name, "up")
        b.ip("link", "set", b_name, "up")

    @staticmethod
    def bridge(ns, name, address=None):
        ns.ip("link", "add", name, "type", "bridge")
        ns.ip("link", "set", name, "up")
        if address:
            ns.ip("addr", "add", address, "dev", name)

    @staticmethod
    def enslave(ns, port, bridge):
        ns.ip("link", "set", port, "master", bridge)

    # --- the pieces scenarios use ---

    def internet(self):
        """The rendezvous namespace: a bridge for the NATs' WAN links; the server at .1."""
        ns = self.namespace("rdv")
        self.bridge(ns, "inet0", INTERNET + ".1/24")
        self._internet = ns
        self._wan_ports = 0
        return ns

    def nat(self, role, lan_subnet, symmetric=False):
        """A router between the internet and a LAN bridge "lan0" (gateway .1 of lan_subnet)."""
        inet = self._internet
        self._wan_ports += 1
        wan_address = "%s.%d" % (INTERNET, 9 + self._wan_ports)
        ns = self.namespace(role)
        port = "p%d" % self._wan_ports
        self.link(ns, "wan0", inet, port)
        self.enslave(inet, port, "inet0")
        ns.ip("addr", "add", wan_address + "/24", "dev", "wan0")
        ns.ip("route", "add", "default", "via", INTERNET + ".1")
        self.bridge(ns, "lan0", lan_subnet + ".1/24")
        ns.sysctl("net.ipv4.ip_forward", 1)
        random_ports = " fully-random" if symmetric else ""
        ns.nft("""
table ip klnat {
  chain post { type nat hook postrouting priority srcnat; policy accept; oifname "wan0" masquerade%s; }
}
table inet klfilter {
  chain inbound { type filter hook input priority filter; policy accept;
    iifname "wan0" ct state established,related accept; iifname "wan0" drop; }
  chain forward { type filter hook forward priority filter; policy accept;
    iifname "wan0" ct state established,related accept; iifname "wan0" drop; }
}
""" % random_ports)
        ns.wan_address = wan_address
        ns.internet_port = port  # its link's end in the internet namespace, where its traffic passes
        ns.lan_subnet = lan_subnet
        ns.lan_hosts = 1
        return ns

    def host(self, role, nat):
        """A host on the NAT's LAN; its interface is "eth0" (a name the tunnel's filter accepts)."""
        nat.lan_hosts += 1
        address = "%s.%d" % (nat.lan_subnet, nat.lan_hosts)
        ns = self.namespace(role)
        port = "h%d" % nat.lan_hosts
        self.link(ns, "eth0", nat, port)
        self.enslave(nat, port, "lan0")
        ns.ip("addr", "add", address + "/24", "dev", "eth0")
        ns.ip("route", "add", "default", "via", nat.lan_subnet + ".1")
        ns.address = address
        return ns

    def outside_host(self, role, address):
        """A host on the internet bridge itself, behind no NAT: an attacker's vantage point."""
        ns = self.namespace(role)
        port = "po%d" % len(self.namespaces)
        self.link(ns, "eth0", self._internet, port)
        self.enslave(self._internet, port, "inet0")
        ns.ip("addr", "add", address + "/24", "dev", "eth0")
        ns.address = address
        return ns

    # --- end ---

    def close(self):
        for ns in reversed(self.namespaces):
            # Processes still inside are ended first, so the namespace really goes.
            pids = _run("ip", "netns", "pids", ns.name, check=False).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            _run("ip", "netns", "del", ns.name, check=False)
        self.namespaces = []
        if self in _open_topologies:
            _open_topologies.remove(self)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()
