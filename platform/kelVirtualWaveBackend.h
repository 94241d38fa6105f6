#pragma once
// The back end of the virtual device: frames are taken (played) or given
// (recorded) as the clock allows, counted from the moment the device last
// started running, so the position never drifts from the clock.

#include "platform/kelVirtualWave.h"
#include "platform/kelWaveBackend.h"

#include <cstdio>
#include <memory>
#include <vector>

class kelVirtualWaveBackend final : public kelWaveBackend
{
public:
    // `format` may be an extensible record (its cbSize extra bytes are kept).
    static std::unique_ptr<kelVirtualWaveBackend> create(const WAVEFORMATEX& format, bool isIn,
                                                         MMRESULT& result);
    ~kelVirtualWaveBackend() override;

    size_t play(const char* data, size_t size) noexcept override;
    size_t record(char* data, size_t size) noexcept override;
    uint64_t framesDone() noexcept override { return f_frames; }
    void starved() noexcept override;
    void halt() noexcept override { f_active = false; }
    void resume() noexcept override { f_active = false; }
    void drop() noexcept override
    {
        f_frames = 0;
        f_active = false;
    }
    uint64_t waitUs(uint64_t framesWanted) const noexcept override;
    uint64_t nowUs() const noexcept override { return f_clock->nowUs(); }
    uint64_t returnDelayUs() const noexcept override { return kelVirtualWave::instance().lateReturnUs(); }
    void noteCall(const char* name) noexcept override { kelVirtualWave::instance().noteCall(name); }
    void close() noexcept override;

private:
    kelVirtualWaveBackend(const WAVEFORMATEX& format, const kelVirtualWave::Settings& settings);
    // Frames the clock allows now, beyond those already taken or given.
    uint64_t budget() noexcept;
    void fillSource(char* data, size_t frames) noexcept;

    WAVEFORMATEXTENSIBLE f_format{};
    const uint32_t f_block;
    const kelWaveClock* f_clock;
    kelVirtualWave::Settings f_settings;
    bool f_active = false;
    uint64_t f_baseUs = 0;
    uint64_t f_baseFrames = 0;
    uint64_t f_frames = 0;
    uint64_t f_sourceFrame = 0;
    std::FILE* f_sink = nullptr;
    uint64_t f_sinkBytes = 0;
    std::vector<uint8_t> f_sourceData;
};
