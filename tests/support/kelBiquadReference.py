#!/usr/bin/env python3
"""Reference biquad for the DSP tests: reads little-endian float32 samples on
stdin, writes the filtered float32 samples on stdout.

Arguments: type gain freq q, with type 1 peaking, 2 low-pass, 3 high-pass,
4 low shelf, 5 high shelf (Audio EQ Cookbook), gain a linear factor and freq
a fraction of the sampling rate. Direct form I in double precision, written
independently of the library's code.
"""
import math
import struct
import sys


def coefficients(kind, gain, freq, q):
    a = math.sqrt(gain)
    w = 2 * math.pi * freq
    cs, sn = math.cos(w), math.sin(w)
    alpha = sn / (2 * q)
    if kind == 1:
        b = (1 + alpha * a, -2 * cs, 1 - alpha * a)
        d = (1 + alpha / a, -2 * cs, 1 - alpha / a)
    elif kind == 2:
        b = ((1 - cs) / 2, 1 - cs, (1 - cs) / 2)
        d = (1 + alpha, -2 * cs, 1 - alpha)
    elif kind == 3:
        b = ((1 + cs) / 2, -(1 + cs), (1 + cs) / 2)
        d = (1 + alpha, -2 * cs, 1 - alpha)
    elif kind == 4:
        s = 2 * math.sqrt(a) * alpha
        b = (a * ((a + 1) - (a - 1) * cs + s), 2 * a * ((a - 1) - (a + 1) * cs), a * ((a + 1) - (a - 1) * cs - s))
        d = ((a + 1) + (a - 1) * cs + s, -2 * ((a - 1) + (a + 1) * cs), (a + 1) + (a - 1) * cs - s)
    elif kind == 5:
        s = 2 * math.sqrt(a) * alpha
        b = (a * ((a + 1) + (a - 1) * cs + s), -2 * a * ((a - 1) + (a + 1) * cs), a * ((a + 1) + (a - 1) * cs - s))
        d = ((a + 1) - (a - 1) * cs + s, 2 * ((a - 1) - (a + 1) * cs), (a + 1) - (a - 1) * cs - s)
    else:
        raise SystemExit("unknown type")
    return [x / d[0] for x in b], [x / d[0] for x in d]


def main():
    kind, gain, freq, q = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
    b, d = coefficients(kind, gain, freq, q)
    data = sys.stdin.buffer.read()
    xs = struct.unpack("<%df" % (len(data) // 4), data[: len(data) // 4 * 4])
    x1 = x2 = y1 = y2 = 0.0
    out = []
    for x in xs:
        y = b[0] * x + b[1] * x1 + b[2] * x2 - d[1] * y1 - d[2] * y2
        x2, x1, y2, y1 = x1, x, y1, y
        out.append(y)
    sys.stdout.buffer.write(struct.pack("<%df" % len(out), *out))


if __name__ == "__main__":
    main()
