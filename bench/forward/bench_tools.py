#!/usr/bin/python3
"""Clients and a server for the namespace benchmark, run inside a namespace; each client prints one
JSON line.

  bench_tools.py serve PORT                  on every connection, the first line says what to do:
                                             "echo", "sink" (count up to a 0 byte, answer the count)
                                             or "source SECONDS" (send for that long, then close)
  bench_tools.py up HOST PORT SECONDS        sends for SECONDS; Mbit/s the server counted
  bench_tools.py down HOST PORT SECONDS      receives what the server sends for SECONDS; Mbit/s
  bench_tools.py rtt HOST PORT COUNT SIZE    round trips of SIZE-byte messages; median and p99 ms
  bench_tools.py connect HOST PORT COUNT     new connection to its first echoed byte; median ms
  bench_tools.py parallel HOST PORT COUNT    COUNT such connections at once; ms until all are done
  bench_tools.py first HOST PORT SECONDS     retries until a byte is echoed; CLOCK_MONOTONIC then"""
import json
import socket
import statistics
import sys
import threading
import time

CHUNK = 1 << 20
END = b"\x00"  # the last byte of an upload; its data bytes are never 0


def serve(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", port))
    listener.listen(128)
    print(json.dumps({"event": "listening", "port": port}), flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


def handle(conn):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    with conn:
        try:
            pending = b""
            while b"\n" not in pending:
                data = conn.recv(4096)
                if not data:
                    return
                pending += data
            line, rest = pending.split(b"\n", 1)
            words = line.decode().split()
            if words[0] == "echo":
                if rest:
                    conn.sendall(rest)
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    conn.sendall(data)
            elif words[0] == "sink":
                # Counts until the end byte: a forward need not pass on a half-close.
                count = len(rest)
                done = rest.endswith(END)
                buffer = bytearray(CHUNK)
                while not done:
                    n = conn.recv_into(buffer)
                    if n == 0:
                        break
                    count += n
                    done = buffer[n - 1] == END[0]
                conn.sendall(str(count).encode())
            elif words[0] == "source":
                block = b"\xa5" * CHUNK
                deadline = time.monotonic() + float(words[1])
                while time.monotonic() < deadline:
                    conn.sendall(block)
        except OSError:
            pass


def connect(host, port, timeout=60):
    sock = socket.create_connection((host, port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def up(host, port, seconds):
    sock = connect(host, port)
    block = b"\x5a" * CHUNK
    started = time.monotonic()
    sock.sendall(b"sink\n")
    while time.monotonic() - started < seconds:
        sock.sendall(block)
    sock.sendall(END)
    reply = b""
    while True:
        data = sock.recv(64)
        if not data:
            break
        reply += data
    elapsed = time.monotonic() - started
    count = int(reply or b"0")
    return {"mbps": count * 8 / elapsed / 1e6, "bytes": count, "seconds": elapsed}


def down(host, port, seconds):
    sock = connect(host, port)
    buffer = bytearray(CHUNK)
    started = time.monotonic()
    sock.sendall(b"source %f\n" % seconds)
    count = 0
    while True:
        n = sock.recv_into(buffer)
        if n == 0:
            break
        count += n
    elapsed = time.monotonic() - started
    return {"mbps": count * 8 / elapsed / 1e6, "bytes": count, "seconds": elapsed}


def receive_exactly(sock, size):
    got = b""
    while len(got) < size:
        data = sock.recv(size - len(got))
        if not data:
            raise OSError("closed")
        got += data
    return got


def rtt(host, port, count, size):
    sock = connect(host, port)
    sock.sendall(b"echo\n")
    message = b"m" * size
    times = []
    for _ in range(count + 20):
        started = time.perf_counter()
        sock.sendall(message)
        receive_exactly(sock, size)
        times.append((time.perf_counter() - started) * 1000)
    times = sorted(times[20:])
    return {"median_ms": statistics.median(times), "p99_ms": times[int(len(times) * 0.99) - 1]}


def one_connection(host, port):
    started = time.perf_counter()
    sock = connect(host, port, timeout=30)
    sock.sendall(b"echo\nX")
    receive_exactly(sock, 1)
    elapsed = (time.perf_counter() - started) * 1000
    sock.close()
    return elapsed


def connections(host, port, count):
    times = [one_connection(host, port) for _ in range(count)]
    return {"median_ms": statistics.median(times), "max_ms": max(times)}


def parallel(host, port, count):
    ok = [False] * count

    def run(i):
        try:
            one_connection(host, port)
            ok[i] = True
        except OSError:
            pass

    started = time.perf_counter()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {"all_ms": (time.perf_counter() - started) * 1000, "ok": all(ok)}


def first(host, port, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            sock = connect(host, port, timeout=max(0.1, deadline - time.monotonic()))
            sock.sendall(b"echo\nX")
            receive_exactly(sock, 1)
            return {"ok": True, "at": time.monotonic()}
        except OSError:
            time.sleep(0.005)
    return {"ok": False}


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "serve":
        serve(int(args[0]))
        return
    host, port = args[0], int(args[1])
    if command == "up":
        result = up(host, port, float(args[2]))
    elif command == "down":
        result = down(host, port, float(args[2]))
    elif command == "rtt":
        result = rtt(host, port, int(args[2]), int(args[3]))
    elif command == "connect":
        result = connections(host, port, int(args[2]))
    elif command == "parallel":
        result = parallel(host, port, int(args[2]))
    elif command == "first":
        result = first(host, port, float(args[2]))
    else:
        raise SystemExit("unknown command " + command)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
