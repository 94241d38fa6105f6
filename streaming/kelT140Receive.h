#pragma once
// kelT140Receive: what a real-time text receiver does with the payloads it
// gets before the text is shown. Text may come plain (UTF-8, one packet at a
// time) or wrapped with redundancy: each packet carries the new text (the
// primary) and, oldest first, up to a few generations of the text of the
// packets before it, so a receiver that lost packets takes their text from
// the next one that arrives. The generations are matched to the lost
// packets by sequence number; a packet seen before, or older than the last
// one handled, adds nothing, and neither does a generation whose timestamp
// (the primary's less its offset) is not later than the last text shown (a
// sender whose generations skip packets), so no character is shown twice. A gap wider
// than the generations can fill is marked with U+FFFD where the text went
// missing.
//
// Senders put U+FEFF (zero width no-break space) in front of text and send
// it alone as a keep-alive while idle; it means nothing to the reader and
// is dropped from what is shown, as is NUL.
//
// One kelT140Receive per stream, for one thread at a time.

#include "core/kelTypes.h"

#include <cstddef>
#include <cstdint>
#include <string>

class kelT140Receive
{
public:
    // The UTF-8 text that redundant packet `seq` of source `ssrc` adds,
    // appended to `out`. Only blocks of payload type `textType` count as
    // text. Returns false (and appends nothing) for a payload whose block
    // headers do not fit it; such a packet does not count as received.
    bool receiveRedundant(uint32_t ssrc, uint16_t seq, uint32_t timestamp, const uint8_t* payload,
                          size_t size, int textType, std::string& out);
    // Forgets the stream: the next packet is taken as the first.
    void reset() noexcept { f_started = false; }

private:
    bool f_started = false;
    uint32_t f_ssrc = 0;
    uint16_t f_lastSeq = 0;
    uint32_t f_lastTimestamp = 0;
};

// Whether `payload` is laid out as redundant text, whatever type its packet
// came with: a valid header chain (four bytes for each older block, then
// one for the primary) whose older blocks' lengths fit in the payload, and
// every block, the primary too, of payload type `textType`. Always false
// for a negative type.
[[nodiscard]] bool kelT140IsRedundantText(const uint8_t* payload, size_t size, int textType) noexcept;

// `text` as the reader sees it: without its U+FEFF characters and without
// NUL, which T.140 treats as nothing (and which would cut short a text
// handed on zero-terminated).
kelString kelT140Shown(const kelString& text);
