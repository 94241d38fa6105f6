#include "components/kelmtlIPBroadcastPacket.h"

#include "core/kelCrc.h"

#include <cstring>

namespace {

void put16(uint8_t* p, uint32_t v) noexcept
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) noexcept
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

uint32_t get16(const uint8_t* p) noexcept
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t get32(const uint8_t* p) noexcept
{
    return get16(p) | get16(p + 2) << 16;
}

} // namespace

uint8_t kelBroadcastChecksum(const uint8_t* datagram, size_t len) noexcept
{
    if (datagram == nullptr || len == 0) return 0;
    // Byte 0 enters as 0; the CRC stops for good once its value is 0, so the
    // rest only follows a first step that left something.
    const uint8_t zero = 0;
    uint32_t crc = libCrc32(&zero, 1);
    if (crc != 0 && len > 1) crc = libCrc32(datagram + 1, len - 1, crc);
    return static_cast<uint8_t>(crc ^ crc >> 8 ^ crc >> 16 ^ crc >> 24);
}

size_t kelBuildBroadcastFormat(const kelBroadcastFormat& format, uint8_t* out) noexcept
{
    std::memset(out, 0, kelBroadcastFormatSize);
    out[1] = static_cast<uint8_t>((format.changed ? 0x20 : 0) | (format.index & 3));
    put16(out + 2, format.tag);
    put16(out + 4, format.samplesPerSec);
    out[6] = format.bitsPerSample;
    out[7] = format.numChannels;
    put32(out + 8, format.samplesPerSec);
    out[0] = kelBroadcastChecksum(out, kelBroadcastFormatSize);
    return kelBroadcastFormatSize;
}

size_t kelBuildBroadcastData(const kelBroadcastData& data, uint8_t* out) noexcept
{
    if (data.payload == nullptr || data.length == 0 || data.length > kelBroadcastMaxPayload) return 0;
    const size_t size = data.length + kelBroadcastDataOverhead;
    out[1] = static_cast<uint8_t>(0x40 | (data.length >> 8));
    out[2] = static_cast<uint8_t>(data.length);
    out[3] = static_cast<uint8_t>((data.channelMedia & 1) | (data.firstPiece ? 2 : 0) |
                                  (data.index & 3) << 2 | (data.sequence & 15) << 4);
    std::memcpy(out + kelBroadcastDataHeader, data.payload, data.length);
    std::memset(out + kelBroadcastDataHeader + data.length, 0,
                kelBroadcastDataOverhead - kelBroadcastDataHeader);
    out[0] = kelBroadcastChecksum(out, size);
    return size;
}

size_t kelBroadcastExpectedSize(const uint8_t* datagram, size_t len) noexcept
{
    if (datagram == nullptr || len < 3) return 0;
    switch (datagram[1] >> 6) {
    case kelbpt_format:
        return kelBroadcastFormatSize;
    case kelbpt_data:
        return (size_t(datagram[1] & 0x3F) << 8 | datagram[2]) + kelBroadcastDataOverhead;
    case kelbpt_type2:
        return kelBroadcastDataOverhead;
    default:
        return len < 4 ? 0 : get16(datagram + 2) + kelBroadcastDataOverhead;
    }
}

bool kelParseBroadcastPacket(const uint8_t* datagram, size_t len, kelBroadcastPacket& out) noexcept
{
    if (len <= 2 || kelBroadcastExpectedSize(datagram, len) != len) return false;
    if (kelBroadcastChecksum(datagram, len) != datagram[0]) return false;
    kelBroadcastPacket p;
    p.type = static_cast<kelBroadcastPacketType>(datagram[1] >> 6);
    if (p.type == kelbpt_format) {
        p.format.changed = (datagram[1] & 0x20) != 0;
        p.format.index = datagram[1] & 3;
        p.format.tag = static_cast<uint16_t>(get16(datagram + 2));
        const uint32_t low = get16(datagram + 4);
        const uint32_t full = get32(datagram + 8);
        p.format.samplesPerSec = (full & 0xFFFF) == low ? full : low;
        p.format.bitsPerSample = datagram[6];
        p.format.numChannels = datagram[7];
    } else if (p.type == kelbpt_data) {
        p.data.channelMedia = datagram[3] & 1;
        p.data.firstPiece = (datagram[3] & 2) != 0;
        p.data.index = (datagram[3] >> 2) & 3;
        p.data.sequence = datagram[3] >> 4;
        p.data.payload = datagram + kelBroadcastDataHeader;
        p.data.length = len - kelBroadcastDataOverhead;
        if (p.data.length == 0) return false; // a packet carries 1 to 16383 bytes
    }
    out = p;
    return true;
}
