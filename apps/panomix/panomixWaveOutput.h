#pragma once
// panomix's output on a wave output device (the mapper by default): an
// extensible 16-bit PCM format with the configuration's speaker mask, a
// pool of chunk buffers, and the finished buffers raised to the engine's
// feed loop on the device's completion thread.

#include "apps/panomix/panomixOutput.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

struct WAVEHDR;
struct kelWaveHandle;

class panomixWaveOutput final : public panomixOutput
{
public:
    // -1 is the mapper.
    explicit panomixWaveOutput(intptr_t deviceId = -1, uintptr_t overNum = 6);
    ~panomixWaveOutput() override;
    panomixWaveOutput(const panomixWaveOutput&) = delete;
    panomixWaveOutput& operator=(const panomixWaveOutput&) = delete;

    void setFeedDoneHandler(feedDoneHandler handler) override;
    uint32_t pcm_samplesPerSec() const override { return f_rate; }
    void set_pcm_samplesPerSec(uint32_t rate) override { f_rate = rate; }
    uint32_t pcm_numChannels() const override { return f_channels; }
    void set_pcm_numChannels(uint32_t channels) override { f_channels = channels; }
    uint32_t pcm_channelMask() const override { return f_mask; }
    void set_pcm_channelMask(uint32_t mask) override { f_mask = mask; }
    uint64_t nAvgBytesPerSec() const override { return uint64_t(f_rate) * f_channels * 2; }

    bool open() override;
    void close() override;
    bool active() const override { return f_handle.load() != nullptr && !f_closing.load(); }
    void flush() override;
    size_t write(const uint8_t* data, size_t len) override;

    // The result code of the last open (0 when it succeeded).
    uint32_t waveError() const noexcept { return f_waveError; }

private:
    static void callback(kelWaveHandle* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                         uintptr_t param2);
    void done(WAVEHDR* header) noexcept;

    intptr_t f_deviceId;
    uintptr_t f_overNum;
    uint32_t f_rate = 44100;
    uint32_t f_channels = 2;
    uint32_t f_mask = 3;
    uint32_t f_waveError = 0;
    size_t f_chunkBytes = 0;
    std::atomic<kelWaveHandle*> f_handle{nullptr};
    std::atomic<bool> f_closing{false};
    feedDoneHandler f_handler;
    // The headers and their buffers, and those not queued.
    std::vector<WAVEHDR> f_headers;
    std::vector<std::vector<uint8_t>> f_buffers;
    std::mutex f_freeGuard;
    std::vector<WAVEHDR*> f_free;
};

// The program's set-up of the virtual wave device (the mapper on a machine
// without a sound card): what it plays goes nowhere, rather than into the
// memory sink the tests read, which would grow by the whole stream for as
// long as the program plays. Once, before any output opens.
void panomixPlayVirtualIntoNothing();
