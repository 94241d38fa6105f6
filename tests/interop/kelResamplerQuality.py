#!/usr/bin/python3
"""Measures resampled tones for the resampler quality test.

Usage: kelResamplerQuality.py DIR SRC_RATE DST_RATE AMPLITUDE SNR_HZ HZ...

DIR holds in_<hz>.raw (the source tone, 16-bit mono at SRC_RATE) and
ours_<hz>.raw (the device's output at DST_RATE) for every HZ. The same
inputs also go through soxr (its high quality recipe) and libsamplerate
(best sinc), loaded with ctypes, rounded to 16 bits like ours. For each
converter it prints lines "<name> snr <dB>" (the tone SNR_HZ against a
fitted sine), "<name> level <hz> <dB>" (the tone's level relative to the
input amplitude). A converter whose library is missing is left out.
"""
import ctypes
import ctypes.util
import sys

import numpy as np

SKIP = 0.1  # seconds dropped at each end (the filters' start and end)


class SoxrQuality(ctypes.Structure):
    _fields_ = [("precision", ctypes.c_double), ("phase_response", ctypes.c_double),
                ("passband_end", ctypes.c_double), ("stopband_begin", ctypes.c_double),
                ("e", ctypes.c_void_p), ("flags", ctypes.c_ulong)]


def soxr_convert(x, src, dst):
    try:
        lib = ctypes.CDLL("libsoxr.so.0")
    except OSError:
        return None
    lib.soxr_oneshot.restype = ctypes.c_char_p
    lib.soxr_quality_spec.restype = SoxrQuality
    quality = lib.soxr_quality_spec(ctypes.c_ulong(4), ctypes.c_ulong(0))  # SOXR_HQ
    inp = np.ascontiguousarray(x, dtype=np.float32)
    out = np.zeros(int(len(x) * dst / src) + 64, dtype=np.float32)
    done = ctypes.c_size_t()
    err = lib.soxr_oneshot(ctypes.c_double(src), ctypes.c_double(dst), 1,
                           inp.ctypes.data_as(ctypes.c_void_p), ctypes.c_size_t(len(inp)), None,
                           out.ctypes.data_as(ctypes.c_void_p), ctypes.c_size_t(len(out)), ctypes.byref(done),
                           None, ctypes.byref(quality), None)
    if err:
        return None
    return out[:done.value]


class SrcData(ctypes.Structure):
    _fields_ = [("data_in", ctypes.c_void_p), ("data_out", ctypes.c_void_p),
                ("input_frames", ctypes.c_long), ("output_frames", ctypes.c_long),
                ("input_frames_used", ctypes.c_long), ("output_frames_gen", ctypes.c_long),
                ("end_of_input", ctypes.c_int), ("src_ratio", ctypes.c_double)]


def src_convert(x, src, dst):
    try:
        lib = ctypes.CDLL("libsamplerate.so.0")
    except OSError:
        return None
    inp = np.ascontiguousarray(x, dtype=np.float32)
    out = np.zeros(int(len(x) * dst / src) + 64, dtype=np.float32)
    data = SrcData(inp.ctypes.data, out.ctypes.data, len(inp), len(out), 0, 0, 1, dst / src)
    if lib.src_simple(ctypes.byref(data), 0, 1) != 0:  # SRC_SINC_BEST_QUALITY
        return None
    return out[:data.output_frames_gen]


def measure(y, rate, hz, amplitude):
    seg = y[int(SKIP * rate):len(y) - int(SKIP * rate)].astype(np.float64)
    level = np.sqrt(2.0 * np.mean(seg ** 2)) / amplitude
    t = np.arange(len(seg)) / rate
    basis = np.vstack([np.sin(2 * np.pi * hz * t), np.cos(2 * np.pi * hz * t), np.ones_like(t)]).T
    coef = np.linalg.lstsq(basis, seg, rcond=None)[0]
    fit = basis @ coef
    noise = np.sum((seg - fit) ** 2)
    snr = 10 * np.log10(np.sum(fit ** 2) / noise) if noise > 0 else 200.0
    return 20 * np.log10(max(level, 1e-10)), snr


def main():
    folder, src, dst, amplitude, snr_hz = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
    tones = [int(v) for v in sys.argv[6:]]
    for hz in tones:
        x = np.fromfile(f"{folder}/in_{hz}.raw", dtype="<i2")
        outputs = {"ours": np.fromfile(f"{folder}/ours_{hz}.raw", dtype="<i2").astype(np.float64)}
        for name, convert in (("soxr", soxr_convert), ("libsamplerate", src_convert)):
            y = convert(x / 32768.0, src, dst)
            if y is not None:
                outputs[name] = np.clip(np.round(y * 32768.0), -32768, 32767)
        for name, y in outputs.items():
            level, snr = measure(y, dst, hz, amplitude)
            print(f"{name} level {hz} {level:.4f}")
            if hz == snr_hz:
                print(f"{name} snr {snr:.3f}")


if __name__ == "__main__":
    main()
