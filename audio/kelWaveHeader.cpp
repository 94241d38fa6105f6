#include "audio/kelWaveHeader.h"

#include <cstring>
#include <new>

kelWaveHeader::kelWaveHeader(kelMsAcmStreamDevice* device, size_t size) noexcept
    : kelMsAcmDeviceHeader(device)
{
    f_block.owner = this;
    if (size > 0 && !resizeBuffer(size)) f_valid = false;
}

kelWaveHeader::~kelWaveHeader() = default;

bool kelWaveHeader::resizeBuffer(size_t size) noexcept
{
    if (size > UINT32_MAX) return false;
    std::unique_ptr<char[]> next;
    if (size > 0) {
        next.reset(new (std::nothrow) char[size]);
        if (!next) return false;
        std::memset(next.get(), 0, size);
    }
    f_buffer = std::move(next);
    f_capacity = size;
    f_block.hdr.lpData = f_buffer.get();
    f_block.hdr.dwBufferLength = uint32_t(size);
    return true;
}

kelEvent* kelWaveHeader::event() noexcept
{
    if (!f_event) f_event.reset(new (std::nothrow) kelEvent(false, false));
    return f_event.get();
}

kelWaveHeader* kelWaveHeader::fromWaveHdr(WAVEHDR* hdr) noexcept
{
    if (!hdr) return nullptr;
    // The record is the first member of a standard-layout block.
    return reinterpret_cast<kelWaveHdrBlock*>(hdr)->owner;
}
