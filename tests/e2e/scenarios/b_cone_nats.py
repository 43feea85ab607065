#!/usr/bin/python3
"""(b) Each peer behind a NAT of its own that keeps ports (cone-like) and drops unsolicited
inbound traffic; the rendezvous server on the "internet" between them."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from connect import run_connect  # noqa: E402
from topology import INTERNET  # noqa: E402


def build(topology):
    internet = topology.internet()
    nat_a = topology.nat("nata", "192.168.1")
    nat_b = topology.nat("natb", "192.168.2")
    return internet, INTERNET + ".1", topology.host("hosta", nat_a), topology.host("hostb", nat_b)


if __name__ == "__main__":
    run_connect("(b) cone NATs", build)
