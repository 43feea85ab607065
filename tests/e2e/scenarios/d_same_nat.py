#!/usr/bin/python3
"""(d) Both peers on one LAN behind the same NAT, which does not hairpin: each other's external
address leads nowhere, the LAN addresses they reported in their pings do."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from connect import run_connect  # noqa: E402
from topology import INTERNET  # noqa: E402


def build(topology):
    internet = topology.internet()
    nat = topology.nat("nat", "192.168.1")
    return internet, INTERNET + ".1", topology.host("hosta", nat), topology.host("hostb", nat)


if __name__ == "__main__":
    run_connect("(d) same NAT, no hairpin", build)
