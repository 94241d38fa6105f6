// Random bytes as Speex blocks, cut into pieces of varying size and decoded
// in one of the three modes: the decoder's loop and memory stay bounded,
// every call takes at most the bytes it was given, and every frame comes
// out whole (ASan checks the accesses).
//
// Input: mode and piece length (1 byte), then the blocks.
#include "codecs/kelSpeexAPI.h"
#include "core/kelCreate.h"

#include <cstdlib>

namespace {

class CountingDecoder : public kelSpeexDecoder
{
public:
    using kelSpeexDecoder::kelSpeexDecoder;
    size_t frames = 0;
    size_t expected = 0;

protected:
    void dataAvailable(const int16_t* samples, size_t size) override
    {
        if (samples == nullptr || size != expected) std::abort();
        volatile int sink = 0;
        for (size_t i = 0; i < size / 2; ++i)
            sink = sink + samples[i];
        ++frames;
    }
};

kelSpeexLib& library()
{
    static kelSpeexLib lib;
    return lib;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || !library().libOK()) return 0;
    const int mode = data[0] % 3;
    const size_t piece = 1 + data[0] / 3; // 1..86
    kelOwned<CountingDecoder> dec(kelCreate<CountingDecoder>(&library(), mode));
    if (!dec || !dec->open()) std::abort();
    dec->expected = size_t(dec->frameSize()) * 2;
    for (size_t pos = 1; pos < size; pos += piece) {
        const size_t n = size - pos < piece ? size - pos : piece;
        const intptr_t taken = dec->decode(data + pos, intptr_t(n));
        if (taken < 0 || size_t(taken) > n) std::abort();
        // A frame takes at least its 5-bit mode field.
        if (dec->frames > (size * 8) / 5 + size) std::abort();
    }
    return 0;
}
