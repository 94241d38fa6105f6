#include "codecs/kelBitReader.h"

#include <algorithm>
#include <cstring>
#include <new>

uint32_t kelBitReader_abstract::nextBits(int numBits)
{
    if (numBits <= 0 || numBits > 32 || notEnoughBits(numBits)) return 0;
    uint32_t result = 0;
    int wanted = numBits;
    while (wanted > 0 && haveByte()) {
        const int avail = 8 - bitInByte();
        const int take = std::min(avail, wanted);
        const uint32_t value = (uint32_t(f_sb[f_sbOfs]) >> (avail - take)) & ((1u << take) - 1u);
        result = (take == 32 ? 0 : result << take) | value;
        f_bitOfs += take;
        wanted -= take;
        if (take == avail) byteDone();
    }
    return result;
}

intptr_t kelBitReader_abstract::readBytes(intptr_t numBytes, void* buf)
{
    if (numBytes <= 0 || buf == nullptr) return 0;
    auto* out = static_cast<uint8_t*>(buf);
    if (bitInByte() != 0) {
        // Inside a byte every "byte" straddles two buffer bytes.
        intptr_t got = 0;
        while (got < numBytes && !notEnoughBits(8))
            out[got++] = uint8_t(nextBits(8));
        return got;
    }
    if (bytesLeft() < numBytes) refill(numBytes - bytesLeft(), true);
    const intptr_t take = std::min(bytesLeft(), numBytes);
    if (take <= 0) return 0;
    std::memcpy(out, f_sb + f_sbOfs, size_t(take));
    copyOut(uintptr_t(take));
    f_sbOfs += uintptr_t(take);
    f_bitOfs += int64_t(take) * 8;
    if (f_sbOfs >= f_sbSize) refill(-1, false);
    return take;
}

void kelBitReader_abstract::skipBytes(intptr_t numBytes)
{
    if (numBytes <= 0) return;
    if (bitInByte() != 0) {
        while (numBytes-- > 0 && !notEnoughBits(8))
            nextBits(8);
        return;
    }
    while (numBytes > 0) {
        if (bytesLeft() == 0) {
            if (notEnoughBits(8)) return;
            refill(-1, false);
            if (bytesLeft() == 0) return;
            continue;
        }
        const intptr_t block = std::min(bytesLeft(), numBytes);
        copyOut(uintptr_t(block));
        f_sbOfs += uintptr_t(block);
        f_bitOfs += int64_t(block) * 8;
        numBytes -= block;
        if (f_sbOfs >= f_sbSize) refill(-1, false);
    }
}

void kelBitReader_abstract::skipToByte()
{
    const int inByte = bitInByte();
    if (inByte == 0) return;
    f_bitOfs += 8 - inByte;
    if (f_sbOfs < f_sbSize) byteDone();
}

const uint8_t* kelBitReader_abstract::peekBytes(intptr_t numBytes)
{
    const uint8_t* data = nullptr;
    return numBytes > 0 && peek(numBytes, data) == numBytes ? data : nullptr;
}

intptr_t kelBitReader_abstract::peek(intptr_t wanted, const uint8_t*& data)
{
    data = nullptr;
    if (wanted <= 0 || bitInByte() != 0) return 0;
    if (bytesLeft() < wanted) {
        refill(-1, true);
        if (bytesLeft() < wanted) refill(wanted - bytesLeft(), true);
    }
    if (bytesLeft() <= 0) return 0;
    data = f_sb + f_sbOfs;
    return std::min(bytesLeft(), wanted);
}

void kelBitReader_abstract::attach(const void* data, uintptr_t size)
{
    f_owned.reset();
    f_ownedCapacity = 0;
    f_sbAllocated = false;
    f_sb = static_cast<const uint8_t*>(data);
    f_sbSize = data != nullptr ? size : 0;
    f_sbOfs = 0;
}

void kelBitReader_abstract::setOutfillBuf(void* buf) noexcept
{
    f_outfillBuf = static_cast<uint8_t*>(buf);
    f_outfillOfs = 0;
    f_outfill = buf != nullptr;
}

void kelBitReader_abstract::doRestart()
{
    f_bitOfs = 0;
    f_sbSize = 0;
    f_sbOfs = 0;
    f_owned.reset();
    f_ownedCapacity = 0;
    f_sb = nullptr;
    f_sbAllocated = false;
    f_outfillOfs = 0;
    f_outfill = f_outfillBuf != nullptr;
}

bool kelBitReader_abstract::resize(uintptr_t newSize, bool keep)
{
    const uintptr_t kept = keep ? std::min(uintptr_t(bytesLeft()), newSize) : 0;
    const uint8_t* unread = f_sb + f_sbOfs;
    if (!f_sbAllocated || newSize > f_ownedCapacity) {
        std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[std::max<uintptr_t>(newSize, 1)]);
        if (!fresh) return false;
        if (kept > 0) std::memcpy(fresh.get(), unread, kept);
        f_owned = std::move(fresh);
        f_ownedCapacity = newSize;
    } else if (kept > 0) {
        std::memmove(f_owned.get(), unread, kept);
    }
    f_sb = f_owned.get();
    f_sbAllocated = true;
    f_sbSize = newSize;
    f_sbOfs = 0;
    return true;
}

void kelBitReader_abstract::byteDone()
{
    copyOut(1);
    ++f_sbOfs;
    if (f_sbOfs >= f_sbSize) refill(-1, false);
}

void kelBitReader_abstract::copyOut(uintptr_t size) noexcept
{
    if (!f_outfill || f_outfillBuf == nullptr) return;
    std::memcpy(f_outfillBuf + f_outfillOfs, f_sb + f_sbOfs, size);
    f_outfillOfs += intptr_t(size);
}

bool kelBitReader_abstract::haveByte()
{
    if (f_sbOfs >= f_sbSize) refill(-1, false);
    return f_sbOfs < f_sbSize;
}

// --- kelBitReader_stream ------------------------------------------------------

kelBitReader_stream::kelBitReader_stream() = default;

bool kelBitReader_stream::notEnoughBits(int64_t numBits)
{
    auto bitsHeld = [this] { return bufferedBits() + int64_t(f_stream.getAvailableSize()) * 8; };
    if (bitsHeld() >= numBits) return false;
    needData(intptr_t(numBits / 8 + 1));
    return bitsHeld() < numBits;
}

void kelBitReader_stream::refill(intptr_t size, bool keep)
{
    if (size <= 0) size = kDefaultRefill;
    intptr_t avail = f_stream.getAvailableSize();
    if (avail < size) {
        needData(size - avail);
        avail = f_stream.getAvailableSize();
    }
    size = std::min(size, avail);
    if (size <= 0) return;
    const uintptr_t kept = keep ? uintptr_t(bytesLeft()) : 0;
    if (!resize(uintptr_t(size) + kept, keep)) return;
    const intptr_t got = f_stream.read(ownedAt(kept), size, true);
    f_sbSize = kept + uintptr_t(std::max<intptr_t>(got, 0));
}

void kelBitReader_stream::doRestart()
{
    kelBitReader_abstract::doRestart();
    f_stream.clear();
}

// --- kelBitReader_file --------------------------------------------------------

kelBitReader_file::kelBitReader_file(const kelString& fileName)
{
    f_f = openFileAt(fileName);
    if (f_f == kelInvalidFile) return;
    f_fsizeBits = std::max<int64_t>(fileSizeOf(f_f), 0) * 8;
}

kelBitReader_file::~kelBitReader_file()
{
    closeFileHandle(f_f);
}

void kelBitReader_file::refill(intptr_t size, bool keep)
{
    if (!isOpen()) return;
    // Never ask past the end the size promised: a short read then means the
    // file really ended early.
    const int64_t unread = f_fsizeBits / 8 - f_filePos;
    size = size <= 0 ? intptr_t(std::min<int64_t>(unread, kMaxRefill))
                     : intptr_t(std::min<int64_t>(size, unread));
    if (size <= 0) return;
    const uintptr_t kept = keep ? uintptr_t(bytesLeft()) : 0;
    if (!resize(uintptr_t(size) + kept, keep)) return;
    size_t got = size_t(size);
    const int rc = readFileAt(f_f, ownedAt(kept), got, f_filePos, kelSeekBegin);
    if (rc != kelFileOk && rc != kelFileShort) got = 0;
    f_sbSize = kept + got;
    f_filePos += int64_t(got);
    if (got < size_t(size)) f_fsizeBits = f_filePos * 8;
}

void kelBitReader_file::doRestart()
{
    kelBitReader_abstract::doRestart();
    f_filePos = 0;
    if (isOpen()) {
        seekFile(f_f, 0);
        f_fsizeBits = std::max<int64_t>(fileSizeOf(f_f), 0) * 8;
    }
}
