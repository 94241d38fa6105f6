#pragma once
// Scaffolding for the MP3 library tests: a music-like 16-bit signal, our
// encoder run over a whole signal, and our feed-mode decoder run over a
// whole stream with the formats it reported. Header only; the test's own
// thread.

#include "codecs/kelBladeEncAPI.h"
#include "codecs/kelMpgLibAPI.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// `frames` sample frames of `channels` interleaved channels at `rate`: a
// chord with a slow sweep and a little noise, different in each channel.
inline std::string kelTestMusic(uint32_t rate, uint32_t channels, size_t frames)
{
    std::string out(frames * channels * 2, '\0');
    uint32_t seed = 0x1234567u;
    for (size_t i = 0; i < frames; ++i)
        for (uint32_t c = 0; c < channels; ++c) {
            seed = seed * 1664525u + 1013904223u;
            const double t = double(i) / rate;
            const double v = 6000 * std::sin(2 * M_PI * (220 + 110 * c) * t) +
                             4000 * std::sin(2 * M_PI * (660 + 200 * t) * t) +
                             2500 * std::sin(2 * M_PI * 3100 * t + c) + double(int32_t(seed >> 22) - 512);
            const auto s = int16_t(std::lround(v));
            const size_t at = (i * channels + c) * 2;
            out[at] = char(uint16_t(s) & 0xFF);
            out[at + 1] = char(uint16_t(s) >> 8);
        }
    return out;
}

// Our encoder's whole output for `pcm`, written in pieces of `piece` bytes.
inline std::string kelTestLameEncode(kelLameEncoder& enc, const std::string& pcm, size_t piece)
{
    std::string out;
    enc.setOnDataAvailable([&out](kelLameEncoder*, uint32_t, const void* data, uint32_t size) {
        out.append(static_cast<const char*>(data), size);
    });
    for (size_t at = 0; at < pcm.size(); at += piece)
        if (enc.encode(pcm.data() + at, uint32_t(std::min(piece, pcm.size() - at))) != BE_ERR_SUCCESSFUL)
            return {};
    enc.flush();
    enc.setOnDataAvailable(nullptr);
    return out;
}

struct kelTestMp3Format
{
    long rate;
    int channels, bits, encoding;
    bool operator==(const kelTestMp3Format&) const = default;
};

struct kelTestMp3Decoded
{
    std::string pcm;
    std::vector<kelTestMp3Format> formats;
    bool failed = false;
};

// Feeds `stream` in pieces of `piece` bytes and reads everything decoded,
// into a room of `room` bytes per read. Bounded: a decoder that neither
// asks for more nor produces counts as failed.
inline kelTestMp3Decoded kelTestMpg123Decode(kelLibmpg123Decoder& dec, const std::string& stream,
                                             size_t piece, size_t room = 4608)
{
    kelTestMp3Decoded result;
    dec.setOnFormatChange([&result](kelLibmpg123Decoder*, long rate, int channels, int bits, int encoding) {
        result.formats.push_back({rate, channels, bits, encoding});
    });
    std::vector<char> buf(room);
    for (size_t at = 0; at <= stream.size(); at += piece) {
        if (at < stream.size() && dec.feed(stream.data() + at, std::min(piece, stream.size() - at)) != 0) {
            result.failed = true;
            break;
        }
        for (int idle = 0; idle < 100;) {
            size_t got = buf.size();
            const int r = dec.read(buf.data(), got);
            result.pcm.append(buf.data(), got);
            if (r == kelMpg123NeedMore) break;
            if (r != kelMpg123Ok && r != kelMpg123NewFormat) {
                result.failed = true;
                break;
            }
            idle = got > 0 ? 0 : idle + 1;
        }
    }
    dec.setOnFormatChange(nullptr);
    return result;
}
