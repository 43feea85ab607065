#!/usr/bin/python3
"""(b) Each peer behind a NAT of its own that keeps ports (cone-like) and drops unsolicited
inbound traffic; the rendezvous server on the "internet" between them."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from connect import run_connect  # noqa: E402
from topology import hosts_behind_cone_nats  # noqa: E402


def build(topology):
    internet, _, _, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
    return internet, server_address, host_a, host_b


if __name__ == "__main__":
    run_connect("(b) cone NATs", build)
