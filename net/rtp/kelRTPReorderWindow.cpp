#include "net/rtp/kelRTPReorderWindow.h"

#include <algorithm>
#include <cstdint>
#include <utility>

int32_t kelRTPReorderWindow::distance(uint16_t seq) const noexcept
{
    return static_cast<int16_t>(static_cast<uint16_t>(seq - f_next));
}

void kelRTPReorderWindow::markDelivered(uint16_t seq) noexcept
{
    const uint16_t bit = seq % kHistory;
    f_history[bit / 64] |= uint64_t(1) << (bit % 64);
}

bool kelRTPReorderWindow::wasDelivered(uint16_t seq) const noexcept
{
    const uint16_t bit = seq % kHistory;
    return (f_history[bit / 64] >> (bit % 64)) & 1u;
}

void kelRTPReorderWindow::skipTo(uint16_t seq) noexcept
{
    const int32_t gap = distance(seq);
    if (gap <= 0) return;
    f_skipped += static_cast<uint64_t>(gap);
    if (gap >= kHistory) {
        std::fill(std::begin(f_history), std::end(f_history), 0);
    } else {
        for (uint16_t s = f_next; s != seq; ++s) {
            const uint16_t bit = s % kHistory;
            f_history[bit / 64] &= ~(uint64_t(1) << (bit % 64));
        }
    }
    f_next = seq;
}

void kelRTPReorderWindow::startAt(uint16_t seq) noexcept
{
    f_started = true;
    f_next = seq;
    std::fill(std::begin(f_history), std::end(f_history), 0);
}

void kelRTPReorderWindow::reset() noexcept
{
    f_started = false;
    f_held.clear();
    f_ready.clear();
    f_readyAt = 0;
    f_hasCandidate = false;
    f_candidate.bytes.clear();
    std::fill(std::begin(f_history), std::end(f_history), 0);
}

kelRTPReorderWindow::verdict kelRTPReorderWindow::hold(uint16_t seq, const uint8_t* packet, size_t size,
                                                       uint64_t dueMs)
{
    const int32_t d = distance(seq);
    auto at =
        std::find_if(f_held.begin(), f_held.end(), [&](const waiting& w) { return distance(w.seq) >= d; });
    if (at != f_held.end() && at->seq == seq) {
        ++f_duplicates;
        return verdict::duplicate;
    }
    waiting w;
    w.seq = seq;
    w.dueMs = dueMs;
    w.bytes.assign(packet, packet + size);
    f_held.insert(at, std::move(w));
    return verdict::held;
}

kelRTPReorderWindow::verdict kelRTPReorderWindow::push(uint16_t seq, const uint8_t* packet, size_t size,
                                                       uint64_t nowMs, uint64_t maxWaitMs)
{
    if (!f_started) startAt(seq);
    const int32_t d = distance(seq);
    if (d >= -int32_t(kelRTPReorderMaxBehind) && d < 0) {
        if (wasDelivered(seq)) {
            ++f_duplicates;
            return verdict::duplicate;
        }
        ++f_late;
        return verdict::late;
    }
    if (d >= 0 && d < kelRTPReorderMaxAhead) {
        // The stream goes on where it was: the far packet was a stray.
        if (f_hasCandidate) {
            f_hasCandidate = false;
            f_candidate.bytes.clear();
            ++f_late;
        }
        if (d > 0) return hold(seq, packet, size, nowMs + maxWaitMs);
        markDelivered(seq);
        ++f_next;
        return verdict::deliver;
    }
    // Far off the stream: a restart once the next packet follows on.
    if (f_hasCandidate && seq == static_cast<uint16_t>(f_candidate.seq + 1)) {
        // What waited from before the restart still goes out, in its order.
        for (waiting& w : f_held)
            f_ready.push_back(std::move(w));
        f_held.clear();
        startAt(seq);
        ++f_next;
        markDelivered(f_candidate.seq);
        markDelivered(seq);
        f_ready.push_back(std::move(f_candidate));
        f_hasCandidate = false;
        waiting w;
        w.seq = seq;
        w.bytes.assign(packet, packet + size);
        f_ready.push_back(std::move(w));
        return verdict::held;
    }
    if (f_hasCandidate) ++f_late;
    f_hasCandidate = true;
    f_candidate.seq = seq;
    f_candidate.dueMs = nowMs + maxWaitMs;
    f_candidate.bytes.assign(packet, packet + size);
    return verdict::held;
}

bool kelRTPReorderWindow::popReady(uint64_t nowMs, kelRTPReorderPacket& out)
{
    if (f_readyAt < f_ready.size()) {
        out.seq = f_ready[f_readyAt].seq;
        out.bytes = std::move(f_ready[f_readyAt].bytes);
        if (++f_readyAt == f_ready.size()) {
            f_ready.clear();
            f_readyAt = 0;
        }
        return true;
    }
    if (f_hasCandidate && f_candidate.dueMs <= nowMs) {
        f_hasCandidate = false;
        f_candidate.bytes.clear();
        ++f_late;
    }
    if (f_held.empty()) return false;
    if (f_held.front().seq != f_next) {
        const bool tooMany = f_held.size() > f_maxHeld;
        const bool tooLong =
            std::any_of(f_held.begin(), f_held.end(), [nowMs](const waiting& w) { return w.dueMs <= nowMs; });
        if (!tooMany && !tooLong) return false;
        skipTo(f_held.front().seq);
    }
    out.seq = f_held.front().seq;
    out.bytes = std::move(f_held.front().bytes);
    f_held.erase(f_held.begin());
    markDelivered(out.seq);
    ++f_next;
    ++f_reordered;
    return true;
}

uint64_t kelRTPReorderWindow::nextDueMs() const noexcept
{
    uint64_t due = f_hasCandidate ? f_candidate.dueMs : UINT64_MAX;
    for (const waiting& w : f_held)
        due = std::min(due, w.dueMs);
    if (f_readyAt < f_ready.size()) due = 0;
    return due;
}
