#!/usr/bin/env bash
# Writes the seed WAV files of the RIFF fuzz targets: small files as sox
# writes them (plain and extensible headers, 8 to 32 bits, float, one to
# eight channels, a comment, compressed data) into TREE_DIR, and the same files behind the
# reader target's control byte (plain, looping, looping with a seek) into
# STREAM_DIR. Without sox it writes nothing: the fuzzers then start from an
# empty corpus.
set -u
tree=$1
stream=$2
command -v sox >/dev/null 2>&1 || { echo "make-seeds: no sox, no seeds"; exit 0; }
mkdir -p "$tree" "$stream"
i=0
while read -r rate bits chans enc type; do
  i=$((i + 1))
  sox -D -n -r "$rate" -b "$bits" -c "$chans" -e "$enc" -t "$type" "$tree/seed$i.wav" synth 0.002 sine 440 \
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
sox -D -n -r 8000 -b 16 -c 1 --comment "seed with a comment" "$tree/seed-info.wav" synth 0.002 sine 300 \
  >/dev/null 2>&1 || true
# Compressed files, read through the codec drivers: IMA ADPCM, GSM, mu-law,
# A-law, MS ADPCM (no driver) and, with ffmpeg, MPEG layer 3 in WAV.
sox -D -n -r 8000 -b 16 -c 1 "$tree/pcm.tmp.wav" synth 0.05 sine 300-900 >/dev/null 2>&1 || true
for enc in ima-adpcm gsm-full-rate mu-law a-law ms-adpcm; do
  sox "$tree/pcm.tmp.wav" -e "$enc" "$tree/seed-$enc.wav" >/dev/null 2>&1 || true
done
if command -v ffmpeg >/dev/null 2>&1; then
  ffmpeg -nostdin -loglevel error -y -i "$tree/pcm.tmp.wav" -c:a libmp3lame -b:a 16k -f wav "$tree/seed-mp3.wav" \
    >/dev/null 2>&1 || true
fi
rm -f "$tree/pcm.tmp.wav"
for f in "$tree"/*.wav; do
  [ -f "$f" ] || continue
  n=$(basename "$f" .wav)
  for control in 00 01 07; do
    { printf "\\x$control"; cat "$f"; } >"$stream/$n-$control"
  done
done
# MPEG audio files for the reader (the tree target does not take them).
if command -v ffmpeg >/dev/null 2>&1; then
  for f in "$tree"/seed1.wav "$tree"/seed3.wav; do
    [ -f "$f" ] || continue
    n=$(basename "$f" .wav)
    for codec in libmp3lame mp2; do
      ffmpeg -v error -i "$f" -c:a "$codec" -f mp3 -id3v2_version 3 -y "$stream/$n-$codec.tmp" >/dev/null 2>&1 ||
        { rm -f "$stream/$n-$codec.tmp"; continue; }
      for control in 00 01; do
        { printf "\\x$control"; cat "$stream/$n-$codec.tmp"; } >"$stream/$n-$codec-$control"
      done
      rm -f "$stream/$n-$codec.tmp"
    done
  done
fi
