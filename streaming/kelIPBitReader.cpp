#include "streaming/kelIPBitReader.h"

void bitReader::write(const void* data, size_t sz)
{
    if (data == nullptr || sz == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    f_bufWrite.insert(f_bufWrite.end(), p, p + sz);
}

bool bitReader::notEnoughBits(int64_t numBits)
{
    return bufferedBits() + int64_t(f_bufWrite.size()) * 8 < numBits;
}

void bitReader::refill(intptr_t, bool keep)
{
    // Whatever is asked for, everything written moves at once: the reader
    // then serves it in place until it runs dry again.
    if (f_bufWrite.empty()) return;
    std::vector<uint8_t> next;
    const size_t unread = keep ? static_cast<size_t>(bytesLeft()) : 0;
    next.reserve(unread + f_bufWrite.size());
    if (unread > 0) next.insert(next.end(), f_sb + f_sbOfs, f_sb + f_sbSize);
    next.insert(next.end(), f_bufWrite.begin(), f_bufWrite.end());
    f_bufWrite.clear();
    f_bufRead.swap(next);
    attach(f_bufRead.data(), f_bufRead.size());
}

void bitReader::doRestart()
{
    kelBitReader_abstract::doRestart();
    f_bufRead.clear();
    f_bufWrite.clear();
}
