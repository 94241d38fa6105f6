#!/usr/bin/env python3
"""SHA-256 of each reference decoder output with the two least significant
bits of every sample cleared (x & 0xFFFC), which is what our decoder hands
on. The .dec.raw files themselves are not kept here (SHA256SUMS lists their
full digests); give it the folder that holds them:

    python3 make_cleared_sums.py REFERENCE_FOLDER > SHA256SUMS.cleared
"""
import glob
import hashlib
import os
import struct
import sys


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    for path in sorted(glob.glob(os.path.join(folder, "*.dec.raw"))):
        data = open(path, "rb").read()
        count = len(data) // 2
        samples = struct.unpack("<%dh" % count, data[:count * 2])
        cleared = struct.pack("<%dh" % count, *[s & ~3 for s in samples])
        print("%s  %s" % (hashlib.sha256(cleared).hexdigest(), os.path.basename(path)))


if __name__ == "__main__":
    main()
