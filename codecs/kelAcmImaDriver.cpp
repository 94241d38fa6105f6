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
// codes at some steps. The encoder keeps to the codes on which both ways
// agree at the current step (codes 0 and 4 always do), so every decoder
// reproduces our decoder's samples exactly; a short search over each block
// (ImaCodeSearch) wins back part of what the narrower choice costs.

#include "codecs/kelADPCMState.h"
#include "codecs/kelAcmDriver.h"
#include "codecs/kelAcmDrivers.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// Chooses the codes of one channel's block among those both roundings agree
// on. Choosing the closest code sample by sample loses the step's
// adaptation, so the search keeps the few best paths (least squared error
// so far, distinct decoder states) and takes the best one at the block's
// end. Not thread-safe: one per encoder.
class ImaCodeSearch
{
public:
    static constexpr size_t kPaths = 4;

    // Codes `count` samples from `state` into `codes`; `state` becomes the
    // decoder's state after them.
    void search(kelADPCM_state& state, const int16_t* samples, size_t count, uint8_t* codes)
    {
        static const AgreeingCodes agreeing;
        f_code.resize(count * kPaths);
        f_parent.resize(count * kPaths);
        Path paths[kPaths];
        paths[0] = {0, state.predicted, state.stepIndex};
        size_t live = 1;
        for (size_t n = 0; n < count; ++n) {
            // The best kPaths candidates with distinct states, cheapest
            // first, kept by insertion.
            Candidate best[kPaths];
            size_t kept = 0;
            for (size_t p = 0; p < live; ++p) {
                const uint8_t mask = agreeing.mask[paths[p].index];
                for (uint8_t code = 0; code < 16; ++code) {
                    if (!(mask & (1u << (code & 7)))) continue;
                    kelADPCM_state trial;
                    trial.predicted = paths[p].predicted;
                    trial.stepIndex = paths[p].index;
                    const int64_t error = kelADPCMDecodeSample(trial, code) - samples[n];
                    const Candidate c{
                        {paths[p].cost + error * error, trial.predicted, trial.stepIndex}, uint8_t(p), code};
                    if (kept == kPaths && c.path.cost >= best[kPaths - 1].path.cost) continue;
                    size_t at = kept;
                    for (size_t k = 0; k < kept; ++k)
                        if (best[k].path.predicted == c.path.predicted && best[k].path.index == c.path.index)
                            at = k;
                    if (at < kept && best[at].path.cost <= c.path.cost) continue;
                    if (at == kept && kept < kPaths) ++kept;
                    if (at == kept) at = kPaths - 1; // full: the dearest goes
                    best[at] = c;
                    for (; at > 0 && best[at].path.cost < best[at - 1].path.cost; --at)
                        std::swap(best[at], best[at - 1]);
                }
            }
            for (size_t k = 0; k < kept; ++k) {
                paths[k] = best[k].path;
                f_code[n * kPaths + k] = best[k].code;
                f_parent[n * kPaths + k] = best[k].parent;
            }
            live = kept;
        }
        // The best path is first; trace it back.
        size_t p = 0;
        for (size_t n = count; n-- > 0;) {
            codes[n] = f_code[n * kPaths + p];
            p = f_parent[n * kPaths + p];
        }
        if (count > 0) {
            state.predicted = paths[0].predicted;
            state.stepIndex = paths[0].index;
        }
    }

private:
    struct Path
    {
        int64_t cost;
        int32_t predicted;
        int32_t index;
    };
    struct Candidate
    {
        Path path;
        uint8_t parent;
        uint8_t code;
    };
    std::vector<uint8_t> f_code, f_parent;
};

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
        const uint32_t coded = groups * 8;
        try {
            f_samples.resize(coded);
            f_codes.resize(coded);
        } catch (...) {
            return;
        }
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
                for (uint32_t i = 0; i < coded; ++i)
                    f_samples[i] = sample(1 + i, c);
                try {
                    f_search.search(f_state[c], f_samples.data(), coded, f_codes.data());
                } catch (...) {
                    return;
                }
                uint8_t* out = dst + headerBytes(f_channels) + 4u * c;
                for (uint32_t g = 0; g < groups; ++g, out += 4u * f_channels)
                    for (uint32_t k = 0; k < 8; ++k)
                        out[k / 2] |= uint8_t(k % 2 == 0 ? f_codes[g * 8 + k] : f_codes[g * 8 + k] << 4);
            }
        }
    }

private:
    uint16_t f_channels;
    kelADPCM_state f_state[2];
    ImaCodeSearch f_search;
    std::vector<int16_t> f_samples;
    std::vector<uint8_t> f_codes;
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
    // bytes of samples written. Each group of 4 bytes per channel carries 8
    // samples of that channel; a group's samples are decoded into a small
    // interleaved buffer and stored at once. With two channels both
    // predictor chains run in the same loop: each sample depends on the one
    // before it in its channel only, so the two chains overlap.
    uint32_t decodeBlock(const uint8_t* src, uint32_t bytes, uint8_t* dst) noexcept
    {
        const uint32_t channels = f_channels;
        const uint32_t groups = (bytes - headerBytes(f_channels)) / (4u * channels);
        kelADPCM_state state[2];
        int16_t first[2];
        for (uint32_t c = 0; c < channels; ++c) {
            state[c].predicted = readLE16(src + 4 * c);
            state[c].stepIndex = kelADPCMClampIndex(src[4 * c + 2]);
            first[c] = int16_t(state[c].predicted);
        }
        storeSamples(dst, first, channels);
        dst += 2u * channels;
        const uint8_t* in = src + headerBytes(f_channels);
        int16_t group[16];
        for (uint32_t g = 0; g < groups; ++g, in += 4u * channels, dst += 16u * channels) {
            if (channels == 2) {
                for (uint32_t k = 0; k < 4; ++k) {
                    const uint8_t left = in[k], right = in[4 + k];
                    group[4 * k] = kelADPCMDecodeSample(state[0], left & 0x0F);
                    group[4 * k + 1] = kelADPCMDecodeSample(state[1], right & 0x0F);
                    group[4 * k + 2] = kelADPCMDecodeSample(state[0], left >> 4);
                    group[4 * k + 3] = kelADPCMDecodeSample(state[1], right >> 4);
                }
            } else {
                for (uint32_t k = 0; k < 4; ++k) {
                    group[2 * k] = kelADPCMDecodeSample(state[0], in[k] & 0x0F);
                    group[2 * k + 1] = kelADPCMDecodeSample(state[0], in[k] >> 4);
                }
            }
            storeSamples(dst, group, 8u * channels);
        }
        return (1u + groups * 8u) * 2u * channels;
    }

    // 16-bit samples as little-endian bytes.
    static void storeSamples(uint8_t* dst, const int16_t* samples, uint32_t count) noexcept
    {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(dst, samples, 2u * count);
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                dst[2 * i] = uint8_t(uint16_t(samples[i]) & 0xFF);
                dst[2 * i + 1] = uint8_t(uint16_t(samples[i]) >> 8);
            }
        }
    }

    uint16_t f_channels;
};

class ImaDriver : public kelAcmCodecDriver
{
public:
    ImaDriver()
        : kelAcmCodecDriver(kelAcmImaAdpcmProductId, u"IMA ADPCM", u"IMA ADPCM codec (WAV blocks)",
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

protected:
    bool decodes(const std::vector<uint8_t>& coded) const noexcept override
    {
        return isIma(kelAcmHead(coded));
    }

    std::vector<uint8_t> codedFor(const WAVEFORMATEX& pcm, const WAVEFORMATEX&, uint32_t) const override
    {
        return imaFormat(pcm.nChannels, pcm.nSamplesPerSec, standardBlock(pcm.nChannels, pcm.nSamplesPerSec));
    }

    std::unique_ptr<kelAcmConverter> makeConverter(const WAVEFORMATEX&, const std::vector<uint8_t>& coded,
                                                   bool encode, MMRESULT&) const override
    {
        const WAVEFORMATEX c = kelAcmHead(coded);
        if (encode) return std::make_unique<ImaEncoder>(c.nChannels, c.nBlockAlign);
        return std::make_unique<ImaDecoder>(c.nChannels, c.nBlockAlign);
    }
};

} // namespace

intptr_t kelAcmImaAdpcmDriverProc(uintptr_t driverId, HDRVR, uint32_t message, intptr_t lParam1,
                                  intptr_t lParam2) noexcept
{
    return kelAcmDriverProcOf<ImaDriver>(driverId, message, lParam1, lParam2);
}
