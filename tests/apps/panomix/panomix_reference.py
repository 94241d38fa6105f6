#!/usr/bin/env python3
"""What panomix should play, computed without its code: sine sources and a
looping 16-bit mono WAV source, each mono signal added into the channels of
the speakers it is mapped to (the present speakers in speaker-bit order),
clipped to 16 bits. Writes interleaved 16-bit little-endian frames to
standard output.

usage: panomix_reference.py RATE OUTMASK FRAMES SOURCE...
  SOURCE is sine:FREQ:MASK or wav:PATH:MASK (PATH without colons)
OUTMASK 0 means all 18 speakers.
"""
import math
import struct
import sys
import wave

AMPLITUDE = 12287


def sine(freq, rate, frames):
    return [round(math.sin(2 * math.pi * freq * n / rate) * AMPLITUDE) for n in range(frames)]


def wav(path, frames):
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            sys.exit("the WAV source must be 16-bit mono")
        data = w.readframes(w.getnframes())
    samples = list(struct.unpack("<%dh" % (len(data) // 2), data))
    return [samples[n % len(samples)] for n in range(frames)]


def main():
    rate, outmask, frames = int(sys.argv[1]), int(sys.argv[2], 0), int(sys.argv[3])
    speakers = [bit for bit in range(18) if outmask == 0 or outmask & (1 << bit)]
    sources = []
    for source in sys.argv[4:]:
        kind, arg, mask = source.split(":")
        signal = sine(float(arg), rate, frames) if kind == "sine" else wav(arg, frames)
        sources.append((signal, int(mask, 0)))
    out = bytearray()
    for n in range(frames):
        for bit in speakers:
            total = sum(signal[n] for signal, mask in sources if mask & (1 << bit))
            out += struct.pack("<h", max(-32768, min(32767, total)))
    sys.stdout.buffer.write(bytes(out))


if __name__ == "__main__":
    main()
