#include "codecs/kelBladeEnc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

struct kelBladeEncProc::Stream
{
    kelLameFlags* gf = nullptr;
    int channels = 2;
    uint32_t chunkSamples = 0; // all channels
    uint32_t bufferSize = 0;
    bool writeTag = false;
    bool ended = false;
};

namespace {

bool on(int32_t flag) noexcept
{
    return flag != 0;
}

// LAME's VBR mode for one of the record's methods.
int vbrModeOf(int32_t method) noexcept
{
    switch (method) {
    case VBR_METHOD_OLD:
        return kelLameVbrRh;
    case VBR_METHOD_ABR:
        return kelLameVbrAbr;
    default:
        return kelLameVbrMtrh; // the library's default VBR
    }
}

} // namespace

kelBladeEncProc::kelBladeEncProc() noexcept = default;

kelBladeEncProc::~kelBladeEncProc()
{
    // Streams left open are the caller's leak; the library goes with them.
    if (close == nullptr) return;
    for (auto& [handle, stream] : f_streams)
        close(stream->gf);
}

BE_ERR kelBladeEncProc::configure(kelLameFlags* gf, const BE_CONFIG& config, int& channels) const
{
    if (config.dwConfig == BE_CONFIG_MP3) {
        const auto& c = config.format.mp3;
        channels = c.byMode == BE_MP3_MODE_MONO ? 1 : 2;
        setInSampleRate(gf, int(c.dwSampleRate));
        setOutSampleRate(gf, int(c.dwSampleRate));
        setNumChannels(gf, channels);
        setMode(gf, c.byMode <= BE_MP3_MODE_MONO ? c.byMode : kelLameJointStereo);
        setBitRate(gf, c.wBitrate);
        setExtension(gf, on(c.bPrivate));
        setErrorProtection(gf, on(c.bCRC));
        setCopyright(gf, on(c.bCopyright));
        setOriginal(gf, on(c.bOriginal));
        setWriteVbrTag(gf, 0);
        return BE_ERR_SUCCESSFUL;
    }
    if (config.dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
    const auto& c = config.format.LHV1;
    if (c.dwStructVersion < 1 || c.dwStructSize < sizeof(BE_CONFIG)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.nMode < BE_MP3_MODE_STEREO || c.nMode > BE_MP3_MODE_MONO) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (c.dwSampleRate == 0 || c.dwSampleRate > uint32_t(std::numeric_limits<int>::max()) ||
        c.dwReSampleRate > uint32_t(std::numeric_limits<int>::max()))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    setInSampleRate(gf, int(c.dwSampleRate));
    // 0 leaves the output rate to the encoder (it may resample down for a
    // low bit rate); the MPEG version follows from the output rate.
    setOutSampleRate(gf, int(c.dwReSampleRate));
    setNumChannels(gf, channels);
    setMode(gf, c.nMode);
    switch (c.nPreset) {
    case LQP_NOPRESET:
    case LQP_ABR:
    case LQP_CBR:
        break; // the rate fields below say it all
    case LQP_NORMAL_QUALITY:
        setQuality(gf, 5);
        break;
    case LQP_LOW_QUALITY:
        setQuality(gf, 7);
        break;
    case LQP_HIGH_QUALITY:
        setQuality(gf, 2);
        break;
    case LQP_VERYHIGH_QUALITY:
        setQuality(gf, 0);
        break;
    default:
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    const unsigned q = c.nQuality & 0xFF;
    if ((c.nQuality >> 8) == (~q & 0xFF) && q <= 9) setQuality(gf, int(q));
    setEmphasis(gf, int(c.dwEmphasis));
    setExtension(gf, on(c.bPrivate));
    setErrorProtection(gf, on(c.bCRC));
    setCopyright(gf, on(c.bCopyright));
    setOriginal(gf, on(c.bOriginal));
    setWriteVbrTag(gf, on(c.bWriteVBRHeader));
    setDisableReservoir(gf, on(c.bNoRes));
    setStrictISO(gf, on(c.bStrictIso));
    if (on(c.bEnableVBR) && c.nVbrMethod != VBR_METHOD_ABR) {
        setVBR(gf, vbrModeOf(c.nVbrMethod));
        setVBRq(gf, c.nVBRQuality);
        if (c.dwBitrate > 0) setVBRMinBitrate(gf, int(c.dwBitrate));
        if (c.dwMaxBitrate > 0) setVBRMaxBitrate(gf, int(c.dwMaxBitrate));
    } else if (c.nVbrMethod == VBR_METHOD_ABR) {
        // The average is given in bit/s.
        const uint32_t kbps = (c.dwVbrAbr_bps + 500) / 1000;
        if (kbps == 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        setVBR(gf, kelLameVbrAbr);
        setVBRMeanBitrate(gf, int(kbps));
    } else {
        setVBR(gf, kelLameVbrOff);
        setBitRate(gf, int(c.dwBitrate));
    }
    return BE_ERR_SUCCESSFUL;
}

BE_ERR kelBladeEncProc::beInitStream(const BE_CONFIG* config, uint32_t* samples, uint32_t* bufferSize,
                                     HBE_STREAM* stream)
{
    if (config == nullptr || samples == nullptr || bufferSize == nullptr || stream == nullptr)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (init == nullptr) return BE_ERR_NO_MORE_HANDLES;
    try {
        auto s = std::make_shared<Stream>();
        s->gf = init();
        if (s->gf == nullptr) return BE_ERR_NO_MORE_HANDLES;
        BE_ERR result = configure(s->gf, *config, s->channels);
        if (result == BE_ERR_SUCCESSFUL && initParams(s->gf) < 0) result = BE_ERR_INVALID_FORMAT_PARAMETERS;
        if (result != BE_ERR_SUCCESSFUL) {
            close(s->gf);
            return result;
        }
        // One chunk is one MPEG frame of every channel; the room is LAME's
        // worst case for it.
        s->chunkSamples = uint32_t(getFrameSize(s->gf)) * uint32_t(s->channels);
        s->bufferSize = s->chunkSamples * 5 / 4 + 7200;
        s->writeTag = config->dwConfig == BE_CONFIG_LAME && on(config->format.LHV1.bWriteVBRHeader);
        std::lock_guard<std::mutex> guard(f_streamsMutex);
        const HBE_STREAM handle = f_nextHandle++;
        f_streams.emplace(handle, s);
        *samples = s->chunkSamples;
        *bufferSize = s->bufferSize;
        *stream = handle;
        return BE_ERR_SUCCESSFUL;
    } catch (...) {
        return BE_ERR_NO_MORE_HANDLES;
    }
}

std::shared_ptr<kelBladeEncProc::Stream> kelBladeEncProc::find(HBE_STREAM stream) const
{
    std::lock_guard<std::mutex> guard(f_streamsMutex);
    const auto it = f_streams.find(stream);
    return it == f_streams.end() ? nullptr : it->second;
}

BE_ERR kelBladeEncProc::beEncodeChunk(HBE_STREAM stream, uint32_t nSamples, const int16_t* samples,
                                      uint8_t* output, uint32_t* outputSize)
{
    const auto s = find(stream);
    if (!s || s->ended) return BE_ERR_INVALID_HANDLE;
    if (outputSize == nullptr || output == nullptr) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *outputSize = 0;
    // The room the caller was told of covers one chunk, no more.
    if (nSamples > s->chunkSamples) return BE_ERR_BUFFER_TOO_SMALL;
    if (nSamples % uint32_t(s->channels) != 0 || (nSamples > 0 && samples == nullptr))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (nSamples == 0) return BE_ERR_SUCCESSFUL;
    const int frames = int(nSamples / uint32_t(s->channels));
    // LAME takes the samples as writable; they are not changed.
    short* pcm = const_cast<short*>(reinterpret_cast<const short*>(samples));
    const int n = s->channels == 1 ? encodeBuffer(s->gf, pcm, pcm, frames, output, int(s->bufferSize))
                                   : encodeInterleaved(s->gf, pcm, frames, output, int(s->bufferSize));
    if (n == -1) return BE_ERR_BUFFER_TOO_SMALL;
    if (n < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *outputSize = uint32_t(n);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR kelBladeEncProc::beDeinitStream(HBE_STREAM stream, uint8_t* output, uint32_t* outputSize)
{
    const auto s = find(stream);
    if (!s) return BE_ERR_INVALID_HANDLE;
    if (outputSize == nullptr || output == nullptr) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *outputSize = 0;
    if (s->ended) return BE_ERR_SUCCESSFUL;
    s->ended = true;
    const int n = flush(s->gf, output, int(s->bufferSize));
    if (n < 0) return BE_ERR_BUFFER_TOO_SMALL;
    *outputSize = uint32_t(n);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR kelBladeEncProc::beCloseStream(HBE_STREAM stream)
{
    std::shared_ptr<Stream> s;
    {
        std::lock_guard<std::mutex> guard(f_streamsMutex);
        const auto it = f_streams.find(stream);
        if (it == f_streams.end()) return BE_ERR_INVALID_HANDLE;
        s = std::move(it->second);
        f_streams.erase(it);
    }
    close(s->gf);
    return BE_ERR_SUCCESSFUL;
}

void kelBladeEncProc::beVersion(BE_VERSION* version)
{
    if (version == nullptr) return;
    std::memset(version, 0, sizeof *version);
    // The interface version of this adapter's record.
    version->byDLLMajorVersion = 1;
    version->byDLLMinorVersion = 32;
    if (getVersion == nullptr) return;
    // "3.100", possibly with a suffix.
    const char* text = getVersion();
    if (text == nullptr) return;
    char* end = nullptr;
    const long major = std::strtol(text, &end, 10);
    const long minor = (end != nullptr && *end == '.') ? std::strtol(end + 1, nullptr, 10) : 0;
    version->byMajorVersion = uint8_t(major > 0 && major < 256 ? major : 0);
    version->byMinorVersion = uint8_t(minor > 0 && minor < 256 ? minor : 0);
}

BE_ERR kelBladeEncProc::beWriteVBRHeader(HBE_STREAM stream, const char* fileName)
{
    const auto s = find(stream);
    if (!s) return BE_ERR_INVALID_HANDLE;
    if (fileName == nullptr || !s->writeTag || !s->ended) return BE_ERR_INVALID_FORMAT_PARAMETERS;
    try {
        std::vector<unsigned char> frame(s->bufferSize);
        const size_t n = getLametagFrame(s->gf, frame.data(), frame.size());
        if (n == 0 || n > frame.size()) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        FILE* file = std::fopen(fileName, "r+b");
        if (file == nullptr) return BE_ERR_INVALID_FORMAT_PARAMETERS;
        const bool ok = std::fwrite(frame.data(), 1, n, file) == n;
        const bool closed = std::fclose(file) == 0;
        return ok && closed ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    } catch (...) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
}

size_t kelBladeEncProc::openStreams() const
{
    std::lock_guard<std::mutex> guard(f_streamsMutex);
    return f_streams.size();
}
