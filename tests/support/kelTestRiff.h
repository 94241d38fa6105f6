#pragma once
// RIFF/WAVE files for the tests: a builder of hand-made files (any chunk
// order, odd sizes, missing pads, lying size fields), and the makers of
// reference files through sox and ffmpeg with the samples those tools
// decode from them (`sox file -t raw -`). The tool helpers give empty
// results when the tool is missing or fails; tests skip on that.

#include "tests/support/kelTestProcess.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

inline std::string kelTestLE(uint64_t value, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

inline uint32_t kelTestReadLE32(const std::string& bytes, size_t at)
{
    uint32_t v = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

// One chunk: identifier, size (the payload's, unless `declaredSize` says
// otherwise), payload and the pad byte of an odd payload when `pad`.
inline std::string kelTestChunk(const std::string& id, const std::string& payload, bool pad = true,
                                std::optional<uint32_t> declaredSize = std::nullopt)
{
    std::string out = id.substr(0, 4);
    out += kelTestLE(declaredSize.value_or(static_cast<uint32_t>(payload.size())), 4);
    out += payload;
    if (pad && (payload.size() & 1) != 0) out.push_back('\0');
    return out;
}

// A container ("RIFF" or "LIST") of form `form` around `body`.
inline std::string kelTestContainer(const std::string& id, const std::string& form, const std::string& body)
{
    return kelTestChunk(id, form.substr(0, 4) + body);
}

// The body of a plain PCM "fmt " chunk: 16 bytes, or 18 with a cbSize of 0.
inline std::string kelTestFmtPCM(uint32_t rate, uint16_t bits, uint16_t channels, bool withCbSize = false,
                                 uint16_t tag = 1)
{
    const uint32_t align = uint32_t(channels) * ((bits + 7) / 8);
    std::string out = kelTestLE(tag, 2) + kelTestLE(channels, 2) + kelTestLE(rate, 4) +
                      kelTestLE(uint64_t{align} * rate, 4) + kelTestLE(align, 2) + kelTestLE(bits, 2);
    if (withCbSize) out += kelTestLE(0, 2);
    return out;
}

// A whole WAVE file of the given chunks (RIFF size = what follows it).
inline std::string kelTestWave(const std::string& chunks)
{
    return kelTestContainer("RIFF", "WAVE", chunks);
}

// `count` bytes counting up from `start` (wrapping), a pattern whose every
// position can be told apart.
inline std::string kelTestRamp(size_t count, unsigned start = 0)
{
    std::string out(count, '\0');
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<char>((start + i) & 0xFF);
    return out;
}

// --- sox and ffmpeg ------------------------------------------------------------

inline bool kelTestHaveSox()
{
    return kelTestProcess::available("sox") && kelTestProcess::available("soxi");
}
inline bool kelTestHaveFfmpeg()
{
    return kelTestProcess::available("ffmpeg");
}

// Makes `path` with sox: `seconds` of a sine sweep per channel at `rate`,
// `bits` bits of `encoding` ("signed-integer", "unsigned-integer",
// "floating-point"), `channels` channels; `extra` goes before the output
// name (e.g. "-t wavpcm" for a plain header). Whether it worked.
inline bool kelTestSoxWave(const std::string& path, unsigned rate, unsigned bits, unsigned channels,
                           const std::string& encoding = "signed-integer", double seconds = 0.25,
                           const std::string& extra = {})
{
    std::string cmd = "sox -D -n -r " + std::to_string(rate) + " -b " + std::to_string(bits) + " -c " +
                      std::to_string(channels) + " -e " + encoding + " " + extra + " '" + path + "' synth " +
                      std::to_string(seconds);
    // A different tone per channel, so swapped channels show.
    for (unsigned c = 0; c < channels; ++c)
        cmd += " sine " + std::to_string(200 + 150 * c) + "-" + std::to_string(2000 + 300 * c);
    cmd += " gain -1 >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Makes `path` with ffmpeg from its sine source: `codec` a PCM coder
// (pcm_s16le, pcm_s24le, pcm_s32le, pcm_f32le, pcm_u8), `channels`
// channels; `extra` goes before the output name (e.g. "-rf64 never" or
// metadata options).
inline bool kelTestFfmpegWave(const std::string& path, unsigned rate, const std::string& codec,
                              unsigned channels, double seconds = 0.25, const std::string& extra = {})
{
    const std::string cmd =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i 'sine=frequency=440:sample_rate=" +
        std::to_string(rate) + ":duration=" + std::to_string(seconds) +
        "' -af 'aformat=channel_layouts=" + std::to_string(channels) + "c' -c:a " + codec + " " + extra +
        " '" + path + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// The samples sox decodes from `path`, in the file's own encoding, as raw
// bytes; nothing when sox fails.
inline std::optional<std::string> kelTestSoxRaw(const std::string& path)
{
    return kelTestProcess::filter("sox '" + path + "' -t raw -", "");
}

// What `soxi -<key>` says of `path` (r rate, c channels, b bits, s samples,
// e encoding, t type), trimmed; empty on failure.
inline std::string kelTestSoxInfo(const std::string& path, char key)
{
    auto out = kelTestProcess::filter(std::string("soxi -") + key + " '" + path + "'", "");
    if (!out) return {};
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r' || out->back() == ' '))
        out->pop_back();
    return *out;
}

// The samples ffmpeg decodes from `path` as `codec` raw bytes (pcm_s16le,
// ...); nothing when ffmpeg fails.
inline std::optional<std::string> kelTestFfmpegRaw(const std::string& path, const std::string& codec)
{
    std::string format = codec.substr(4); // pcm_s16le -> s16le
    return kelTestProcess::filter(
        "ffmpeg -nostdin -loglevel error -i '" + path + "' -f " + format + " -c:a " + codec + " -", "");
}

// `file` (a whole RIFF image) with `chunk` put before its first top-level
// chunk named `beforeId` (at the end when there is none), the RIFF size
// fixed. Empty when `file` is not a RIFF image.
inline std::string kelTestInsertChunk(const std::string& file, const std::string& beforeId,
                                      const std::string& chunk)
{
    if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0) return {};
    size_t at = 12;
    while (at + 8 <= file.size() && file.compare(at, 4, beforeId) != 0) {
        const uint32_t size = kelTestReadLE32(file, at + 4);
        at += 8 + size + (size & 1);
    }
    at = std::min(at, file.size());
    std::string out = file.substr(0, at) + chunk + file.substr(at);
    const std::string riffSize = kelTestLE(out.size() - 8, 4);
    out.replace(4, 4, riffSize);
    return out;
}

// The payload of the first top-level chunk named `id` of a RIFF image (cut
// at the image's end); nothing when there is none.
inline std::optional<std::string> kelTestFindChunk(const std::string& file, const std::string& id)
{
    if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0) return std::nullopt;
    size_t at = 12;
    while (at + 8 <= file.size()) {
        const uint32_t size = kelTestReadLE32(file, at + 4);
        if (file.compare(at, 4, id) == 0)
            return file.substr(at + 8, std::min<size_t>(size, file.size() - at - 8));
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}
