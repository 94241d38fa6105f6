#!/usr/bin/env python3
"""A peer of the IP pipes' packet protocol, for the interop tests.

Written from the protocol description alone: every unit is an 8-byte
little-endian header (command; 16-bit checksum of the whole payload; 16-bit
sequence number; piece index in bits 0-6 with bit 7 marking the last piece;
piece size) and the piece. The checksum is the library CRC (reflected
CRC-32, polynomial 0xEDB88320, table entry 0 replaced by 0xAA, no final
inversion, initial value 0xFFFFFFFF, stopping as soon as the running value
becomes 0) folded as crc ^ (crc >> 16), low 16 bits.

Usage:
  kelIPPipePeer.py server tcp|udp FORMAT_HEX EXPECT_BYTES
  kelIPPipePeer.py client tcp|udp PORT FORMAT_HEX
  kelIPPipePeer.py refused tcp PORT
Everything is on 127.0.0.1. Lines on stdout report what was seen; the exit
code is 0 when the scenario went as the protocol says.
"""

import hashlib
import select
import socket
import struct
import sys
import time

HELLO, GOODBYE, REFUSED, FORMAT, DATA, TEXT, USER = 1, 2, 3, 16, 32, 34, 35
DATAGRAM = 1500


def make_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    table[0] = 0xAA
    return table


TABLE = make_table()


def crc(data):
    value = 0xFFFFFFFF
    for b in data:
        value = (value >> 8) ^ TABLE[(value ^ b) & 0xFF]
        if value == 0:
            break
    return value


def checksum(payload):
    c = crc(payload)
    return (c ^ (c >> 16)) & 0xFFFF


def pieces(cmd, seq, payload):
    """The units of one packet, in index order."""
    size = DATAGRAM - 8
    parts = [payload[i:i + size] for i in range(0, len(payload), size)] or [b""]
    s = checksum(payload)
    out = []
    for i, part in enumerate(parts):
        flag = 0x80 if i == len(parts) - 1 else 0
        out.append(struct.pack("<BHHBH", cmd, s, seq & 0xFFFF, (i & 0x7F) | flag, len(part)) + part)
    return out


def pattern(n, seed):
    return bytes(((i * 7 + seed * 13) & 0xFF) for i in range(n))


def say(*words):
    print(*words, flush=True)


class Joiner:
    """Joins pieces into packets; reports each whole packet whose checksum holds."""

    def __init__(self):
        self.sets = {}
        self.bad = 0

    def piece(self, unit):
        cmd, s, seq, idx, size = struct.unpack("<BHHBH", unit[:8])
        body = unit[8:8 + size]
        entry = self.sets.setdefault(seq, {"pieces": {}, "last": None, "cmd": cmd, "sum": s})
        entry["pieces"][idx & 0x7F] = body
        if idx & 0x80:
            entry["last"] = idx & 0x7F
        last = entry["last"]
        if last is None or sorted(entry["pieces"]) != list(range(last + 1)):
            return None
        del self.sets[seq]
        payload = b"".join(entry["pieces"][i] for i in range(last + 1))
        if checksum(payload) != entry["sum"]:
            self.bad += 1
            say("BADSUM", seq)
            return None
        return cmd, seq, payload


class Link:
    """One TCP connection or one UDP party, cut into units."""

    def __init__(self, sock, udp, peer=None):
        self.sock, self.udp, self.peer = sock, udp, peer
        self.buf = b""
        self.joiner = Joiner()

    def send(self, data):
        if self.udp:
            self.sock.sendto(data, self.peer)
        else:
            self.sock.sendall(data)

    def units(self, timeout):
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return []
        if self.udp:
            data, addr = self.sock.recvfrom(65536)
            self.peer = self.peer or addr
            return [data]
        data = self.sock.recv(65536)
        if not data:
            raise EOFError
        self.buf += data
        out = []
        while len(self.buf) >= 8:
            size = struct.unpack("<H", self.buf[6:8])[0]
            if len(self.buf) < 8 + size:
                break
            out.append(self.buf[:8 + size])
            self.buf = self.buf[8 + size:]
        return out

    def packets(self, timeout):
        out = []
        for unit in self.units(timeout):
            got = self.joiner.piece(unit)
            if got:
                out.append(got)
        return out


def open_socket(proto):
    if proto == "tcp":
        return socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    return socket.socket(socket.AF_INET, socket.SOCK_DGRAM)


def serve(proto, format_hex, expect):
    udp = proto == "udp"
    sock = open_socket(proto)
    sock.bind(("127.0.0.1", 0))
    if not udp:
        sock.listen(1)
    say("PORT", sock.getsockname()[1])
    if udp:
        link = Link(sock, True)
    else:
        sock.settimeout(20)
        conn, _ = sock.accept()
        link = Link(conn, False)
    first = []
    deadline = time.time() + 20
    while not first and time.time() < deadline:
        first = link.units(1)
    if not first:
        return 1
    say("HELLO-BYTES", first[0].hex())
    if first[0] != bytes.fromhex("0100000100800000"):
        return 1
    for unit in pieces(HELLO, 1, b"") + pieces(FORMAT, 2, bytes.fromhex(format_hex)):
        link.send(unit)
    data = b""
    answered = False
    while time.time() < deadline:
        for cmd, seq, payload in link.packets(0.5):
            say("PKT", cmd, seq, len(payload))
            if cmd == FORMAT:
                say("FORMAT", payload.hex())
            elif cmd == DATA:
                data += payload
            elif cmd == GOODBYE:
                say("GOODBYE", seq)
                say("DATA", len(data), hashlib.sha256(data).hexdigest())
                return 0
        if len(data) >= expect and not answered:
            answered = True
            units = pieces(DATA, 3, pattern(3000, 2))
            if udp:
                for unit in units:
                    link.send(unit)
            else:
                # A duplicate piece, and a unit cut across two writes.
                stream = units[0] + units[0] + b"".join(units[1:])
                link.send(stream[:5])
                time.sleep(0.05)
                link.send(stream[5:])
            say("SENT-DATA")
    return 1


def client(proto, port, format_hex):
    udp = proto == "udp"
    sock = open_socket(proto)
    sock.connect(("127.0.0.1", port))
    link = Link(sock, udp, ("127.0.0.1", port))
    link.send(pieces(HELLO, 1, b"")[0])
    seen = []
    deadline = time.time() + 20
    while len(seen) < 2 and time.time() < deadline:
        seen += link.packets(0.5)
    if [p[:2] for p in seen[:2]] != [(HELLO, 1), (FORMAT, 2)]:
        say("HANDSHAKE", seen)
        return 1
    say("FORMAT", seen[1][2].hex())
    link.send(pieces(FORMAT, 2, bytes.fromhex(format_hex))[0])
    units = pieces(DATA, 3, pattern(5000, 1))
    if udp:
        stream = units
    else:
        # Pieces out of order and a duplicate: the set is still whole once.
        stream = [units[1], units[0], units[2], units[2], units[3]]
    for unit in stream + pieces(DATA, 4, b"tail"):
        link.send(unit)
    data = b""
    while len(data) < 3000 and time.time() < deadline:
        for cmd, seq, payload in link.packets(0.5):
            if cmd == DATA:
                data += payload
    say("DATA", len(data), hashlib.sha256(data).hexdigest())
    link.send(pieces(GOODBYE, 5, b"")[0])
    return 0 if len(data) == 3000 and link.joiner.bad == 0 else 1


def refused(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=20)
    sock.sendall(pieces(HELLO, 1, b"")[0])
    got = b""
    while len(got) < 8:
        chunk = sock.recv(64)
        if not chunk:
            break
        got += chunk
    say("ANSWER", got.hex())
    return 0 if got == bytes.fromhex("0300000100800000") else 1


def main(argv):
    role = argv[1]
    if role == "server":
        return serve(argv[2], argv[3], int(argv[4]))
    if role == "client":
        return client(argv[2], int(argv[3]), argv[4])
    if role == "refused":
        return refused(int(argv[3]))
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
