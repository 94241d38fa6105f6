#pragma once
// kelmtlBroadcastReception: what a broadcast client makes of each datagram.
// It holds the state of one reception (the sender followed, the format index
// in use, the sequence number expected) and its counters; it has no socket,
// thread or clock: the client's receive thread hands it every datagram with
// its sender and the time, and acts on the verdict.
//
// Rules:
//  - Datagrams of 2 bytes or fewer are ignored; a datagram whose size does
//    not match its type and length fields, or whose checksum is wrong, is
//    damaged.
//  - Several servers may broadcast to one port. The reception follows the
//    sender of the format it took, and ignores (counts as foreign) every
//    other sender until that one has been silent for 2 s; then the next
//    format taken, from whoever sends it, starts a new reception.
//  - A format packet is taken when its changed bit is set or its index
//    differs from the one in use, unless its values make no wave format
//    (then it is damaged).
//  - Data of the format index in use is checked against the sequence number
//    expected (4 bits). A step forward of 1 to 7 counts the packets skipped
//    as lost and delivers the packet; a step back (8 to 15 forward: a
//    duplicate or a late packet) drops it. Three such packets in a row that
//    follow each other mean the sender jumped on by 8 or more: the third is
//    taken and the count restarts from it. Data of another index, on a
//    channel other than audio, and types 2 and 3 are ignored.
//
// One thread hands in datagrams; the counters may be read from any thread.

#include "components/kelmtlIPBroadcastPacket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

struct kelBroadcastSender
{
    uint32_t ipH = 0; // host order
    uint16_t port = 0;
    bool operator==(const kelBroadcastSender&) const = default;
};

enum kelBroadcastVerdict : uint8_t {
    kelbv_ignored,    // nothing to do
    kelbv_damaged,    // wrong size or checksum, or a format of impossible values
    kelbv_foreign,    // from a sender other than the one followed
    kelbv_format,     // a format to apply (packet.format)
    kelbv_formatKept, // a format packet that restates the one in use
    kelbv_data,       // audio to deliver (packet.data)
    kelbv_late,       // a duplicate or late data packet, dropped
};

class kelmtlBroadcastReception
{
public:
    static constexpr uint64_t kSenderSilenceMs = 2000;
    // No format taken yet: the first format packet is always taken.
    static constexpr uint8_t kNoIndex = 5;
    static constexpr int kResyncRun = 3;

    struct Result
    {
        kelBroadcastVerdict verdict = kelbv_ignored;
        kelBroadcastPacket packet;
    };

    // Forgets the sender, the format index and the sequence number and zeroes
    // the counters. Not while another thread hands in datagrams.
    void reset() noexcept;

    // Judges one datagram from `from` received at `nowMs`. The result's
    // payload points into `datagram`.
    Result handle(const uint8_t* datagram, size_t len, const kelBroadcastSender& from,
                  uint64_t nowMs) noexcept;

    uint8_t formatIndex() const noexcept { return f_formatIndex; }
    bool hasSender() const noexcept { return f_hasSender; }
    const kelBroadcastSender& sender() const noexcept { return f_sender; }

    // Datagrams over 2 bytes.
    uint64_t received() const noexcept { return f_received.load(std::memory_order_relaxed); }
    // Data packets skipped by the sender's sequence.
    uint64_t lost() const noexcept { return f_lost.load(std::memory_order_relaxed); }
    uint64_t late() const noexcept { return f_late.load(std::memory_order_relaxed); }
    uint64_t damaged() const noexcept { return f_damaged.load(std::memory_order_relaxed); }
    uint64_t foreign() const noexcept { return f_foreign.load(std::memory_order_relaxed); }

private:
    void forgetSender() noexcept;
    Result takeFormat(const kelBroadcastPacket& packet, const kelBroadcastSender& from,
                      uint64_t nowMs) noexcept;
    Result takeData(const kelBroadcastPacket& packet) noexcept;

    bool f_hasSender = false;
    kelBroadcastSender f_sender;
    uint64_t f_lastHeardMs = 0;
    uint8_t f_formatIndex = kNoIndex;
    bool f_expecting = false;
    uint8_t f_expected = 0;
    int f_lateRun = 0;
    uint8_t f_lateNext = 0;
    std::atomic<uint64_t> f_received{0};
    std::atomic<uint64_t> f_lost{0};
    std::atomic<uint64_t> f_late{0};
    std::atomic<uint64_t> f_damaged{0};
    std::atomic<uint64_t> f_foreign{0};
};
