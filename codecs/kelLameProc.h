#pragma once
// kelLameProc: the binding to LAME's library (default libmp3lame.so.0),
// the lame_* calls that the encoder's stream interface and the layer 3
// compression driver are built on. Any missing export fails the load (-1).

#include "codecs/kelLibBinding.h"

#include <cstddef>

using kelLameFlags = void;

class kelLameProc : public kelLibBinding
{
public:
    kelLameProc() noexcept : kelLibBinding("libmp3lame.so.0", -1) {}

    kelLameFlags* (*init)() = nullptr;
    int (*close)(kelLameFlags* gf) = nullptr;
    int (*setInSampleRate)(kelLameFlags* gf, int rate) = nullptr;
    int (*setOutSampleRate)(kelLameFlags* gf, int rate) = nullptr;
    int (*setNumChannels)(kelLameFlags* gf, int channels) = nullptr;
    int (*setBitRate)(kelLameFlags* gf, int kbps) = nullptr;
    int (*setMode)(kelLameFlags* gf, int mode) = nullptr;
    int (*setQuality)(kelLameFlags* gf, int quality) = nullptr;
    int (*setVBR)(kelLameFlags* gf, int vbrMode) = nullptr;
    int (*setVBRq)(kelLameFlags* gf, int quality) = nullptr;
    int (*setVBRMeanBitrate)(kelLameFlags* gf, int kbps) = nullptr;
    int (*setVBRMinBitrate)(kelLameFlags* gf, int kbps) = nullptr;
    int (*setVBRMaxBitrate)(kelLameFlags* gf, int kbps) = nullptr;
    int (*setCopyright)(kelLameFlags* gf, int value) = nullptr;
    int (*setOriginal)(kelLameFlags* gf, int value) = nullptr;
    int (*setExtension)(kelLameFlags* gf, int value) = nullptr;
    int (*setErrorProtection)(kelLameFlags* gf, int value) = nullptr;
    int (*setEmphasis)(kelLameFlags* gf, int value) = nullptr;
    int (*setStrictISO)(kelLameFlags* gf, int value) = nullptr;
    int (*setDisableReservoir)(kelLameFlags* gf, int value) = nullptr;
    int (*setWriteVbrTag)(kelLameFlags* gf, int write) = nullptr;
    int (*initParams)(kelLameFlags* gf) = nullptr;
    int (*getFrameSize)(const kelLameFlags* gf) = nullptr;
    int (*getOutSampleRate)(const kelLameFlags* gf) = nullptr;
    int (*getNumChannels)(const kelLameFlags* gf) = nullptr;
    int (*encodeBuffer)(kelLameFlags* gf, const short* left, const short* right, int samples,
                        unsigned char* out, int size) = nullptr;
    int (*encodeInterleaved)(kelLameFlags* gf, short* pcm, int samples, unsigned char* out,
                             int size) = nullptr;
    int (*flush)(kelLameFlags* gf, unsigned char* out, int size) = nullptr;
    size_t (*getLametagFrame)(const kelLameFlags* gf, unsigned char* buffer, size_t size) = nullptr;
    const char* (*getVersion)() = nullptr;

protected:
    bool resolve(const kelDynLib& lib) noexcept override;
    void clear() noexcept override;
};

// LAME's channel modes and VBR modes.
inline constexpr int kelLameStereo = 0;
inline constexpr int kelLameJointStereo = 1;
inline constexpr int kelLameDualChannel = 2;
inline constexpr int kelLameMono = 3;
inline constexpr int kelLameVbrOff = 0;
inline constexpr int kelLameVbrRh = 2;
inline constexpr int kelLameVbrAbr = 3;
inline constexpr int kelLameVbrMtrh = 4;
