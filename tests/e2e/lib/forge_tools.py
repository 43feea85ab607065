#!/usr/bin/python3
"""Hostile datagrams from a host outside both NATs, printed as one JSON line when done.

  forge_tools.py spray SRC_IP SRC_PORT DST_IP DST_PORT SECONDS
  forge_tools.py handshakes DST_IP:PORT SECONDS [--accept-first] [SRC_IP:PORT...]

For SECONDS, every 20 ms: the short ACCEPT, CONFIRM and HELLO words, ACCEPT and CONFIRM records
with guessed transaction ids and a forged UUID, and transport handshakes whose segment or flight
size would make an unguarded transport allocate without bound. Each goes out twice: with the
source address SRC_IP:SRC_PORT forged (a raw socket, so it passes a NAT that expects that peer)
and from this host's own address.

handshakes sends only the transport handshakes, in every request and socket type, from each forged
source and from this host; --accept-first opens each round with the short ACCEPT word."""

import json
import random
import socket
import struct
import sys
import time

FORGED_UUID = b"forged-uuid-0000"


def words():
    return [struct.pack("<H", w) for w in (0xFEED, 0xF00D, 0xCAFE, 0xBEEF)]


def records(rng):
    out = []
    for magic in (0xD00D, 0xDEED):
        body = bytearray(76)
        struct.pack_into("<HHq", body, 0, magic, 0, rng.randrange(1, 1 << 31))
        body[12:12 + len(FORGED_UUID)] = FORGED_UUID
        out.append(bytes(body))
    return out


def handshake(segment_size, flight_size, request_type=0xFFFFFFFF, socket_type=2):
    header = struct.pack(">IIII", 0x80000000, 0, 0, 0)
    body = struct.pack(">IIIIIIII", 4, socket_type, 12345, segment_size, flight_size, request_type, 777, 0) + bytes(16)
    return header + body


HOSTILE_SIZES = [(0xFFFFFFFF, 25600), (0, 25600), (28, 25600), (44, 25600), (1500, 0xFFFFFFFF), (1500, 0x7FFFFFFF),
                 (1500, 0)]


def hostile_handshakes():
    return [handshake(s, f) for s, f in HOSTILE_SIZES]


def every_hostile_handshake():
    """The hostile sizes in each handshake the transport answers differently: a connection request,
    a rendezvous request and a response, for stream and message sockets."""
    return [handshake(s, f, request_type, socket_type) for s, f in HOSTILE_SIZES
            for request_type in (1, 0, 0xFFFFFFFF) for socket_type in (1, 2)]


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def spoofed(src_ip, src_port, dst_ip, dst_port, payload):
    udp_length = 8 + len(payload)
    pseudo = socket.inet_aton(src_ip) + socket.inet_aton(dst_ip) + struct.pack("!BBH", 0, 17, udp_length)
    udp = struct.pack("!HHHH", src_port, dst_port, udp_length, 0) + payload
    udp = udp[:6] + struct.pack("!H", checksum(pseudo + udp) or 0xFFFF) + udp[8:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + udp_length, 0, 0, 64, 17, 0, socket.inet_aton(src_ip),
                     socket.inet_aton(dst_ip))
    return ip + udp


def spray(src_ip, src_port, dst_ip, dst_port, seconds):
    rng = random.Random(7)
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    plain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sent = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for payload in words() + records(rng) + hostile_handshakes():
            raw.sendto(spoofed(src_ip, src_port, dst_ip, dst_port, payload), (dst_ip, 0))
            plain.sendto(payload, (dst_ip, dst_port))
            sent += 2
        time.sleep(0.02)
    return {"ok": True, "sent": sent}


def handshakes(dst_ip, dst_port, seconds, accept_first, sources):
    """Every hostile handshake from each forged source and from this host, every 50 ms; with
    accept_first, each round opens with the short ACCEPT word from every one of them."""
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    plain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    payloads = ([words()[0]] if accept_first else []) + every_hostile_handshake()
    sent = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for payload in payloads:
            for src_ip, src_port in sources:
                raw.sendto(spoofed(src_ip, src_port, dst_ip, dst_port, payload), (dst_ip, 0))
            plain.sendto(payload, (dst_ip, dst_port))
            sent += len(sources) + 1
        time.sleep(0.05)
    return {"ok": True, "sent": sent}


def endpoint(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


def main():
    command = sys.argv[1]
    if command == "spray":
        src_ip, src_port, dst_ip, dst_port, seconds = sys.argv[2:7]
        result = spray(src_ip, int(src_port), dst_ip, int(dst_port), float(seconds))
    elif command == "handshakes":
        dst_ip, dst_port = endpoint(sys.argv[2])
        rest = sys.argv[4:]
        sources = [endpoint(a) for a in rest if a != "--accept-first"]
        result = handshakes(dst_ip, dst_port, float(sys.argv[3]), "--accept-first" in rest, sources)
    else:
        raise SystemExit("unknown command " + command)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
