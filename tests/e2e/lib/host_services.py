"""Real services on a host namespace for the remote-services road: an OpenSSH server on a private
configuration (key authentication only, root with a key made for the run) and a Python HTTP
server with a file of random bytes; and the ssh client that reaches such a server."""

import hashlib
import os
import subprocess
import time

from processes import PYTHON

SSH_USER = "root"

SSHD_CONFIG = """Port 22
ListenAddress 127.0.0.1
ListenAddress ::1
HostKey {dir}/host_key
PidFile {dir}/sshd.pid
AuthorizedKeysFile {dir}/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
"""


def _keygen(path):
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path], check=True, capture_output=True)


def ssh_argv(key, host, port, command="true", user=SSH_USER):
    """An ssh client that never asks: key authentication only, no host-key checks or configuration."""
    return ["ssh", "-F", "/dev/null", "-i", key, "-o", "StrictHostKeyChecking=no",
            "-o", "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "ConnectTimeout=20",
            "-o", "LogLevel=ERROR", "-p", str(port), "%s@%s" % (user, host) if user else host, command]


class Sshd:
    """sshd -D in the namespace, with /run private (its privilege separation folder lives there)."""

    def __init__(self, ns, workdir):
        self.dir = os.path.join(workdir, "sshd")
        os.makedirs(self.dir)
        _keygen(os.path.join(self.dir, "host_key"))
        self.client_key = os.path.join(self.dir, "client_key")
        _keygen(self.client_key)
        with open(self.client_key + ".pub") as public, open(os.path.join(self.dir, "authorized_keys"), "w") as out:
            out.write(public.read())
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write(SSHD_CONFIG.format(dir=self.dir))
        script = "mount -t tmpfs tmpfs /run && mkdir -m 0755 /run/sshd && exec /usr/sbin/sshd -D -e -f " + config
        self.log = os.path.join(self.dir, "sshd.log")
        with open(self.log, "w") as log:
            self.proc = subprocess.Popen(ns.command(["/usr/bin/unshare", "--mount", "--propagation", "private",
                                                     "/bin/sh", "-c", script]), stdout=log, stderr=log)

    def client_argv(self, port, command="true", user=SSH_USER):
        return ssh_argv(self.client_key, "127.0.0.1", port, command, user)

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


class HttpFileServer:
    """python3 -m http.server on every address of the namespace (IPv6 with IPv4 mapped), serving
    one file of random bytes; its SHA-256 in .digest."""

    def __init__(self, ns, workdir, port, size):
        self.dir = os.path.join(workdir, "http")
        os.makedirs(self.dir)
        self.name = "blob.bin"
        data = os.urandom(size)
        self.digest = hashlib.sha256(data).hexdigest()
        with open(os.path.join(self.dir, self.name), "wb") as f:
            f.write(data)
        self.port = port
        log = open(os.path.join(self.dir, "..", "http.log"), "w")
        self.proc = subprocess.Popen(ns.command([PYTHON, "-m", "http.server", "--bind", "::", "--directory", self.dir,
                                                 str(port)]), stdout=log, stderr=log)

    def wait_ready(self, ns, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if ns.run("sh", "-c", "ss -ltnH 'sport = :%d' | grep -q ." % self.port, check=False).returncode == 0:
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)


def listening_tcp(ns):
    """(address, port) of every listening TCP socket in the namespace, from ss -ltnH."""
    sockets = []
    for line in ns.run("ss", "-ltnH").stdout.splitlines():
        fields = line.split()
        if len(fields) < 4:
            continue
        address, _, port = fields[3].rpartition(":")
        sockets.append((address.strip("[]"), int(port)))
    return sockets


def is_loopback(address):
    return address.startswith("127.") or address in ("::1", "::ffff:127.0.0.1")
