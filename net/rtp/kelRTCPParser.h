#pragma once
// Reading received RTCP datagrams, packet by packet (RFC 3550 section 6.1).
//
// A packet needs at least its 4-byte header and version 2; the first packet
// of a datagram must have the padding bit clear, later ones may have it. Its
// size is (length + 1) × 4 bytes and the next packet starts right after it.
// A packet that is too short, of a wrong version, or longer than what is left
// of the datagram ends the walk: nothing past it is read.
//
// Per type the reader extracts what this library uses:
//   SR   (>= 28 bytes)  SSRC at 4, NTP timestamp at 8, blocks from 28
//   RR   (>= 8 bytes)   SSRC at 4, blocks from 8
//   SDES (>= 8 bytes)   SSRC of the first chunk, its first CNAME item
//   BYE  (>= 8 bytes)   the first SSRC and the list of all SSRCs
//   APP  (>= 12 bytes)  subtype, SSRC, name, data up to the packet's end
// Every item walk is bounded by the packet, which is bounded by the
// datagram. Other types, and known types below their minimum size, are
// returned with hasSSRC false so the caller can pass over them.

#include "net/rtp/kelNTPTimestamp.h"
#include "net/rtp/kelRTCPPackets.h"

#include <cstddef>
#include <cstdint>

struct kelRTCPPacketView
{
    const uint8_t* packet = nullptr; // start of this packet's header
    size_t size = 0;                 // (length + 1) × 4
    uint8_t type = 0;
    uint8_t count = 0; // blocks, chunks or APP subtype
    bool padding = false;
    bool hasSSRC = false;
    uint32_t ssrc = 0;

    // SR
    kelNTP_timestamp ntp;
    // SR and RR: the report blocks that lie wholly inside the packet,
    // at most `count` of them.
    const uint8_t* blocks = nullptr;
    unsigned blockCount = 0;

    // SDES: the first CNAME item of the first chunk, when there is one.
    const uint8_t* cname = nullptr;
    uint8_t cnameLength = 0;

    // BYE: the SSRCs that lie wholly inside the packet, at most `count`
    // of them (the first is also `ssrc`).
    const uint8_t* byeSSRCs = nullptr;
    unsigned byeCount = 0;

    // APP
    char appName[4] = {0, 0, 0, 0};
    const uint8_t* appData = nullptr;
    size_t appDataSize = 0;

    kelRTCPReportBlock block(unsigned i) const noexcept { return kelRTCPReportBlock::read(blocks + 24 * i); }
    uint32_t byeSSRC(unsigned i) const noexcept;
    bool isApp(const char* name4) const noexcept;
};

// Walks a datagram without copying it; the views point into `data`, which
// must outlive them. Never reads outside [data, data + size).
class kelRTCPReader
{
public:
    kelRTCPReader(const uint8_t* data, size_t size) noexcept : f_data(data), f_size(data ? size : 0) {}

    // The next packet, or false at the end of the datagram or at the first
    // malformed packet.
    [[nodiscard]] bool next(kelRTCPPacketView& out) noexcept;

    // True when the walk ended because of a malformed packet.
    bool malformed() const noexcept { return f_malformed; }

private:
    const uint8_t* f_data;
    size_t f_size;
    size_t f_offset = 0;
    bool f_malformed = false;
};

// True when the datagram starts like RTCP: version 2, padding clear and a
// type in 200 ... 204 (RTP keeps payload types 72 ... 76 free for this).
bool rtcpLooksLikeRTCP(const uint8_t* data, size_t size) noexcept;
