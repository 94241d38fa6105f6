#include "components/kelmtlBroadcastReception.h"

#include "components/kelWavePcmRecord.h"

namespace {

void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) noexcept
{
    counter.fetch_add(by, std::memory_order_relaxed);
}

} // namespace

void kelmtlBroadcastReception::reset() noexcept
{
    forgetSender();
    f_received.store(0);
    f_lost.store(0);
    f_late.store(0);
    f_damaged.store(0);
    f_foreign.store(0);
}

void kelmtlBroadcastReception::forgetSender() noexcept
{
    f_hasSender = false;
    f_sender = {};
    f_formatIndex = kNoIndex;
    f_expecting = false;
    f_lateRun = 0;
}

kelmtlBroadcastReception::Result kelmtlBroadcastReception::handle(const uint8_t* datagram, size_t len,
                                                                  const kelBroadcastSender& from,
                                                                  uint64_t nowMs) noexcept
{
    Result result;
    if (datagram == nullptr || len <= 2) return result;
    bump(f_received);
    if (f_hasSender && !(from == f_sender)) {
        // A clock set back counts as no time passed.
        if (nowMs < f_lastHeardMs || nowMs - f_lastHeardMs < kSenderSilenceMs) {
            bump(f_foreign);
            result.verdict = kelbv_foreign;
            return result;
        }
        forgetSender();
    }
    kelBroadcastPacket packet;
    if (!kelParseBroadcastPacket(datagram, len, packet)) {
        bump(f_damaged);
        result.verdict = kelbv_damaged;
        return result;
    }
    if (f_hasSender) f_lastHeardMs = nowMs;
    if (packet.type == kelbpt_format) return takeFormat(packet, from, nowMs);
    if (packet.type == kelbpt_data && packet.data.index == f_formatIndex) return takeData(packet);
    return result;
}

kelmtlBroadcastReception::Result kelmtlBroadcastReception::takeFormat(const kelBroadcastPacket& packet,
                                                                      const kelBroadcastSender& from,
                                                                      uint64_t nowMs) noexcept
{
    Result result;
    result.packet = packet;
    const kelBroadcastFormat& f = packet.format;
    if (!f.changed && f.index == f_formatIndex) {
        result.verdict = kelbv_formatKept;
        return result;
    }
    if (f.samplesPerSec == 0 || !kelPcmValuesFit(f.samplesPerSec, f.bitsPerSample, f.numChannels)) {
        bump(f_damaged);
        result.verdict = kelbv_damaged;
        return result;
    }
    if (!f_hasSender) {
        f_hasSender = true;
        f_sender = from;
        f_expecting = false;
        f_lateRun = 0;
    }
    f_lastHeardMs = nowMs;
    f_formatIndex = f.index;
    result.verdict = kelbv_format;
    return result;
}

kelmtlBroadcastReception::Result kelmtlBroadcastReception::takeData(const kelBroadcastPacket& packet) noexcept
{
    Result result;
    result.packet = packet;
    const uint8_t seq = packet.data.sequence;
    if (f_expecting) {
        const uint8_t step = (seq - f_expected) & 15;
        if (step >= 8) {
            // Behind the sequence: a duplicate or a late packet, unless a run
            // of them follows on from each other (the sender jumped ahead).
            f_lateRun = f_lateRun > 0 && seq == f_lateNext ? f_lateRun + 1 : 1;
            f_lateNext = (seq + 1) & 15;
            if (f_lateRun < kResyncRun) {
                bump(f_late);
                result.verdict = kelbv_late;
                return result;
            }
        } else if (step > 0) {
            bump(f_lost, step);
        }
    }
    f_lateRun = 0;
    f_expecting = true;
    f_expected = (seq + 1) & 15;
    result.verdict = packet.data.channelMedia == 0 ? kelbv_data : kelbv_ignored;
    return result;
}
