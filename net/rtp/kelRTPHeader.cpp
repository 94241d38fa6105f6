#include "net/rtp/kelRTPHeader.h"

#include "core/kelByteOrder.h"

#include <cstring>

namespace {

// The _NO fields keep the wire bytes; going through a byte array keeps this
// independent of the host's byte order.
uint16_t fromWire16(uint16_t field) noexcept
{
    uint8_t b[2];
    std::memcpy(b, &field, 2);
    return kelLoadBE16(b);
}

uint32_t fromWire32(uint32_t field) noexcept
{
    uint8_t b[4];
    std::memcpy(b, &field, 4);
    return kelLoadBE32(b);
}

uint16_t toWire16(uint16_t v) noexcept
{
    uint8_t b[2];
    kelStoreBE16(b, v);
    uint16_t field;
    std::memcpy(&field, b, 2);
    return field;
}

uint32_t toWire32(uint32_t v) noexcept
{
    uint8_t b[4];
    kelStoreBE32(b, v);
    uint32_t field;
    std::memcpy(&field, b, 4);
    return field;
}

} // namespace

uint16_t rtp_hdr::seq() const noexcept
{
    return fromWire16(r_seq_NO);
}
uint32_t rtp_hdr::timestamp() const noexcept
{
    return fromWire32(r_timestamp_NO);
}
uint32_t rtp_hdr::ssrc() const noexcept
{
    return fromWire32(r_ssrc_NO);
}
void rtp_hdr::setSeq(uint16_t seq) noexcept
{
    r_seq_NO = toWire16(seq);
}
void rtp_hdr::setTimestamp(uint32_t ts) noexcept
{
    r_timestamp_NO = toWire32(ts);
}
void rtp_hdr::setSsrc(uint32_t ssrc) noexcept
{
    r_ssrc_NO = toWire32(ssrc);
}

rtp_hdr rtp_hdr::read(const uint8_t* packet) noexcept
{
    rtp_hdr h;
    std::memcpy(&h, packet, sizeof(h));
    return h;
}

void rtp_hdr::write(uint8_t* packet) const noexcept
{
    std::memcpy(packet, this, sizeof(*this));
}

bool rtpParsePacket(const uint8_t* data, size_t size, kelRTPPacketInfo& out) noexcept
{
    if (data == nullptr || size < kelRTPHeaderSize || !rtpIsVersion2(data[0])) return false;
    const size_t headerSize = kelRTPHeaderSize + 4 * size_t(data[0] & 0x0F);
    size_t extensionSize = 0;
    uint16_t profile = 0;
    if (data[0] & 0x10) {
        if (headerSize + 4 > size) return false;
        profile = kelLoadBE16(data + headerSize);
        extensionSize = 4 + 4 * size_t(kelLoadBE16(data + headerSize + 2));
    }
    const size_t padding = (data[0] & 0x20) ? data[size - 1] : 0;
    if (headerSize + extensionSize + padding > size) return false;

    out.header = rtp_hdr::read(data);
    out.headerSize = headerSize;
    out.extensionSize = extensionSize;
    out.extensionProfile = profile;
    out.payloadOffset = headerSize + extensionSize;
    out.paddingSize = padding;
    out.payloadSize = size - headerSize - extensionSize - padding;
    return true;
}

void rtpWriteHeader(uint8_t* out, bool marker, uint8_t payloadType, uint16_t seq, uint32_t timestamp,
                    uint32_t ssrc) noexcept
{
    out[0] = 0x80;
    out[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | (payloadType & 0x7F));
    kelStoreBE16(out + 2, seq);
    kelStoreBE32(out + 4, timestamp);
    kelStoreBE32(out + 8, ssrc);
}

size_t rtpBuildCNPing(uint8_t* out, uint16_t seq, uint32_t ssrc) noexcept
{
    rtpWriteHeader(out, false, kelRTPPayloadCN, seq, 1, ssrc);
    out[12] = 0; // noise level
    return kelRTPCNPingSize;
}
