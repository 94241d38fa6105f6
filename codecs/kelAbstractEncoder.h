#pragma once
// kelAbstractEncoder: the common frame of the library's block coders. It
// holds the configuration state, an output buffer the coder fills, an input
// and an output memory stream, and a lazy-write thread that encodes what is
// written to it in whole input chunks on its own thread. A concrete coder
// fills in the protected operations; callers see only error codes (nothing
// raises).
//
// Two ways to code: encodeChunkInPlace() codes one block on the calling
// thread; lazyThread()->write() queues bytes that the thread codes chunk by
// chunk, offering each result to the data-available handler and, when
// accepted, appending it to outStream().

#include "core/kelCreate.h"
#include "core/kelMemoryStream.h"
#include "core/kelObject.h"
#include "core/kelThread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class kelAbstractEncoder;
class kelLazyWriteThread;

// Error codes of the coders.
inline constexpr intptr_t kelEncoderOK = 0;
inline constexpr intptr_t kelEncoderErrorNoCodec = 1;
inline constexpr intptr_t kelEncoderErrorCodecFailed = 5;
inline constexpr intptr_t kelEncoderErrorLoadFailed = 0x10000001;
inline constexpr intptr_t kelEncoderErrorNotConfigured = 0x10000004;
// open() could not start the lazy-write thread; the coder stays closed.
inline constexpr intptr_t kelEncoderErrorThreadFailed = 0x10000002;
// Internal: the coder was busy on another thread; the caller may retry.
inline constexpr intptr_t kelEncoderBusy = -1;

// Produced bytes on offer; clear `accept` to keep them out of the output
// stream. Called on the thread that coded them.
using kelEncoderOnDataAvailable =
    std::function<void(kelAbstractEncoder* sender, const void* data, uint32_t size, bool& accept)>;

// What availableSize() measures.
enum kelEncoderStreamIndex : int {
    kelEncoderOutStream = 0,
    kelEncoderInStream = 1,
    kelEncoderLazyStream = 2,
};

class kelAbstractEncoder : public kelObject
{
public:
    explicit kelAbstractEncoder(intptr_t priority = kelThreadPriorityNormal);
    // A subclass closes in its own destructor (or is freed with kelFree):
    // the lazy thread calls its operations until close() stops it.
    ~kelAbstractEncoder() override;

    // Closes, applies `config` through the coder, grows the output buffer to
    // the coder's minimum and stores the result (0 makes the coder
    // configured).
    intptr_t setConfig(intptr_t config) noexcept;
    // Opens a configured coder: empties both streams and the produced total
    // and starts the lazy thread. The error code afterwards (0,
    // kelEncoderErrorNotConfigured, or kelEncoderErrorThreadFailed when the
    // thread could not start: the coder is then closed and unconfigured, as
    // after close()).
    intptr_t open() noexcept;
    // Flushes and stops the lazy thread, closes the coder and delivers any
    // bytes left in the output buffer. The coder is then unconfigured.
    intptr_t close() noexcept;

    // Codes one block of `size` bytes on the calling thread into `outBuf`
    // (room `outBufSize`). On success `size` becomes the bytes consumed and
    // the produced count is returned; at most `outBufSize` of them are
    // copied, so a result above `outBufSize` tells the caller its room was
    // short. 0 on failure (see errorCode()) or when the coder is busy.
    uint32_t encodeChunkInPlace(const void* data, uint32_t& size, void* outBuf, uint32_t outBufSize) noexcept;

    // Bytes waiting in the output stream, the input stream or the lazy
    // thread's stream; 0 for another index.
    intptr_t availableSize(int index) noexcept;

    intptr_t errorCode() const noexcept { return f_errorCode; }
    bool configOK() const noexcept { return f_configOK != 0; }
    bool opened() const noexcept { return f_opened != 0; }
    uint32_t inputChunkSize() const noexcept { return f_inputChunkSize; }
    uint32_t minOutputBufSize() const noexcept { return f_minOutputBufSize; }
    uint32_t outBufSize() const noexcept { return f_outBufSize; }
    // Bytes produced since open.
    int64_t encodedDataSize() const noexcept { return f_encodedDataSize; }
    intptr_t priority() const noexcept { return f_priority; }

    kelMemoryStream& outStream() noexcept { return f_outStream; }
    kelMemoryStream& inStream() noexcept { return f_inStream; }
    kelLazyWriteThread* lazyThread() noexcept { return f_lazyThread.get(); }

    // Set while closed; read on the coding threads.
    void setOnDataAvailable(kelEncoderOnDataAvailable handler) { f_onDA = std::move(handler); }

    kelString _classID() const override { return u"kelAbstractEncoder"; }

protected:
    friend class kelLazyWriteThread;

    // A coder freed through kelFree closes while its operations still exist.
    void beforeDestruction() override { close(); }

    // Offers produced bytes to the handler; true (accept) without one.
    virtual bool doDataAvailable(const void* data, uint32_t size);
    // Applies a configuration, setting f_inputChunkSize and
    // f_minOutputBufSize; the error code.
    virtual intptr_t doApplyConfig(intptr_t config) = 0;
    virtual void doOpen() = 0;
    virtual intptr_t doClose() = 0;
    // Codes `size` bytes of `data` into f_outBuf (room f_outBufSize),
    // setting f_outBufUsed and `consumed`; the error code.
    virtual intptr_t doEncode(const void* data, uint32_t size, uint32_t& consumed) = 0;

    // Counts the bytes in the output buffer, offers them and appends the
    // accepted ones to the output stream; empties the buffer.
    void deliverOutput() noexcept;
    // The lazy thread's step: codes one chunk under the object's lock and
    // delivers what it produced. The error code; `consumed` as doEncode.
    intptr_t encodeAndDeliver(const void* data, uint32_t size, uint32_t& consumed) noexcept;
    bool growOutBuf(uint32_t size) noexcept;

    intptr_t f_priority;
    kelMemoryStream f_outStream;
    kelMemoryStream f_inStream;
    kelOwned<kelLazyWriteThread> f_lazyThread;
    kelEncoderOnDataAvailable f_onDA;
    std::atomic<intptr_t> f_errorCode{kelEncoderOK};
    std::atomic<int32_t> f_configOK{0};
    std::atomic<int32_t> f_opened{0};
    std::vector<uint8_t> f_inBuf;
    uint32_t f_inBufSize = 0;
    std::vector<uint8_t> f_outBuf;
    uint32_t f_outBufSize = 0;
    uint32_t f_outBufUsed = 0;
    uint32_t f_inputChunkSize = 0;
    uint32_t f_minOutputBufSize = 0;
    std::atomic<int64_t> f_encodedDataSize{0};
};
