#!/usr/bin/python3
"""Stand-in for xdg-open, put first in a program's PATH (as "xdg-open", see install()). It appends
one JSON line per call to $KL_XDG_OPEN_RECORD: {"argv": [...]}, and for an ssh:// URL it really
opens it, as a terminal would, with a batch-mode ssh client (key $KL_XDG_OPEN_SSH_KEY) running
$KL_XDG_OPEN_SSH_COMMAND on the URL's user@host:port; the line then also holds "ssh": {"status",
"stdout", "stderr"}."""

import json
import os
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from host_services import ssh_argv  # noqa: E402


def install(folder, python="/usr/bin/python3"):
    """Writes folder/xdg-open, which runs this stand-in; the folder to put first in PATH."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "xdg-open")
    with open(path, "w") as f:
        f.write('#!/bin/sh\nexec %s %s "$@"\n' % (python, os.path.abspath(__file__)))
    os.chmod(path, 0o755)
    os.chmod(folder, 0o755)
    return folder


def read_record(path):
    """The calls recorded so far."""
    try:
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]
    except OSError:
        return []


def opened_by_ssh(url):
    parts = urllib.parse.urlsplit(url)
    argv = ssh_argv(os.environ["KL_XDG_OPEN_SSH_KEY"], parts.hostname, parts.port or 22,
                    os.environ.get("KL_XDG_OPEN_SSH_COMMAND", "true"), parts.username)
    try:
        result = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        return {"status": result.returncode, "stdout": result.stdout, "stderr": result.stderr}
    except subprocess.TimeoutExpired:
        return {"status": None, "stdout": "", "stderr": "ssh timed out"}


def main():
    entry = {"argv": sys.argv[1:]}
    if len(sys.argv) == 2 and sys.argv[1].startswith("ssh://") and os.environ.get("KL_XDG_OPEN_SSH_KEY"):
        entry["ssh"] = opened_by_ssh(sys.argv[1])
    with open(os.environ["KL_XDG_OPEN_RECORD"], "a") as record:
        record.write(json.dumps(entry) + "\n")
    return 0 if entry.get("ssh", {}).get("status", 0) == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
