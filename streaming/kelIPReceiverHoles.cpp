#include "streaming/kelIPReceiverHoles.h"

#include <algorithm>

void kelIPReceiverHoles::opened(uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    f_hasSSRC = false;
    f_bye = false;
    f_ssrc = 0;
    f_lastRTP = 0;
    f_lastPunch = now;
    unheardFrom(now);
}

void kelIPReceiverHoles::unheardFrom(uint64_t now) noexcept
{
    f_heard = false;
    f_unheardSince = now;
}

bool kelIPReceiverHoles::rtpFromTransmitter(uint32_t ssrc, uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    if (!f_hasSSRC || ssrc == f_ssrc) {
        f_hasSSRC = true;
        f_ssrc = ssrc;
        f_bye = false;
        f_heard = true;
        f_lastRTP = now;
        return false;
    }
    const bool silent = now < f_lastRTP || now - f_lastRTP >= kSSRCSilentMs;
    if (!f_bye && !silent) return false;
    f_ssrc = ssrc;
    f_bye = false;
    f_heard = true;
    f_lastRTP = now;
    return true;
}

void kelIPReceiverHoles::adopt(uint32_t ssrc, uint64_t now) noexcept
{
    std::lock_guard lock(f_guard);
    f_hasSSRC = true;
    f_ssrc = ssrc;
    f_bye = false;
    f_heard = true;
    f_lastRTP = now;
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
        const uint64_t stall = kStallReports * std::max(reportMs, kMinReportMs);
        if (now <= f_lastRTP || now - f_lastRTP <= stall) return false;
        unheardFrom(now);
        return true;
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

uint32_t kelIPReceiverHoles::transmitterSSRC() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_hasSSRC ? f_ssrc : 0;
}

uint64_t kelIPReceiverHoles::lastTick() const noexcept
{
    std::lock_guard lock(f_guard);
    return f_lastTick;
}
