#include "components/kelIpPacketAssembler.h"

#include <algorithm>
#include <cstring>

void kelIpPieceJoiner::discard() noexcept
{
    f_filled.reset();
    f_lastIndex = -1;
    f_highest = -1;
    f_collected = 0;
}

void kelIpPieceJoiner::reset(uint16_t expectedSeq) noexcept
{
    discard();
    f_expected = expectedSeq;
}

void kelIpPieceJoiner::offer(const kelIpHeader& header, const uint8_t* piece, const kelIpPacketSink& sink)
{
    if (header.seq != f_expected) {
        ++f_outOfSeq;
        discard();
        f_expected = header.seq;
    }
    if (f_filled.none()) {
        f_cmd = header.cmd;
        f_checksum = header.checksum;
    }
    if (f_filled.test(header.index)) {
        ++f_dupCount;
        return;
    }
    const bool beyondLast = f_lastIndex >= 0 && header.index > f_lastIndex;
    const bool lastBelowHeld = header.last && f_highest > int(header.index);
    if (beyondLast || lastBelowHeld) {
        // The set cannot be whole: drop the packet.
        ++f_crcErrors;
        discard();
        ++f_expected;
        return;
    }
    f_slots[header.index].assign(piece, piece + header.size);
    f_filled.set(header.index);
    f_highest = std::max(f_highest, int(header.index));
    f_collected += header.size;
    if (header.last) f_lastIndex = header.index;
    if (f_lastIndex < 0 || f_filled.count() != size_t(f_lastIndex) + 1) return;

    f_joined.clear();
    f_joined.reserve(f_collected);
    for (int i = 0; i <= f_lastIndex; ++i)
        f_joined.insert(f_joined.end(), f_slots[i].begin(), f_slots[i].end());
    const uint8_t cmd = f_cmd;
    const uint16_t seq = f_expected;
    const bool intact = kelIpChecksum(f_joined.data(), f_joined.size()) == f_checksum;
    discard();
    ++f_expected;
    if (!intact) {
        ++f_crcErrors;
        return;
    }
    if (sink) sink(cmd, seq, f_joined.data(), f_joined.size());
}

void kelIpTcpReassembler::reset(uint16_t expectedSeq) noexcept
{
    f_tail.clear();
    f_joiner.reset(expectedSeq);
}

size_t kelIpTcpReassembler::consume(const uint8_t* p, size_t len, const kelIpPacketSink& sink)
{
    size_t used = 0;
    kelIpHeader h;
    while (len - used >= kelIpHeaderSize && kelIpReadHeader(p + used, len - used, h) &&
           len - used - kelIpHeaderSize >= h.size) {
        f_joiner.offer(h, p + used + kelIpHeaderSize, sink);
        used += kelIpHeaderSize + h.size;
    }
    return used;
}

void kelIpTcpReassembler::feed(const void* data, size_t len, const kelIpPacketSink& sink)
{
    if (data == nullptr || len == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    if (!f_tail.empty()) {
        // Complete the held piece first, taking only what it still needs, so
        // the rest is cut straight from the caller's block.
        kelIpHeader h;
        if (f_tail.size() < kelIpHeaderSize) {
            const size_t take = std::min(len, kelIpHeaderSize - f_tail.size());
            f_tail.insert(f_tail.end(), p, p + take);
            p += take;
            len -= take;
            if (f_tail.size() < kelIpHeaderSize) return;
        }
        (void)kelIpReadHeader(f_tail.data(), f_tail.size(), h);
        const size_t need = kelIpHeaderSize + h.size;
        const size_t take = std::min(len, need - f_tail.size());
        f_tail.insert(f_tail.end(), p, p + take);
        p += take;
        len -= take;
        if (f_tail.size() < need) return;
        std::vector<uint8_t> whole;
        whole.swap(f_tail);
        (void)consume(whole.data(), whole.size(), sink);
    }
    const size_t used = consume(p, len, sink);
    f_tail.assign(p + used, p + len);
}

kelIpUdpSequence::Step kelIpUdpSequence::offer(uint16_t seq) noexcept
{
    Step step;
    if (f_haveLast && seq == f_last) return step;
    const uint16_t ahead = static_cast<uint16_t>(seq - f_expected);
    if (ahead >= 0x8000u) {
        step.late = true;
        ++f_lateTotal;
        return step;
    }
    step.lost = ahead;
    f_lostTotal += ahead;
    f_last = seq;
    f_haveLast = true;
    f_expected = static_cast<uint16_t>(seq + 1);
    return step;
}

void kelIpUdpSequence::reset(uint16_t expectedSeq) noexcept
{
    f_expected = expectedSeq;
    f_haveLast = false;
    f_last = 0;
}
