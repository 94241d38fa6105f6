#pragma once
// Receiving side of the IP pipes' packet protocol (kelIpPacketWire.h), as
// pure state machines for one connection: joining the pieces of a packet,
// framing a TCP byte stream into pieces, and following the sequence numbers
// of UDP datagrams. They are fed by one thread at a time.

#include "components/kelIpPacketWire.h"

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// A packet handed on: its command, sequence number and whole payload (valid
// during the call).
using kelIpPacketSink = std::function<void(uint8_t cmd, uint16_t seq, const uint8_t* payload, size_t len)>;

// Joins the pieces of one packet at a time. Pieces of a packet carry its
// sequence number; a packet is handed on once its last piece came and every
// index up to it came exactly once, and its checksum matches.
class kelIpPieceJoiner
{
public:
    // The sequence number the next packet should carry.
    explicit kelIpPieceJoiner(uint16_t expectedSeq = 1) noexcept : f_expected(expectedSeq) {}

    // Takes one piece (`piece` holds header.size bytes). A sequence number
    // other than the expected one drops what was collected (counted out of
    // sequence) and starts over from this piece's packet; a filled index is
    // a duplicate; an index past the last one drops the packet.
    void offer(const kelIpHeader& header, const uint8_t* piece, const kelIpPacketSink& sink);
    void reset(uint16_t expectedSeq = 1) noexcept;

    uint64_t crcErrors() const noexcept { return f_crcErrors; }
    uint64_t dupCount() const noexcept { return f_dupCount; }
    uint64_t outOfSeq() const noexcept { return f_outOfSeq; }
    uint16_t expectedSeq() const noexcept { return f_expected; }
    // Payload bytes collected for the packet in progress.
    size_t collected() const noexcept { return f_collected; }

private:
    void discard() noexcept;

    uint16_t f_expected;
    uint8_t f_cmd = 0;
    uint16_t f_checksum = 0;
    int f_lastIndex = -1;
    int f_highest = -1;
    size_t f_collected = 0;
    std::bitset<kelIpMaxPieces> f_filled;
    std::array<std::vector<uint8_t>, kelIpMaxPieces> f_slots;
    std::vector<uint8_t> f_joined;
    uint64_t f_crcErrors = 0;
    uint64_t f_dupCount = 0;
    uint64_t f_outOfSeq = 0;
};

// Cuts a TCP byte stream into pieces, whatever the reads' boundaries, and
// joins them into packets. An incomplete piece is held for the next call.
class kelIpTcpReassembler
{
public:
    void feed(const void* data, size_t len, const kelIpPacketSink& sink);
    void reset(uint16_t expectedSeq = 1) noexcept;
    // Bytes of an incomplete piece held back.
    size_t held() const noexcept { return f_tail.size(); }
    const kelIpPieceJoiner& joiner() const noexcept { return f_joiner; }

private:
    // Consumes whole pieces from `p`; returns the bytes used.
    size_t consume(const uint8_t* p, size_t len, const kelIpPacketSink& sink);

    std::vector<uint8_t> f_tail;
    kelIpPieceJoiner f_joiner;
};

// Follows the sequence numbers of a UDP party. A repeated number is the
// next piece of the same packet; only a step forward past the expected
// number is loss; a number behind it (late, or a duplicate) is counted and
// changes nothing.
class kelIpUdpSequence
{
public:
    struct Step
    {
        uint32_t lost = 0; // packets missing before this one
        bool late = false;
    };
    explicit kelIpUdpSequence(uint16_t expectedSeq = 1) noexcept : f_expected(expectedSeq) {}
    Step offer(uint16_t seq) noexcept;
    void reset(uint16_t expectedSeq = 1) noexcept;
    uint64_t lostTotal() const noexcept { return f_lostTotal; }
    uint64_t lateTotal() const noexcept { return f_lateTotal; }

private:
    uint16_t f_expected;
    uint16_t f_last = 0;
    bool f_haveLast = false;
    uint64_t f_lostTotal = 0;
    uint64_t f_lateTotal = 0;
};
