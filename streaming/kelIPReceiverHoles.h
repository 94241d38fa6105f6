#pragma once
// kelIPReceiverHoles: when a unicast receiver punches its hole packets
// again, besides the set it sends at open.
//
// Until the transmitter is heard (any RTP from its address), the set goes
// every 500 ms for the first 5 s, so a receiver that starts before its
// transmitter is found within half a second of the transmitter's start;
// after that once at each report time, for as long as it stays unheard.
//
// Once heard, the set goes again:
//  - at once when the RTP receiver takes another SSRC as the transmitter's
//    (adopt: the receiver's own takeover rule decides, not this plan);
//  - at once when a BYE from it names its SSRC; it counts as unheard again,
//    with a new 5 s of fast repeats;
//  - as soon as its report (SR or RR) is overdue, 1.5 times the interval
//    its reports came at, and then at each of our report times while it
//    stays silent, and never more than kMinReportMs apart: a transmitter
//    killed without a BYE and started again has lost its destinations and
//    learns ours from the next set;
//  - every kMinReportMs while its RTP has been quiet for longer than one
//    report interval (text is quiet between words): that keeps address
//    translators open, and a successor started before the old one is
//    overdue hears us within 2.5 s too (report times alone come up to
//    about 6 s apart);
//  - for a transmitter never heard to report (RTCP off), when its RTP
//    stopped for longer than three report intervals (unheard again).
//
// Bookkeeping only: no socket, no thread, times in ms of the component's
// clock. Any thread (a mutex inside): the RTP thread notes packets, the RTCP
// threads note reports and BYEs and ask on their ticks.

#include <cstdint>
#include <mutex>

class kelIPReceiverHoles
{
public:
    static constexpr uint64_t kFastRepeatMs = 500;
    static constexpr uint64_t kFastPeriodMs = 5000;
    static constexpr uint64_t kStallReports = 3;
    // The report interval a stop is measured in never counts as shorter
    // than this, so a stack that has not drawn one yet does not make every
    // pause a stop.
    static constexpr uint64_t kMinReportMs = 2500;
    // A report is overdue after this many of its intervals (in tenths).
    static constexpr uint64_t kOverdueTenths = 15;
    // The transmitter's report interval as measured never counts as
    // shorter than this: RFC 3550 draws none below about 1 s, and a burst
    // of extra reports must not make every pause look like a death.
    static constexpr uint64_t kMinMeasuredReportMs = 1000;

    // The open sent the first set at `now`; everything before is forgotten.
    void opened(uint64_t now) noexcept;
    // RTP of the transmitter's (`ssrc`, the one the RTP receiver accepts).
    void rtpFromTransmitter(uint32_t ssrc, uint64_t now) noexcept;
    // The RTP receiver took `ssrc` as the transmitter's in place of the one
    // before: it is heard now, with its reports still to be learnt. The
    // caller punches at once.
    void adopt(uint32_t ssrc, uint64_t now) noexcept;
    // An SR or RR from the transmitter's host whose sender is `ssrc`; only
    // the transmitter's own count.
    void reportFrom(uint32_t ssrc, uint64_t now) noexcept;
    // A BYE from the transmitter's host that names `ssrc`. True when that is
    // the transmitter's: punch at once.
    [[nodiscard]] bool byeFromTransmitter(uint32_t ssrc, uint64_t now) noexcept;
    // A tick of the report timer's thread (`timerExpired` when the report
    // timer ran out in it; `reportMs` our current report interval, the
    // stand-in for the transmitter's until two of its reports came). True
    // when a set is due now.
    [[nodiscard]] bool tick(uint64_t now, bool timerExpired, uint64_t reportMs) noexcept;
    // A set went out at `now`, whatever asked for it.
    void punched(uint64_t now) noexcept;

    bool heard() const noexcept;
    // Heard, but its reports are overdue.
    bool silent() const noexcept;
    // The transmitter's SSRC; 0 before it was heard.
    uint32_t transmitterSSRC() const noexcept;
    // The transmitter's report interval as measured; 0 before two reports.
    uint64_t reportIntervalMs() const noexcept;
    // The clock time its last report was noted at; 0 for none.
    uint64_t lastReportMs() const noexcept;
    // The clock time of the last tick (tests wait for a tick to pass a time).
    uint64_t lastTick() const noexcept;

private:
    void unheardFrom(uint64_t now) noexcept;
    void heardAs(uint32_t ssrc, uint64_t now) noexcept;

    mutable std::mutex f_guard;
    bool f_heard = false;
    bool f_hasSSRC = false;
    bool f_bye = false;
    bool f_silent = false;
    uint32_t f_ssrc = 0;
    uint64_t f_unheardSince = 0;
    uint64_t f_lastPunch = 0;
    uint64_t f_lastRTP = 0;
    uint64_t f_lastReport = 0;
    uint64_t f_reportMs = 0;
    uint64_t f_lastTick = 0;
};
