// The IMA ADPCM driver: 16-bit PCM to and from the WAV block layout, mono
// or stereo.
//
//   block (nBlockAlign bytes)
//     per channel: first sample (16-bit little-endian), step index, 0
//     then groups of 4 bytes per channel in channel order, each 8 codes of
//     that channel, first code in the low nibble
//   samples per block = (nBlockAlign - 4 * channels) * 2 / channels + 1
//
// The step index carries from one block to the next, as in every encoder of
// this layout; the predictor restarts at each block's first sample.
//
// Decoders in use compute a code's step in one of two ways: shift and add
// (step/8 + step + step/2 + step/4 by the code's bits, the reference) or
// multiply ((2 * code + 1) * step / 8). They differ by rounding for some
// codes at some steps. The encoder picks, for each sample, the code closest
// to the sample among those on which both ways agree at the current step
// (codes 0 and 4 always do), so every decoder reproduces our decoder's
// samples exactly. The price is some quality against an encoder free to use
// every code: about 5 dB of signal to noise on speech.

#include "codecs/kelADPCMState.h"
#include "codecs/kelAcmDriver.h"
#include "codecs/kelAcmDrivers.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kRates[] = {8000, 11025, 22050, 44100};

uint32_t headerBytes(uint16_t channels) noexcept
{
    return 4u * channels;
}

uint32_t samplesPerBlock(uint16_t channels, uint32_t blockAlign) noexcept
{
    return (blockAlign - headerBytes(channels)) / (4u * channels) * 8u + 1u;
}

// The block of the standard formats: 256 bytes per channel up to 11025 Hz,
// doubling with the rate above.
uint16_t standardBlock(uint16_t channels, uint32_t rate) noexcept
{
    const uint32_t factor = rate <= 11025 ? 1 : rate / 11025;
    return uint16_t(256u * channels * factor);
}

std::vector<uint8_t> imaFormat(uint16_t channels, uint32_t rate, uint16_t blockAlign)
{
    const uint32_t samples = samplesPerBlock(channels, blockAlign);
    const auto avg = uint32_t(std::lround(double(rate) * blockAlign / samples));
    auto record = kelAcmMakeFormat(WAVE_FORMAT_IMA_ADPCM, channels, rate, avg, blockAlign, 4,
                                   sizeof(IMAADPCMWAVEFORMAT));
    record[18] = uint8_t(samples & 0xFF);
    record[19] = uint8_t(samples >> 8);
    return record;
}

bool isIma(const WAVEFORMATEX& f) noexcept
{
    return f.wFormatTag == WAVE_FORMAT_IMA_ADPCM && kelAcmHasShape(f) &&
           (f.nChannels == 1 || f.nChannels == 2) && f.wBitsPerSample == 4 &&
           f.nBlockAlign >= headerBytes(f.nChannels) + 4u * f.nChannels;
}

// Per step index, the codes (bits 2..0) whose step both roundings agree on.
struct AgreeingCodes
{
    uint8_t mask[kelADPCM_maxStepIndex + 1];
    AgreeingCodes() noexcept
    {
        for (int i = 0; i <= kelADPCM_maxStepIndex; ++i) {
            const int32_t step = kelADPCM_stepTable[i];
            mask[i] = 0;
            for (int d = 0; d < 8; ++d) {
                const int32_t shifted = (step >> 3) + ((d & 4) ? step : 0) + ((d & 2) ? step >> 1 : 0) +
                                        ((d & 1) ? step >> 2 : 0);
                if (shifted == ((2 * d + 1) * step) >> 3) mask[i] |= uint8_t(1u << d);
            }
        }
    }
};

// Of the codes both roundings agree on at the current step, the one whose
// decoded value is closest to `sample` (on a tie, the one that grows the
// step more). Moves the state as the decoder will.
uint8_t encodeSample(kelADPCM_state& state, int32_t sample) noexcept
{
    static const AgreeingCodes agreeing;
    const uint8_t mask = agreeing.mask[state.stepIndex];
    uint8_t best = 0;
    int32_t bestError = INT32_MAX;
    for (uint8_t code = 0; code < 16; ++code) {
        if (!(mask & (1u << (code & 7)))) continue;
        kelADPCM_state trial = state;
        const int32_t error = std::abs(kelADPCMDecodeSample(trial, code) - sample);
        if (error < bestError || (error == bestError && (code & 7) > (best & 7))) {
            bestError = error;
            best = code;
        }
    }
    kelADPCMDecodeSample(state, best);
    return best;
}

int16_t readLE16(const uint8_t* p) noexcept
{
    return int16_t(uint16_t(p[0] | (p[1] << 8)));
}

class ImaEncoder : public kelAcmConverter
{
public:
    ImaEncoder(uint16_t channels, uint16_t blockAlign) noexcept
        : kelAcmConverter(samplesPerBlock(channels, blockAlign) * 2u * channels, blockAlign),
          f_channels(channels)
    {
        f_padTail = true;
    }

    void reset() noexcept override
    {
        for (auto& s : f_state)
            s = {};
    }

protected:
    void convertUnits(const uint8_t* src, uint8_t* dst, uint32_t units) noexcept override
    {
        const uint32_t groups = (f_dstUnit - headerBytes(f_channels)) / (4u * f_channels);
        for (uint32_t u = 0; u < units; ++u, src += f_srcUnit, dst += f_dstUnit) {
            std::memset(dst, 0, f_dstUnit);
            const auto sample = [&](uint32_t index, uint16_t channel) {
                return readLE16(src + 2u * (index * f_channels + channel));
            };
            for (uint16_t c = 0; c < f_channels; ++c) {
                const int16_t first = sample(0, c);
                f_state[c].predicted = first;
                dst[4 * c] = uint8_t(uint16_t(first) & 0xFF);
                dst[4 * c + 1] = uint8_t(uint16_t(first) >> 8);
                dst[4 * c + 2] = uint8_t(f_state[c].stepIndex);
            }
            uint8_t* out = dst + headerBytes(f_channels);
            for (uint32_t g = 0; g < groups; ++g) {
                for (uint16_t c = 0; c < f_channels; ++c, out += 4) {
                    for (uint32_t k = 0; k < 8; ++k) {
                        const uint8_t code = encodeSample(f_state[c], sample(1 + g * 8 + k, c));
                        out[k / 2] |= uint8_t(k % 2 == 0 ? code : code << 4);
                    }
                }
            }
        }
    }

private:
    uint16_t f_channels;
    kelADPCM_state f_state[2];
};

class ImaDecoder : public kelAcmConverter
{
public:
    ImaDecoder(uint16_t channels, uint16_t blockAlign) noexcept
        : kelAcmConverter(blockAlign, samplesPerBlock(channels, blockAlign) * 2u * channels),
          f_channels(channels)
    {}

protected:
    void convertUnits(const uint8_t* src, uint8_t* dst, uint32_t units) noexcept override
    {
        for (uint32_t u = 0; u < units; ++u, src += f_srcUnit, dst += f_dstUnit)
            decodeBlock(src, f_srcUnit, dst);
    }

    // A short last block decodes as far as its whole groups go.
    uint32_t convertTail(const uint8_t* src, uint32_t bytes, uint8_t* dst, bool& taken) noexcept override
    {
        taken = true;
        if (bytes < headerBytes(f_channels)) return 0;
        return decodeBlock(src, bytes, dst);
    }

private:
    // Decodes one block of `bytes` (at most a whole block) and answers the
    // bytes of samples written.
    uint32_t decodeBlock(const uint8_t* src, uint32_t bytes, uint8_t* dst) noexcept
    {
        const uint32_t groups = (bytes - headerBytes(f_channels)) / (4u * f_channels);
        const auto put = [&](uint32_t index, uint16_t channel, int16_t value) {
            uint8_t* p = dst + 2u * (index * f_channels + channel);
            p[0] = uint8_t(uint16_t(value) & 0xFF);
            p[1] = uint8_t(uint16_t(value) >> 8);
        };
        kelADPCM_state state[2];
        for (uint16_t c = 0; c < f_channels; ++c) {
            state[c].predicted = readLE16(src + 4 * c);
            state[c].stepIndex = kelADPCMClampIndex(src[4 * c + 2]);
            put(0, c, int16_t(state[c].predicted));
        }
        const uint8_t* in = src + headerBytes(f_channels);
        for (uint32_t g = 0; g < groups; ++g)
            for (uint16_t c = 0; c < f_channels; ++c, in += 4)
                for (uint32_t k = 0; k < 8; ++k) {
                    const uint8_t code = k % 2 == 0 ? (in[k / 2] & 0x0F) : (in[k / 2] >> 4);
                    put(1 + g * 8 + k, c, kelADPCMDecodeSample(state[c], code));
                }
        return (1u + groups * 8u) * 2u * f_channels;
    }

    uint16_t f_channels;
};

class ImaDriver : public kelAcmDriver
{
public:
    ImaDriver()
        : kelAcmDriver(kelAcmImaAdpcmProductId, u"IMA ADPCM", u"IMA ADPCM codec (WAV blocks)",
                       ACMDRIVERDETAILS_SUPPORTF_CODEC)
    {
        std::vector<std::vector<uint8_t>> pcm, ima;
        for (const uint32_t rate : kRates)
            for (const uint16_t channels : {1, 2}) {
                pcm.push_back(kelAcmMakePcmFormat(channels, rate, 16));
                ima.push_back(imaFormat(channels, rate, standardBlock(channels, rate)));
            }
        addTag(WAVE_FORMAT_PCM, u"PCM", std::move(pcm));
        addTag(WAVE_FORMAT_IMA_ADPCM, u"IMA ADPCM", std::move(ima));
    }

    MMRESULT suggest(const std::vector<uint8_t>& src, WAVEFORMATEX* dst, uint32_t dstSize,
                     uint32_t flags) const override
    {
        const WAVEFORMATEX s = kelAcmHead(src);
        WAVEFORMATEX fixed{};
        std::memcpy(&fixed, dst, 16);
        std::vector<uint8_t> record;
        if (kelAcmIsPcm(s, true)) {
            if ((flags & ACM_FORMATSUGGESTF_WFORMATTAG) && fixed.wFormatTag != WAVE_FORMAT_IMA_ADPCM)
                return ACMERR_NOTPOSSIBLE;
            record = imaFormat(s.nChannels, s.nSamplesPerSec, standardBlock(s.nChannels, s.nSamplesPerSec));
        } else if (isIma(s)) {
            record = kelAcmMakePcmFormat(s.nChannels, s.nSamplesPerSec, 16);
        } else {
            return ACMERR_NOTPOSSIBLE;
        }
        if (!kelAcmKeepsFixed(kelAcmHead(record), fixed, flags)) return ACMERR_NOTPOSSIBLE;
        return kelAcmWriteSuggestion(record, dst, dstSize);
    }

    std::unique_ptr<kelAcmConverter> open(const std::vector<uint8_t>& src, const std::vector<uint8_t>& dst,
                                          MMRESULT& result) const override
    {
        const WAVEFORMATEX s = kelAcmHead(src), d = kelAcmHead(dst);
        result = ACMERR_NOTPOSSIBLE;
        if (s.nSamplesPerSec != d.nSamplesPerSec || s.nChannels != d.nChannels) return nullptr;
        if (kelAcmIsPcm(s, true) && isIma(d)) {
            result = MMSYSERR_NOERROR;
            return std::make_unique<ImaEncoder>(d.nChannels, d.nBlockAlign);
        }
        if (isIma(s) && kelAcmIsPcm(d, true)) {
            result = MMSYSERR_NOERROR;
            return std::make_unique<ImaDecoder>(s.nChannels, s.nBlockAlign);
        }
        return nullptr;
    }
};

} // namespace

intptr_t kelAcmImaAdpcmDriverProc(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1,
                                  intptr_t lParam2) noexcept
{
    try {
        static const ImaDriver driver;
        return kelAcmDispatch(driver, driverId, message, lParam1, lParam2);
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}
