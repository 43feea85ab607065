#!/usr/bin/python3
"""(o) The NAT's public address changes mid-transfer. A's forward carries a large echo to B when
NAT A's WAN address is replaced by another one and its connection tracking is flushed: every
mapping A had (the tunnel's and the registration's) is gone, and what A sends now leaves from the
new address, which B's tunnel does not accept as its peer. What must hold: the cut transfer ends
(the client is not left hanging) and what it got back is the start of what it sent; A notices the
dead tunnel within the silence limit; A is registered again under its new address; A's forward
still listens, and the next client's echo brings up a new tunnel and comes back intact (SHA-256).
Figures: seconds to notice, to re-register, to rebuild; A's descriptors and threads after each
change (KL_E2E_CYCLES changes, one by default, each to another new address)."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from node_probe import counts  # noqa: E402
from processes import start_rendezvous, status_of  # noqa: E402
from scenario import A, B, Scenario  # noqa: E402
from topology import INTERNET, Topology, hosts_behind_cone_nats  # noqa: E402

ECHO_B, FWD_ECHO = 9000, 7000
# One in CI; more by hand (KL_E2E_CYCLES=N) for the figures over repeated changes.
CYCLES = int(os.environ.get("KL_E2E_CYCLES", "1"))
PING = ["--ping-interval-ms", "1000", "--ping-timeout-ms", "5000"]
NOTICE_WITHIN = 15.0  # the silence limit (10 s) and room for a loaded machine
CUT_SIZE = 128 << 20  # far more than crosses the tunnel in the seconds before the change


def change_wan_address(nat, new_address):
    """The router's WAN address replaced (its default route goes with the old one) and its
    connection tracking flushed, as a provider's new lease does."""
    nat.ip("addr", "del", nat.wan_address + "/24", "dev", "wan0")
    nat.ip("addr", "add", new_address + "/24", "dev", "wan0")
    nat.ip("route", "add", "default", "via", INTERNET + ".1")
    nat.run("conntrack", "-F", check=False)  # "0 flow entries" exits 1 on some versions
    nat.wan_address = new_address


def main():
    run = Scenario("(o) NAT address change", cycles=[])
    with run.guard(), Topology() as topology:
        internet, nat_a, nat_b, host_a, host_b, server_address = hosts_behind_cone_nats(topology)
        if subprocess.run(["sh", "-c", "command -v conntrack"], capture_output=True).returncode != 0:
            raise RuntimeError("needs the conntrack command (scripts/install-deps)")
        run.echo_server(host_b, ECHO_B)
        server = start_rendezvous(internet, server_address, run.workdir, limit_seconds=150 + 50 * CYCLES)
        node_a, node_b = run.connected_pair(server_address, host_a, host_b, (FWD_ECHO, ECHO_B), PING,
                                            120 + 50 * CYCLES)
        if not run.echo(host_a, FWD_ECHO, 1 << 20, 31, "echo_before_change").get("ok"):
            raise RuntimeError("no echo before the change")
        run.summary["a_before"] = counts(node_a)

        for cycle in range(CYCLES):
            result = {}
            run.summary["cycles"].append(result)
            new_wan = "%s.%d" % (INTERNET, 30 + cycle)
            cut_client = run.echo_started(host_a, FWD_ECHO, CUT_SIZE, 32)
            time.sleep(1.5)  # the channel open and data under way (a fast machine moves some 50 MB a second)
            changed = time.monotonic()
            change_wan_address(nat_a, new_wan)

            ended = node_a.wait_for(status_of(B[0], 0), NOTICE_WITHIN, since=changed)
            result["noticed_seconds"] = round(ended[0] - changed, 2) if ended else None
            if not ended:
                run.problems.append("cycle %d: A did not notice the dead tunnel within %.0f s" % (cycle, NOTICE_WITHIN))
            b_ended = node_b.wait_for(status_of(A[0], 0), NOTICE_WITHIN, since=changed)
            result["b_noticed_seconds"] = round(b_ended[0] - changed, 2) if b_ended else None
            reregistered = node_a.wait_for(lambda l, w=new_wan: l.get("event") == "pong"
                                           and str(l.get("external", "")).startswith(w + ":"), 30)
            result["reregistered_seconds"] = round(reregistered[0] - changed, 2) if reregistered else None
            if not reregistered:
                raise RuntimeError("cycle %d: A was not registered under its new address" % cycle)

            label = "transfer_across_change_%d" % cycle
            cut = run.echo_ended(cut_client, label, timeout=30, must_be_whole=False)
            if cut.get("error") or not cut.get("prefix_intact"):
                run.problems.append("the transfer across the change: %s" % run.summary[label])

            started = time.monotonic()
            run.echo(host_a, FWD_ECHO, 1 << 20, 33 + cycle, "echo_after_change_%d" % cycle, timeout=90)
            result["rebuilt_seconds"] = round(time.monotonic() - started, 2)
            run.expect_last_status(node_a, B[0])
            time.sleep(1.0)
            result["a_after"] = counts(node_a)
        run.expect_flat_cycles()
        run.wind_up(server)
    run.finish("noticed the change, re-registered and rebuilt")


if __name__ == "__main__":
    main()
