#pragma once
// Bit readers: bits taken most significant first from a byte buffer that a
// data source refills in large blocks, so per-bit calls do not touch the
// source. Every byte that becomes wholly consumed can be copied to a caller's
// buffer as it goes ("outfill"), which lets a frame finder copy a frame out
// while it skips over it.
//
// kelBitReader_stream reads what is written into its memory stream (network
// data); kelBitReader_file reads a file. A reader is used by one thread at a
// time and never locks. Running out of data is never an error: nextBits
// answers 0 without consuming, skips and copies stop at the end.

#include "core/kelFileUtils.h"
#include "core/kelMemoryStream.h"
#include "core/kelObject.h"

#include <cstdint>
#include <memory>

class kelBitReader_abstract : public kelObject
{
public:
    kelBitReader_abstract() = default;
    ~kelBitReader_abstract() override = default;

    // The next `numBits` bits (at most 32), the first one most significant.
    // More than 32, or fewer bits left than asked, gives 0 and consumes
    // nothing.
    uint32_t nextBits(int numBits);
    // Copies the next `numBytes` bytes (8 bits each, from the current bit
    // on) to `buf` and consumes them; the bytes copied, fewer at the end of
    // the data.
    intptr_t readBytes(intptr_t numBytes, void* buf);
    // Consumes the next 8 × `numBytes` bits, or what is left of them.
    void skipBytes(intptr_t numBytes);
    // Consumes what is left of the current byte; nothing at a byte boundary.
    void skipToByte();
    // Moves the bit count alone, which also moves the bit position inside
    // the current byte (the byte index stays).
    void moveBitOfs(int64_t delta) noexcept { f_bitOfs += delta; }
    void restart() { doRestart(); }

    // At a byte boundary: the next `numBytes` bytes, contiguous in the
    // buffer and not consumed, refilling (keeping the unread bytes) when the
    // buffer holds fewer; null when the data has fewer or the position is
    // inside a byte. Valid until the next call on the reader.
    const uint8_t* peekBytes(intptr_t numBytes);
    // The same for up to `wanted` bytes: how many are there (fewer only at
    // the end of what the source holds), `data` pointing at them.
    intptr_t peek(intptr_t wanted, const uint8_t*& data);

    // Reads straight from the caller's memory (not copied, must outlive its
    // use) until it is consumed; an owned buffer is released.
    void attach(const void* data, uintptr_t size);

    // Consumed bytes go to `buf` from its start (null: copying off). The
    // caller makes `buf` large enough for what it consumes.
    void setOutfillBuf(void* buf) noexcept;
    // Copying starts again at the target's start.
    void resetOutfillBuf() noexcept { f_outfillOfs = 0; }
    bool outfill() const noexcept { return f_outfill; }
    // Switches copying off and on; on only when a target is set.
    void setOutfill(bool value) noexcept { f_outfill = value && f_outfillBuf != nullptr; }
    intptr_t outfillOfs() const noexcept { return f_outfillOfs; }

    // Bits consumed since the last restart.
    int64_t bitOfs() const noexcept { return f_bitOfs; }
    // Bytes in the buffer from the current one on (the source not counted).
    intptr_t bytesLeft() const noexcept { return intptr_t(f_sbSize - f_sbOfs); }
    bool isEOF() { return notEnoughBits(1); }

    // True when fewer than `numBits` bits can be had from the buffer and the
    // source together.
    virtual bool notEnoughBits(int64_t numBits) = 0;
    // Moves up to `size` bytes (<= 0: the source's default block) from the
    // source into the buffer, the unread bytes kept in front when `keep`.
    virtual void refill(intptr_t size, bool keep) = 0;
    // Back to the empty state: nothing consumed, no buffer, the outfill
    // target kept with its offset at 0.
    virtual void doRestart();
    // Whether the source can still grow (a stream being written): a reader
    // of a file knows its data is all there.
    virtual bool sourceIsFinal() const noexcept { return false; }

    kelString _classID() const override { return u"kelBitReader_abstract"; }

protected:
    // Makes the buffer `newSize` bytes with the current byte at index 0;
    // with `keep` the unread bytes (at most `newSize`) come first. False
    // (nothing changed) when memory runs out.
    bool resize(uintptr_t newSize, bool keep);
    // The buffer's writable memory behind `at` bytes (owned buffers only).
    uint8_t* ownedAt(uintptr_t at) noexcept { return f_owned.get() + at; }
    // The bit position inside the current byte, from its top.
    int bitInByte() const noexcept { return int(((f_bitOfs % 8) + 8) % 8); }
    // Unread bits of the buffer.
    int64_t bufferedBits() const noexcept { return int64_t(bytesLeft()) * 8 - bitInByte(); }

    int64_t f_bitOfs = 0;
    const uint8_t* f_sb = nullptr;
    bool f_sbAllocated = false;
    uintptr_t f_sbSize = 0;
    uintptr_t f_sbOfs = 0;
    bool f_outfill = false;
    intptr_t f_outfillOfs = 0;
    uint8_t* f_outfillBuf = nullptr;

private:
    // The current byte is wholly consumed: copy it out, step to the next,
    // refill when the buffer is used up.
    void byteDone();
    // Copies `size` consumed bytes from the current one on to the target.
    void copyOut(uintptr_t size) noexcept;
    // Refills when the buffer is used up; false when it is still empty.
    bool haveByte();

    std::unique_ptr<uint8_t[]> f_owned;
    uintptr_t f_ownedCapacity = 0;
};

// Reads the bytes written into its memory stream.
class kelBitReader_stream : public kelBitReader_abstract
{
public:
    kelBitReader_stream();

    // Appends to the stream; the bytes stored.
    intptr_t write(const void* data, intptr_t size) { return f_stream.write(data, size); }
    kelMemoryStream& stream() noexcept { return f_stream; }

    bool notEnoughBits(int64_t numBits) override;
    void refill(intptr_t size, bool keep) override;
    void doRestart() override;
    // Called when the stream holds too little for a read of `bytes` more;
    // a subclass may write more data before the reader looks again.
    virtual void needData(intptr_t bytes) { (void)bytes; }

    kelString _classID() const override { return u"kelBitReader_stream"; }

    // The default block moved from the stream by one refill.
    static constexpr intptr_t kDefaultRefill = 131072;

private:
    kelMemoryStream f_stream{1000};
};

// Reads an existing file. When a read brings fewer bytes than the file's
// size promised (the file shrank, a read error), the data ends there.
class kelBitReader_file : public kelBitReader_abstract
{
public:
    explicit kelBitReader_file(const kelString& fileName);
    ~kelBitReader_file() override;

    bool isOpen() const noexcept { return f_f != kelInvalidFile; }
    int64_t fileSizeBits() const noexcept { return f_fsizeBits; }

    bool notEnoughBits(int64_t numBits) override { return f_bitOfs + numBits > f_fsizeBits; }
    void refill(intptr_t size, bool keep) override;
    void doRestart() override;
    bool sourceIsFinal() const noexcept override { return true; }

    kelString _classID() const override { return u"kelBitReader_file"; }

    // The largest block one refill reads.
    static constexpr intptr_t kMaxRefill = 1048576;

private:
    kelFileHandle f_f = kelInvalidFile;
    int64_t f_fsizeBits = 0;
    // Bytes of the file moved into the buffer so far.
    int64_t f_filePos = 0;
};
