"""DNS-SD inside one host namespace: a dbus-daemon with a private system-bus configuration (its
socket in the scenario's work folder) and an avahi-daemon on that bus, whose /run and static
service folder are private tmpfs mounts, so two hosts on one machine each have their own and
nothing of the machine's avahi is touched. Programs of the host reach the bus through
DBUS_SYSTEM_BUS_ADDRESS (see env())."""

import os
import subprocess
import time

TOOLS = ("/usr/sbin/avahi-daemon", "/usr/bin/dbus-daemon", "/usr/bin/unshare", "/usr/bin/avahi-browse")

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>
"""

AVAHI_CONFIG = """[server]
host-name=%s
use-ipv4=yes
use-ipv6=yes
enable-dbus=yes
ratelimit-burst=1000
[publish]
publish-workstation=no
publish-hinfo=no
"""


def missing_tool():
    return next((tool for tool in TOOLS if not os.access(tool, os.X_OK)), None)


def _unescaped(text):
    """avahi-browse writes a name's special bytes as "\\DDD" (decimal)."""
    out = bytearray()
    raw = text.encode()
    i = 0
    while i < len(raw):
        if raw[i:i + 1] == b"\\" and raw[i + 1:i + 4].isdigit() and len(raw[i + 1:i + 4]) == 3:
            out.append(int(raw[i + 1:i + 4]))
            i += 4
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8", "replace")


class HostAvahi:
    def __init__(self, ns, workdir, host_name):
        self.ns = ns
        self.dir = os.path.join(workdir, "avahi-" + host_name)
        os.makedirs(self.dir)
        self.bus = os.path.join(self.dir, "bus")
        with open(os.path.join(self.dir, "bus.conf"), "w") as f:
            f.write(BUS_CONFIG % self.bus)
        with open(os.path.join(self.dir, "avahi.conf"), "w") as f:
            f.write(AVAHI_CONFIG % host_name)
        log = open(os.path.join(self.dir, "daemons.log"), "w")
        self.dbus = subprocess.Popen(ns.command(["/usr/bin/dbus-daemon", "--nofork", "--nopidfile",
                                                 "--config-file=" + os.path.join(self.dir, "bus.conf")]),
                                     stdout=log, stderr=log)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.bus):
            if time.monotonic() > deadline:
                raise RuntimeError("dbus-daemon did not start in " + ns.name)
            time.sleep(0.05)
        self.log = log
        self.start_avahi()

    def start_avahi(self):
        script = ("mount -t tmpfs tmpfs /run && "
                  "{ [ ! -d /etc/avahi/services ] || mount -t tmpfs tmpfs /etc/avahi/services; } && "
                  "exec /usr/sbin/avahi-daemon --no-drop-root --no-chroot --no-rlimits -f " +
                  os.path.join(self.dir, "avahi.conf"))
        self.avahi = subprocess.Popen(self.ns.command(["env", "DBUS_SYSTEM_BUS_ADDRESS=" + self.address(),
                                                       "/usr/bin/unshare", "--mount", "--propagation", "private",
                                                       "/bin/sh", "-c", script]),
                                      stdout=self.log, stderr=self.log)

    def stop_avahi(self):
        self.avahi.terminate()
        self.avahi.wait(10)

    def address(self):
        return "unix:path=" + self.bus

    def env(self):
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address()}

    def wait_ready(self, timeout=15):
        """True once avahi-daemon answers on the bus."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            result = subprocess.run(self.ns.command(["env", "DBUS_SYSTEM_BUS_ADDRESS=" + self.address(),
                                                     "avahi-browse", "-a", "-t", "-p"]), capture_output=True,
                                    text=True, timeout=15)
            if result.returncode == 0:
                return True
            time.sleep(0.2)
        return False

    def browse(self, service_type):
        """Resolved services of that type: dicts of interface, protocol, name, host, address, port."""
        result = subprocess.run(self.ns.command(["env", "DBUS_SYSTEM_BUS_ADDRESS=" + self.address(),
                                                 "timeout", "10", "avahi-browse", "-k", "-p", "-t", "-r",
                                                 service_type]), capture_output=True, text=True, timeout=20)
        found = []
        for line in result.stdout.splitlines():
            fields = line.split(";")
            if fields[0] != "=" or len(fields) < 9:
                continue
            found.append({"interface": fields[1], "protocol": fields[2], "name": _unescaped(fields[3]),
                          "type": fields[4], "host": fields[6], "address": fields[7], "port": int(fields[8])})
        return found

    def stop(self):
        for proc in (self.avahi, self.dbus):
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
