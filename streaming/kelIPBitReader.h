#pragma once
// bitReader: a bit reader over a growing byte buffer, for the transmitter's
// MPEG audio frame analysis. write() appends to the write buffer; when the
// reader needs data, everything written so far moves behind the unread
// bytes into the read buffer in one piece, which the reader then reads in
// place. One thread at a time.

#include "codecs/kelBitReader.h"

#include <cstdint>
#include <vector>

class bitReader final : public kelBitReader_abstract
{
public:
    void write(const void* data, size_t sz);
    // Bytes written and not yet moved to the read buffer.
    size_t waiting() const noexcept { return f_bufWrite.size(); }

    bool notEnoughBits(int64_t numBits) override;
    void refill(intptr_t size, bool keep) override;
    void doRestart() override;

    kelString _classID() const override { return u"bitReader"; }

private:
    std::vector<uint8_t> f_bufRead;
    std::vector<uint8_t> f_bufWrite;
};
