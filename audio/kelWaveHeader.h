#pragma once
// kelWaveHeader: a device header that owns one platform buffer record
// (WAVEHDR) and its data buffer, and optionally the auto-reset event a
// recording header is signalled through. Made by kelWaveDevice::allocHeader
// and freed by the device at close.
//
// The platform hands finished buffers back as WAVEHDR pointers;
// fromWaveHdr() finds the header that owns such a record, because the
// record sits at the start of a block that also names its owner. Only for
// records made here.

#include "audio/kelMsAcmDeviceHeader.h"
#include "core/kelEvent.h"
#include "platform/kelWaveRecords.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class kelWaveHeader;

// The platform's record with a back reference to its header.
struct kelWaveHdrBlock
{
    WAVEHDR hdr;
    kelWaveHeader* owner;
};

class kelWaveHeader : public kelMsAcmDeviceHeader
{
public:
    // A zeroed record with a zeroed buffer of `size` bytes (none for 0);
    // dwBufferLength = size. Check valid() for a failed allocation.
    kelWaveHeader(kelMsAcmStreamDevice* device, size_t size) noexcept;
    ~kelWaveHeader() override;

    bool valid() const noexcept { return f_valid; }
    WAVEHDR* hdr() noexcept { return &f_block.hdr; }
    const WAVEHDR* hdr() const noexcept { return &f_block.hdr; }
    char* data() noexcept { return f_block.hdr.lpData; }
    size_t capacity() const noexcept { return f_capacity; }

    // Replaces the buffer by a zeroed one of `size` bytes and sets
    // dwBufferLength; false (buffer kept) when memory is short.
    bool resizeBuffer(size_t size) noexcept;

    // The header's own auto-reset event, made on first use (null when it
    // could not be made); freed with the header.
    kelEvent* event() noexcept;
    kelEvent* existingEvent() const noexcept { return f_event.get(); }
    void freeEvent() noexcept { f_event.reset(); }

    // The header owning `hdr`; null for null. `hdr` must come from a header.
    static kelWaveHeader* fromWaveHdr(WAVEHDR* hdr) noexcept;

    kelString _classID() const override { return u"kelWaveHeader"; }

private:
    kelWaveHdrBlock f_block{};
    std::unique_ptr<char[]> f_buffer;
    size_t f_capacity = 0;
    std::unique_ptr<kelEvent> f_event;
    bool f_valid = true;
};
