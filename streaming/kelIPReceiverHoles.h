#pragma once
// kelIPReceiverHoles: when a unicast receiver punches its hole packets
// again, besides the set it sends at open.
//
// Until the transmitter is heard (any RTP from its address), the set goes
// every 500 ms for the first 5 s, so a receiver that starts before its
// transmitter is found within half a second of the transmitter's start;
// after that once at each report time, for as long as it stays unheard.
//
// Once heard, the set goes again at once when the transmitter is no longer
// the one we punched for:
//  - a different SSRC from its address replaces the current one, which it
//    does only when the current one said BYE or sent no RTP for 1 s (a
//    restarted transmitter; a second live source there replaces nothing);
//  - a BYE from it names the current SSRC;
//  - its RTP stopped for longer than three report intervals.
// After a BYE or a stop it counts as unheard again, with a new 5 s of fast
// repeats: a transmitter that restarts finds the receiver at once.
//
// Bookkeeping only: no socket, no thread, times in ms of the component's
// clock. Any thread (a mutex inside): the RTP thread notes packets, the RTCP
// threads note BYEs and ask on their ticks.

#include <cstdint>
#include <mutex>

class kelIPReceiverHoles
{
public:
    static constexpr uint64_t kFastRepeatMs = 500;
    static constexpr uint64_t kFastPeriodMs = 5000;
    static constexpr uint64_t kSSRCSilentMs = 1000;
    static constexpr uint64_t kStallReports = 3;
    // The report interval a stop is measured in never counts as shorter
    // than this, so a stack that has not drawn one yet does not make every
    // pause a stop.
    static constexpr uint64_t kMinReportMs = 2500;

    // The open sent the first set at `now`; everything before is forgotten.
    void opened(uint64_t now) noexcept;
    // RTP with `ssrc` from the transmitter's address. True when it replaced
    // the transmitter's SSRC: punch at once.
    [[nodiscard]] bool rtpFromTransmitter(uint32_t ssrc, uint64_t now) noexcept;
    // The RTP receiver took `ssrc` as the transmitter's in place of the one
    // before (it checks the same rule on its own records): note it as heard
    // now, so its RTP that follows replaces nothing.
    void adopt(uint32_t ssrc, uint64_t now) noexcept;
    // A BYE from the transmitter's host that names `ssrc`. True when that is
    // the transmitter's: punch at once.
    [[nodiscard]] bool byeFromTransmitter(uint32_t ssrc, uint64_t now) noexcept;
    // A tick of the report timer's thread (`timerExpired` when the report
    // timer ran out in it; `reportMs` the current report interval). True
    // when a set is due now.
    [[nodiscard]] bool tick(uint64_t now, bool timerExpired, uint64_t reportMs) noexcept;
    // A set went out at `now`, whatever asked for it.
    void punched(uint64_t now) noexcept;

    bool heard() const noexcept;
    // The transmitter's SSRC; 0 before it was heard.
    uint32_t transmitterSSRC() const noexcept;
    // The clock time of the last tick (tests wait for a tick to pass a time).
    uint64_t lastTick() const noexcept;

private:
    void unheardFrom(uint64_t now) noexcept;

    mutable std::mutex f_guard;
    bool f_heard = false;
    bool f_hasSSRC = false;
    bool f_bye = false;
    uint32_t f_ssrc = 0;
    uint64_t f_unheardSince = 0;
    uint64_t f_lastPunch = 0;
    uint64_t f_lastRTP = 0;
    uint64_t f_lastTick = 0;
};
