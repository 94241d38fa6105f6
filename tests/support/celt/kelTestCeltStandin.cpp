// A stand-in for the CELT 0.11 library, for tests on machines without it:
// the 23 exports with the library's signatures and a made-up but
// deterministic coding, so a test can tell which PCM reached the encoder
// and which packet the decoder was given. The form built with
// KEL_TEST_CELT_NO_STRERROR lacks celt_strerror.
//
// Coding: a packet's byte i is (the sum of the frame's samples + i) mod
// 256, as many bytes as asked for; decoding writes sample i as
// packet[i mod len] * 256 + i (a frame of zeros for a lost packet). The
// kelTestCelt* exports let a test force the encoder's result and read the
// last calls.

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

struct State
{
    int rate;
    int channels;
};

int g_forcedEncodeResult = 0; // 0: the bytes asked for
int g_lastMaxBytes = -1;
int g_lastFrameSize = -1;
int g_lastRequest = -1;
intptr_t g_lastValue = 0;

State* make(int rate, int channels, int* error)
{
    if (rate < 8000 || rate > 96000 || channels < 1 || channels > 2) {
        if (error != nullptr) *error = -1;
        return nullptr;
    }
    auto* st = static_cast<State*>(std::malloc(sizeof(State)));
    st->rate = rate;
    st->channels = channels;
    if (error != nullptr) *error = 0;
    return st;
}

int ctl(int request, va_list ap)
{
    g_lastRequest = request;
    g_lastValue = va_arg(ap, intptr_t);
    return 0;
}

} // namespace

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT void* celt_mode_create(int32_t rate, int frameSize, int* error)
{
    if (error != nullptr) *error = 0;
    return make(rate, frameSize > 0 ? 1 : 0, error);
}
EXPORT void celt_mode_destroy(void* mode)
{
    std::free(mode);
}

EXPORT int celt_encoder_get_size(int channels)
{
    return int(sizeof(State)) * channels;
}
EXPORT void* celt_encoder_create(int rate, int channels, int* error)
{
    return make(rate, channels, error);
}
EXPORT void* celt_encoder_init(void* st, int, int, int* error)
{
    if (error != nullptr) *error = 0;
    return st;
}
EXPORT void celt_encoder_destroy(void* st)
{
    std::free(st);
}
EXPORT int celt_encode(void* st, const int16_t* pcm, int frameSize, unsigned char* compressed, int maxBytes)
{
    g_lastMaxBytes = maxBytes;
    g_lastFrameSize = frameSize;
    if (st == nullptr || pcm == nullptr || frameSize <= 0 || maxBytes <= 0) return -1;
    const int channels = static_cast<State*>(st)->channels;
    unsigned sum = 0;
    for (int i = 0; i < frameSize * channels; ++i)
        sum += unsigned(uint16_t(pcm[i]));
    for (int i = 0; i < maxBytes; ++i)
        compressed[i] = uint8_t(sum + unsigned(i));
    return g_forcedEncodeResult != 0 ? g_forcedEncodeResult : maxBytes;
}
EXPORT int celt_encode_float(void*, const float*, int, unsigned char*, int)
{
    return -5;
}
EXPORT int celt_encoder_ctl(void*, int request, ...)
{
    va_list ap;
    va_start(ap, request);
    const int result = ctl(request, ap);
    va_end(ap);
    return result;
}
EXPORT int celt_encoder_get_size_custom(const void*, int channels)
{
    return int(sizeof(State)) * channels;
}
EXPORT void* celt_encoder_create_custom(const void*, int channels, int* error)
{
    return make(48000, channels, error);
}
EXPORT void* celt_encoder_init_custom(void* st, const void*, int, int* error)
{
    if (error != nullptr) *error = 0;
    return st;
}

EXPORT int celt_decoder_get_size(int channels)
{
    return int(sizeof(State)) * channels;
}
EXPORT void* celt_decoder_create(int rate, int channels, int* error)
{
    return make(rate, channels, error);
}
EXPORT void* celt_decoder_init(void* st, int, int, int* error)
{
    if (error != nullptr) *error = 0;
    return st;
}
EXPORT void celt_decoder_destroy(void* st)
{
    std::free(st);
}
EXPORT int celt_decode(void* st, const unsigned char* data, int len, int16_t* pcm, int frameSize)
{
    g_lastFrameSize = frameSize;
    if (st == nullptr || pcm == nullptr || frameSize <= 0) return -1;
    if (data != nullptr && len <= 0) return -4; // corrupted
    const int samples = frameSize * static_cast<State*>(st)->channels;
    for (int i = 0; i < samples; ++i)
        pcm[i] = data == nullptr ? 0 : int16_t(data[i % len] * 256 + i);
    return 0;
}
EXPORT int celt_decode_float(void*, const unsigned char*, int, float*, int)
{
    return -5;
}
EXPORT int celt_decoder_ctl(void*, int request, ...)
{
    va_list ap;
    va_start(ap, request);
    const int result = ctl(request, ap);
    va_end(ap);
    return result;
}
EXPORT int celt_decoder_get_size_custom(const void*, int channels)
{
    return int(sizeof(State)) * channels;
}
EXPORT void* celt_decoder_create_custom(const void*, int channels, int* error)
{
    return make(48000, channels, error);
}
EXPORT void* celt_decoder_init_custom(void* st, const void*, int, int* error)
{
    if (error != nullptr) *error = 0;
    return st;
}

#ifndef KEL_TEST_CELT_NO_STRERROR
EXPORT const char* celt_strerror(int error)
{
    return error == 0 ? "success" : "stand-in error";
}
#endif

// The test's handles on the stand-in.
EXPORT void kelTestCeltForceEncodeResult(int result)
{
    g_forcedEncodeResult = result;
}
EXPORT int kelTestCeltLastMaxBytes()
{
    return g_lastMaxBytes;
}
EXPORT int kelTestCeltLastFrameSize()
{
    return g_lastFrameSize;
}
EXPORT int kelTestCeltLastRequest()
{
    return g_lastRequest;
}
EXPORT intptr_t kelTestCeltLastValue()
{
    return g_lastValue;
}
