#pragma once
// kelCeltProc: the binding to the CELT 0.11 library (default
// libcelt0.so.2): its 23 exports, every one required (missing code -1).
// Debian 12 ships no CELT, so on most machines the default load fails and
// the coders stay neutral.

#include "codecs/kelLibBinding.h"

#include <cstdint>

using kelCeltMode = void;
using kelCeltEncoderState = void;
using kelCeltDecoderState = void;

class kelCeltProc : public kelLibBinding
{
public:
    kelCeltProc() noexcept : kelLibBinding("libcelt0.so.2", -1) {}

    kelCeltMode* (*modeCreate)(int32_t rate, int frameSize, int* error) = nullptr;
    void (*modeDestroy)(kelCeltMode* mode) = nullptr;

    int (*encoderGetSize)(int channels) = nullptr;
    kelCeltEncoderState* (*encoderCreate)(int rate, int channels, int* error) = nullptr;
    kelCeltEncoderState* (*encoderInit)(kelCeltEncoderState* st, int rate, int channels,
                                        int* error) = nullptr;
    void (*encoderDestroy)(kelCeltEncoderState* st) = nullptr;
    int (*encode)(kelCeltEncoderState* st, const int16_t* pcm, int frameSize, unsigned char* compressed,
                  int maxBytes) = nullptr;
    int (*encodeFloat)(kelCeltEncoderState* st, const float* pcm, int frameSize, unsigned char* compressed,
                       int maxBytes) = nullptr;
    int (*encoderCtl)(kelCeltEncoderState* st, int request, ...) = nullptr;
    int (*encoderGetSizeCustom)(const kelCeltMode* mode, int channels) = nullptr;
    kelCeltEncoderState* (*encoderCreateCustom)(const kelCeltMode* mode, int channels, int* error) = nullptr;
    kelCeltEncoderState* (*encoderInitCustom)(kelCeltEncoderState* st, const kelCeltMode* mode, int channels,
                                              int* error) = nullptr;

    int (*decoderGetSize)(int channels) = nullptr;
    kelCeltDecoderState* (*decoderCreate)(int rate, int channels, int* error) = nullptr;
    kelCeltDecoderState* (*decoderInit)(kelCeltDecoderState* st, int rate, int channels,
                                        int* error) = nullptr;
    void (*decoderDestroy)(kelCeltDecoderState* st) = nullptr;
    int (*decode)(kelCeltDecoderState* st, const unsigned char* data, int len, int16_t* pcm,
                  int frameSize) = nullptr;
    int (*decodeFloat)(kelCeltDecoderState* st, const unsigned char* data, int len, float* pcm,
                       int frameSize) = nullptr;
    int (*decoderCtl)(kelCeltDecoderState* st, int request, ...) = nullptr;
    int (*decoderGetSizeCustom)(const kelCeltMode* mode, int channels) = nullptr;
    kelCeltDecoderState* (*decoderCreateCustom)(const kelCeltMode* mode, int channels, int* error) = nullptr;
    kelCeltDecoderState* (*decoderInitCustom)(kelCeltDecoderState* st, const kelCeltMode* mode, int channels,
                                              int* error) = nullptr;

    const char* (*strError)(int error) = nullptr;

protected:
    bool resolve(const kelDynLib& lib) noexcept override;
    void clear() noexcept override;
};

// CELT's result codes.
inline constexpr int kelCeltOk = 0;
inline constexpr int kelCeltBadArg = -1;
inline constexpr int kelCeltInvalidState = -6;
