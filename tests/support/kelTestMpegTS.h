#pragma once
// Transport stream scaffolding: hand-built packets and sections (with their
// CRC_32 worked out independently, bit by bit), a demultiplexer that records
// what it hands out, and a feed that pushes bytes through a stream reader in
// blocks as a network would.

#include "codecs/kelMpeg.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

// The MPEG-2 CRC-32 the slow way, one bit at a time.
inline uint32_t kelTestMpegCrc32(const std::string& bytes)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes)
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 31) ^ ((byte >> bit) & 1u)) != 0;
            crc = (crc << 1) ^ (top ? 0x04C11DB7u : 0u);
        }
    return crc;
}

inline std::string kelTestBE(uint32_t v, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += char((v >> (8 * i)) & 0xFF);
    return out;
}

// A long-form section of `tableId` with `body`, its CRC_32 appended
// (`crcOk` false spoils it).
inline std::string kelTestTSSection(uint8_t tableId, uint16_t extension, const std::string& body,
                                    bool crcOk = true, uint8_t version = 0)
{
    std::string s;
    s += char(tableId);
    const size_t length = 5 + body.size() + 4;
    s += char(0xB0 | ((length >> 8) & 0x0F));
    s += char(length & 0xFF);
    s += kelTestBE(extension, 2);
    s += char(0xC1 | (version << 1));
    s += '\0';
    s += '\0';
    s += body;
    s += kelTestBE(kelTestMpegCrc32(s) ^ (crcOk ? 0u : 1u), 4);
    return s;
}

inline std::string kelTestTSDescriptor(uint8_t tag, const std::string& data)
{
    return std::string(1, char(tag)) + char(data.size()) + data;
}

// The fields of one packet a test chooses.
struct kelTestTSPacketFields
{
    uint32_t pid = 0x100;
    int cc = 0;
    bool unitStart = false;
    bool error = false;
    // -1: no adaptation field; otherwise its length byte as written.
    int adaptationLength = -1;
    bool discontinuity = false;
    bool payload = true;
};

// 188 bytes: header, adaptation field (flags byte, then 0xFF stuffing) and
// `payload`, the rest filled with 0xFF.
inline std::string kelTestTSPacket(const kelTestTSPacketFields& p, const std::string& payload)
{
    const int afc = (p.adaptationLength >= 0 ? 2 : 0) | (p.payload ? 1 : 0);
    std::string out;
    out += '\x47';
    out += char((p.error ? 0x80 : 0) | (p.unitStart ? 0x40 : 0) | ((p.pid >> 8) & 0x1F));
    out += char(p.pid & 0xFF);
    out += char((afc << 4) | (p.cc & 0x0F));
    if (p.adaptationLength >= 0) {
        out += char(p.adaptationLength);
        if (p.adaptationLength > 0) out += char(p.discontinuity ? 0x80 : 0);
        while (out.size() < size_t(5 + std::min(p.adaptationLength, 183)))
            out += '\xFF';
    }
    out += payload;
    out.resize(188, '\xFF');
    return out;
}

// `sections` packed back to back behind one pointer_field of 0 and cut into
// packets of `pid` from counter `cc` on.
inline std::string kelTestTSSectionPackets(uint32_t pid, const std::string& sections, int cc = 0)
{
    std::string out;
    std::string rest = std::string(1, '\0') + sections;
    bool first = true;
    while (!rest.empty()) {
        kelTestTSPacketFields fields;
        fields.pid = pid;
        fields.cc = cc++;
        fields.unitStart = first;
        out += kelTestTSPacket(fields, rest.substr(0, 184));
        rest.erase(0, std::min<size_t>(184, rest.size()));
        first = false;
    }
    return out;
}

// A PES header (stream id, no optional fields beyond `extraHeader` bytes).
inline std::string kelTestPESHeader(uint8_t streamId = 0xC0, int extraHeader = 5)
{
    std::string h("\x00\x00\x01", 3);
    h += char(streamId);
    h += std::string("\x00\x00", 2);
    h += '\x80';
    h += '\x80';
    h += char(extraHeader);
    h += std::string(size_t(extraHeader), '\x21');
    return h;
}

// Records what the demultiplexer hands out.
class kelTestTSDemuxer : public kelMpegTSDemuxer
{
public:
    using kelMpegTSDemuxer::kelMpegTSDemuxer;

    std::map<uint32_t, std::string> payloads;
    std::vector<std::pair<uint32_t, uint32_t>> sections; // pid, table_id
    struct Event
    {
        uint32_t pid, id, tsid, nid, service;
        uint64_t start;
        uint32_t duration;
        intptr_t running;
        bool freeCA;
        std::map<uint32_t, std::string> descriptors;
    };
    std::vector<Event> events;

protected:
    void onPayload(uint32_t pid, const uint8_t* data, intptr_t len, void*) override
    {
        payloads[pid].append(reinterpret_cast<const char*>(data), size_t(len));
    }
    void onSection(uint32_t pid, uint32_t tableId) override { sections.emplace_back(pid, tableId); }
    void onEvent(uint32_t pid, kelMpegTSEvent& e) override
    {
        Event out{pid,           e.ID(),       e.TSID(),           e.NID(),          e.srvID(),
                  e.startTime(), e.duration(), e.running_status(), e.free_CA_mode(), {}};
        for (intptr_t i = 0; i < e.desc().count(); ++i) {
            auto* d = static_cast<kelMpegTSDescriptor*>(e.desc().getObject(i));
            out.descriptors[d->ID()] =
                std::string(reinterpret_cast<const char*>(d->data()), size_t(d->dataLen()));
        }
        events.push_back(std::move(out));
    }
};

// A demultiplexer over its own stream reader; feed() writes bytes in blocks
// of `block` and demuxes after each, as the receiver does with datagrams.
struct kelTestTSFeed
{
    kelBitReader_stream reader;
    kelTestTSDemuxer demuxer{&reader};

    void feed(const std::string& bytes, size_t block = 1316)
    {
        for (size_t at = 0; at < bytes.size(); at += block) {
            const std::string part = bytes.substr(at, block);
            reader.write(part.data(), intptr_t(part.size()));
            demuxer.demux(true, true, nullptr);
        }
    }
};

// A descriptor list's entries as tag -> data bytes.
inline std::map<uint32_t, std::string> kelTestTSDescriptors(kelMpegTSDescriptorList& list)
{
    std::map<uint32_t, std::string> out;
    for (intptr_t i = 0; i < list.count(); ++i) {
        auto* d = static_cast<kelMpegTSDescriptor*>(list.getObject(i));
        out[d->ID()] = std::string(reinterpret_cast<const char*>(d->data()), size_t(d->dataLen()));
    }
    return out;
}

// The two-program fixture: MP2 at 440 Hz/48 kHz on PID 0x100 (program 1)
// and 880 Hz/44.1 kHz on 0x101 (program 2), with SDT and NIT, made by
// ffmpeg into `path`. False when ffmpeg is missing or fails.
inline bool kelTestMakeTwoProgramTS(const std::string& path, int seconds = 2)
{
    const std::string d = std::to_string(seconds);
    const std::string command = "ffmpeg -v error -f lavfi -i sine=f=440:r=48000:d=" + d +
                                " -f lavfi -i sine=f=880:r=44100:d=" + d +
                                " -map 0:a -map 1:a -c:a mp2 -program program_num=1:st=0"
                                " -program program_num=2:st=1 -mpegts_flags +nit+system_b -muxrate 400k"
                                " -f mpegts -y '" +
                                path + "' </dev/null";
    return std::system(command.c_str()) == 0;
}
