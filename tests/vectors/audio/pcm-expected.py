#!/usr/bin/env python3
# Prints the expected values that tests/audio/kelPCMTest.cpp holds, worked
# out here from the sample rules (widen, 64-bit result, clip to 32 bits,
# narrow by truncation toward zero) without the library's code.
import math

I32_MIN, I32_MAX = -2**31, 2**31 - 1
SHIFT = {8: 24, 16: 16, 24: 8, 32: 0}

def widen(bits, raw):
    return (raw - 128) << 24 if bits == 8 else raw << SHIFT[bits]

def narrow(bits, value):
    v = max(I32_MIN, min(I32_MAX, value))
    q = abs(v) // 2**SHIFT[bits] * (1 if v >= 0 else -1)  # truncation toward zero
    return (q + 128) % 256 if bits == 8 else q

def mix(bits_a, a, bits_b, b, bits_out, add):
    return [narrow(bits_out, widen(bits_a, x) + (widen(bits_b, y) if add else -widen(bits_b, y)))
            for x, y in zip(a, b)]

def gain(bits, percent, values):
    out = []
    for raw in values:
        x = widen(bits, raw)
        out.append(narrow(bits, max(I32_MIN, min(I32_MAX, math.trunc(percent * x / 100)))))
    return out

def log300(v):
    return 0 if v <= 0 else 300 if v >= 32768 else math.trunc(math.sqrt(v) * 1.6573068070938)

# The floating-point walk (adding up src_rate / dst_rate), to show where it
# drifts from the exact count.
def converted_frames(frames, src_rate, dst_rate):
    step, p, out = src_rate / dst_rate, 0.0, 0
    for i in range(1, frames + 1):
        while p < i:
            out += 1
            p += step
    return out

a8 = [0x00, 0x80, 0xFF, 0x01, 0xF0]
b16 = [-32768, 12345, 32767, -1, 30000]
print("mix 8+16->24 add", mix(8, a8, 16, b16, 24, True))
print("mix 8-16->16 sub", mix(8, a8, 16, b16, 16, False))
print("mix 16+16->8 add", mix(16, b16, 16, b16, 8, True))
g16 = [3, -3, 20000, -20000, 32767, -32768, 1, -1]
for p in (50, 150, 33, -100):
    print("gain16", p, gain(16, p, g16))
g8 = [0x00, 0xFF, 0x81, 0x7F, 0x80]
print("gain8 50", [hex(v) for v in gain(8, 50, g8)])
g24 = [8388607, -8388608, 3, -3]
print("gain24 150", gain(24, 150, g24))
print("log300", {v: log300(v) for v in (1, 2, 100, 1000, 16384, 32767)})
print("log100", {v: log300(v) // 3 for v in (8, 100, 32767)})
print("delta volume", int(((abs(0 - (100 << 16))) + abs(abs(0 - (100 << 16)) - (300 << 16))) / 2 / 32768))
cases = [(882, 44100, 8000), (160, 8000, 16000), (441, 44100, 11025), (5, 3, 7),
         (1920, 96000, 44100), (960, 96000, 44100), (882, 88200, 48000)]
for frames, src, dst in cases:
    print("frames", frames, src, dst, "exact", -(-frames * dst // src),
          "floating walk", converted_frames(frames, src, dst))
