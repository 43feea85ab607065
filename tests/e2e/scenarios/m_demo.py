#!/usr/bin/python3
"""(m) The demonstration command (scripts/demo --check): the stand-in account and rendezvous
servers, two daemons behind NATs signed in through the control protocol, each in the other's host
list, the tunnel from A to B connected (message 10 states up to 5), then disconnected, and A's
sign-out broadcast to its control client."""
import os
import subprocess
import sys

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts", "demo")

if __name__ == "__main__":
    result = subprocess.run(["timeout", "-k", "5", "120", "/usr/bin/python3", DEMO, "--check"])
    sys.exit(result.returncode)
