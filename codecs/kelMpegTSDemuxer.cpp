#include "codecs/kelMpegTSDemuxer.h"

#include <algorithm>

namespace {

constexpr uint8_t kSync = 0x47;
constexpr uint32_t kNullPID = 0x1FFF;
constexpr intptr_t kPacket = kelMpegTSDemuxer::kPacketSize;
// Packets looked at per block taken from the reader.
constexpr intptr_t kBlockPackets = 64;
// The sync test compares lost and good packets every this many.
constexpr intptr_t kSyncTestPackets = 100;
// The largest adaptation_field_length a packet can hold.
constexpr intptr_t kMaxAdaptation = kPacket - 5;

// Stream ids whose PES packets carry no optional header: program stream
// map, padding, private stream 2, ECM, EMM, program stream directory, DSMCC
// and H.222.1 type E.
bool withoutPESHeader(uint32_t streamId) noexcept
{
    return streamId == 0xBC || streamId == 0xBE || streamId == 0xBF ||
           (streamId >= 0xF0 && streamId <= 0xF2) || (streamId >= 0xF4 && streamId <= 0xF8) ||
           streamId == 0xFF;
}

} // namespace

kelMpegTSDemuxer::kelMpegTSDemuxer(kelBitReader_abstract* reader) : f_reader(reader) {}

kelMpegTSDemuxer::~kelMpegTSDemuxer() = default;

bool kelMpegTSDemuxer::demux(bool loop, bool lookupSynch, void* userData)
{
    bool result = false;
    if (f_reader == nullptr) return result;
    bool go = true;
    while (go) {
        const uint8_t* block = nullptr;
        const intptr_t avail = f_reader->peek(kBlockPackets * kPacket, block);
        if (avail < kPacket) break;
        intptr_t pos = 0;
        // One more byte behind the packet is needed to confirm a sync byte
        // found after a loss.
        bool wantMore = false;
        while (go && avail - pos >= kPacket) {
            if (block[pos] == kSync && f_resyncing && avail - pos <= kPacket) {
                wantMore = true;
                break;
            }
            const bool sync = block[pos] == kSync && (!f_resyncing || block[pos + kPacket] == kSync);
            if (!sync) {
                if (!f_resyncing) {
                    f_resyncing = true;
                    ++f_stat.r_syncLosses;
                    ++f_statOOSPackets;
                    ++f_statPackets;
                }
                ++f_stat.r_bytesOutOfSync;
                ++pos;
                go = lookupSynch && countSync();
                continue;
            }
            f_resyncing = false;
            result = true;
            packet(block + pos, userData);
            pos += kPacket;
            ++f_statOKPackets;
            ++f_statPackets;
            go = loop && countSync();
        }
        f_reader->skipBytes(pos);
        // A sync byte waits for the one behind it only while the reader
        // may still bring it.
        if (wantMore && avail < kBlockPackets * kPacket) break;
    }
    return result;
}

bool kelMpegTSDemuxer::countSync() noexcept
{
    if (f_statPackets <= kSyncTestPackets) return true;
    const bool lost = f_statOOSPackets > f_statOKPackets;
    f_statOOSPackets = f_statOKPackets = f_statPackets = 0;
    return !lost;
}

void kelMpegTSDemuxer::packet(const uint8_t* p, void* userData)
{
    ++f_stat.r_totalPackets;
    const bool error = (p[1] & 0x80) != 0;
    const bool unitStart = (p[1] & 0x40) != 0;
    const bool priority = (p[1] & 0x20) != 0;
    const uint32_t pid = (uint32_t(p[1] & 0x1F) << 8) | p[2];
    const bool scrambled = (p[3] >> 6) != 0;
    const uint32_t afc = (p[3] >> 4) & 3;
    const intptr_t cc = p[3] & 0x0F;
    if (error || pid == kNullPID || afc == 0) {
        ++f_stat.r_totalPacketsSkipped;
        if (error) ++f_stat.r_errorPackets;
        return;
    }
    intptr_t used = 4;
    bool discontinuity = false;
    if (afc & 2) {
        intptr_t length = p[used++];
        if (length > kMaxAdaptation) {
            length = kMaxAdaptation;
            ++f_stat.r_damagedPackets;
        }
        if (length > 0) discontinuity = (p[used] & 0x80) != 0;
        used += length;
    }
    if ((afc & 1) == 0) return;

    bool dropped = false;
    kelMpegES* es = f_esByPid[pid];
    if (es == nullptr) {
        es = findOrAddStream(pid, cc);
    } else {
        if (discontinuity) {
            es->restartContinuity();
            ++f_stat.r_discontinuities;
        }
        const intptr_t last = es->continuity();
        if (!es->updateContinuity(cc)) {
            if (cc == last) {
                // A packet sent twice: the stream itself is whole.
                ++f_stat.r_duplicatePackets;
                dropped = true;
            } else {
                ++f_stat.r_continuityBreaks;
                if (auto* reader = f_readerByPid[pid]) reader->restart();
                dropped = !f_tolerateC;
            }
        }
    }
    if (es != nullptr) es->setFlags(scrambled, priority);
    if (dropped || used >= kPacket) return;

    const uint8_t* payload = p + used;
    const intptr_t remaining = kPacket - used;
    intptr_t consumed = 0;
    if (unitStart) {
        if (!startUnit(pid, payload, remaining, consumed)) return;
    } else if (auto* reader = f_readerByPid[pid]) {
        consumed = reader->append(payload, remaining, false);
    }
    if (consumed >= remaining) return;
    onPayload(pid, payload + consumed, remaining - consumed, userData);
    f_stat.r_totalPayload += remaining - consumed;
}

bool kelMpegTSDemuxer::carriesSections(uint32_t pid) const noexcept
{
    if (pid <= 3 || (pid >= 16 && pid <= 22) || (pid >= 28 && pid <= 31) || pid == f_NID) return true;
    return !f_known_PES.test(pid) && f_pmtPIDs.test(pid);
}

bool kelMpegTSDemuxer::startUnit(uint32_t pid, const uint8_t* data, intptr_t len, intptr_t& consumed)
{
    consumed = 0;
    if (carriesSections(pid)) {
        if (auto* reader = sectionReader(pid, true)) consumed = reader->append(data, len, true);
        return true;
    }
    const bool startCode = len >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1;
    if (!f_known_PES.test(pid) && !startCode) return true;
    if (!pesHeader(f_esByPid[pid], data, len, consumed)) {
        ++f_stat.r_pesDropped;
        return false;
    }
    f_known_PES.set(pid);
    return true;
}

// PES header (ISO/IEC 13818-1 2.4.3.6):
//   00 00 01 | stream_id 8 | PES_packet_length 16 | '10' 2 | flags 14 |
//   PES_header_data_length 8 | optional fields
bool kelMpegTSDemuxer::pesHeader(kelMpegES* es, const uint8_t* data, intptr_t len,
                                 intptr_t& consumed) noexcept
{
    if (len <= 5) return false;
    if (data[0] != 0 || data[1] != 0 || data[2] != 1) {
        consumed = 3;
        return false;
    }
    const uint32_t streamId = data[3];
    if (es != nullptr) es->setStreamID(streamId);
    consumed = 6;
    if (withoutPESHeader(streamId)) return false;
    if (len < 9 || (data[6] >> 6) != 2) {
        consumed = std::min<intptr_t>(len, 7);
        return false;
    }
    const intptr_t skipped = std::min<intptr_t>(data[8], len - 9);
    consumed = 9 + skipped;
    return true;
}

kelMpegTSDemuxerSectionReader* kelMpegTSDemuxer::sectionReader(uint32_t pid, bool create)
{
    if (f_readerByPid[pid] != nullptr || !create) return f_readerByPid[pid];
    auto* reader = kelCreate<kelMpegTSDemuxerSectionReader>(this, pid);
    if (reader == nullptr) return nullptr;
    if (f_sreaders.add(static_cast<kelObject*>(reader)) < 0) {
        kelFree(reader);
        return nullptr;
    }
    f_readerByPid[pid] = reader;
    return reader;
}

kelMpegES* kelMpegTSDemuxer::findOrAddStream(uint32_t pid, intptr_t continuity)
{
    if (pid >= 8192) return nullptr;
    if (f_esByPid[pid] != nullptr) return f_esByPid[pid];
    // At most one per PID: not charged to the table budget.
    auto* es = kelCreate<kelMpegES>(pid, f_NID, continuity);
    if (es == nullptr) return nullptr;
    if (f_estreams.add(static_cast<kelObject*>(es)) < 0) {
        kelFree(es);
        return nullptr;
    }
    f_esByPid[pid] = es;
    return es;
}
