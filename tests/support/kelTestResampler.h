#pragma once
// Scaffolding for the resampler tests and benchmarks: a rig that opens a
// kelWaveResampler with two PCM formats and keeps every chunk it delivers,
// a reference that runs the Speex DSP library's resampler directly (one
// mono state per channel, the device's quality) and a tone maker.
// Header-only: it needs kel::audio.

#include "audio/kelWaveResampler.h"
#include "codecs/kelSpeexBinding.h"
#include "core/kelCreate.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

struct kelTestPcmSide
{
    uintptr_t rate;
    uintptr_t bits;
    uintptr_t channels;
};

// Interleaved 16-bit frames of a sine per channel (channel c at `hz` × (c + 1)).
inline std::vector<int16_t> kelTestTone(size_t frames, size_t channels, double rate, double hz,
                                        double amplitude, size_t startFrame = 0)
{
    std::vector<int16_t> out(frames * channels);
    for (size_t f = 0; f < frames; ++f)
        for (size_t c = 0; c < channels; ++c)
            out[f * channels + c] = int16_t(std::lround(
                amplitude * std::sin(2.0 * M_PI * hz * double(c + 1) * double(startFrame + f) / rate)));
    return out;
}

class kelTestResamplerRig
{
public:
    kelTestResamplerRig(const kelTestPcmSide& src, const kelTestPcmSide& dst, bool useSpeex,
                        bool realTime = false)
        : device(kelMakeOwned<kelWaveResampler>(realTime, uintptr_t(0)))
    {
        if (!device) return;
        device->setUseSpeexDSP(useSpeex);
        formatsOk = device->setSampling(true, src.rate, src.bits, src.channels) &&
                    device->setSampling(false, dst.rate, dst.bits, dst.channels);
        device->setOnDataAvailable([this](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
            std::lock_guard<std::mutex> guard(f_mutex);
            const auto* bytes = static_cast<const uint8_t*>(data);
            f_chunks.emplace_back(bytes, bytes + size);
        });
    }
    ~kelTestResamplerRig()
    {
        if (device) (void)device->close();
    }

    bool open() { return formatsOk && device && device->open() == 0; }
    uintptr_t write(const void* data, size_t size) { return device->write(data, size); }

    std::vector<std::vector<uint8_t>> chunks()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_chunks;
    }
    size_t chunkCount()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        return f_chunks.size();
    }
    // Every delivered byte, in order.
    std::vector<uint8_t> bytes()
    {
        std::lock_guard<std::mutex> guard(f_mutex);
        std::vector<uint8_t> all;
        for (const auto& c : f_chunks)
            all.insert(all.end(), c.begin(), c.end());
        return all;
    }

    kelOwned<kelWaveResampler> device;
    bool formatsOk = false;

private:
    std::mutex f_mutex;
    std::vector<std::vector<uint8_t>> f_chunks;
};

// The library's resampler called directly: one mono state per channel at
// quality 6, fed the same blocks.
class kelTestSpeexResampler
{
public:
    kelTestSpeexResampler(uintptr_t srcRate, uintptr_t dstRate, size_t channels) : f_channels(channels)
    {
        if (f_lib.load(kelString()) != 0) return;
        for (size_t c = 0; c < channels; ++c) {
            int err = 0;
            f_states.push_back(
                f_lib.calls().speex_resampler_init(1, spx_uint32_t(srcRate), spx_uint32_t(dstRate), 6, &err));
        }
        f_ok = true;
    }
    ~kelTestSpeexResampler()
    {
        for (auto* st : f_states)
            if (st != nullptr) f_lib.calls().speex_resampler_destroy(st);
        if (f_ok) f_lib.unload();
    }
    bool ok() const { return f_ok; }

    // Resamples one block of interleaved frames (room for `maxOut` frames).
    std::vector<int16_t> process(const int16_t* in, size_t frames, size_t maxOut)
    {
        std::vector<int16_t> out(maxOut * f_channels);
        std::vector<int16_t> mono(frames);
        std::vector<int16_t> monoOut(maxOut);
        size_t produced = maxOut;
        for (size_t c = 0; c < f_channels; ++c) {
            for (size_t f = 0; f < frames; ++f)
                mono[f] = in[f * f_channels + c];
            spx_uint32_t inLen = spx_uint32_t(frames);
            spx_uint32_t outLen = spx_uint32_t(maxOut);
            f_lib.calls().speex_resampler_process_int(f_states[c], 0, mono.data(), &inLen, monoOut.data(),
                                                      &outLen);
            produced = std::min<size_t>(produced, outLen);
            for (size_t f = 0; f < outLen; ++f)
                out[f * f_channels + c] = monoOut[f];
        }
        out.resize(produced * f_channels);
        return out;
    }

private:
    kelSpeexDSPBinding f_lib;
    std::vector<SpeexResamplerState*> f_states;
    size_t f_channels;
    bool f_ok = false;
};
