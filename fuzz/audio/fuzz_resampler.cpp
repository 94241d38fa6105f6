// The resampler on random format pairs (rates 1 to 400000, 1 to 40
// channels, any sample size, the Speex path on or off) fed random blocks:
// formats it cannot convert are refused, every delivered chunk is exactly
// the destination chunk size, each whole source chunk written gives one
// chunk, and nothing reads or writes outside its buffers (ASan).
//
// Input: per side rate (3 bytes), bits (1), channels (1); flags (1); then
// blocks, each a 2-byte length and that many bytes.
#include "audio/kelWaveResampler.h"
#include "core/kelCreate.h"
#include "fuzz/kelFuzzInput.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelFuzzInput in{data, size};
    const uintptr_t srcRate = in.take(3) % 400001, srcBits = in.take(1), srcCh = 1 + in.take(1) % 40;
    const uintptr_t dstRate = in.take(3) % 400001, dstBits = in.take(1), dstCh = 1 + in.take(1) % 40;
    const uint64_t flags = in.take(1);
    auto device = kelMakeOwned<kelWaveResampler>(false, uintptr_t(0));
    if (!device) return 0;
    device->setUseSpeexDSP((flags & 1) != 0);
    if (!device->setSampling(true, srcRate, srcBits, srcCh) ||
        !device->setSampling(false, dstRate, dstBits, dstCh))
        return 0;
    const uintptr_t srcChunk = device->chunkSize();
    const uintptr_t dstChunk = device->dstChunkSize();
    // Keep one run short: a second of audio per chunk at most.
    if (srcChunk == 0 || dstChunk == 0 || srcChunk > 200000 || dstChunk > 200000) return 0;
    size_t chunks = 0;
    device->setOnDataAvailable([&](kelMsAcmStreamDevice*, void* chunk, uintptr_t bytes) {
        if (chunk == nullptr || bytes != dstChunk) std::abort();
        ++chunks;
    });
    if (device->open() != 0) std::abort();
    uintptr_t written = 0;
    while (in.at < size) {
        const size_t n = std::min<size_t>(in.take(2), size - in.at);
        if (device->write(data + in.at, n) != n) std::abort();
        in.at += n;
        written += n;
        if (chunks != written / srcChunk) std::abort();
    }
    (void)device->flush(true);
    if (chunks != (written + srcChunk - 1) / srcChunk) std::abort();
    (void)device->close();
    return 0;
}
