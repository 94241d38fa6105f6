#pragma once
// kelRTPReorderWindow: puts the RTP packets of one source back in sequence
// order and drops the ones already delivered.
//
// A packet that arrives ahead of the next expected sequence number waits
// (copied) for the missing ones, but not for long: the missing packets are
// given up as lost when more than `maxHeld` later packets wait, or when the
// first of the waiting packets has waited its time (given with each packet). What arrives
// after its turn was given up, or again after it was delivered, is dropped
// and counted (late or duplicate). Sequence numbers wrap: every comparison
// is a 16-bit difference.
//
// A jump of more than kelRTPReorderMaxAhead ahead or kelRTPReorderMaxBehind
// behind is taken as a restarted source only when the next packet follows
// it (two in a row), as RFC 3550 A.1 validates a sequence; the window then
// starts again at the jump and delivers both. A lone stray packet is
// dropped and counted as late.
//
// Time is passed in (milliseconds of the owner's clock); the window reads
// no clock and opens no socket. One thread at a time.

#include <cstddef>
#include <cstdint>
#include <vector>

// How far from the next expected sequence number a packet still belongs to
// the stream (the dropout and misorder limits of RFC 3550 A.1).
inline constexpr uint16_t kelRTPReorderMaxAhead = 3000;
inline constexpr uint16_t kelRTPReorderMaxBehind = 100;

// A packet the window hands back, in order.
struct kelRTPReorderPacket
{
    uint16_t seq = 0;
    std::vector<uint8_t> bytes;
};

class kelRTPReorderWindow
{
public:
    enum class verdict {
        // The next in order: the caller delivers it now, then takes what
        // popReady gives.
        deliver,
        // Copied; it comes out of popReady in its turn.
        held,
        // Already delivered, or waiting already: dropped.
        duplicate,
        // Its turn was given up, or a stray jump: dropped.
        late,
    };

    // A packet with sequence number `seq` arrived at `nowMs`; it may wait
    // up to `maxWaitMs` when it is ahead. `packet` is copied only when it
    // must wait. After any push, drain popReady.
    verdict push(uint16_t seq, const uint8_t* packet, size_t size, uint64_t nowMs, uint64_t maxWaitMs);

    // The next packet whose turn has come at `nowMs` (in order, or because
    // the missing ones before it were given up); false when none. Call
    // until false after every push and whenever nextDueMs has passed.
    bool popReady(uint64_t nowMs, kelRTPReorderPacket& out);

    // When the first waiting packet stops waiting; UINT64_MAX when none
    // waits.
    uint64_t nextDueMs() const noexcept;
    // Packets copied and not yet handed out or dropped.
    size_t heldCount() const noexcept
    {
        return f_held.size() + (f_ready.size() - f_readyAt) + (f_hasCandidate ? 1 : 0);
    }

    // Forgets the stream: the next packet starts it again.
    void reset() noexcept;

    // Later packets that may wait for a missing one (3 unless set).
    void setMaxHeld(size_t count) noexcept { f_maxHeld = count; }

    // Counters since construction (reset keeps them).
    uint64_t duplicates() const noexcept { return f_duplicates; }
    uint64_t late() const noexcept { return f_late; }
    // Sequence numbers given up as lost.
    uint64_t skipped() const noexcept { return f_skipped; }
    // Packets delivered after waiting.
    uint64_t reordered() const noexcept { return f_reordered; }

private:
    struct waiting
    {
        uint16_t seq = 0;
        uint64_t dueMs = 0;
        std::vector<uint8_t> bytes;
    };

    // Signed distance of `seq` from the next expected number.
    int32_t distance(uint16_t seq) const noexcept;
    void markDelivered(uint16_t seq) noexcept;
    bool wasDelivered(uint16_t seq) const noexcept;
    // Moves the next expected number to `seq`, giving up the ones between.
    void skipTo(uint16_t seq) noexcept;
    void startAt(uint16_t seq) noexcept;
    verdict hold(uint16_t seq, const uint8_t* packet, size_t size, uint64_t dueMs);

    size_t f_maxHeld = 3;
    bool f_started = false;
    uint16_t f_next = 0;
    // Waiting packets, sorted by their distance ahead of f_next.
    std::vector<waiting> f_held;
    // A packet far off the stream, kept until the next one says whether
    // the source restarted there.
    bool f_hasCandidate = false;
    waiting f_candidate;
    // Packets due out before anything else (those of a restart), from
    // f_readyAt on.
    std::vector<waiting> f_ready;
    size_t f_readyAt = 0;
    // Whether each of the last kHistory sequence numbers before f_next was
    // delivered (bit seq % kHistory); numbers given up are cleared.
    static constexpr uint16_t kHistory = 128;
    static_assert(kHistory > kelRTPReorderMaxBehind);
    uint64_t f_history[kHistory / 64] = {};
    uint64_t f_duplicates = 0;
    uint64_t f_late = 0;
    uint64_t f_skipped = 0;
    uint64_t f_reordered = 0;
};
