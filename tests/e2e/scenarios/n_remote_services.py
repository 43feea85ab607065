#!/usr/bin/python3
"""(n) Remote services on local ports, the whole road driven by control commands only. Two real
daemons behind cone NATs, each host with its own dbus-daemon and avahi-daemon, B with an OpenSSH
server and an HTTP server on the music-sharing port. A follows service updates (26), both sign in,
A lists B, connects to it (29) and finds B's proxies published by DNS-SD on its loopback
interface: ssh through the published port reaches B's sshd, request 28 names that port, a 20 MiB
download through the "_daap._tcp" proxy keeps its SHA-256, and the screen-sharing proxy, with
nothing behind it on B, closes its clients. 50 host-list changes leave A with as many listening
sockets as after the first (each change republishes B's services on fresh ports), no published
port listens beyond loopback, and the publications come back when A's avahi-daemon restarts.
Disconnecting, B signing out, and B's daemon killed each take A's publications and listening
ports away. Last, A deletes B's host and signs out; a second control client sees every broadcast
of the road."""
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "lib"))
from avahi import HostAvahi, missing_tool  # noqa: E402
from daemons import CONNECTED, AccountSession, Daemon, message_of, start_account_server, uuid_of, wait  # noqa: E402
from host_services import HttpFileServer, Sshd, SSH_USER, is_loopback, listening_tcp  # noqa: E402
from processes import report_and_exit, run_json_tool, start_rendezvous  # noqa: E402
from topology import Topology, hosts_behind_cone_nats, skip_unless_runnable  # noqa: E402

NAME = "(n) remote services"
TOOLS = os.path.join(os.path.dirname(__file__), "..", "lib", "forward_tools.py")
EMAIL, PASSWORD = "road@example.com", "road password"
A_NAME, B_NAME, C_NAME = "road-a", "road-b", "road-c"
C_UUID = "c0" * 16  # a host of the account that is no daemon: its status changes drive the host lists
PROXY_NAME = "\U0001F680 " + B_NAME
DAAP_PORT = 3689
DOWNLOAD_BYTES = 20 << 20
HOST_LIST_CHANGES = 50
# The registrar's tick is 5 s; a killed peer's tunnel is declared dead after 10 s of silence.
GONE_WITHIN = 20


class Road:
    def __init__(self, workdir, problems, summary):
        self.workdir, self.problems, self.summary = workdir, problems, summary

    def check(self, ok, text):
        if not ok and text not in self.problems:  # checks inside waits would repeat themselves
            self.problems.append(text)
        return ok

    # --- what A publishes ---

    def proxies(self, service_type):
        """{port} of B's proxies of that type that A's avahi lists, all on loopback."""
        found = self.avahi_a.browse(service_type)
        mine = [s for s in found if s["name"] == PROXY_NAME]
        self.check(all(s["interface"] == "lo" for s in mine), "%s proxies beyond loopback: %s" % (service_type, mine))
        return {s["port"] for s in mine}

    def daemon_ports(self):
        return listening_tcp(self.host_a)

    def check_loopback_only(self, when):
        wide = [s for s in self.daemon_ports() if not is_loopback(s[0])]
        self.check(not wide, "%s: ports listening beyond loopback on A: %s" % (when, wide))

    def wait_published(self, what, timeout=30):
        """{type: port} once A publishes B's ssh, rfb and daap proxies, each on a port that listens."""
        def ready():
            ports = {t: self.proxies(t) for t in ("_ssh._tcp", "_rfb._tcp", "_daap._tcp")}
            listening = {p for _, p in self.daemon_ports()}
            if all(len(p) == 1 and p <= listening for p in ports.values()):
                return {t: next(iter(p)) for t, p in ports.items()}
            return None
        return wait(what, ready, timeout)

    def wait_withdrawn(self, what, timeout=GONE_WITHIN):
        """Seconds until A publishes and listens for nothing of B."""
        started = time.monotonic()
        wait(what, lambda: not self.daemon_ports() and not self.proxies("_ssh._tcp"), timeout, step=0.25)
        return round(time.monotonic() - started, 1)

    def wait_message(self, mark, predicate, timeout):
        """The first daemon message after the follower's first mark lines that predicate accepts."""
        deadline = time.monotonic() + timeout
        while True:
            for _, line in list(self.follower.lines)[mark:]:
                message = message_of(line)
                if message and predicate(message):
                    return message
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.1)

    def connect(self):
        mark = len(self.follower.lines)
        if not self.check(self.a.request("29", "uuid=" + self.b_uuid) == {}, "29 was not answered"):
            return False
        return self.wait_message(mark, lambda m: m.get("command") == 10 and m.get("uuid") == self.b_uuid and
                                 m.get("tunnexConnectionStatus") == CONNECTED, 45)

    # --- the road ---

    def run(self):
        with Topology() as topology:
            internet, _, _, self.host_a, self.host_b, server_address = hosts_behind_cone_nats(topology)
            start_rendezvous(internet, server_address, self.workdir, limit_seconds=400)
            _, cert = start_account_server(internet, self.workdir, EMAIL, PASSWORD)
            self.avahi_a = HostAvahi(self.host_a, self.workdir, A_NAME)
            self.avahi_b = HostAvahi(self.host_b, self.workdir, B_NAME)
            sshd = Sshd(self.host_b, self.workdir)
            http = HttpFileServer(self.host_b, self.workdir, DAAP_PORT, DOWNLOAD_BYTES)
            if not (self.avahi_a.wait_ready() and self.avahi_b.wait_ready()):
                raise RuntimeError("avahi-daemon did not come up")
            if not http.wait_ready(self.host_b):
                raise RuntimeError("the HTTP server on B did not start")
            self.a = Daemon(self.host_a, A_NAME, "a1" * 16, self.workdir, cert, self.avahi_a.env(), logging_level=2)
            self.b = Daemon(self.host_b, B_NAME, "b1" * 16, self.workdir, cert, self.avahi_b.env(), logging_level=2)
            for daemon in (self.a, self.b):
                wait(daemon.name + "'s control socket", lambda: daemon.request("14", timeout=2), 30)
            road_started = time.monotonic()

            # A second control client, subscribed before anything happens, sees every broadcast.
            self.follower = self.a.follow("14")
            self.a.request("--no-reply", "26")
            for daemon in (self.a, self.b):
                daemon.sign_in(EMAIL, PASSWORD)
            self.check(self.follower.wait_for(lambda l: (message_of(l, 2) or {}).get("registrarState") == 1, 15),
                       "the sign-in was not broadcast")
            reporting = len(self.follower.lines)
            self.a.request("--no-reply", "15")

            # B's host list entries (one per service) reach A once B's services scan has run.
            def b_entries():
                return [h for h in self.a.hosts() if h.get("name") == B_NAME and h.get("status") == 1]
            entries = wait("B's services in A's host list", lambda: (lambda e: e if any(
                h.get("service_names") == "_ssh._tcp" for h in e) else None)(b_entries()), 45)
            self.b_uuid = entries[0]["uuid"]
            b_server_id = entries[0]["id"]
            self.check(all(h.get("tunnexConnectionStatus") == 0 for h in entries),
                       "tunnel states before connecting: %s" % [h.get("tunnexConnectionStatus") for h in entries])
            self.check(self.wait_message(reporting, lambda m: m.get("command") == 6, 10),
                       "host reporting (15) broadcast no host-list change")

            # Connect; the tunnel states reach the second client, the host list carries them.
            if not self.connect():
                raise RuntimeError("the tunnel from A to B did not connect")
            states = [m["tunnexConnectionStatus"] for m in (message_of(l, 10) for _, l in list(self.follower.lines))
                      if m and m.get("uuid") == self.b_uuid]
            self.summary["tunnel_states"] = states
            self.check(all(h.get("tunnexConnectionStatus") == CONNECTED for h in b_entries()),
                       "the host list does not show the tunnel connected")

            ports = self.wait_published("B's proxies on A after connecting")
            self.summary["published"] = ports
            self.check_loopback_only("after connecting")
            url = (self.a.request("28", "uuid=" + self.b_uuid, "serviceType=_ssh._tcp", "username=" + SSH_USER)
                   or {}).get("serviceURLString")
            self.check(url == "ssh://%s@127.0.0.1:%d/" % (SSH_USER, ports["_ssh._tcp"]), "request 28 gave %r" % url)
            self.ssh(ports["_ssh._tcp"], sshd, "through the first publication")
            fetched = run_json_tool(self.host_a, [TOOLS, "fetch", "http://127.0.0.1:%d/%s" % (ports["_daap._tcp"],
                                                                                              http.name), http.digest])
            self.check(fetched.get("ok") and fetched.get("bytes") == DOWNLOAD_BYTES, "daap download: %s" % fetched)
            closed = run_json_tool(self.host_a, [TOOLS, "expect-closed", ports["_rfb._tcp"]], timeout=60)
            self.check(closed.get("ok"), "the rfb proxy with nothing behind it kept its client: %s" % closed)

            self.host_list_changes(internet, cert, ports, sshd)

            # avahi-daemon restarts: the publications come back by themselves.
            self.avahi_a.stop_avahi()
            self.avahi_a.start_avahi()
            self.check(self.avahi_a.wait_ready(), "avahi-daemon did not come back")
            self.wait_published("B's proxies after avahi-daemon restarted")

            # Disconnecting takes the publications with the tunnel.
            mark = len(self.follower.lines)
            self.check(self.a.request("30", "uuid=" + self.b_uuid) == {}, "30 was not answered")
            self.check(self.wait_message(mark, lambda m: m.get("command") == 10 and m.get("tunnexConnectionStatus") == 0,
                                         15),
                       "the disconnect was not broadcast")
            self.summary["withdrawn_after_disconnect_s"] = self.wait_withdrawn("A's proxies to go after 30")

            # B signs out: its tunnels end with its membership, and A's proxies go.
            if not self.connect():
                raise RuntimeError("the tunnel did not come back")
            self.wait_published("B's proxies after reconnecting")
            self.b.request("--no-reply", "7")
            self.summary["withdrawn_after_sign_out_s"] = self.wait_withdrawn("A's proxies to go after B's sign-out")
            # B's own proxies of A went with its tunnels: only its sshd and HTTP server listen there.
            b_ports = wait("B's proxies of A to go", lambda: (lambda p: p if p <= {22, DAAP_PORT} else None)(
                {port for _, port in listening_tcp(self.host_b)}), 10)
            self.check(b_ports == {22, DAAP_PORT}, "B's services stopped listening: %s" % b_ports)

            # B's daemon killed: A notices the silent tunnel and withdraws.
            self.b.sign_in(EMAIL, PASSWORD)
            if not self.connect():
                raise RuntimeError("the tunnel did not come back after B signed in again")
            self.wait_published("B's proxies after B signed in again")
            self.b.kill()
            self.summary["withdrawn_after_kill_s"] = self.wait_withdrawn("A's proxies to go after B was killed")

            # Delete B's host, then sign out; both reach the second client.
            mark = len(self.follower.lines)
            reply = self.a.request("18", "id=" + str(b_server_id)) or {}
            self.check(reply.get("succeeded") is True, "deleting B: %s" % reply)
            wait("B to leave A's host list", lambda: not any(h.get("uuid") == self.b_uuid for h in self.a.hosts()), 15)
            self.check(self.wait_message(mark, lambda m: m.get("command") == 6, 10),
                       "the deletion's host-list change was not broadcast")
            self.a.request("--no-reply", "7")
            self.check(self.follower.wait_for(lambda l: (message_of(l, 2) or {}).get("registrarState") == 0, 15),
                       "A's sign-out was not broadcast")
            self.summary["road_seconds"] = round(time.monotonic() - road_started, 1)
            self.follower.stop(2)
            for service in (sshd, http, self.avahi_a, self.avahi_b):
                service.stop()

    def ssh(self, port, sshd, when):
        result = subprocess.run(self.host_a.command(sshd.client_argv(port)), capture_output=True, text=True,
                                timeout=90)
        self.check(result.returncode == 0, "ssh %s: status %d %s" % (when, result.returncode, result.stderr.strip()))

    def host_list_changes(self, internet, cert, first_ports, sshd):
        """C's status flips HOST_LIST_CHANGES times; each change is a host list that A reconciles
        and announces, and each announcement republishes B's services on fresh ports."""
        session = AccountSession(internet, cert, EMAIL, PASSWORD, self.workdir)

        def change(status):
            session.register_host(C_UUID, C_NAME, status, "_echo._tcp")
            wanted = 1 if status == "available" else 0
            wait("A to list C as %s" % status, lambda: any(
                h.get("uuid") == C_UUID and h.get("status") == wanted for h in self.a.hosts()), 15, step=0.1)

        change("available")
        after_first = self.wait_published("B's proxies after the first change")
        baseline = len(self.daemon_ports())
        fds_before = len(os.listdir("/proc/%d/fd" % self.a.proc.pid))
        started = time.monotonic()
        for i in range(HOST_LIST_CHANGES):
            change("unavailable" if i % 2 == 0 else "available")
        ports = self.wait_published("B's proxies after %d changes" % HOST_LIST_CHANGES)
        count = wait("A's listening sockets to settle", lambda: (lambda n: n if n == baseline else None)(
            len(self.daemon_ports())), 10)
        self.summary["host_list_changes"] = {"count": HOST_LIST_CHANGES, "seconds": round(time.monotonic() - started, 1),
                                             "listening_after_first": baseline, "listening_after_last": count,
                                             "a_descriptors": [fds_before, len(os.listdir("/proc/%d/fd" % self.a.proc.pid))]}
        self.check(ports["_ssh._tcp"] not in (first_ports["_ssh._tcp"], after_first["_ssh._tcp"]),
                   "the changes did not republish B's ssh on a fresh port")
        self.check_loopback_only("after the host-list changes")
        self.ssh(ports["_ssh._tcp"], sshd, "after the host-list changes")


def main():
    skip_unless_runnable(NAME)
    tool = missing_tool() or next((t for t in ("/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen")
                                   if not os.access(t, os.X_OK)), None)
    if tool:
        print(json.dumps({"scenario": NAME, "result": "skipped", "details": "missing " + tool}))
        return 4
    workdir = tempfile.mkdtemp(prefix="kl-e2e-")
    summary = {"scenario": NAME}
    problems = []
    road = Road(workdir, problems, summary)
    try:
        road.run()
    except (RuntimeError, subprocess.SubprocessError) as error:
        problems.append(str(error))
    for daemon in (getattr(road, "a", None), getattr(road, "b", None)):
        if problems and daemon:
            sys.stderr.write("--- last lines of %s ---\n" % daemon.log)
            sys.stderr.writelines(daemon.log_tail(60))
    details = "road %ss; B's proxies gone %ss after 30, %ss after B's sign-out, %ss after B was killed; " \
              "%d host-list changes kept %s listening sockets" % (
                  summary.get("road_seconds"), summary.get("withdrawn_after_disconnect_s"),
                  summary.get("withdrawn_after_sign_out_s"), summary.get("withdrawn_after_kill_s"), HOST_LIST_CHANGES,
                  summary.get("host_list_changes", {}).get("listening_after_last"))
    report_and_exit(summary, problems, [], workdir, details)


if __name__ == "__main__":
    sys.exit(main())
