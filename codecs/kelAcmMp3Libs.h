#pragma once
// The few calls of libmpg123 (feed-mode decoding) and LAME (encoding) that
// the layer 3 compression driver makes, loaded by file name once per
// process (libmpg123.so.0, libmp3lame.so.0) and kept loaded. A library that
// does not load, or lacks a call, leaves its table unusable (ok false).

#include <cstddef>

struct kelMpg123Calls
{
    bool ok = false;
    void* (*newHandle)(const char* decoder, int* error) = nullptr;
    void (*deleteHandle)(void* handle) = nullptr;
    int (*param)(void* handle, int type, long value, double fvalue) = nullptr;
    int (*formatNone)(void* handle) = nullptr;
    int (*format)(void* handle, long rate, int channels, int encodings) = nullptr;
    int (*openFeed)(void* handle) = nullptr;
    int (*feed)(void* handle, const unsigned char* in, size_t size) = nullptr;
    int (*read)(void* handle, void* out, size_t size, size_t* done) = nullptr;
};

struct kelLameCalls
{
    bool ok = false;
    void* (*init)() = nullptr;
    int (*close)(void* flags) = nullptr;
    int (*setInSampleRate)(void* flags, int rate) = nullptr;
    int (*setOutSampleRate)(void* flags, int rate) = nullptr;
    int (*setNumChannels)(void* flags, int channels) = nullptr;
    int (*setBitRate)(void* flags, int kbps) = nullptr;
    int (*setMode)(void* flags, int mode) = nullptr;
    int (*setWriteVbrTag)(void* flags, int write) = nullptr;
    int (*initParams)(void* flags) = nullptr;
    int (*encodeBuffer)(void* flags, const short* left, const short* right, int samples, unsigned char* out,
                        int size) = nullptr;
    int (*encodeInterleaved)(void* flags, short* pcm, int samples, unsigned char* out, int size) = nullptr;
    int (*flush)(void* flags, unsigned char* out, int size) = nullptr;
};

// The tables, loaded on first use; any thread.
const kelMpg123Calls& kelMpg123();
const kelLameCalls& kelLame();

// libmpg123's numbers used here.
inline constexpr int kelMpg123Ok = 0;
inline constexpr int kelMpg123NeedMore = -10;
inline constexpr int kelMpg123NewFormat = -11;
inline constexpr int kelMpg123AddFlags = 2;    // MPG123_ADD_FLAGS
inline constexpr int kelMpg123Quiet = 0x20;    // MPG123_QUIET
inline constexpr int kelMpg123Signed16 = 0xD0; // MPG123_ENC_SIGNED_16
// LAME's channel modes.
inline constexpr int kelLameJointStereo = 1;
inline constexpr int kelLameMono = 3;
