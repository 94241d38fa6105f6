#include "codecs/kelAbstractEncoder.h"

#include "codecs/kelLazyWriteThread.h"
#include "core/kelCreate.h"

#include <algorithm>
#include <cstring>

namespace {
// encodeChunkInPlace gives up rather than wait longer for the coder.
constexpr intptr_t kInPlaceLockTimeout = 112;
// The lazy thread and close() wait this long for a coder busy elsewhere.
constexpr intptr_t kCoderLockTimeout = 3000;
constexpr intptr_t kThreadStartTimeout = 10000;
} // namespace

kelAbstractEncoder::kelAbstractEncoder(intptr_t priority)
    : f_priority(priority), f_lazyThread(kelCreate<kelLazyWriteThread>(this, priority))
{}

kelAbstractEncoder::~kelAbstractEncoder()
{
    // A subclass closes in its own destructor, while its operations still
    // exist; here only the thread is left to stop.
    f_lazyThread.reset();
}

intptr_t kelAbstractEncoder::setConfig(intptr_t config) noexcept
{
    close();
    intptr_t result = kelEncoderErrorNoCodec;
    {
        kelLock lock(this, false, kCoderLockTimeout);
        try {
            result = doApplyConfig(config);
        } catch (...) {
            result = kelEncoderErrorNoCodec;
        }
        if (f_outBufSize < f_minOutputBufSize && !growOutBuf(f_minOutputBufSize) && result == kelEncoderOK)
            result = kelEncoderErrorNoCodec;
    }
    f_configOK = result == kelEncoderOK ? 1 : 0;
    f_errorCode = result;
    return result;
}

intptr_t kelAbstractEncoder::open() noexcept
{
    if (!f_configOK) {
        f_errorCode = kelEncoderErrorNotConfigured;
        return f_errorCode;
    }
    if (f_opened) return f_errorCode;
    {
        kelLock lock(this, false, kCoderLockTimeout);
        f_outStream.clear();
        f_inStream.clear();
        if (f_lazyThread) f_lazyThread->lazyStream().clear();
        f_encodedDataSize = 0;
        f_outBufUsed = 0;
        try {
            doOpen();
        } catch (...) {
        }
        f_opened = 1;
    }
    // Without its thread nothing written to the coder would ever be coded:
    // undo the open rather than report a coder that cannot work.
    if (!f_lazyThread || !f_lazyThread->start(kThreadStartTimeout)) {
        kelLock lock(this, false, kCoderLockTimeout);
        try {
            (void)doClose();
        } catch (...) {
        }
        f_outBufUsed = 0;
        // As after close(): the coder's own close may drop its selection.
        f_configOK = 0;
        f_opened = 0;
        f_errorCode = kelEncoderErrorThreadFailed;
        return f_errorCode;
    }
    f_errorCode = kelEncoderOK;
    return kelEncoderOK;
}

intptr_t kelAbstractEncoder::close() noexcept
{
    intptr_t result = kelEncoderOK;
    if (f_opened && f_lazyThread) {
        f_lazyThread->flush();
        f_lazyThread->stop();
    }
    if (f_configOK) {
        kelLock lock(this, false, kCoderLockTimeout);
        try {
            result = doClose();
        } catch (...) {
            result = kelEncoderErrorCodecFailed;
        }
        if (result == kelEncoderOK) deliverOutput();
    }
    f_configOK = 0;
    f_opened = 0;
    f_errorCode = result;
    return result;
}

uint32_t kelAbstractEncoder::encodeChunkInPlace(const void* data, uint32_t& size, void* outBuf,
                                                uint32_t outBufSize) noexcept
{
    if ((data == nullptr && size > 0) || (outBuf == nullptr && outBufSize > 0)) return 0;
    kelLock lock(this, false, kInPlaceLockTimeout);
    if (!lock) return 0;
    if (!growOutBuf(outBufSize)) return 0;
    uint32_t consumed = 0;
    intptr_t result = kelEncoderErrorCodecFailed;
    try {
        result = doEncode(data, size, consumed);
    } catch (...) {
    }
    f_errorCode = result;
    if (result != kelEncoderOK) {
        f_outBufUsed = 0;
        return 0;
    }
    const uint32_t produced = f_outBufUsed;
    if (produced > 0) std::memcpy(outBuf, f_outBuf.data(), std::min(outBufSize, produced));
    f_encodedDataSize += produced;
    f_outBufUsed = 0;
    size = consumed;
    return produced;
}

intptr_t kelAbstractEncoder::availableSize(int index) noexcept
{
    switch (index) {
    case kelEncoderOutStream:
        return f_outStream.getSize();
    case kelEncoderInStream:
        return f_inStream.getSize();
    case kelEncoderLazyStream:
        return f_lazyThread ? f_lazyThread->lazyStream().getSize() : 0;
    default:
        return 0;
    }
}

bool kelAbstractEncoder::doDataAvailable(const void* data, uint32_t size)
{
    bool accept = true;
    if (f_onDA) f_onDA(this, data, size, accept);
    return accept;
}

void kelAbstractEncoder::deliverOutput() noexcept
{
    const uint32_t used = std::min(f_outBufUsed, f_outBufSize);
    f_outBufUsed = 0;
    if (used == 0) return;
    f_encodedDataSize += used;
    bool accept = true;
    try {
        accept = doDataAvailable(f_outBuf.data(), used);
    } catch (...) {
    }
    if (accept) f_outStream.write(f_outBuf.data(), used);
}

intptr_t kelAbstractEncoder::encodeAndDeliver(const void* data, uint32_t size, uint32_t& consumed) noexcept
{
    consumed = 0;
    kelLock lock(this, false, kCoderLockTimeout);
    if (!lock) return kelEncoderBusy;
    intptr_t result = kelEncoderErrorCodecFailed;
    try {
        result = doEncode(data, size, consumed);
    } catch (...) {
    }
    f_errorCode = result;
    if (result == kelEncoderOK)
        deliverOutput();
    else
        f_outBufUsed = 0;
    return result;
}

bool kelAbstractEncoder::growOutBuf(uint32_t size) noexcept
{
    if (size <= f_outBufSize) return true;
    try {
        f_outBuf.resize(size);
    } catch (...) {
        return false;
    }
    f_outBufSize = size;
    return true;
}
