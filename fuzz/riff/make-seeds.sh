#!/usr/bin/env bash
# Writes the seed WAV files of the RIFF fuzz targets into the folders given:
# small files as sox writes them (plain and extensible headers, 8 to 32
# bits, float, one to eight channels, LIST/INFO chunks from comments).
# Without sox it writes nothing: the fuzzers then start from an empty corpus.
set -u
command -v sox >/dev/null 2>&1 || { echo "make-seeds: no sox, no seeds"; exit 0; }
for dir in "$@"; do
  mkdir -p "$dir"
  i=0
  while read -r rate bits chans enc type; do
    i=$((i + 1))
    sox -D -n -r "$rate" -b "$bits" -c "$chans" -e "$enc" -t "$type" "$dir/seed$i.wav" synth 0.002 sine 440 \
      >/dev/null 2>&1 || true
  done <<'LIST'
8000 8 1 unsigned-integer wav
8000 16 1 signed-integer wavpcm
11025 16 2 signed-integer wav
22050 24 1 signed-integer wav
44100 32 2 signed-integer wav
48000 32 2 floating-point wav
48000 16 6 signed-integer wav
16000 16 8 signed-integer wav
LIST
  sox -D -n -r 8000 -b 16 -c 1 --comment "seed with a comment" "$dir/seed-info.wav" synth 0.002 sine 300 \
    >/dev/null 2>&1 || true
done
