#pragma once
// panomix's output on a kelWaveOutDevice (the mapper by default): an
// extensible 16-bit PCM format with the configuration's speaker mask, and
// the device's onAfterChunkDone, raised on the platform's callback thread
// for every finished buffer, as the engine's feed loop.

#include "apps/panomix/panomixOutput.h"
#include "core/kelCreate.h"

#include <cstdint>

class kelWaveOutDevice;

class panomixDeviceOutput final : public panomixOutput
{
public:
    // -1 is the mapper.
    explicit panomixDeviceOutput(intptr_t deviceId = -1, uintptr_t overNum = 6);
    ~panomixDeviceOutput() override;
    panomixDeviceOutput(const panomixDeviceOutput&) = delete;
    panomixDeviceOutput& operator=(const panomixDeviceOutput&) = delete;

    void setFeedDoneHandler(feedDoneHandler handler) override { f_handler = std::move(handler); }
    uint32_t pcm_samplesPerSec() const override { return f_rate; }
    void set_pcm_samplesPerSec(uint32_t rate) override { f_rate = rate; }
    uint32_t pcm_numChannels() const override { return f_channels; }
    void set_pcm_numChannels(uint32_t channels) override { f_channels = channels; }
    uint32_t pcm_channelMask() const override { return f_mask; }
    void set_pcm_channelMask(uint32_t mask) override { f_mask = mask; }
    uint64_t nAvgBytesPerSec() const override { return uint64_t(f_rate) * f_channels * 2; }

    bool open() override;
    void close() override;
    bool active() const override;
    void flush() override;
    size_t write(const uint8_t* data, size_t len) override;

    // The result code of the last open (0 when it succeeded).
    uint32_t waveError() const noexcept { return f_waveError; }
    kelWaveOutDevice* device() const noexcept { return f_device.get(); }

private:
    kelOwned<kelWaveOutDevice> f_device;
    feedDoneHandler f_handler;
    uint32_t f_rate = 44100;
    uint32_t f_channels = 2;
    uint32_t f_mask = 3;
    uint32_t f_waveError = 0;
};

// The program's set-up of the virtual wave device (the mapper on a machine
// without a sound card): what it plays goes nowhere, rather than into the
// memory sink the tests read, which would grow by the whole stream for as
// long as the program plays. Once, before any output opens.
void panomixPlayVirtualIntoNothing();
