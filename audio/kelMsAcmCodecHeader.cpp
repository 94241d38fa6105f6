#include "audio/kelMsAcmCodecHeader.h"

#include "audio/kelMsAcmCodec.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr intptr_t kDestroyLockTimeout = 100;

std::unique_ptr<uint8_t[]> zeroedBuffer(size_t size) noexcept
{
    if (size == 0) return {};
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]());
}

} // namespace

kelMsAcmCodecHeader::kelMsAcmCodecHeader(kelMsAcmCodec* codec, size_t srcSize, size_t dstSize,
                                         bool driverRecord) noexcept
    : kelMsAcmDeviceHeader(codec), f_codec(codec), f_driverRecord(driverRecord)
{
    f_header.cbStruct = sizeof f_header;
    f_header.dwUser = reinterpret_cast<uintptr_t>(this);
    f_drvHeader.cbStruct = sizeof f_drvHeader;
    f_drvHeader.dwUser = reinterpret_cast<uintptr_t>(this);
    f_src = zeroedBuffer(srcSize);
    f_dst = zeroedBuffer(dstSize);
    f_valid =
        (srcSize == 0 || f_src) && (dstSize == 0 || f_dst) && srcSize <= UINT32_MAX && dstSize <= UINT32_MAX;
    if (f_src) f_srcSize = srcSize;
    if (f_dst) f_dstSize = dstSize;
    bindBuffers();
}

kelMsAcmCodecHeader::~kelMsAcmCodecHeader()
{
    if (isPrepared()) {
        kelLock lock(this, false, kDestroyLockTimeout);
        if (lock) (void)unprepare();
    }
}

void kelMsAcmCodecHeader::bindBuffers() noexcept
{
    f_header.pbSrc = f_src.get();
    f_header.pbDst = f_dst.get();
    f_header.cbDstLength = uint32_t(f_dstSize);
    f_drvHeader.pbSrc = f_src.get();
    f_drvHeader.pbDst = f_dst.get();
    f_drvHeader.cbDstLength = uint32_t(f_dstSize);
    setSrcLength(std::min<uint32_t>(srcLength(), uint32_t(f_srcSize)));
}

bool kelMsAcmCodecHeader::statusFlag(uint32_t flag) const noexcept
{
    const uint32_t status = f_driverRecord ? f_drvHeader.fdwStatus : f_header.fdwStatus;
    return (status & flag) != 0;
}

void kelMsAcmCodecHeader::setStatusFlag(uint32_t flag, bool value) noexcept
{
    uint32_t& status = f_driverRecord ? f_drvHeader.fdwStatus : f_header.fdwStatus;
    status = value ? (status | flag) : (status & ~flag);
}

void kelMsAcmCodecHeader::resetUsed() noexcept
{
    setUsed(0, 0);
}

uint32_t kelMsAcmCodecHeader::srcLength() const noexcept
{
    return f_driverRecord ? f_drvHeader.cbSrcLength : f_header.cbSrcLength;
}

void kelMsAcmCodecHeader::setSrcLength(uint32_t value) noexcept
{
    (f_driverRecord ? f_drvHeader.cbSrcLength : f_header.cbSrcLength) = value;
}

uint32_t kelMsAcmCodecHeader::srcLengthUsed() const noexcept
{
    return f_driverRecord ? f_drvHeader.cbSrcLengthUsed : f_header.cbSrcLengthUsed;
}

uint32_t kelMsAcmCodecHeader::dstLengthUsed() const noexcept
{
    return f_driverRecord ? f_drvHeader.cbDstLengthUsed : f_header.cbDstLengthUsed;
}

void kelMsAcmCodecHeader::setUsed(uint32_t srcUsed, uint32_t dstUsed) noexcept
{
    (f_driverRecord ? f_drvHeader.cbSrcLengthUsed : f_header.cbSrcLengthUsed) = srcUsed;
    (f_driverRecord ? f_drvHeader.cbDstLengthUsed : f_header.cbDstLengthUsed) = dstUsed;
}

bool kelMsAcmCodecHeader::write(const void* data, size_t size, size_t offset) noexcept
{
    if (offset > f_srcSize || size > f_srcSize - offset) return false;
    if (size) std::memcpy(f_src.get() + offset, data, size);
    return true;
}

bool kelMsAcmCodecHeader::resizeSource(size_t newSize) noexcept
{
    if (newSize == f_srcSize) return true;
    if (newSize > UINT32_MAX) return false;
    auto buffer = zeroedBuffer(newSize);
    if (newSize && !buffer) return false;
    if (f_src && buffer) std::memcpy(buffer.get(), f_src.get(), std::min(f_srcSize, newSize));
    f_src = std::move(buffer);
    f_srcSize = newSize;
    bindBuffers();
    return true;
}

bool kelMsAcmCodecHeader::growDestination(size_t size) noexcept
{
    if (size <= f_dstSize) return true;
    if (size > UINT32_MAX) return false;
    auto buffer = zeroedBuffer(size);
    if (!buffer) return false;
    // The back end knows a prepared header by its buffers.
    const bool wasPrepared = isPrepared();
    if (wasPrepared) (void)unprepare();
    f_dst = std::move(buffer);
    f_dstSize = size;
    bindBuffers();
    if (wasPrepared) (void)prepare();
    return true;
}

bool kelMsAcmCodecHeader::grow(size_t newSize) noexcept
{
    if (f_driverRecord) return resizeSource(newSize);
    const bool wasPrepared = isPrepared();
    if (wasPrepared) (void)unprepare();
    bool ok = resizeSource(newSize);
    if (ok && f_codec) {
        uintptr_t dstSize = 0;
        if (f_codec->convertSize(newSize, ACM_STREAMSIZEF_SOURCE, dstSize) == MMSYSERR_NOERROR &&
            dstSize > 0 && dstSize <= kelMaxChunkSize) {
            ok = growDestination(dstSize);
            if (ok) {
                f_codec->f_chunkSize.store(newSize);
                f_codec->f_dstChunkSize.store(dstSize);
            }
        }
    }
    if (wasPrepared) (void)prepare();
    return ok;
}
