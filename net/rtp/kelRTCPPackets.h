#pragma once
// RTCP packets this library builds (RFC 3550 section 6) and the writer that
// lays them out, back to back, into one caller-owned buffer.
//
// Common header, 4 bytes, then the body:
//    0                   1                   2                   3
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//   |V=2|P|  count  |      type     |     length (words - 1)        |
//   +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//
//   SR   200  SSRC, NTP seconds, NTP fraction, RTP timestamp, packet count,
//             octet count (28 bytes), then report blocks
//   RR   201  SSRC (8 bytes), then report blocks
//   SDES 202  one chunk: SSRC, CNAME item (1, length, text), zero end byte,
//             zero padding to the next word (12, 16, 16, 16, 16, 20 ... bytes
//             for a CNAME of 0, 1, 2 ... bytes)
//   BYE  203  SSRC (8 bytes), no reason
//   APP  204  SSRC, 4-character name, data (count field = subtype)
//
// Report block, 24 bytes: SSRC, fraction lost (8) | cumulative lost (24),
// extended highest sequence, jitter, last SR (LSR), delay since last SR
// (DLSR, 1/65536 s).
//
// The writer never grows the buffer: an append that does not fit returns
// false and leaves the bytes written so far untouched.

#include "net/rtp/kelNTPTimestamp.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

enum kelRTCPPacketType : uint8_t {
    kelrtcp_SR = 200,
    kelrtcp_RR = 201,
    kelrtcp_SDES = 202,
    kelrtcp_BYE = 203,
    kelrtcp_APP = 204,
};

inline constexpr size_t kelRTCPHeaderSize = 4;
inline constexpr size_t kelRTCPSRSize = 28;
inline constexpr size_t kelRTCPRRSize = 8;
inline constexpr size_t kelRTCPBlockSize = 24;
inline constexpr size_t kelRTCPByeSize = 8;
inline constexpr size_t kelRTCPAppHeaderSize = 12;
inline constexpr unsigned kelRTCPMaxBlocks = 31;
// SDES item type of the canonical name.
inline constexpr uint8_t kelSDES_CNAME = 1;

struct kelRTCPReportBlock
{
    uint32_t ssrc = 0;
    uint8_t fractionLost = 0;
    uint32_t cumulativeLost = 0; // low 24 bits are sent
    uint32_t extendedHighestSeq = 0;
    uint32_t jitter = 0; // timestamp units
    uint32_t lastSR = 0;
    uint32_t delaySinceLastSR = 0;

    void write(uint8_t* out) const noexcept;
    static kelRTCPReportBlock read(const uint8_t* in) noexcept;
};

// Size of the SDES packet carrying a CNAME of `cnameLength` bytes
// (at most 255 are sent).
size_t rtcpSDESSize(size_t cnameLength) noexcept;

// Size of an APP packet with `dataLength` data bytes: the data is padded
// with zeros to a whole number of 32-bit words, so the length field covers
// every byte sent.
size_t rtcpAPPSize(size_t dataLength) noexcept;

class kelRTCPWriter
{
public:
    kelRTCPWriter(uint8_t* buffer, size_t capacity) noexcept : f_buf(buffer), f_capacity(capacity) {}

    // Opens an SR or RR; report blocks follow through addBlock, and
    // closePacket sets its count and length. An open packet is closed by the
    // next begin/add call as well.
    [[nodiscard]] bool beginSR(uint32_t ssrc, const kelNTP_timestamp& ntp, uint32_t rtpTimestamp,
                               uint32_t packetCount, uint32_t octetCount) noexcept;
    [[nodiscard]] bool beginRR(uint32_t ssrc) noexcept;
    // At most 31 blocks per packet.
    [[nodiscard]] bool addBlock(const kelRTCPReportBlock& block) noexcept;
    void closePacket() noexcept;
    // Blocks in the open SR/RR (0 when none is open).
    unsigned openBlocks() const noexcept { return f_open ? f_blocks : 0; }

    // A CNAME longer than 255 bytes is cut to 255.
    [[nodiscard]] bool addSDES(uint32_t ssrc, std::string_view cname) noexcept;
    [[nodiscard]] bool addBYE(uint32_t ssrc) noexcept;
    // `name` supplies 4 characters (shorter names are padded with spaces).
    [[nodiscard]] bool addAPP(uint32_t ssrc, uint8_t subtype, std::string_view name, const uint8_t* data,
                              size_t dataLength) noexcept;

    size_t size() const noexcept { return f_size; }
    const uint8_t* data() const noexcept { return f_buf; }

private:
    bool room(size_t n) const noexcept { return f_buf != nullptr && f_capacity - f_size >= n; }
    void writeHeader(uint8_t* at, uint8_t count, uint8_t type, size_t bytes) noexcept;

    uint8_t* f_buf;
    size_t f_capacity;
    size_t f_size = 0;
    size_t f_openAt = 0;
    unsigned f_blocks = 0;
    bool f_open = false;
};

// The round-trip probe carried in "_RTT" APP packets: 20 bytes in the
// prober's little-endian order. Subtype 1 probes, subtype 2 echoes the
// probe's bytes unchanged.
inline constexpr size_t kelRTTPayloadSize = 20;
inline constexpr uint8_t kelRTTProbe = 1;
inline constexpr uint8_t kelRTTEcho = 2;

struct kelRTTPayload
{
    uint64_t timeMark = 0; // ms of the prober's clock
    uint32_t magic = 0;
    uint32_t proberSSRC = 0;
    uint32_t probedSSRC = 0;

    void write(uint8_t* out) const noexcept;
    static kelRTTPayload read(const uint8_t* in) noexcept;
};
