"""A client of the control app's UI probe (portweaver-uitest, KL_UI_PROBE): one JSON request per
line, and look-ups in the widget trees it dumps (nodes carry class, objectName, accessibleName,
text, visible, enabled and children)."""

import json
import socket


def walk(node):
    yield node
    for child in node.get("children", []):
        yield from walk(child)


class UIProbe:
    def __init__(self, path, timeout=10):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def request(self, **fields):
        """The reply, whether it succeeded or not."""
        self.sock.sendall(json.dumps(fields).encode() + b"\n")
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the probe closed the connection")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def do(self, **fields):
        """The reply of a request that must succeed; RuntimeError naming it otherwise."""
        reply = self.request(**fields)
        if not reply.get("ok"):
            raise RuntimeError("probe %s: %s" % (fields, reply.get("error")))
        return reply

    def windows(self):
        return self.do(op="tree")["windows"]

    def window(self, object_name):
        return next((w for w in self.windows() if w.get("objectName") == object_name), None)

    def nodes(self, name, within=None):
        """Every node of that accessible name, in the given trees or in all windows."""
        roots = within if within is not None else self.windows()
        return [n for root in ([roots] if isinstance(roots, dict) else roots) for n in walk(root)
                if n.get("accessibleName") == name]

    def node(self, name, within=None):
        """The node as the probe's own look-up picks it: the first visible one, else the first."""
        found = self.nodes(name, within)
        return next((n for n in found if n.get("visible")), found[0] if found else None)

    def shown(self, name, within=None):
        node = self.node(name, within)
        return bool(node and node.get("visible"))

    def text(self, name, within=None):
        node = self.node(name, within)
        return node.get("text") if node else None
