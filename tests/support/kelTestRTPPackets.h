#pragma once
// RTP and RTCP packets as they travel, byte for byte: the golden arrays that
// the wire-format tests build and parse, and that the component tests
// compare against what the components send. One array per packet, so a
// writer and a reader are held to the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An RTP packet: version 2, no CSRC, the given header fields and payload.
std::vector<uint8_t> kelTestRTPPacket(uint8_t pt, uint16_t seq, const std::vector<uint8_t>& payload,
                                      uint32_t timestamp = 0, uint32_t ssrc = 0x12345678,
                                      bool marker = false);

// One older generation of a redundant payload: its block payload type, how
// much earlier than the primary its text was sent (timestamp units) and the
// text.
struct kelTestRedBlock
{
    uint8_t pt = 0;
    uint16_t tsOffset = 0;
    std::string text;
};
// A redundant payload: a 4-byte header per older block (oldest first), the
// 1-byte primary header, then the blocks' data in the same order and the
// primary's text last.
std::vector<uint8_t> kelTestRedPayload(const std::vector<kelTestRedBlock>& older, uint8_t primaryPT,
                                       const std::string& primary);
// kelTestRedPayload({{98, 600, "ab"}, {98, 300, "c"}}, 98, "d"), by hand.
inline const std::vector<uint8_t> kelGoldenRedPayload = {0xE2, 0x09, 0x60, 0x02, 0xE2, 0x04, 0xB0,
                                                         0x01, 0x62, 'a',  'b',  'c',  'd'};

// An RTP header with the marker set, payload type 113 (real-time text),
// sequence 0xABCD, timestamp 0x01020304, SSRC 0xDEADBEEF.
inline const std::vector<uint8_t> kelGoldenRTPHeader = {0x80, 0xF1, 0xAB, 0xCD, 0x01, 0x02,
                                                        0x03, 0x04, 0xDE, 0xAD, 0xBE, 0xEF};

// An RTP packet as peers send them with a header extension: X set, one
// CSRC (0x55667788), payload type 0, sequence 7, timestamp 160, SSRC
// 0x11223344; the extension (profile 0xBEDE, one word: an audio-level
// element and its padding) follows the CSRC, then the three payload bytes
// "abc".
inline const std::vector<uint8_t> kelGoldenRTPWithExtension = {
    0x91, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0xA0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
    0x77, 0x88, 0xBE, 0xDE, 0x00, 0x01, 0x10, 0x7F, 0x00, 0x00, 'a',  'b',  'c'};
// Where its extension length field and its payload lie.
inline constexpr size_t kelGoldenRTPExtensionLengthAt = 18;
inline constexpr size_t kelGoldenRTPExtensionPayloadAt = 24;

// The comfort-noise ping that opens paths: RTP payload type 13, timestamp
// 1, one zero payload byte (noise level 0).
std::vector<uint8_t> kelGoldenCNPing(uint16_t seq, uint32_t ssrc);

// The empty RTCP APP packet "HELO" (subtype 0) that a receiver punches
// towards the transmitter's RTCP port.
std::vector<uint8_t> kelGoldenHELO(uint32_t ssrc);

// An RTCP BYE of one source, no reason.
std::vector<uint8_t> kelGoldenBYE(uint32_t ssrc);

// A sender report of SSRC 0x01020304 with one report block, and the field
// values it carries.
struct kelGoldenSenderReportFields
{
    static constexpr uint32_t ssrc = 0x01020304;
    static constexpr uint32_t ntpSeconds = 0xAABBCCDD;
    static constexpr uint32_t ntpFraction = 0x80000000;
    static constexpr uint32_t rtpTimestamp = 0x11223344;
    static constexpr uint32_t packets = 5;
    static constexpr uint32_t octets = 800;
    static constexpr uint32_t blockSSRC = 0x0A0B0C0D;
    static constexpr uint8_t fractionLost = 0x40;
    // Only the low 24 bits travel.
    static constexpr uint32_t cumulativeLost = 0x345678;
    static constexpr uint32_t extendedHighestSeq = 0x00010005;
    static constexpr uint32_t jitter = 0xF1;
    static constexpr uint32_t lastSR = 0xCCDD8000;
    static constexpr uint32_t delaySinceLastSR = 0x00018000;
};
inline const std::vector<uint8_t> kelGoldenSenderReport = {
    0x81, 200,  0, 12, 1, 2, 3, 4,    0xAA, 0xBB, 0xCC, 0xDD, 0x80, 0,    0,    0,    0x11, 0x22,
    0x33, 0x44, 0, 0,  0, 5, 0, 0,    3,    0x20, 0x0A, 0x0B, 0x0C, 0x0D, 0x40, 0x34, 0x56, 0x78,
    0,    1,    0, 5,  0, 0, 0, 0xF1, 0xCC, 0xDD, 0x80, 0,    0,    1,    0x80, 0};

// A compound RTCP datagram split at its length fields.
struct kelTestRTCPPart
{
    uint8_t type = 0;
    std::vector<uint8_t> bytes;
};
// Empty when a length does not fit the datagram or a packet is not RTCP.
std::vector<kelTestRTCPPart> kelTestSplitCompound(const std::vector<uint8_t>& datagram);
