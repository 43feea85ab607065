#!/usr/bin/python3
"""Stand-in rendezvous server for the tunnel tests.

Speaks the sealed UDP protocol of the tunnel peers, written from the wire description alone (it
shares no code with the C++ side, so a byte-order slip cannot hide on both ends):

  request: u64 assigned id | u64 nonce | AES-CCM(plaintext) | tag(8)
  reply:   u16 0xA402      | u64 nonce | AES-CCM(plaintext) | tag(8)

Integers are little-endian, IPv4 addresses in network order; the CCM nonce is the 8 nonce bytes
of the datagram, the tag 8 bytes, no associated data.

Modes:
  serve          answer pings with pongs naming the sender's address, connect requests with
                 invitations to both peers (or error 1 for an unknown target); one JSON line per
                 event on stdout. Commands on stdin: "mode normal|silent|bad-tag|replay", "quit".
  open-request   print the opened request (hex datagram) as JSON
  seal-reply     print a sealed reply of the given plaintext (hex) as JSON
"""

import argparse
import json
import select
import socket
import struct
import sys

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESCCM

REPLY_MAGIC = 0xA402
TAG = 8
PONG, INVITATION, ERROR = 0, 1, 2
PING_REQUEST, CONNECT_REQUEST = 0, 2
UUID_FIELD = 48


def emit(event, **fields):
    fields = {"event": event, **fields}
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


def ccm(key):
    return AESCCM(key, tag_length=TAG)


def open_request(key, datagram):
    """(assigned id, nonce, plaintext); raises ValueError for a short or forged request."""
    if len(datagram) < 16 + TAG:
        raise ValueError("short request (%d bytes)" % len(datagram))
    assigned_id, nonce = struct.unpack_from("<QQ", datagram, 0)
    try:
        plaintext = ccm(key).decrypt(datagram[8:16], datagram[16:], None)
    except InvalidTag:
        raise ValueError("bad tag")
    return assigned_id, nonce, plaintext


def seal_reply(key, nonce, plaintext):
    header = struct.pack("<HQ", REPLY_MAGIC, nonce)
    return header + ccm(key).encrypt(header[2:10], plaintext, None)


def read_entries(data, offset, count):
    entries = []
    for i in range(count):
        at = offset + 6 * i
        if at + 6 > len(data):
            break
        entries.append((socket.inet_ntoa(data[at:at + 4]), struct.unpack_from("<H", data, at + 4)[0]))
    return entries


def parse_request(plaintext):
    if len(plaintext) < 5:
        raise ValueError("short plaintext (%d bytes)" % len(plaintext))
    kind = struct.unpack_from("<H", plaintext, 0)[0]
    if kind == PING_REQUEST:
        if len(plaintext) < 15:
            raise ValueError("short ping (%d bytes)" % len(plaintext))
        counter, count = struct.unpack_from("<QH", plaintext, 5)
        return {"type": "ping", "counter": counter, "addresses": read_entries(plaintext, 15, count),
                "length": len(plaintext)}
    if kind == CONNECT_REQUEST:
        if len(plaintext) < 88:
            raise ValueError("short connect request (%d bytes)" % len(plaintext))
        peer_id, transaction = struct.unpack_from("<QQ", plaintext, 5)
        uuid = plaintext[23:23 + UUID_FIELD].split(b"\0", 1)[0].decode("utf-8", "replace")
        return {"type": "connect", "peer": peer_id, "transaction": transaction, "uuid": uuid,
                "length": len(plaintext)}
    raise ValueError("unknown request type %d" % kind)


def pong_plaintext(address, port):
    body = bytearray(20)
    struct.pack_into("<H", body, 0, PONG)
    body[13] = 1
    body[14:18] = socket.inet_aton(address)
    struct.pack_into("<H", body, 18, port)
    return bytes(body)


def invitation_plaintext(transaction, address, port, uuid, alternates):
    body = bytearray(87 + 6 * len(alternates))
    struct.pack_into("<H", body, 0, INVITATION)
    struct.pack_into("<Q", body, 5, transaction)
    body[13] = 1
    body[14:18] = socket.inet_aton(address)
    struct.pack_into("<H", body, 35, port)
    struct.pack_into("<H", body, 37, len(alternates))
    text = uuid.encode("utf-8")[:UUID_FIELD - 1]
    body[39:39 + len(text)] = text
    for j, (alt_address, alt_port) in enumerate(alternates):
        body[87 + 6 * j:91 + 6 * j] = socket.inet_aton(alt_address)
        struct.pack_into("<H", body, 91 + 6 * j, alt_port)
    return bytes(body)


def error_plaintext(code):
    return struct.pack("<H3xH", ERROR, code)


class Server:
    def __init__(self, sock, key, mode):
        self.sock = sock
        self.key = key
        self.mode = mode
        self.nonce = 0          # reply nonces strictly increase
        self.hosts = {}         # assigned id -> {"address", "port", "alternates", "uuid"}

    def send(self, plaintext, to, what, **fields):
        if self.mode == "silent":
            emit("suppressed", reply=what, to="%s:%d" % to)
            return
        self.nonce += 1
        datagram = bytearray(seal_reply(self.key, self.nonce, plaintext))
        if self.mode == "bad-tag":
            datagram[-1] ^= 0x01
        self.sock.sendto(bytes(datagram), to)
        if self.mode == "replay":
            self.sock.sendto(bytes(datagram), to)  # the same nonce a second time
        emit(what, to="%s:%d" % to, nonce=self.nonce, mode=self.mode, **fields)

    def handle(self, datagram, sender):
        try:
            assigned_id, nonce, plaintext = open_request(self.key, datagram)
            request = parse_request(plaintext)
        except ValueError as refusal:
            emit("refused", reason=str(refusal), sender="%s:%d" % sender, length=len(datagram))
            return
        if request["type"] == "ping":
            host = self.hosts.setdefault(assigned_id, {"uuid": ""})
            host.update(address=sender[0], port=sender[1], alternates=request["addresses"])
            emit("ping", id=assigned_id, nonce=nonce, sender="%s:%d" % sender, counter=request["counter"],
                 addresses=["%s:%d" % entry for entry in request["addresses"]])
            self.send(pong_plaintext(sender[0], sender[1]), sender, "pong", id=assigned_id,
                      external="%s:%d" % sender)
            return
        emit("connect", id=assigned_id, nonce=nonce, peer=request["peer"], transaction=request["transaction"],
             uuid=request["uuid"])
        requester = self.hosts.setdefault(assigned_id, {"uuid": ""})
        requester.update(address=sender[0], port=sender[1], uuid=request["uuid"])
        requester.setdefault("alternates", [])
        target = self.hosts.get(request["peer"])
        if target is None or "address" not in target:
            self.send(error_plaintext(1), sender, "error", id=assigned_id, code=1)
            return
        # Each side learns the other's external address and alternates; the responder also learns
        # who asks, the requester the target's UUID when the server knows it.
        self.send(invitation_plaintext(request["transaction"], sender[0], sender[1], request["uuid"],
                                       requester["alternates"]),
                  (target["address"], target["port"]), "invitation", id=request["peer"],
                  transaction=request["transaction"], other="%s:%d" % sender)
        self.send(invitation_plaintext(request["transaction"], target["address"], target["port"],
                                       target.get("uuid", ""), target.get("alternates", [])),
                  sender, "invitation", id=assigned_id, transaction=request["transaction"],
                  other="%s:%d" % (target["address"], target["port"]))

    def command(self, line):
        words = line.split()
        if not words:
            return True
        if words[0] == "quit":
            return False
        if words[0] == "mode" and len(words) == 2 and words[1] in ("normal", "silent", "bad-tag", "replay"):
            self.mode = words[1]
            emit("mode", mode=self.mode)
        else:
            emit("unknown-command", line=line.strip())
        return True


def serve(args):
    host, _, port = args.bind.rpartition(":")
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((host, int(port)))
    server = Server(sock, bytes.fromhex(args.key), args.mode)
    emit("listening", host=host, port=sock.getsockname()[1], mode=args.mode)
    watched = [sock, sys.stdin]
    while True:
        ready, _, _ = select.select(watched, [], [])
        if sock in ready:
            datagram, sender = sock.recvfrom(65536)
            server.handle(datagram, sender)
        if sys.stdin in ready:
            line = sys.stdin.readline()
            if not line or not server.command(line):
                break


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("serve")
    run.add_argument("--bind", default="127.0.0.1:9300")
    run.add_argument("--key", required=True)
    run.add_argument("--mode", default="normal", choices=["normal", "silent", "bad-tag", "replay"])
    opener = commands.add_parser("open-request")
    opener.add_argument("--key", required=True)
    opener.add_argument("datagram")
    sealer = commands.add_parser("seal-reply")
    sealer.add_argument("--key", required=True)
    sealer.add_argument("--nonce", type=int, required=True)
    sealer.add_argument("plaintext")
    args = parser.parse_args()

    if args.command == "serve":
        serve(args)
    elif args.command == "open-request":
        try:
            assigned_id, nonce, plaintext = open_request(bytes.fromhex(args.key), bytes.fromhex(args.datagram))
            result = {"id": assigned_id, "nonce": nonce, "plaintext": plaintext.hex(), **parse_request(plaintext)}
        except ValueError as refusal:
            result = {"refused": str(refusal)}
        print(json.dumps(result))
    else:
        print(json.dumps({"datagram": seal_reply(bytes.fromhex(args.key), args.nonce,
                                                  bytes.fromhex(args.plaintext)).hex()}))


if __name__ == "__main__":
    main()
