#pragma once
// The MP3 encoder's stream interface (beInitStream, beEncodeChunk,
// beDeinitStream, beCloseStream, beVersion, beWriteVBRHeader) with its
// published configuration record, built here as an adapter over LAME's own
// lame_* calls: the record's fields map onto the library's settings.
//
// Streams are named by handles that this binding hands out and never
// reuses, so a closed or made-up handle is refused (BE_ERR_INVALID_HANDLE)
// rather than followed. One stream is used by one thread at a time; the
// handle table itself may be used from any thread.

#include "codecs/kelLameProc.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

using BE_ERR = uint32_t;
using HBE_STREAM = uintptr_t;

inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
inline constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 3;
inline constexpr BE_ERR BE_ERR_INVALID_HANDLE = 4;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;

inline constexpr uint32_t BE_CONFIG_MP3 = 0;
inline constexpr uint32_t BE_CONFIG_LAME = 256;

inline constexpr int32_t BE_MP3_MODE_STEREO = 0;
inline constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
inline constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
inline constexpr int32_t BE_MP3_MODE_MONO = 3;

inline constexpr uint32_t MPEG1 = 1;
inline constexpr uint32_t MPEG2 = 0;

// Presets (nPreset).
inline constexpr int32_t LQP_NOPRESET = -1;
inline constexpr int32_t LQP_NORMAL_QUALITY = 0;
inline constexpr int32_t LQP_LOW_QUALITY = 1;
inline constexpr int32_t LQP_HIGH_QUALITY = 2;
inline constexpr int32_t LQP_VERYHIGH_QUALITY = 5;
inline constexpr int32_t LQP_ABR = 11;
inline constexpr int32_t LQP_CBR = 12;

// VBR methods (nVbrMethod).
inline constexpr int32_t VBR_METHOD_NONE = -1;
inline constexpr int32_t VBR_METHOD_DEFAULT = 0;
inline constexpr int32_t VBR_METHOD_OLD = 1;
inline constexpr int32_t VBR_METHOD_NEW = 2;
inline constexpr int32_t VBR_METHOD_MTRH = 3;
inline constexpr int32_t VBR_METHOD_ABR = 4;

#pragma pack(push, 1)
// The configuration record: 331 bytes, packed, little-endian. BOOL fields
// are 32-bit (non-zero true). dwBitrate and dwMaxBitrate are kbit/s,
// dwVbrAbr_bps bit/s. nQuality counts only when its high byte is the
// complement of its low byte (the record's mark of a set quality).
struct BE_CONFIG
{
    uint32_t dwConfig; // BE_CONFIG_MP3 or BE_CONFIG_LAME
    union {
        struct
        {
            uint32_t dwSampleRate;
            uint8_t byMode;
            uint16_t wBitrate;
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
        } mp3;
        struct
        {
            uint32_t dwStructVersion; // 1
            uint32_t dwStructSize;    // sizeof(BE_CONFIG)
            uint32_t dwSampleRate;
            uint32_t dwReSampleRate; // 0: the encoder chooses
            int32_t nMode;
            uint32_t dwBitrate;
            uint32_t dwMaxBitrate;
            int32_t nPreset;
            uint32_t dwMpegVersion;
            uint32_t dwPsyModel;
            uint32_t dwEmphasis;
            int32_t bPrivate;
            int32_t bCRC;
            int32_t bCopyright;
            int32_t bOriginal;
            int32_t bWriteVBRHeader;
            int32_t bEnableVBR;
            int32_t nVBRQuality;
            uint32_t dwVbrAbr_bps;
            int32_t nVbrMethod;
            int32_t bNoRes;
            int32_t bStrictIso;
            uint16_t nQuality;
            uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
        } LHV1;
        struct
        {
            uint32_t dwSampleRate;
            uint16_t wBitrate;
            uint8_t byMode;
            uint8_t byEncodingMethod;
        } aac;
    } format;
};

struct BE_VERSION
{
    uint8_t byDLLMajorVersion;
    uint8_t byDLLMinorVersion;
    uint8_t byMajorVersion; // of the encoding library
    uint8_t byMinorVersion;
    uint8_t byDay;
    uint8_t byMonth;
    uint16_t wYear;
    char zHomepage[129];
    uint8_t byAlphaLevel;
    uint8_t byBetaLevel;
    uint8_t byMMXEnabled;
    uint8_t btReserved[125];
};
#pragma pack(pop)

static_assert(sizeof(BE_CONFIG) == 331, "the published configuration record is 331 bytes");
static_assert(sizeof(BE_VERSION) == 265, "the published version record is 265 bytes");

class kelBladeEncProc : public kelLameProc
{
public:
    kelBladeEncProc() noexcept;
    ~kelBladeEncProc() override;

    // A new stream for `config`. `samples` is the most 16-bit samples (all
    // channels) one beEncodeChunk takes, `bufferSize` the output room each
    // call needs.
    BE_ERR beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize, HBE_STREAM* stream);
    // Codes `nSamples` interleaved samples (a whole number of sample
    // frames, at most the stream's chunk) into `output`, which holds the
    // stream's buffer size; `outputSize` gets the bytes written.
    BE_ERR beEncodeChunk(HBE_STREAM stream, uint32_t nSamples, const int16_t* samples, uint8_t* output,
                         uint32_t* outputSize);
    // The last frames of the stream.
    BE_ERR beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* outputSize);
    BE_ERR beCloseStream(HBE_STREAM stream);
    void beVersion(BE_VERSION* version);
    // Writes the stream's VBR header frame over the first frame of
    // `fileName` (the stream was made with bWriteVBRHeader and has been
    // ended with beDeinitStream).
    BE_ERR beWriteVBRHeader(HBE_STREAM stream, const char* fileName);

    // Streams open now (for tests and diagnostics).
    size_t openStreams() const;

private:
    struct Stream;
    BE_ERR configure(kelLameFlags* gf, const BE_CONFIG& config, int& channels) const;
    std::shared_ptr<Stream> find(HBE_STREAM stream) const;

    mutable std::mutex f_streamsMutex;
    std::map<HBE_STREAM, std::shared_ptr<Stream>> f_streams;
    HBE_STREAM f_nextHandle = 1;
};
