#pragma once
// The virtual wave device (device id 0): always present, for machines
// without sound and for tests. It is paced by a kelWaveClock: with the
// monotonic clock it plays and records in real time without drift (its
// position is computed from the clock, not counted in sleeps); with a
// manual clock a test plays 10 s by advancing the clock 10 s.
//
// Playback lands in memory (played()) or in a WAV file; recording reads
// silence, a sine tone or the samples of a WAV file. Faults can be injected
// (refuse a format, fail an open, stall, return buffers late) and every call
// on the device is logged by name.
//
// The settings are process-wide; the sink, source and clock are taken when
// a device opens, the faults apply at once. Any thread.

#include "platform/kelWaveApi.h"
#include "platform/kelWaveClock.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

inline constexpr uint32_t kelVirtualWaveDeviceId = 0;
inline constexpr const char16_t* kelVirtualWaveName = u"Virtual wave device";

enum class kelVirtualSource {
    silence,
    tone,
    file,
};

class kelVirtualWave
{
public:
    static kelVirtualWave& instance() noexcept;

    // Back to the defaults: monotonic clock, memory sink, silence, no
    // faults; empties the log and the memory sink.
    void restoreDefaults();

    // The clock must outlive every device opened while it is set.
    void setClock(const kelWaveClock& clock);
    const kelWaveClock& clock() const;

    // Playback into memory (the default), or into a WAV file (empty path
    // goes back to memory). The file is complete once the device closed.
    void playInto(const std::string& wavPath);
    std::vector<uint8_t> played() const;
    // Bytes played since the last clearPlayed, into memory or into a file
    // (/dev/null makes a sink that costs nothing and still counts).
    uint64_t playedBytes() const;
    void clearPlayed();
    void appendPlayed(const char* data, size_t size);
    // Counts bytes a device wrote to its file sink.
    void notePlayedToFile(size_t size);

    void recordSilence();
    // A sine of `hz` at half of full scale, the same in every channel.
    void recordTone(double hz);
    // The samples of a WAV file, silence once they run out.
    void recordFile(const std::string& wavPath);

    // Formats the device refuses with WAVERR_BADFORMAT (also for a query).
    void refuseFormats(std::function<bool(const WAVEFORMATEX&)> refuse);
    // The next open (not a query) fails with `code`.
    void failNextOpen(MMRESULT code);
    // While stalled, the device takes no frames and gives none.
    void setStalled(bool stalled);
    bool stalled() const;
    // Finished buffers are returned this long (clock time) after they played.
    void setLateReturnUs(uint64_t us);
    uint64_t lateReturnUs() const;

    // The names of the calls since the last clearCallLog, oldest first; at
    // most the last kCallLogLimit of them, so a device that plays for hours
    // does not grow the log without end.
    static constexpr size_t kCallLogLimit = 65536;
    std::vector<std::string> callLog() const;
    void clearCallLog();
    // `name` must be a string literal: the log keeps the pointer, so noting
    // a call (several per buffer) allocates nothing.
    void noteCall(const char* name);

    // Used by the layer's open: WAVERR_BADFORMAT, the injected open
    // failure, or 0.
    MMRESULT checkOpen(const WAVEFORMATEX& format, bool query);

    struct Settings
    {
        const kelWaveClock* clock;
        std::string sinkPath;
        kelVirtualSource source;
        double toneHz;
        std::string sourcePath;
    };
    Settings settings() const;

private:
    kelVirtualWave() = default;

    mutable std::mutex f_mutex;
    Settings f_settings{&kelWaveClock::monotonic(), {}, kelVirtualSource::silence, 440.0, {}};
    std::vector<uint8_t> f_played;
    uint64_t f_playedBytes = 0;
    std::function<bool(const WAVEFORMATEX&)> f_refuse;
    MMRESULT f_failNextOpen = 0;
    bool f_stalled = false;
    uint64_t f_lateUs = 0;
    std::deque<const char*> f_log;
};
