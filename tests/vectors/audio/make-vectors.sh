#!/bin/sh
# Regenerates the empty WAV files whose "fmt " chunks the format record tests
# compare against, byte for byte: each is what sox writes for that format.
set -e
cd "$(dirname "$0")"
while read -r rate bits channels encoding; do
    sox -n -r "$rate" -b "$bits" -c "$channels" -e "$encoding" \
        "r${rate}_b${bits}_c${channels}_${encoding}.wav" trim 0 0
done <<LIST
44100 16 2 signed
8000 8 1 unsigned
48000 24 6 signed
96000 32 2 floating-point
44100 16 4 signed
22050 32 1 signed
48000 16 8 signed
LIST
