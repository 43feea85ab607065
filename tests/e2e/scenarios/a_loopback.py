#!/usr/bin/python3
"""(a) Both peers and the rendezvous server on the loopback interface of one private namespace."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from connect import run_connect  # noqa: E402


def build(topology):
    ns = topology.namespace("lo")
    return ns, "127.0.0.1", ns, ns


if __name__ == "__main__":
    run_connect("(a) loopback", build)
