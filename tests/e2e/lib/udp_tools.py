#!/usr/bin/python3
"""A UDP sender and receiver for the datagram-forward scenario, run inside a namespace. Each prints
JSON lines; the last one is the result.

  udp_tools.py receive PORT EXPECTED WAIT MARKER   counts datagrams on 127.0.0.1:PORT until
                                                  EXPECTED have come, WAIT seconds pass or 3 s
                                                  pass without one after the first; checks each
                                                  one's content and their order
  udp_tools.py send PORT COUNT MARKER             sends COUNT numbered datagrams to 127.0.0.1:PORT

Datagram i is its number (4 bytes, big-endian), the marker, then a pattern of i's own; the sizes
vary from a few bytes to 30000."""
import hashlib
import json
import socket
import sys
import time


def datagram(i, marker):
    size = 30000 if i % 50 == 7 else 16 + (i * 197) % 1400
    head = i.to_bytes(4, "big") + marker
    pattern = hashlib.sha256(i.to_bytes(4, "big")).digest() * (size // 32 + 1)
    return (head + pattern)[:max(size, len(head))]


def receive(port, expected, wait, marker):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.bind(("127.0.0.1", port))
    print(json.dumps({"event": "listening", "port": port}), flush=True)
    deadline = time.monotonic() + wait
    numbers, corrupt, last = [], 0, None
    while len(numbers) + corrupt < expected:
        limit = deadline if last is None else min(deadline, last + 3.0)
        if time.monotonic() >= limit:
            break
        sock.settimeout(max(0.01, limit - time.monotonic()))
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
        last = time.monotonic()
        i = int.from_bytes(data[:4], "big") if len(data) >= 4 else -1
        if 0 <= i < expected and data == datagram(i, marker):
            numbers.append(i)
        else:
            corrupt += 1
    in_order = all(a < b for a, b in zip(numbers, numbers[1:]))
    return {"ok": True, "received": len(numbers), "corrupt": corrupt, "in_order": in_order,
            "missing": sorted(set(range(expected)) - set(numbers))[:20]}


def send(port, count, marker):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for i in range(count):
        sock.sendto(datagram(i, marker), ("127.0.0.1", port))
        time.sleep(0.003)
    return {"ok": True, "sent": count}


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "receive":
        result = receive(int(args[0]), int(args[1]), float(args[2]), args[3].encode())
    elif command == "send":
        result = send(int(args[0]), int(args[1]), args[2].encode())
    else:
        result = {"ok": False, "error": "unknown command " + command}
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
