#!/usr/bin/env python3
"""Reference blocks for the IMA/DVI ADPCM tests, coded here from the
published IMA step-size and index tables and the RFC 3551 DVI4 and VDVI
layouts, independently of the library.

The input is 1000 samples of a deterministic test signal (a rising tone,
a loud burst and a noise tail). It is coded in blocks of 160, 161, 7, 2, 320
and 350 samples (odd and tiny blocks included), one coder per layout carrying
its state from block to block. For each layout NAME (ima4, dvi4, vdvi):
  adpcm_NAME.bin          the blocks, each preceded by its size (16-bit LE)
  adpcm_NAME_decoded.raw  a fresh decoder's output for those blocks (s16le)
and adpcm_input.raw holds the input (s16le).
"""
import math
import os
import struct

STEPS = [
    7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 19, 21, 23, 25, 28, 31, 34, 37, 41, 45,
    50, 55, 60, 66, 73, 80, 88, 97, 107, 118, 130, 143, 157, 173, 190, 209, 230,
    253, 279, 307, 337, 371, 408, 449, 494, 544, 598, 658, 724, 796, 876, 963,
    1060, 1166, 1282, 1411, 1552, 1707, 1878, 2066, 2272, 2499, 2749, 3024, 3327,
    3660, 4026, 4428, 4871, 5358, 5894, 6484, 7132, 7845, 8630, 9493, 10442,
    11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794,
    32767]
INDEX = [-1, -1, -1, -1, 2, 4, 6, 8]
VDVI = ["00", "010", "1100", "11100", "111100", "1111100", "11111100", "11111110",
        "10", "011", "1101", "11101", "111101", "1111101", "11111101", "11111111"]
BLOCKS = [160, 161, 7, 2, 320, 350]


class Ima:
    def __init__(self):
        self.pred = 0
        self.index = 0

    def apply(self, code):
        step = STEPS[self.index]
        delta = step // 8
        if code & 4:
            delta += step
        if code & 2:
            delta += step // 2
        if code & 1:
            delta += step // 4
        self.pred = max(-32768, min(32767, self.pred - delta if code & 8 else self.pred + delta))
        self.index = max(0, min(88, self.index + INDEX[code & 7]))
        return self.pred

    def encode(self, sample):
        step = STEPS[self.index]
        diff = sample - self.pred
        code = 0
        if diff < 0:
            code, diff = 8, -diff
        for bit, part in ((4, step), (2, step // 2), (1, step // 4)):
            if diff >= part:
                code |= bit
                diff -= part
        self.apply(code)
        return code


def header(value, index, little):
    return struct.pack("<hBB" if little else ">hBB", value, index, 0)


def encode_block(coder, kind, samples):
    n = len(samples)
    if kind == "ima4":
        coder.pred = samples[0]
        out = bytearray(header(coder.pred, coder.index, True))
        coded = samples[1:1 + (n - 1) // 2 * 2]
        for i in range(0, len(coded), 2):
            low = coder.encode(coded[i])
            out.append(low | (coder.encode(coded[i + 1]) << 4))
        return bytes(out)
    out = bytearray(header(coder.pred, coder.index, False))
    coded = samples[:n // 2 * 2]
    if kind == "dvi4":
        for i in range(0, len(coded), 2):
            high = coder.encode(coded[i])
            out.append((high << 4) | coder.encode(coded[i + 1]))
        return bytes(out)
    bits = "".join(VDVI[coder.encode(s)] for s in coded)
    bits += "1" * (-len(bits) % 8)
    out += bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    return bytes(out)


def decode_block(coder, kind, block):
    little = kind == "ima4"
    coder.pred = struct.unpack("<h" if little else ">h", block[:2])[0]
    coder.index = min(88, block[2])
    body = block[4:]
    if kind == "ima4":
        return [coder.pred] + [coder.apply(c) for b in body for c in (b & 15, b >> 4)]
    if kind == "dvi4":
        return [coder.apply(c) for b in body for c in (b >> 4, b & 15)]
    bits = "".join(format(b, "08b") for b in body)
    out, pos = [], 0
    while True:
        for code, pattern in enumerate(VDVI):
            if bits.startswith(pattern, pos):
                break
        else:
            return out
        out.append(coder.apply(code))
        pos += len(pattern)


def signal():
    out = []
    seed = 12345
    for i in range(1000):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        noise = (seed >> 16) % 2001 - 1000
        if i < 400:
            value = 8000 * math.sin(2 * math.pi * (200 + 2 * i) * i / 8000)
        elif i < 650:
            value = 40000 * math.sin(2 * math.pi * 700 * i / 8000)  # clips
        else:
            value = noise * 3
        out.append(max(-32768, min(32767, int(value) + noise // 10)))
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    samples = signal()
    with open(os.path.join(here, "adpcm_input.raw"), "wb") as f:
        f.write(struct.pack("<%dh" % len(samples), *samples))
    for kind in ("ima4", "dvi4", "vdvi"):
        enc, dec = Ima(), Ima()
        blocks, decoded, pos = bytearray(), [], 0
        for n in BLOCKS:
            block = encode_block(enc, kind, samples[pos:pos + n])
            pos += n
            blocks += struct.pack("<H", len(block)) + block
            decoded += decode_block(dec, kind, block)
        with open(os.path.join(here, "adpcm_%s.bin" % kind), "wb") as f:
            f.write(blocks)
        with open(os.path.join(here, "adpcm_%s_decoded.raw" % kind), "wb") as f:
            f.write(struct.pack("<%dh" % len(decoded), *decoded))


if __name__ == "__main__":
    main()
