#pragma once
// kelMsAcmCodecHeader: the one conversion header a codec device uses. It
// owns a source and a destination buffer and the platform record that
// describes them to the back end: ACMSTREAMHEADER for a registry driver or
// a codec plug-in, ACMDRVSTREAMHEADER (the driver-side form) for an
// installable driver, which is addressed by its messages directly.
//
// The record in use is zeroed at construction, its cbStruct and dwUser (this
// header) set; cbSrcLength names the bytes written for the next conversion,
// the used counts what the back end took and made of them.
//
// Made and freed by its codec under the codec's device lock; the header's
// own lock guards the unprepare of its destruction.

#include "audio/kelMsAcmDeviceHeader.h"
#include "platform/kelAcmRecords.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class kelMsAcmCodec;

class kelMsAcmCodecHeader : public kelMsAcmDeviceHeader
{
public:
    // Buffers of `srcSize` and `dstSize` bytes (none for 0), zeroed. Check
    // valid(): false when memory was short. `driverRecord` picks the
    // driver-side record (installable mode).
    kelMsAcmCodecHeader(kelMsAcmCodec* codec, size_t srcSize, size_t dstSize, bool driverRecord) noexcept;
    // Unprepares a prepared header (under its lock, 100 ms; skipped when the
    // lock cannot be had) and frees both buffers.
    ~kelMsAcmCodecHeader() override;

    bool valid() const noexcept { return f_valid; }

    bool statusFlag(uint32_t flag) const noexcept override;
    void setStatusFlag(uint32_t flag, bool value) noexcept override;
    // Zeroes cbSrcLengthUsed and cbDstLengthUsed.
    void resetUsed() noexcept override;

    // Copies `size` bytes to the source buffer at `offset`; false (nothing
    // copied) when they do not fit.
    bool write(const void* data, size_t size, size_t offset) noexcept;
    // Makes the source buffer `newSize` bytes (keeping its bytes). Registry
    // and plug-in modes unprepare first, ask the codec for the destination
    // size of `newSize` source bytes and, when it answers, make those the
    // codec's chunk sizes and resize the destination buffer, then prepare
    // again; the installable mode only resizes the source. False when memory
    // was short (the buffers stay as they were).
    bool grow(size_t newSize) noexcept;
    // Makes the destination buffer at least `size` bytes; false when memory
    // was short.
    bool growDestination(size_t size) noexcept;

    // The record in use: exactly one of these is non-null.
    ACMSTREAMHEADER* header() noexcept { return f_driverRecord ? nullptr : &f_header; }
    ACMDRVSTREAMHEADER* drvHeader() noexcept { return f_driverRecord ? &f_drvHeader : nullptr; }
    bool usesDriverRecord() const noexcept { return f_driverRecord; }

    uint8_t* src() noexcept { return f_src.get(); }
    size_t srcCapacity() const noexcept { return f_srcSize; }
    uint8_t* dst() noexcept { return f_dst.get(); }
    size_t dstCapacity() const noexcept { return f_dstSize; }
    // Bytes named for the next conversion (cbSrcLength).
    uint32_t srcLength() const noexcept;
    void setSrcLength(uint32_t value) noexcept;
    // What the back end reported, as it reported it.
    uint32_t srcLengthUsed() const noexcept;
    uint32_t dstLengthUsed() const noexcept;
    void setUsed(uint32_t srcUsed, uint32_t dstUsed) noexcept;
    // The driver-side record's conversion flags (installable mode).
    void setConvertFlags(uint32_t flags) noexcept { f_drvHeader.fdwConvert = flags; }

    kelMsAcmCodec* codec() const noexcept { return f_codec; }

    kelString _classID() const override { return u"kelMsAcmCodecHeader"; }

private:
    // Points the record in use at the buffers.
    void bindBuffers() noexcept;
    bool resizeSource(size_t newSize) noexcept;

    ACMSTREAMHEADER f_header{};
    ACMDRVSTREAMHEADER f_drvHeader{};
    kelMsAcmCodec* f_codec; // the owner, not owned
    bool f_driverRecord;
    bool f_valid = true;
    std::unique_ptr<uint8_t[]> f_src;
    size_t f_srcSize = 0;
    std::unique_ptr<uint8_t[]> f_dst;
    size_t f_dstSize = 0;
};
