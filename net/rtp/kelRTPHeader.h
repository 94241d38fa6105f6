#pragma once
// The fixed RTP header (RFC 3550 section 5.1) and the rules this library
// applies to it.
//
//    0                   1                   2                   3
//    0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |V=2|P|X|  CC   |M|     PT      |       sequence number         |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |                           timestamp                           |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |                             SSRC                              |
//   +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
//   |                 CSRC list (CC × 32 bits)                      |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |  extension profile (X set)    |  extension length (words)     |
//   |                 extension data (length × 32 bits)             |
//
// On receive a version-2 datagram of at least 12 bytes is RTP; the CSRC list
// is skipped, and so is the header extension when X is set (section 5.3.1:
// peers use it for audio levels, send times and the like; it is never
// payload, and this library does not act on it). Padding (P set: the last
// byte counts the padding bytes) is stripped. This library never writes
// CSRCs, padding or extensions.

#include "net/rtp/kelRTPPayloadTypes.h"

#include <cstddef>
#include <cstdint>

// The 12-byte fixed header as kept in memory. The multi-byte fields hold
// network order (their _NO suffix), so the record can be copied into a packet
// as it stands; use the accessors to read or set them in host terms.
struct rtp_hdr
{
    uint8_t r_V_P_X_CC = 0x80;
    uint8_t r_M_PT = 0;
    uint16_t r_seq_NO = 0;
    uint32_t r_timestamp_NO = 0;
    uint32_t r_ssrc_NO = 0;

    uint8_t version() const noexcept { return r_V_P_X_CC >> 6; }
    bool padding() const noexcept { return (r_V_P_X_CC & 0x20) != 0; }
    bool extension() const noexcept { return (r_V_P_X_CC & 0x10) != 0; }
    uint8_t csrcCount() const noexcept { return r_V_P_X_CC & 0x0F; }
    bool marker() const noexcept { return (r_M_PT & 0x80) != 0; }
    uint8_t payloadType() const noexcept { return r_M_PT & 0x7F; }
    uint16_t seq() const noexcept;
    uint32_t timestamp() const noexcept;
    uint32_t ssrc() const noexcept;

    void setMarkerPT(bool marker, uint8_t payloadType) noexcept
    {
        r_M_PT = static_cast<uint8_t>((marker ? 0x80 : 0) | (payloadType & 0x7F));
    }
    void setSeq(uint16_t seq) noexcept;
    void setTimestamp(uint32_t ts) noexcept;
    void setSsrc(uint32_t ssrc) noexcept;

    // The header from / into the first 12 bytes of a packet.
    static rtp_hdr read(const uint8_t* packet) noexcept;
    void write(uint8_t* packet) const noexcept;
};
static_assert(sizeof(rtp_hdr) == 12, "rtp_hdr must match the 12 wire bytes");

inline constexpr size_t kelRTPHeaderSize = 12;
// Length of the path-opening ping (a comfort-noise packet, kelRTPPayloadCN).
inline constexpr size_t kelRTPCNPingSize = 13;

// True when the first byte carries version 2 (0x80 ... 0xBF): RTP or RTCP.
inline bool rtpIsVersion2(uint8_t firstByte) noexcept
{
    return (firstByte & 0xC0) == 0x80;
}

// Where the parts of an accepted RTP packet lie.
struct kelRTPPacketInfo
{
    rtp_hdr header;
    size_t headerSize = 0;    // 12 + 4 × CSRC count
    size_t extensionSize = 0; // 4 + 4 × its length field when X is set, else 0
    uint16_t extensionProfile = 0;
    size_t payloadOffset = 0; // headerSize + extensionSize
    size_t payloadSize = 0;
    size_t paddingSize = 0;
};

// Checks a received datagram and locates its payload. False for anything
// that is not a deliverable RTP packet: shorter than 12 bytes, not version
// 2, or shorter than its header, its extension and its padding together.
// `out` is written only on success.
[[nodiscard]] bool rtpParsePacket(const uint8_t* data, size_t size, kelRTPPacketInfo& out) noexcept;

// Writes the 12-byte data header: version 2, no padding, extension or CSRC.
void rtpWriteHeader(uint8_t* out, bool marker, uint8_t payloadType, uint16_t seq, uint32_t timestamp,
                    uint32_t ssrc) noexcept;

// The 13-byte comfort-noise ping a receiver sends to open a path through
// address translators: payload type 13, timestamp 1, noise level 0. Returns
// the bytes written (kelRTPCNPingSize).
size_t rtpBuildCNPing(uint8_t* out, uint16_t seq, uint32_t ssrc) noexcept;
