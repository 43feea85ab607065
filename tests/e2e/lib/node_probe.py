"""Looks into a running tunnel node from outside: its process id, open descriptors and threads."""

import os
import signal


def node_pid(node):
    """The tunnel node's own process: the child of the `timeout` that `ip netns exec` became."""
    try:
        with open("/proc/%d/task/%d/children" % (node.proc.pid, node.proc.pid)) as f:
            children = f.read().split()
        return int(children[0]) if children else None
    except OSError:
        return None


def counts(node):
    """{"fds": open descriptors, "threads": threads} of the node, or None when it is gone."""
    pid = node_pid(node)
    if pid is None:
        return None
    try:
        return {"fds": len(os.listdir("/proc/%d/fd" % pid)), "threads": len(os.listdir("/proc/%d/task" % pid))}
    except OSError:
        return None


def descriptor_kinds(node):
    """{kind: count} of the node's open descriptors (socket, anon_inode:[eventfd], pipe, ...)."""
    pid = node_pid(node)
    kinds = {}
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            kind = target.split(":[")[0] if target.startswith(("socket", "pipe")) else target
            kinds[kind] = kinds.get(kind, 0) + 1
    except (OSError, TypeError):
        pass
    return kinds


def signal_node(node, signum):
    pid = node_pid(node)
    if pid is not None:
        os.kill(pid, signum)
    return pid is not None


def freeze(node):
    return signal_node(node, signal.SIGSTOP)


def thaw(node):
    return signal_node(node, signal.SIGCONT)
