#!/usr/bin/python3
"""Small real clients and servers for the forwarding scenarios, run inside a namespace. Each
prints one JSON line.

  forward_tools.py echo-server PORT                 echoes every connection until its end
  forward_tools.py echo PORT BYTES SEED [MARKER]    sends random bytes (MARKER repeated first),
                                                    reads the echo; SHA-256 of both ways
  forward_tools.py parallel PORT COUNT BYTES        COUNT echo clients at once
  forward_tools.py expect-closed PORT               connects; true when the far end closes it
  forward_tools.py sniff SECONDS MARKER             captures every interface of the namespace
  forward_tools.py fetch URL SHA256                 an HTTP download and its checksum"""
import contextlib
import hashlib
import json
import random
import socket
import sys
import threading
import time
import urllib.request


def echo_server(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)
    print(json.dumps({"event": "listening", "port": port}), flush=True)

    def serve(conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


def echo_once(port, size, seed, marker=b""):
    payload = marker * 64 + random.Random(seed).randbytes(size)
    sock = socket.create_connection(("127.0.0.1", port), timeout=60)
    received = bytearray()
    cut = None  # how a connection ended early: "closed", or the error that ended it

    def writer():
        try:
            sock.sendall(payload)
        except OSError:
            pass  # the reader sees the same end

    thread = threading.Thread(target=writer)
    thread.start()
    while len(received) < len(payload):
        try:
            chunk = sock.recv(1 << 20)
        except OSError as error:
            cut = type(error).__name__
            break
        if not chunk:
            cut = "closed"
            break
        received.extend(chunk)
    if cut:
        with contextlib.suppress(OSError):
            sock.shutdown(socket.SHUT_RDWR)  # wakes a writer blocked on a full buffer
    thread.join()
    sock.close()
    sent, back = hashlib.sha256(payload).hexdigest(), hashlib.sha256(bytes(received)).hexdigest()
    # A cut-short echo is still checked: what came back must be the start of what went out.
    return {"ok": sent == back, "bytes": len(payload), "sha_sent": sent, "sha_back": back,
            "bytes_back": len(received), "prefix_intact": payload.startswith(received), "cut": cut}


def parallel(port, count, size):
    results = [None] * count

    def run(i):
        try:
            results[i] = echo_once(port, size, 1000 + i)["ok"]
        except OSError:
            results[i] = False

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {"ok": all(results), "results": results}


def expect_closed(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=30)
    try:
        closed = sock.recv(1) == b""
    except ConnectionResetError:
        closed = True
    except socket.timeout:
        closed = False
    sock.close()
    return {"ok": closed}


def sniff(seconds, marker):
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.ntohs(3))  # every protocol
    raw.settimeout(0.2)
    print(json.dumps({"event": "sniffing"}), flush=True)
    deadline = time.monotonic() + seconds
    packets = total = 0
    found = False
    while time.monotonic() < deadline:
        try:
            frame = raw.recv(65535)
        except socket.timeout:
            continue
        packets += 1
        total += len(frame)
        found = found or marker in frame
    return {"ok": not found, "packets": packets, "bytes": total, "marker_seen": found}


def fetch(url, digest):
    with urllib.request.urlopen(url, timeout=60) as reply:
        body = reply.read()
    got = hashlib.sha256(body).hexdigest()
    return {"ok": got == digest, "bytes": len(body), "sha": got}


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "echo-server":
        echo_server(int(args[0]))
        return
    if command == "echo":
        result = echo_once(int(args[0]), int(args[1]), int(args[2]), args[3].encode() if len(args) > 3 else b"")
    elif command == "parallel":
        result = parallel(int(args[0]), int(args[1]), int(args[2]))
    elif command == "expect-closed":
        result = expect_closed(int(args[0]))
    elif command == "sniff":
        result = sniff(float(args[0]), args[1].encode())
    elif command == "fetch":
        result = fetch(args[0], args[1])
    else:
        raise SystemExit("unknown command " + command)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
