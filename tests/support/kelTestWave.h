#pragma once
// Scaffolding for the wave layer's tests: the manual clock seen through the
// layer's clock interface, and a harness that owns a set of playback or
// recording headers on one open handle and records every completion.

#include "core/kelClock.h"
#include "platform/kelVirtualWave.h"
#include "platform/kelWaveApi.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// A kelManualClock as the wave layer's clock.
class kelTestWaveClock final : public kelWaveClock
{
public:
    explicit kelTestWaveClock(const kelManualClock& clock) : f_clock(clock) {}
    uint64_t nowUs() const noexcept override { return f_clock.nowUs(); }

private:
    const kelManualClock& f_clock;
};

inline WAVEFORMATEX kelTestPcmFormat(uint32_t rate = 48000, uint16_t channels = 2, uint16_t bits = 16)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = uint16_t(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

// One open handle with `count` headers of `bytes` each. Completions are
// recorded by header index; `onDone` (optional) runs inside the callback,
// on the device's thread.
class kelTestWaveHarness
{
public:
    kelTestWaveHarness(bool isIn, size_t count, size_t bytes) : f_isIn(isIn), f_data(count), f_headers(count)
    {
        for (size_t i = 0; i < count; ++i) {
            f_data[i].assign(bytes, 0);
            f_headers[i] = WAVEHDR{};
            f_headers[i].lpData = reinterpret_cast<char*>(f_data[i].data());
            f_headers[i].dwBufferLength = uint32_t(bytes);
        }
    }

    MMRESULT open(const WAVEFORMATEX& format, uint32_t deviceId = kelVirtualWaveDeviceId)
    {
        const uintptr_t callback = reinterpret_cast<uintptr_t>(&kelTestWaveHarness::callback);
        return f_isIn ? waveInOpen(&f_handle, deviceId, &format, callback, reinterpret_cast<uintptr_t>(this),
                                   CALLBACK_FUNCTION)
                      : waveOutOpen(&f_handle, deviceId, &format, callback, reinterpret_cast<uintptr_t>(this),
                                    CALLBACK_FUNCTION);
    }

    // Fills header i with bytes i*31 + k (so every buffer differs) and
    // prepares it.
    MMRESULT prepare(size_t i, bool fill = true)
    {
        if (fill) {
            for (size_t k = 0; k < f_data[i].size(); ++k) {
                f_data[i][k] = uint8_t(i * 31 + k);
            }
        }
        return f_isIn ? waveInPrepareHeader(f_handle, &f_headers[i], sizeof(WAVEHDR))
                      : waveOutPrepareHeader(f_handle, &f_headers[i], sizeof(WAVEHDR));
    }
    MMRESULT queue(size_t i)
    {
        return f_isIn ? waveInAddBuffer(f_handle, &f_headers[i], sizeof(WAVEHDR))
                      : waveOutWrite(f_handle, &f_headers[i], sizeof(WAVEHDR));
    }
    MMRESULT prepareAndQueueAll()
    {
        for (size_t i = 0; i < f_headers.size(); ++i) {
            if (MMRESULT r = prepare(i); r != 0) return r;
            if (MMRESULT r = queue(i); r != 0) return r;
        }
        return 0;
    }
    uint32_t position()
    {
        MMTIME time{TIME_SAMPLES, {0}};
        const MMRESULT r = f_isIn ? waveInGetPosition(f_handle, &time, sizeof time)
                                  : waveOutGetPosition(f_handle, &time, sizeof time);
        return r == 0 ? time.u.sample : 0xFFFFFFFFu;
    }
    MMRESULT close()
    {
        for (WAVEHDR& header : f_headers) {
            if (header.dwFlags & WHDR_PREPARED) {
                f_isIn ? waveInUnprepareHeader(f_handle, &header, sizeof header)
                       : waveOutUnprepareHeader(f_handle, &header, sizeof header);
            }
        }
        return f_isIn ? waveInClose(f_handle) : waveOutClose(f_handle);
    }

    // Indexes of returned headers, in the order of their callbacks.
    std::vector<size_t> done() const
    {
        std::lock_guard lock(f_mutex);
        return f_done;
    }
    size_t doneCount() const
    {
        std::lock_guard lock(f_mutex);
        return f_done.size();
    }
    std::vector<uint32_t> messages() const
    {
        std::lock_guard lock(f_mutex);
        return f_messages;
    }

    std::function<void(kelTestWaveHarness&, size_t)> onDone;
    HWAVEOUT handle() const { return f_handle; }
    WAVEHDR& header(size_t i) { return f_headers[i]; }
    std::vector<uint8_t>& data(size_t i) { return f_data[i]; }

private:
    static void callback(kelWaveHandle*, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t)
    {
        auto* self = reinterpret_cast<kelTestWaveHarness*>(instance);
        size_t index = SIZE_MAX;
        {
            std::lock_guard lock(self->f_mutex);
            self->f_messages.push_back(msg);
            if (msg != WOM_DONE && msg != WIM_DATA) return;
            for (size_t i = 0; i < self->f_headers.size(); ++i) {
                if (&self->f_headers[i] == reinterpret_cast<WAVEHDR*>(param1)) index = i;
            }
            self->f_done.push_back(index);
        }
        if (self->onDone) self->onDone(*self, index);
    }

    const bool f_isIn;
    HWAVEOUT f_handle = nullptr;
    std::vector<std::vector<uint8_t>> f_data;
    std::vector<WAVEHDR> f_headers;
    mutable std::mutex f_mutex;
    std::vector<size_t> f_done;
    std::vector<uint32_t> f_messages;
};
