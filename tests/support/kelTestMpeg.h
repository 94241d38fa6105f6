#pragma once
// MPEG audio scaffolding: hand-built frames and ID3v2 tags, the frames a
// finder reports over a whole source, and ffprobe's packet list of a file as
// the independent reference.

#include "codecs/kelMpeg.h"

#include "tests/support/kelTestProcess.h"

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

// The header fields a test chooses; the rest are 0.
struct kelTestMpegFrame
{
    int version = 1;      // 1 MPEG-1, 2 MPEG-2, 3 MPEG-2.5
    int layer = 3;        // 1, 2 or 3
    int bitrateIndex = 9; // 128 kbit/s for MPEG-1 Layer III
    int samplingIndex = 0;
    int padding = 0;
    bool crc = false;
    int mode = 0;
    int length = 417; // the whole frame's bytes, as the test works them out
    uint16_t crcWord = 0xBEEF;
};

// The frame's bytes: header, CRC word when asked, then a body of 0x55 (no
// byte of it can start a header or a tag).
inline std::string kelTestMpegFrameBytes(const kelTestMpegFrame& f)
{
    const int versionBits = f.version == 1 ? 3 : f.version == 2 ? 2 : 0;
    std::string out(size_t(f.length), '\x55');
    out[0] = '\xFF';
    out[1] = char(0xE0 | (versionBits << 3) | ((4 - f.layer) << 1) | (f.crc ? 0 : 1));
    out[2] = char((f.bitrateIndex << 4) | (f.samplingIndex << 2) | (f.padding << 1));
    out[3] = char(f.mode << 6);
    if (f.crc) {
        out[4] = char(f.crcWord >> 8);
        out[5] = char(f.crcWord & 0xFF);
    }
    return out;
}

// An ID3v2 tag of `major` version with `flags`, `bodySize` bytes of `fill`
// behind its header, and the 10-byte footer when `flags` asks for one.
inline std::string kelTestId3v2Tag(int major, uint8_t flags, uint32_t bodySize, char fill = '\xFF')
{
    std::string out = "ID3";
    out += char(major);
    out += '\0';
    out += char(flags);
    for (int shift = 21; shift >= 0; shift -= 7)
        out += char((bodySize >> shift) & 0x7F);
    out += std::string(bodySize, fill);
    if (flags & 0x10) {
        std::string footer = out.substr(0, 10);
        footer[0] = '3';
        footer[1] = 'D';
        footer[2] = 'I';
        out += footer;
    }
    return out;
}

// One answer of nextFrame.
struct kelTestMpegFound
{
    int32_t result = 0;
    intptr_t foundAt = 0;
    intptr_t skip = 0;
    intptr_t size = 0;
    std::string bytes;
    kelMpegHeader header;
};

// Calls nextFrame until it finds nothing more (at most `limit` answers):
// every frame found, then the answer that ended the run (-1, or -2 from a
// growing source, which would repeat it).
inline std::vector<kelTestMpegFound> kelTestMpegFrames(kelMpegAudio_layer123& finder, size_t limit = 1000000,
                                                       bool panicOnSmallBuf = false)
{
    std::vector<kelTestMpegFound> out;
    std::vector<uint8_t> buf(static_cast<size_t>(kelMpegAudio_layer123::kMaxFrameBytes));
    while (out.size() < limit) {
        kelTestMpegFound f;
        f.result = finder.nextFrame(f.header, f.foundAt, f.skip, buf.data(), f.size, panicOnSmallBuf);
        if (f.result == kelMpegFrameFound)
            f.bytes.assign(reinterpret_cast<const char*>(buf.data()), size_t(f.size));
        out.push_back(f);
        if (f.result == kelMpegNoFrame) break;
        if (f.result == kelMpegFrameIncomplete && !finder.reader()->sourceIsFinal()) break;
    }
    return out;
}

// ffprobe's view of a file.
struct kelTestProbePacket
{
    intptr_t pos = 0;
    intptr_t size = 0;
};

struct kelTestProbe
{
    bool ok = false;
    std::vector<kelTestProbePacket> packets;
    intptr_t sampleRate = 0;
    intptr_t channels = 0;
    std::string codec; // mp1, mp2, mp3
};

inline kelTestProbe kelTestProbeFile(const std::string& file)
{
    kelTestProbe probe;
    const auto packets = kelTestProcess::filter(
        "ffprobe -v error -select_streams a:0 -show_entries packet=pos,size -of csv=p=0:nk=1 '" + file + "'",
        "");
    const auto stream = kelTestProcess::filter("ffprobe -v error -select_streams a:0 -show_entries "
                                               "stream=codec_name,sample_rate,channels -of csv=p=0:nk=1 '" +
                                                   file + "'",
                                               "");
    if (!packets || !stream) return probe;
    std::istringstream lines(*packets);
    for (std::string line; std::getline(lines, line);) {
        long long size = 0;
        long long pos = 0;
        // ffprobe prints the fields in its own order: size, then pos.
        if (std::sscanf(line.c_str(), "%lld,%lld", &size, &pos) == 2)
            probe.packets.push_back({intptr_t(pos), intptr_t(size)});
    }
    char codec[16] = {};
    long long rate = 0;
    long long channels = 0;
    if (std::sscanf(stream->c_str(), "%15[^,],%lld,%lld", codec, &rate, &channels) == 3) {
        probe.codec = codec;
        probe.sampleRate = intptr_t(rate);
        probe.channels = intptr_t(channels);
        probe.ok = true;
    }
    return probe;
}
