#!/usr/bin/env python3
"""Reference tables for the G.711 tests, from the segment rules of the
standard's code tables rather than from any coder's bit tricks.

Both laws split the sample magnitude into eight segments of sixteen equal
quantisation intervals; a code is sign, segment and interval, and expands to
the middle of its interval. The 16-bit reference tools take the magnitude of
a negative sample as its one's complement (-1 -> 0), A-law works on the
magnitude / 16 and µ-law on magnitude / 4 plus a bias of 33 limited to 8191.

Writes, next to this script:
  alaw_compress.bin, ulaw_compress.bin   65536 codes, for samples -32768..32767
  alaw_expand.bin, ulaw_expand.bin       256 samples (16-bit little-endian), per code
"""
import os
import struct


def magnitude(sample):
    return -sample - 1 if sample < 0 else sample


# A-law, 12-bit magnitude m = magnitude / 16 (0..2047). Segment s covers
# [lo, hi) with an interval of (hi - lo) / 16:
#   s=0: [0, 16) step 1; s=1: [16, 32) step 1; s>=2: [2^(s+3), 2^(s+4)).
A_SEGMENTS = [(0, 16)] + [(1 << (s + 3), 1 << (s + 4)) for s in range(1, 8)]


def alaw_compress(sample):
    m = magnitude(sample) >> 4
    for s, (lo, hi) in enumerate(A_SEGMENTS):
        if lo <= m < hi:
            code = (s << 4) | ((m - lo) // ((hi - lo) // 16))
            break
    if sample >= 0:
        code |= 0x80
    return code ^ 0x55


def alaw_expand(code):
    c = (code ^ 0x55) & 0x7F
    s, q = c >> 4, c & 0x0F
    lo, hi = A_SEGMENTS[s]
    step = (hi - lo) // 16
    # In 16-bit units: the interval [lo + q*step, lo + (q+1)*step) times 16,
    # expanded to its middle.
    value = (lo + q * step) * 16 + step * 8
    return value if code & 0x80 else -value


# µ-law, biased magnitude b = magnitude / 4 + 33, at most 8191. Segment s
# covers [2^(s+5), 2^(s+6)) with an interval of 2^(s+1); the code is the
# complement of sign, segment and interval.
def ulaw_compress(sample):
    b = min((magnitude(sample) >> 2) + 33, 8191)
    for s in range(8):
        lo, hi = 1 << (s + 5), 1 << (s + 6)
        if lo <= b < hi:
            code = (s << 4) | ((b - lo) >> (s + 1))
            break
    code = (~code) & 0x7F
    if sample >= 0:
        code |= 0x80
    return code


def ulaw_expand(code):
    c = (~code) & 0x7F
    s, q = c >> 4, c & 0x0F
    lo, step = 1 << (s + 5), 1 << (s + 1)
    value = 4 * (lo + q * step) + 2 * step - 4 * 33
    return value if code & 0x80 else -value


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    samples = range(-32768, 32768)
    with open(os.path.join(here, "alaw_compress.bin"), "wb") as f:
        f.write(bytes(alaw_compress(x) for x in samples))
    with open(os.path.join(here, "ulaw_compress.bin"), "wb") as f:
        f.write(bytes(ulaw_compress(x) for x in samples))
    with open(os.path.join(here, "alaw_expand.bin"), "wb") as f:
        f.write(b"".join(struct.pack("<h", alaw_expand(c)) for c in range(256)))
    with open(os.path.join(here, "ulaw_expand.bin"), "wb") as f:
        f.write(b"".join(struct.pack("<h", ulaw_expand(c)) for c in range(256)))


if __name__ == "__main__":
    main()
