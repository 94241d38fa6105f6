// The sample-frame drivers: the PCM converter (sample size and channels at
// one rate) and G.711 (16-bit PCM to and from A-law and mu-law). A unit is
// one sample frame, so a conversion never leaves more than part of a frame.

#include "codecs/kelAcmDriver.h"
#include "codecs/kelAcmDrivers.h"
#include "codecs/kelG711.h"

#include <cstring>

namespace {

constexpr uint32_t kPcmRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
constexpr uint32_t kG711Rates[] = {8000, 11025, 16000, 22050, 44100};

int32_t readSample(const uint8_t* p, uint16_t bits) noexcept
{
    if (bits == 8) return (int32_t(p[0]) - 128) * 256;
    return int16_t(uint16_t(p[0] | (p[1] << 8)));
}

void writeSample(uint8_t* p, uint16_t bits, int32_t value) noexcept
{
    if (bits == 8) {
        p[0] = uint8_t((value >> 8) + 128);
    } else {
        p[0] = uint8_t(value & 0xFF);
        p[1] = uint8_t((value >> 8) & 0xFF);
    }
}

class PcmConverter : public kelAcmConverter
{
public:
    PcmConverter(const WAVEFORMATEX& src, const WAVEFORMATEX& dst) noexcept
        : kelAcmConverter(src.nBlockAlign, dst.nBlockAlign), f_src(src), f_dst(dst)
    {}

protected:
    void convertUnits(const uint8_t* src, uint8_t* dst, uint32_t units) noexcept override
    {
        const uint16_t inBytes = f_src.wBitsPerSample / 8, outBytes = f_dst.wBitsPerSample / 8;
        for (uint32_t i = 0; i < units; ++i, src += f_srcUnit, dst += f_dstUnit) {
            int32_t left = readSample(src, f_src.wBitsPerSample);
            int32_t right = f_src.nChannels == 2 ? readSample(src + inBytes, f_src.wBitsPerSample) : left;
            if (f_dst.nChannels == 1) {
                writeSample(dst, f_dst.wBitsPerSample, (left + right) >> 1);
            } else {
                writeSample(dst, f_dst.wBitsPerSample, left);
                writeSample(dst + outBytes, f_dst.wBitsPerSample, right);
            }
        }
    }

private:
    WAVEFORMATEX f_src, f_dst;
};

class PcmDriver : public kelAcmDriver
{
public:
    PcmDriver()
        : kelAcmDriver(kelAcmPcmProductId, u"PCM", u"PCM converter: 8/16 bits, mono/stereo",
                       ACMDRIVERDETAILS_SUPPORTF_CONVERTER)
    {
        std::vector<std::vector<uint8_t>> formats;
        for (const uint32_t rate : kPcmRates)
            for (const uint16_t bits : {8, 16})
                for (const uint16_t channels : {1, 2})
                    formats.push_back(kelAcmMakePcmFormat(channels, rate, bits));
        addTag(WAVE_FORMAT_PCM, u"PCM", std::move(formats));
    }

    MMRESULT suggest(const std::vector<uint8_t>& src, WAVEFORMATEX* dst, uint32_t dstSize,
                     uint32_t flags) const override
    {
        const WAVEFORMATEX s = kelAcmHead(src);
        if (!kelAcmIsPcm(s, false)) return ACMERR_NOTPOSSIBLE;
        WAVEFORMATEX fixed{};
        std::memcpy(&fixed, dst, 16);
        const uint16_t channels = (flags & ACM_FORMATSUGGESTF_NCHANNELS) ? fixed.nChannels : s.nChannels;
        const uint16_t bits =
            (flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) ? fixed.wBitsPerSample : s.wBitsPerSample;
        if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16)) return ACMERR_NOTPOSSIBLE;
        // One rate: a suggestion never changes it.
        const auto record = kelAcmMakePcmFormat(channels, s.nSamplesPerSec, bits);
        if (!kelAcmKeepsFixed(kelAcmHead(record), fixed, flags)) return ACMERR_NOTPOSSIBLE;
        return kelAcmWriteSuggestion(record, dst, dstSize);
    }

    std::unique_ptr<kelAcmConverter> open(const std::vector<uint8_t>& src, const std::vector<uint8_t>& dst,
                                          MMRESULT& result) const override
    {
        const WAVEFORMATEX s = kelAcmHead(src), d = kelAcmHead(dst);
        result = ACMERR_NOTPOSSIBLE;
        if (!kelAcmIsPcm(s, false) || !kelAcmIsPcm(d, false) || s.nSamplesPerSec != d.nSamplesPerSec)
            return nullptr;
        result = MMSYSERR_NOERROR;
        return std::make_unique<PcmConverter>(s, d);
    }
};

class G711Converter : public kelAcmConverter
{
public:
    G711Converter(uint16_t channels, bool encode, bool alaw) noexcept
        : kelAcmConverter(encode ? 2u * channels : channels, encode ? channels : 2u * channels),
          f_channels(channels), f_encode(encode), f_alaw(alaw)
    {}

protected:
    void convertUnits(const uint8_t* src, uint8_t* dst, uint32_t units) noexcept override
    {
        const size_t count = size_t(units) * f_channels;
        if (f_encode) {
            for (size_t i = 0; i < count; ++i) {
                const auto sample = int16_t(uint16_t(src[2 * i] | (src[2 * i + 1] << 8)));
                dst[i] = f_alaw ? alawCompressSample(sample) : ulawCompressSample(sample);
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                const auto sample = uint16_t(f_alaw ? alawExpandSample(src[i]) : ulawExpandSample(src[i]));
                dst[2 * i] = uint8_t(sample & 0xFF);
                dst[2 * i + 1] = uint8_t(sample >> 8);
            }
        }
    }

private:
    uint16_t f_channels;
    bool f_encode;
    bool f_alaw;
};

bool isG711(const WAVEFORMATEX& f) noexcept
{
    return (f.wFormatTag == WAVE_FORMAT_ALAW || f.wFormatTag == WAVE_FORMAT_MULAW) && f.nSamplesPerSec != 0 &&
           (f.nChannels == 1 || f.nChannels == 2) && f.wBitsPerSample == 8 && f.nBlockAlign == f.nChannels;
}

std::vector<uint8_t> g711Format(uint16_t tag, uint16_t channels, uint32_t rate)
{
    return kelAcmMakeFormat(tag, channels, rate, rate * channels, channels, 8, sizeof(WAVEFORMATEX));
}

class G711Driver : public kelAcmCodecDriver
{
public:
    G711Driver()
        : kelAcmCodecDriver(kelAcmG711ProductId, u"G.711", u"G.711 A-law and mu-law codec",
                            ACMDRIVERDETAILS_SUPPORTF_CODEC)
    {
        addTag(WAVE_FORMAT_PCM, u"PCM", pcmFormats());
        addTag(WAVE_FORMAT_ALAW, u"A-Law", lawFormats(WAVE_FORMAT_ALAW));
        addTag(WAVE_FORMAT_MULAW, u"u-Law", lawFormats(WAVE_FORMAT_MULAW));
    }

protected:
    bool decodes(const std::vector<uint8_t>& coded) const noexcept override
    {
        return isG711(kelAcmHead(coded));
    }

    // A-law unless the caller fixes the tag to mu-law.
    std::vector<uint8_t> codedFor(const WAVEFORMATEX& pcm, const WAVEFORMATEX& fixed,
                                  uint32_t flags) const override
    {
        const uint16_t tag = (flags & ACM_FORMATSUGGESTF_WFORMATTAG) ? fixed.wFormatTag : WAVE_FORMAT_ALAW;
        if (tag != WAVE_FORMAT_ALAW && tag != WAVE_FORMAT_MULAW) return {};
        return g711Format(tag, pcm.nChannels, pcm.nSamplesPerSec);
    }

    std::unique_ptr<kelAcmConverter> makeConverter(const WAVEFORMATEX& pcm, const std::vector<uint8_t>& coded,
                                                   bool encode, MMRESULT&) const override
    {
        return std::make_unique<G711Converter>(pcm.nChannels, encode,
                                               kelAcmHead(coded).wFormatTag == WAVE_FORMAT_ALAW);
    }

private:
    static std::vector<std::vector<uint8_t>> pcmFormats()
    {
        std::vector<std::vector<uint8_t>> formats;
        for (const uint32_t rate : kG711Rates)
            for (const uint16_t channels : {1, 2})
                formats.push_back(kelAcmMakePcmFormat(channels, rate, 16));
        return formats;
    }
    static std::vector<std::vector<uint8_t>> lawFormats(uint16_t tag)
    {
        std::vector<std::vector<uint8_t>> formats;
        for (const uint32_t rate : kG711Rates)
            for (const uint16_t channels : {1, 2})
                formats.push_back(g711Format(tag, channels, rate));
        return formats;
    }
};

} // namespace

intptr_t kelAcmPcmDriverProc(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1,
                             intptr_t lParam2) noexcept
{
    return kelAcmDriverProcOf<PcmDriver>(driverId, message, lParam1, lParam2);
}

intptr_t kelAcmG711DriverProc(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1,
                              intptr_t lParam2) noexcept
{
    return kelAcmDriverProcOf<G711Driver>(driverId, message, lParam1, lParam2);
}
