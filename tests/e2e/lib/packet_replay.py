#!/usr/bin/python3
"""Captures the datagrams two public addresses exchange on a link of the path and replays copies of
them on command, with the peers' own addresses: run in the namespace the link's end lies in. One
JSON line per event on stdout; commands on stdin, one a line:

  packet_replay.py IFACE ADDRESS_A ADDRESS_B

  replay SECONDS  sends every datagram captured so far, in capture order, each once as it was (to
                  its own destination, from its own source) and once reflected (back to its sender,
                  from the address it was sent to), pass after pass until SECONDS have gone by;
                  prints "replayed"
  (end of input)  stops

Copies leave through a raw socket with their captured IP and UDP headers: reflecting a datagram
swaps both addresses and both ports, which leaves both checksums valid."""
import json
import socket
import struct
import sys
import threading
import time

ETH_P_ALL, ETH_P_IP = 0x0003, 0x0800


def emit(event, **fields):
    print(json.dumps(dict(event=event, **fields)), flush=True)


class Capture:
    def __init__(self, iface, a, b):
        self.pair = {socket.inet_aton(a), socket.inet_aton(b)}
        # Every protocol: on a bridge's port, a tap for IPv4 alone sees nothing (the bridge takes
        # the frames first), so the protocol is checked here.
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
        self.sock.bind((iface, ETH_P_ALL))
        self.sock.settimeout(0.2)
        self.packets = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                packet, address = self.sock.recvfrom(65535)
            except socket.timeout:
                continue
            if address[1] != ETH_P_IP or len(packet) < 28 or packet[9] != socket.IPPROTO_UDP:
                continue
            if {packet[12:16], packet[16:20]} != self.pair:
                continue
            with self.lock:
                self.packets.append(packet)

    def snapshot(self):
        with self.lock:
            return list(self.packets)

    def stop(self):
        self.running = False
        self.thread.join()


def reflected(packet):
    header = (packet[0] & 0x0F) * 4
    source, destination = packet[12:16], packet[16:20]
    sport, dport = struct.unpack("!HH", packet[header:header + 4])
    return (packet[:12] + destination + source + packet[20:header] + struct.pack("!HH", dport, sport)
            + packet[header + 4:])


def replay(packets, seconds):
    """(passes, datagrams sent)"""
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    copies = [copy for packet in packets for copy in (packet, reflected(packet))]
    passes = sent = 0
    deadline = time.monotonic() + seconds
    while copies and time.monotonic() < deadline:
        for copy in copies:
            raw.sendto(copy, (socket.inet_ntoa(copy[16:20]), 0))
        passes += 1
        sent += len(copies)
    return passes, sent


def main():
    iface, a, b = sys.argv[1:4]
    capture = Capture(iface, a, b)
    emit("capturing", iface=iface)
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["replay"]:
            packets = capture.snapshot()
            control = sum(1 for p in packets if len(p) > 28 + 4 and p[(p[0] & 0x0F) * 4 + 8] & 0x80)
            passes, sent = replay(packets, float(words[1]))
            emit("replayed", captured=len(packets), control=control, passes=passes, sent=sent)
    capture.stop()
    emit("stopped", captured=len(capture.packets))


if __name__ == "__main__":
    main()
