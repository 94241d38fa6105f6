#pragma once
// kelMpg123Proc: the binding to libmpg123 (default libmpg123.so.0). All of
// the library's feed-mode interface must be exported for the load to
// succeed (missing code 5); the calls the decoders make keep typed
// pointers. Off_t arguments are 64-bit, as in the library's own build on
// this platform.

#include "codecs/kelLibBinding.h"

#include <cstddef>

using kelMpg123Handle = void;

// The frame description mpg123_info fills (the library's mpg123_frameinfo).
struct kelMpg123FrameInfo
{
    int version; // 0 MPEG 1.0, 1 MPEG 2.0, 2 MPEG 2.5
    int layer;
    long rate;
    int mode;
    int modeExt;
    int frameSize;
    int flags;
    int emphasis;
    int bitrate; // kbit/s
    int abrRate;
    int vbr;
};

class kelMpg123Proc : public kelLibBinding
{
public:
    kelMpg123Proc() noexcept : kelLibBinding("libmpg123.so.0", 5) {}

    int (*init)() = nullptr;
    void (*exit)() = nullptr;
    kelMpg123Handle* (*newHandle)(const char* decoder, int* error) = nullptr;
    void (*deleteHandle)(kelMpg123Handle* mh) = nullptr;
    int (*param)(kelMpg123Handle* mh, int type, long value, double fvalue) = nullptr;
    int (*formatNone)(kelMpg123Handle* mh) = nullptr;
    int (*format)(kelMpg123Handle* mh, long rate, int channels, int encodings) = nullptr;
    int (*openFeed)(kelMpg123Handle* mh) = nullptr;
    int (*close)(kelMpg123Handle* mh) = nullptr;
    int (*feed)(kelMpg123Handle* mh, const unsigned char* in, size_t size) = nullptr;
    int (*read)(kelMpg123Handle* mh, void* out, size_t size, size_t* done) = nullptr;
    int (*getFormat)(kelMpg123Handle* mh, long* rate, int* channels, int* encoding) = nullptr;
    int (*info)(kelMpg123Handle* mh, kelMpg123FrameInfo* info) = nullptr;
    int (*decoder)(kelMpg123Handle* mh, const char* name) = nullptr;
    int (*encSize)(int encoding) = nullptr;
    const char* (*strError)(kelMpg123Handle* mh) = nullptr;

protected:
    bool resolve(const kelDynLib& lib) noexcept override;
    void clear() noexcept override;
};

// libmpg123's numbers used here.
inline constexpr int kelMpg123Ok = 0;
inline constexpr int kelMpg123Err = -1;
inline constexpr int kelMpg123NeedMore = -10;
inline constexpr int kelMpg123NewFormat = -11;
inline constexpr int kelMpg123Done = -12;
inline constexpr int kelMpg123AddFlags = 2;     // MPG123_ADD_FLAGS
inline constexpr int kelMpg123RemoveFlags = 13; // MPG123_REMOVE_FLAGS
inline constexpr int kelMpg123Quiet = 0x20;     // MPG123_QUIET
inline constexpr int kelMpg123NoResync = 0x80;  // MPG123_NO_RESYNC
inline constexpr int kelMpg123Signed16 = 0xD0;  // MPG123_ENC_SIGNED_16
inline constexpr int kelMpg123Signed24 = 0x5080;
inline constexpr int kelMpg123Signed32 = 0x1180;
inline constexpr int kelMpg123Float32 = 0x200;
