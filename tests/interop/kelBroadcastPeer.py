#!/usr/bin/env python3
"""A broadcast stream peer written from the packet tables alone.

    kelBroadcastPeer.py listen PORT   prints one line per datagram received on
                                      127.255.255.255:PORT
    kelBroadcastPeer.py send PORT     sends to 127.255.255.255:PORT what the
                                      command lines on standard input say

Packets (one UDP datagram each, little-endian):
  byte 0      checksum: the library CRC-32 (reflected, polynomial 0xEDB88320,
              table entry 0 replaced by 0xAA, stopping as soon as the running
              value is 0, no final inversion, initial 0xFFFFFFFF) of the whole
              datagram with byte 0 as 0, its four bytes XORed together
  byte 1      bits 7-6: type
  type 0 (20 bytes): byte 1 bit 5 changed, bits 1-0 index; 2-3 tag;
              4-5 rate (low 16 bits); 6 bits; 7 channels; 8-11 the full rate
  type 1 (payload + 18 bytes): byte 1 bits 5-0 and byte 2 the payload
              length; byte 3 bit 0 channel, bit 1 first piece, bits 3-2 index,
              bits 7-4 sequence; payload from byte 4; 14 bytes after it
  type 2: 18 bytes; type 3: (bytes 2-3) + 18 bytes

Send commands:
  format TAG RATE BITS CHANNELS CHANGED INDEX [wide=0]
  data SEQ INDEX FIRST HEXPAYLOAD [channel=N] [cut=N]
  quit
Each send prints "sent N" (the datagram's size). Listen lines:
  format changed=C index=I tag=T rate16=R rate32=W bits=B channels=N hex=...
  data seq=S index=I first=F channel=C len=L sha256=...
  other type=T len=L
  bad size=N expected=E | bad checksum
"""

import hashlib
import socket
import sys

BROADCAST = "127.255.255.255"


def make_table():
    table = []
    for i in range(256):
        v = i
        for _ in range(8):
            v = (v >> 1) ^ 0xEDB88320 if v & 1 else v >> 1
        table.append(v)
    table[0] = 0x000000AA
    return table


TABLE = make_table()


def library_crc(data, value=0xFFFFFFFF):
    for b in data:
        if value == 0:
            break
        value = (value >> 8) ^ TABLE[(value ^ b) & 0xFF]
    return value


def checksum(datagram):
    crc = library_crc(b"\0" + bytes(datagram[1:]))
    return (crc ^ (crc >> 8) ^ (crc >> 16) ^ (crc >> 24)) & 0xFF


def seal(packet):
    packet[0] = checksum(packet)
    return bytes(packet)


def format_packet(tag, rate, bits, channels, changed, index, wide=True):
    p = bytearray(20)
    p[1] = (0x20 if changed else 0) | (index & 3)
    p[2:4] = (tag & 0xFFFF).to_bytes(2, "little")
    p[4:6] = (rate & 0xFFFF).to_bytes(2, "little")
    p[6] = bits & 0xFF
    p[7] = channels & 0xFF
    if wide:
        p[8:12] = (rate & 0xFFFFFFFF).to_bytes(4, "little")
    return seal(p)


def data_packet(seq, index, first, payload, channel=0):
    n = len(payload)
    p = bytearray(n + 18)
    p[1] = 0x40 | (n >> 8)
    p[2] = n & 0xFF
    p[3] = (channel & 1) | (2 if first else 0) | ((index & 3) << 2) | ((seq & 15) << 4)
    p[4:4 + n] = payload
    return seal(p)


def expected_size(d):
    kind = d[1] >> 6
    if kind == 0:
        return 20
    if kind == 1:
        return (((d[1] & 0x3F) << 8) | d[2]) + 18
    if kind == 2:
        return 18
    return (int.from_bytes(d[2:4], "little") + 18) if len(d) >= 4 else -1


def describe(d):
    if len(d) <= 2:
        return "short len=%d" % len(d)
    want = expected_size(d)
    if want != len(d):
        return "bad size=%d expected=%d" % (len(d), want)
    if checksum(d) != d[0]:
        return "bad checksum"
    kind = d[1] >> 6
    if kind == 0:
        return "format changed=%d index=%d tag=%d rate16=%d rate32=%d bits=%d channels=%d hex=%s" % (
            (d[1] >> 5) & 1, d[1] & 3, int.from_bytes(d[2:4], "little"), int.from_bytes(d[4:6], "little"),
            int.from_bytes(d[8:12], "little"), d[6], d[7], d.hex())
    if kind == 1:
        payload = d[4:len(d) - 14]
        return "data seq=%d index=%d first=%d channel=%d len=%d sha256=%s" % (
            d[3] >> 4, (d[3] >> 2) & 3, (d[3] >> 1) & 1, d[3] & 1, len(payload),
            hashlib.sha256(payload).hexdigest())
    return "other type=%d len=%d" % (kind, len(d))


def listen(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((BROADCAST, port))
    s.settimeout(30)
    print("ready", flush=True)
    try:
        while True:
            d, _ = s.recvfrom(70000)
            print(describe(d), flush=True)
    except socket.timeout:
        print("idle", flush=True)


def send(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("127.0.0.1", 0))
    print("ready", flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        opts = dict(w.split("=", 1) for w in words if "=" in w)
        args = [w for w in words if "=" not in w]
        if args[0] == "quit":
            break
        if args[0] == "format":
            tag, rate, bits, channels, changed, index = (int(a) for a in args[1:7])
            packet = format_packet(tag, rate, bits, channels, changed, index, opts.get("wide", "1") != "0")
        elif args[0] == "data":
            seq, index, first = (int(a) for a in args[1:4])
            packet = data_packet(seq, index, first, bytes.fromhex(args[4]), int(opts.get("channel", "0")))
        else:
            print("unknown %s" % args[0], flush=True)
            continue
        cut = int(opts.get("cut", "0"))
        if cut:
            packet = packet[:len(packet) - cut]
        s.sendto(packet, (BROADCAST, port))
        print("sent %d" % len(packet), flush=True)


def main():
    mode, port = sys.argv[1], int(sys.argv[2])
    if mode == "listen":
        listen(port)
    else:
        send(port)


if __name__ == "__main__":
    main()
