#include "codecs/kelBladeEncAPI.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr intptr_t kLockTimeout = 100;

} // namespace

kelLameEncoder::kelLameEncoder(const std::string& libName)
{
    f_libOK = f_proc.load(libName) == 0;
}

kelLameEncoder::~kelLameEncoder()
{
    close();
    if (f_libOK) f_proc.unload();
}

void kelLameEncoder::setInput(uint32_t samplesPerSec, uint32_t channels) noexcept
{
    f_nSps = samplesPerSec;
    f_nCh = channels;
}

void kelLameEncoder::setFlags(bool copyright, bool original, bool privateBit) noexcept
{
    f_bCopy = copyright;
    f_bOriginal = original;
    f_bPrivate = privateBit;
}

BE_ERR kelLameEncoder::open(uint32_t bitrate, bool cbr, int32_t resample, int32_t preset)
{
    BE_CONFIG config{};
    auto& c = config.format.LHV1;
    c.dwBitrate = bitrate;
    c.dwMaxBitrate = bitrate;
    c.nPreset = preset != -1 ? preset : (cbr ? LQP_CBR : LQP_ABR);
    c.bEnableVBR = 0;
    if (cbr) {
        c.nVbrMethod = VBR_METHOD_NONE;
    } else {
        c.nVbrMethod = VBR_METHOD_ABR;
        c.dwVbrAbr_bps = bitrate * 1000; // the record's average is in bit/s
    }
    c.dwReSampleRate = resample < 0 ? f_nSps : uint32_t(resample);
    return openWith(config);
}

BE_ERR kelLameEncoder::openVBR(int32_t quality, uint32_t minBitrate, uint32_t maxBitrate, int32_t resample)
{
    BE_CONFIG config{};
    auto& c = config.format.LHV1;
    c.dwBitrate = minBitrate;
    c.dwMaxBitrate = maxBitrate;
    c.nPreset = LQP_NOPRESET;
    c.bEnableVBR = 1;
    c.nVBRQuality = quality;
    c.nVbrMethod = VBR_METHOD_NEW;
    c.dwReSampleRate = resample < 0 ? f_nSps : uint32_t(resample);
    return openWith(config);
}

BE_ERR kelLameEncoder::openWith(BE_CONFIG& config)
{
    close();
    if (!f_libOK) return BE_ERR_INVALID_HANDLE;
    kelLock lock(this, false, kLockTimeout);
    if (!lock) return BE_ERR_NO_MORE_HANDLES;
    config.dwConfig = BE_CONFIG_LAME;
    auto& c = config.format.LHV1;
    c.dwStructVersion = 1;
    c.dwStructSize = sizeof(BE_CONFIG);
    c.dwSampleRate = f_nSps;
    // Two channels are coded as LAME codes stereo by default, sharing bits
    // between them where that helps.
    c.nMode = f_nCh < 2 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO;
    c.dwMpegVersion = f_mpeg;
    c.dwPsyModel = 0;
    c.dwEmphasis = 0;
    c.bPrivate = f_bPrivate;
    c.bCRC = 0;
    c.bCopyright = f_bCopy;
    c.bOriginal = f_bOriginal;
    c.bWriteVBRHeader = 0;
    c.bNoRes = 1;
    c.bStrictIso = 0;
    const BE_ERR result = f_proc.beInitStream(&config, &f_nSamplesPerChunk, &f_minOutBufSize, &f_stream);
    if (result != BE_ERR_SUCCESSFUL) {
        f_stream = 0;
        return result;
    }
    try {
        f_buf.assign(f_minOutBufSize, 0);
        f_stage.assign(f_nSamplesPerChunk, 0);
    } catch (...) {
        f_proc.beCloseStream(f_stream);
        f_stream = 0;
        return BE_ERR_NO_MORE_HANDLES;
    }
    // The encoder's own frame length: it differs from the asked rate's when
    // the encoder chose the output rate.
    const uint32_t channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    f_frameSize = f_nSamplesPerChunk / channels;
    f_nCh = channels;
    f_stagedBytes = 0;
    f_gotAnyData = false;
    f_active = true;
    return BE_ERR_SUCCESSFUL;
}

void kelLameEncoder::deliver(uint32_t size)
{
    if (size == 0) return;
    try {
        doDataAvailable(f_frameSize, f_buf.data(), size);
    } catch (...) {
    }
}

BE_ERR kelLameEncoder::encodeStaged()
{
    const uint32_t frameBytes = 2 * f_nCh;
    const uint32_t whole = f_stagedBytes - f_stagedBytes % frameBytes;
    if (whole == 0) return BE_ERR_SUCCESSFUL;
    uint32_t produced = 0;
    const BE_ERR result = f_proc.beEncodeChunk(f_stream, whole / 2, f_stage.data(), f_buf.data(), &produced);
    if (result != BE_ERR_SUCCESSFUL) return result;
    f_gotAnyData = true;
    deliver(produced);
    auto* bytes = reinterpret_cast<uint8_t*>(f_stage.data());
    std::memmove(bytes, bytes + whole, f_stagedBytes - whole);
    f_stagedBytes -= whole;
    return BE_ERR_SUCCESSFUL;
}

BE_ERR kelLameEncoder::encode(const void* data, uint32_t len)
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock || !f_active) return BE_ERR_INVALID_HANDLE;
    if (data == nullptr || len + f_stagedBytes < 2) return BE_ERR_BUFFER_TOO_SMALL;
    const auto* in = static_cast<const uint8_t*>(data);
    const uint32_t chunkBytes = f_nSamplesPerChunk * 2;
    auto* stage = reinterpret_cast<uint8_t*>(f_stage.data());
    while (len > 0) {
        const uint32_t take = std::min(len, chunkBytes - f_stagedBytes);
        std::memcpy(stage + f_stagedBytes, in, take);
        f_stagedBytes += take;
        in += take;
        len -= take;
        if (f_stagedBytes == chunkBytes || len == 0) {
            const BE_ERR result = encodeStaged();
            if (result != BE_ERR_SUCCESSFUL) return result;
        }
    }
    return BE_ERR_SUCCESSFUL;
}

void kelLameEncoder::flush(bool locked)
{
    kelLock lock(this, false, locked ? -1 : kLockTimeout);
    if (!locked && !lock) return;
    if (!f_active || !f_gotAnyData) return;
    f_gotAnyData = false;
    // A part of a sample frame cannot be coded: the stream ends without it.
    f_stagedBytes = 0;
    uint32_t produced = 0;
    if (f_proc.beDeinitStream(f_stream, f_buf.data(), &produced) == BE_ERR_SUCCESSFUL) deliver(produced);
}

void kelLameEncoder::close()
{
    kelLock lock(this, false, kLockTimeout);
    if (!lock || !f_active) return;
    flush(true);
    f_proc.beCloseStream(f_stream);
    f_stream = 0;
    f_active = false;
    f_buf.clear();
    f_buf.shrink_to_fit();
    f_stage.clear();
    f_stage.shrink_to_fit();
}

BE_VERSION kelLameEncoder::getVer()
{
    BE_VERSION version{};
    if (f_libOK) f_proc.beVersion(&version);
    return version;
}

void kelLameEncoder::doDataAvailable(uint32_t frameSize, const void* data, uint32_t size)
{
    if (f_onDataAvail) f_onDataAvail(this, frameSize, data, size);
}
