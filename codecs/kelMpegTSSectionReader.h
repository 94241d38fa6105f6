#pragma once
// kelMpegTSDemuxerSectionReader: collects the PSI/SI sections of one PID
// from the payloads of its packets. A section that lies whole in one packet
// is handed on in place; one that spans packets (its header included) is
// gathered in the reader's own stream and handed on once its last byte has
// arrived. Sections packed back to back in a packet are all taken, up to the
// 0xFF stuffing. A section cut short by the next unit start, or by a
// continuity break, is dropped, never padded.
//
// Layout at a unit start (ISO/IEC 13818-1 2.4.4):
//   pointer_field (1) | rest of the section in progress (pointer_field bytes)
//   | sections ... | 0xFF stuffing
// A section: table_id (8) | syntax (1) | private (1) | reserved (2) |
//   section_length (12) | section_length bytes.
//
// Used by the demultiplexer's thread only.

#include "codecs/kelBitReader.h"
#include "core/kelIdList.h"

#include <cstdint>

class kelMpegTSDemuxer;

class kelMpegTSDemuxerSectionReader : public kelBitReader_stream
{
public:
    kelMpegTSDemuxerSectionReader(kelMpegTSDemuxer* dex, uint32_t PID) noexcept : f_demuxer(dex), f_pid(PID)
    {}

    // Takes the `len` payload bytes of one packet of the PID; `unitStart`
    // when the packet starts a unit (a pointer_field leads). Complete
    // sections go to the demultiplexer's handleSection. Returns the bytes
    // consumed: all of them.
    intptr_t append(const uint8_t* data, intptr_t len, bool unitStart);

    uint32_t PID() const noexcept { return f_pid; }
    // A section is being gathered.
    bool inProgress() const noexcept { return f_collected > 0; }
    // Bytes of the section in progress still to come (0 while its header is
    // incomplete or none is in progress).
    intptr_t expectedLen() const noexcept { return f_expectedLen; }

    // Forgets a partly gathered section.
    void doRestart() override;

    kelString _classID() const override { return u"kelMpegTSDemuxerSectionReader"; }

    // The longest section: 3 header bytes and a 12-bit section_length.
    static constexpr intptr_t kMaxSection = 3 + 4095;

private:
    // Starts a section at `data`; the bytes consumed (a section found whole
    // is handed on at once).
    intptr_t startSection(const uint8_t* data, intptr_t len);
    // Adds bytes to the section in progress; the bytes consumed.
    intptr_t continueSection(const uint8_t* data, intptr_t len);
    // Drops a partly gathered section, counted.
    void dropCut();

    kelMpegTSDemuxer* f_demuxer;
    uint32_t f_pid;
    intptr_t f_expectedLen = 0;
    // The section in progress: bytes gathered, its whole length once its
    // header is in (0 before), the header bytes themselves.
    intptr_t f_collected = 0;
    intptr_t f_total = 0;
    uint8_t f_head[3] = {};
};

// The section readers of a demultiplexer, by PID; owned.
class kelMpegSReaderList : public kelIdList
{
public:
    kelMpegSReaderList();
    ~kelMpegSReaderList() override;

    kelMpegTSDemuxerSectionReader* reader(uint32_t pid) noexcept
    {
        return static_cast<kelMpegTSDemuxerSectionReader*>(static_cast<kelObject*>(itemById(pid)));
    }

    kelString _classID() const override { return u"kelMpegSReaderList"; }

protected:
    int64_t getId(void* item) noexcept override;
};
