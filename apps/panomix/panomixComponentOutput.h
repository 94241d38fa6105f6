#pragma once
// panomix's output as the wave output component (TkelmtlWaveOutDevice) on
// a wave output device, the mapper by default, with 16 bits per sample and
// six chunks in flight. The component's onFeedDone, raised on the
// platform's wave callback thread for every finished chunk, is the engine's
// feed loop.

#include "apps/panomix/panomixOutput.h"
#include "core/kelCreate.h"

#include <cstdint>

class TkelmtlWaveOutDevice;

class panomixComponentOutput final : public panomixOutput
{
public:
    // -1 is the mapper.
    explicit panomixComponentOutput(intptr_t deviceId = -1, uintptr_t overNum = 6);
    ~panomixComponentOutput() override;
    panomixComponentOutput(const panomixComponentOutput&) = delete;
    panomixComponentOutput& operator=(const panomixComponentOutput&) = delete;

    void setFeedDoneHandler(feedDoneHandler handler) override;
    uint32_t pcm_samplesPerSec() const override;
    void set_pcm_samplesPerSec(uint32_t rate) override;
    uint32_t pcm_numChannels() const override;
    void set_pcm_numChannels(uint32_t channels) override;
    uint32_t pcm_channelMask() const override;
    void set_pcm_channelMask(uint32_t mask) override;
    uint64_t nAvgBytesPerSec() const override;

    bool open() override;
    void close() override;
    bool active() const override;
    void flush() override;
    size_t write(const uint8_t* data, size_t len) override;

    TkelmtlWaveOutDevice* waveOut() const noexcept { return f_waveOut.get(); }

private:
    kelOwned<TkelmtlWaveOutDevice> f_waveOut;
    feedDoneHandler f_handler;
};

// The program's set-up of the virtual wave device (the mapper on a machine
// without a sound card): what it plays goes nowhere, rather than into the
// memory sink the tests read, which would grow by the whole stream for as
// long as the program plays. Once, before any output opens.
void panomixPlayVirtualIntoNothing();
