#include "platform/kelVirtualWave.h"

kelVirtualWave& kelVirtualWave::instance() noexcept
{
    static kelVirtualWave device;
    return device;
}

void kelVirtualWave::restoreDefaults()
{
    std::lock_guard lock(f_mutex);
    f_settings = Settings{&kelWaveClock::monotonic(), {}, kelVirtualSource::silence, 440.0, {}};
    f_played.clear();
    f_playedBytes = 0;
    f_refuse = nullptr;
    f_failNextOpen = 0;
    f_stalled = false;
    f_lateUs = 0;
    f_log.clear();
}

void kelVirtualWave::setClock(const kelWaveClock& clock)
{
    std::lock_guard lock(f_mutex);
    f_settings.clock = &clock;
}

const kelWaveClock& kelVirtualWave::clock() const
{
    std::lock_guard lock(f_mutex);
    return *f_settings.clock;
}

void kelVirtualWave::playInto(const std::string& wavPath)
{
    std::lock_guard lock(f_mutex);
    f_settings.sinkPath = wavPath;
}

std::vector<uint8_t> kelVirtualWave::played() const
{
    std::lock_guard lock(f_mutex);
    return f_played;
}

uint64_t kelVirtualWave::playedBytes() const
{
    std::lock_guard lock(f_mutex);
    return f_playedBytes;
}

void kelVirtualWave::clearPlayed()
{
    std::lock_guard lock(f_mutex);
    f_played.clear();
    f_playedBytes = 0;
}

void kelVirtualWave::appendPlayed(const char* data, size_t size)
{
    std::lock_guard lock(f_mutex);
    f_played.insert(f_played.end(), data, data + size);
    f_playedBytes += size;
}

void kelVirtualWave::notePlayedToFile(size_t size)
{
    std::lock_guard lock(f_mutex);
    f_playedBytes += size;
}

void kelVirtualWave::recordSilence()
{
    std::lock_guard lock(f_mutex);
    f_settings.source = kelVirtualSource::silence;
}

void kelVirtualWave::recordTone(double hz)
{
    std::lock_guard lock(f_mutex);
    f_settings.source = kelVirtualSource::tone;
    f_settings.toneHz = hz;
}

void kelVirtualWave::recordFile(const std::string& wavPath)
{
    std::lock_guard lock(f_mutex);
    f_settings.source = kelVirtualSource::file;
    f_settings.sourcePath = wavPath;
}

void kelVirtualWave::refuseFormats(std::function<bool(const WAVEFORMATEX&)> refuse)
{
    std::lock_guard lock(f_mutex);
    f_refuse = std::move(refuse);
}

void kelVirtualWave::failNextOpen(MMRESULT code)
{
    std::lock_guard lock(f_mutex);
    f_failNextOpen = code;
}

void kelVirtualWave::setStalled(bool stalled)
{
    std::lock_guard lock(f_mutex);
    f_stalled = stalled;
}

bool kelVirtualWave::stalled() const
{
    std::lock_guard lock(f_mutex);
    return f_stalled;
}

void kelVirtualWave::setLateReturnUs(uint64_t us)
{
    std::lock_guard lock(f_mutex);
    f_lateUs = us;
}

uint64_t kelVirtualWave::lateReturnUs() const
{
    std::lock_guard lock(f_mutex);
    return f_lateUs;
}

std::vector<std::string> kelVirtualWave::callLog() const
{
    std::lock_guard lock(f_mutex);
    return std::vector<std::string>(f_log.begin(), f_log.end());
}

void kelVirtualWave::clearCallLog()
{
    std::lock_guard lock(f_mutex);
    f_log.clear();
}

void kelVirtualWave::noteCall(const char* name)
{
    std::lock_guard lock(f_mutex);
    if (f_log.size() >= kCallLogLimit) f_log.pop_front();
    f_log.push_back(name);
}

MMRESULT kelVirtualWave::checkOpen(const WAVEFORMATEX& format, bool query)
{
    std::lock_guard lock(f_mutex);
    if (f_refuse && f_refuse(format)) {
        return WAVERR_BADFORMAT;
    }
    if (!query && f_failNextOpen != 0) {
        const MMRESULT code = f_failNextOpen;
        f_failNextOpen = 0;
        return code;
    }
    return MMSYSERR_NOERROR;
}

kelVirtualWave::Settings kelVirtualWave::settings() const
{
    std::lock_guard lock(f_mutex);
    return f_settings;
}
