#!/usr/bin/python3
"""(c) The responder behind a symmetric NAT (a random port for every new flow), the originator
behind a cone NAT. Reported, not gating: whether the random ports meet is a matter of luck."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from connect import run_connect  # noqa: E402
from topology import INTERNET  # noqa: E402


def build(topology):
    internet = topology.internet()
    nat_a = topology.nat("nata", "192.168.1", symmetric=True)
    nat_b = topology.nat("natb", "192.168.2")
    return internet, INTERNET + ".1", topology.host("hosta", nat_a), topology.host("hostb", nat_b)


if __name__ == "__main__":
    run_connect("(c) symmetric NAT", build, gating=False, settle_seconds=45)
