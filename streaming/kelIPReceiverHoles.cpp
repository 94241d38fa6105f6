#include "streaming/kelIPReceiverHoles.h"

#include <algorithm>

void kelIPReceiverHoles::opened(uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    f_hasSSRC = false;
    f_bye = false;
    f_ssrc = 0;
    f_lastRTP = 0;
    f_lastReport = 0;
    f_reportMs = 0;
    f_lastPunch = now;
    unheardFrom(now);
}

void kelIPReceiverHoles::unheardFrom(uint64_t now) noexcept
{
    f_heard = false;
    f_silent = false;
    f_unheardSince = now;
}

// A (new) transmitter: its reports are still to be learnt.
void kelIPReceiverHoles::heardAs(uint32_t ssrc, uint64_t now) noexcept
{
    f_hasSSRC = true;
    f_ssrc = ssrc;
    f_bye = false;
    f_heard = true;
    f_silent = false;
    f_lastRTP = now;
    f_lastReport = 0;
    f_reportMs = 0;
}

void kelIPReceiverHoles::rtpFromTransmitter(uint32_t ssrc, uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    // The RTP receiver hands on one SSRC only and says when it takes
    // another (adopt); one that differs here came first or after a BYE.
    if (!f_hasSSRC || ssrc != f_ssrc || f_bye) {
        heardAs(ssrc, now);
        return;
    }
    f_heard = true;
    f_silent = false;
    f_lastRTP = now;
}

void kelIPReceiverHoles::adopt(uint32_t ssrc, uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    heardAs(ssrc, now);
}

void kelIPReceiverHoles::reportFrom(uint32_t ssrc, uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    if (!f_hasSSRC || ssrc != f_ssrc || f_bye) return;
    if (f_lastReport != 0 && now > f_lastReport) {
        // A running mean of its gaps: RFC 3550 spreads each one over about
        // 0.4 ... 1.2 of its mean.
        const uint64_t gap = std::max(now - f_lastReport, kMinMeasuredReportMs);
        f_reportMs = f_reportMs == 0 ? gap : (3 * f_reportMs + gap) / 4;
    }
    f_lastReport = now;
    f_heard = true;
    f_silent = false;
}

bool kelIPReceiverHoles::byeFromTransmitter(uint32_t ssrc, uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    // A BYE before any RTP names no one we know; one BYE is enough.
    if (!f_hasSSRC || ssrc != f_ssrc || f_bye) return false;
    f_bye = true;
    unheardFrom(now);
    return true;
}

bool kelIPReceiverHoles::tick(uint64_t now, bool timerExpired, uint64_t reportMs) noexcept
{
    std::lock_guard lock(f_guard);
    f_lastTick = now;
    if (f_heard) {
        if (f_silent) return timerExpired || now < f_lastPunch || now - f_lastPunch >= kMinReportMs;
        const uint64_t ours = std::max(reportMs, kMinReportMs);
        if (f_lastReport != 0) {
            const uint64_t interval = f_reportMs != 0 ? f_reportMs : ours;
            if (now > f_lastReport && (now - f_lastReport) * 10 > kOverdueTenths * interval) {
                f_silent = true;
                return true;
            }
        } else if (now > f_lastRTP && now - f_lastRTP > kStallReports * ours) {
            unheardFrom(now);
            return true;
        }
        // Its RTP quiet for a report interval: a set every kMinReportMs (at
        // most as often as the shortest report interval) keeps the path
        // open and reaches a successor that has not been told where we are.
        const bool quiet = now > f_lastRTP && now - f_lastRTP > ours;
        return quiet && (now < f_lastPunch || now - f_lastPunch >= kMinReportMs);
    }
    const uint64_t unheard = now > f_unheardSince ? now - f_unheardSince : 0;
    if (unheard < kFastPeriodMs) return now < f_lastPunch || now - f_lastPunch >= kFastRepeatMs;
    return timerExpired;
}

void kelIPReceiverHoles::punched(uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    f_lastPunch = now;
}

bool kelIPReceiverHoles::heard() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_heard;
}

bool kelIPReceiverHoles::silent() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_heard && f_silent;
}

uint32_t kelIPReceiverHoles::transmitterSSRC() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_hasSSRC ? f_ssrc : 0;
}

uint64_t kelIPReceiverHoles::reportIntervalMs() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_reportMs;
}

uint64_t kelIPReceiverHoles::lastReportMs() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_lastReport;
}

uint64_t kelIPReceiverHoles::lastTick() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_lastTick;
}
