#pragma once
// kelMpegTSDemuxer: an MPEG-2 transport stream demultiplexer. It keeps
// packet sync, checks every PID's continuity, follows the PAT and PMTs,
// gathers the PSI/SI sections (PAT, CAT, PMT, TSDT, NIT, SDT, EIT) into its
// tables, strips PES headers and hands each packet's elementary stream bytes
// to onPayload.
//
// A packet (ISO/IEC 13818-1 2.4.3.2), 188 bytes:
//   0x47 | TEI 1 | PUSI 1 | priority 1 | PID 13 | scrambling 2 |
//   adaptation_field_control 2 | continuity_counter 4 |
//   [adaptation_field_length 8 | adaptation field] | payload
//
// Malformed input is dropped and counted in stat(); no read leaves the
// packet or section it belongs to. Long-form sections pass only with a
// good CRC_32. Used by one thread at a time (it never locks); its table
// lists lock themselves and may be read from other threads.

#include "codecs/kelBitReader.h"
#include "codecs/kelMpegTSSectionReader.h"
#include "codecs/kelMpegTSTables.h"
#include "core/kelObject.h"

#include <bitset>
#include <cstdint>

struct kelMpegTSDemuxerStat
{
    // Packets with a sync byte.
    int64_t r_totalPackets = 0;
    // Of these: transport errors, null packets, packets without payload.
    int64_t r_totalPacketsSkipped = 0;
    // Bytes handed to onPayload.
    int64_t r_totalPayload = 0;
    // Packets with the transport_error_indicator set.
    int64_t r_errorPackets = 0;
    // Packets whose adaptation_field_length ran past the packet (clamped).
    int64_t r_damagedPackets = 0;
    // Counters that jumped (packets lost on the way).
    int64_t r_continuityBreaks = 0;
    // Packets repeating the last counter (dropped).
    int64_t r_duplicatePackets = 0;
    // Packets whose adaptation field signalled a discontinuity.
    int64_t r_discontinuities = 0;
    // Times sync was lost, and the bytes passed over to find it again.
    int64_t r_syncLosses = 0;
    int64_t r_bytesOutOfSync = 0;
    // Unit starts dropped for a PES header that does not parse.
    int64_t r_pesDropped = 0;
    // Sections handed to the tables.
    int64_t r_sections = 0;
    // Sections dropped: a bad CRC_32, cut short, or a header that cannot be.
    int64_t r_sectionsCrcFailed = 0;
    int64_t r_sectionsCut = 0;
    int64_t r_sectionsMalformed = 0;
    // Table objects and descriptors refused for want of budget.
    int64_t r_tablesRefused = 0;
};

class kelMpegTSDemuxer : public kelObject
{
public:
    static constexpr intptr_t kPacketSize = 188;
    static constexpr uint32_t kUnknownPID = 0xFFFFFFFFu;

    // `reader` holds the stream; not owned, outlives the demultiplexer.
    explicit kelMpegTSDemuxer(kelBitReader_abstract* reader);
    ~kelMpegTSDemuxer() override;

    // Reads packets from the reader: all that are there when `loop`, else
    // one. Bytes that are not a sync byte are passed over one at a time when
    // `lookupSynch` (else the call ends at the first), and after a loss of
    // sync a 0x47 starts a packet only when another follows 188 bytes on.
    // An incomplete packet waits in the reader for the next call. True when
    // a packet with a sync byte was read. `userData` goes to onPayload.
    bool demux(bool loop, bool lookupSynch, void* userData);

    const kelMpegTSDemuxerStat& stat() const noexcept { return f_stat; }
    kelMpegTS_pwnIDList& estreams() noexcept { return f_estreams; }
    kelMpegTS_pwnIDList& programs() noexcept { return f_programs; }
    kelMpegTS_pwnIDList& services() noexcept { return f_services; }
    kelMpegTS_pwnIDList& networks() noexcept { return f_networks; }
    // The TSDT's descriptors.
    kelMpegTSDescriptorList& desc() noexcept { return f_descripors; }
    kelMpegES* stream(uint32_t pid) noexcept { return pid < 8192 ? f_esByPid[pid] : nullptr; }

    // transport_stream_id of the last PAT; the network PID (program 0), all
    // ones until a PAT names it.
    uint32_t TSID() const noexcept { return f_ts_id; }
    uint32_t NID() const noexcept { return f_NID; }

    // Use packets behind a continuity break instead of dropping them (the
    // section in progress is dropped all the same).
    bool tolerateContinuity() const noexcept { return f_tolerateC; }
    void setTolerateContinuity(bool value) noexcept { f_tolerateC = value; }
    // The byte budget of the stored tables (8 MiB unless set).
    void setTableBudget(int64_t bytes) noexcept { f_budget.limit = bytes; }
    int64_t tableBytes() const noexcept { return f_budget.used; }

    // A complete section of `pid`, `size` bytes from its table_id on:
    // checked, then parsed into the tables. Called by the section readers.
    void handleSection(uint32_t pid, const uint8_t* section, intptr_t size);
    // A section reader dropped a section cut short.
    void countSectionCut() noexcept { ++f_stat.r_sectionsCut; }

    kelString _classID() const override { return u"kelMpegTSDemuxer"; }

protected:
    // The elementary stream bytes of one packet of `pid` (PES header
    // stripped). Runs on the demuxing thread; `data` is valid during the
    // call only.
    virtual void onPayload(uint32_t pid, const uint8_t* data, intptr_t len, void* userData)
    {
        (void)pid;
        (void)data;
        (void)len;
        (void)userData;
    }
    // One EIT event; freed after the call.
    virtual void onEvent(uint32_t pid, kelMpegTSEvent& event)
    {
        (void)pid;
        (void)event;
    }
    // A section of `tableId` was handled.
    virtual void onSection(uint32_t pid, uint32_t tableId)
    {
        (void)pid;
        (void)tableId;
    }

private:
    // Handles the 188 bytes at `p`.
    void packet(const uint8_t* p, void* userData);
    // A unit starts in the `len` payload bytes at `data`: sections, a PES
    // header, or neither. `consumed` the bytes taken; false drops the rest.
    bool startUnit(uint32_t pid, const uint8_t* data, intptr_t len, intptr_t& consumed);
    bool pesHeader(kelMpegES* es, const uint8_t* data, intptr_t len, intptr_t& consumed) noexcept;
    bool carriesSections(uint32_t pid) const noexcept;
    kelMpegTSDemuxerSectionReader* sectionReader(uint32_t pid, bool create);
    kelMpegES* findOrAddStream(uint32_t pid, intptr_t continuity);
    // The sync test after every packet or lost byte: false when the call
    // should end because lost sync outweighed good packets.
    bool countSync() noexcept;

    // Table parsers over a section body (behind the long-form header,
    // CRC_32 excluded).
    void parsePAT(kelMpegTSBytes& in, uint32_t subID);
    void parseCAT(kelMpegTSBytes& in, uint32_t pid);
    void parsePMT(kelMpegTSBytes& in, uint32_t subID);
    void parseNIT(kelMpegTSBytes& in, uint32_t subID);
    void parseSDT(kelMpegTSBytes& in, uint32_t subID, bool thisStream);
    void parseEIT(kelMpegTSBytes& in, uint32_t pid, uint32_t subID);

    kelBitReader_abstract* f_reader;
    uint32_t f_ts_id = 0;
    uint32_t f_NID = kUnknownPID;
    std::bitset<8192> f_known_PES;
    std::bitset<8192> f_pmtPIDs;
    kelMpegTS_pwnIDList f_estreams;
    kelMpegTS_pwnIDList f_programs;
    kelMpegTSDescriptorList f_descripors;
    kelMpegTS_pwnIDList f_services;
    kelMpegTS_pwnIDList f_networks;
    kelMpegTSDemuxerStat f_stat;
    kelMpegSReaderList f_sreaders;
    bool f_tolerateC = false;
    intptr_t f_statOOSPackets = 0;
    intptr_t f_statOKPackets = 0;
    intptr_t f_statPackets = 0;
    // Sync was lost and is not yet found again.
    bool f_resyncing = false;
    kelMpegTSBudget f_budget;
    // The elementary streams by PID (not owned: f_estreams owns them).
    kelMpegES* f_esByPid[8192] = {};
    // Section readers by PID (not owned: f_sreaders owns them).
    kelMpegTSDemuxerSectionReader* f_readerByPid[8192] = {};
};
