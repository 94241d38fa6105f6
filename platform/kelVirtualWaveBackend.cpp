#include "platform/kelVirtualWaveBackend.h"

#include "platform/kelWavFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

bool formatUsable(const WAVEFORMATEX& format) noexcept
{
    const bool pcm = format.wFormatTag == WAVE_FORMAT_PCM || format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ||
                     format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    return pcm && format.nChannels > 0 && format.nSamplesPerSec > 0 && format.wBitsPerSample > 0 &&
           format.wBitsPerSample % 8 == 0 &&
           format.nBlockAlign == format.nChannels * (format.wBitsPerSample / 8) &&
           (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize >= kelFormatExtExtraSize);
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::vector<uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    std::fclose(file);
    return bytes;
}

} // namespace

std::unique_ptr<kelVirtualWaveBackend> kelVirtualWaveBackend::create(const WAVEFORMATEX& format, bool isIn,
                                                                     MMRESULT& result)
{
    if (!formatUsable(format)) {
        result = WAVERR_BADFORMAT;
        return nullptr;
    }
    const kelVirtualWave::Settings settings = kelVirtualWave::instance().settings();
    std::unique_ptr<kelVirtualWaveBackend> backend(new (std::nothrow)
                                                       kelVirtualWaveBackend(format, settings));
    if (!backend) {
        result = MMSYSERR_NOMEM;
        return nullptr;
    }
    if (!isIn && !settings.sinkPath.empty()) {
        backend->f_sink = std::fopen(settings.sinkPath.c_str(), "w+b");
        if (backend->f_sink == nullptr || !kelWavWriteHeader(backend->f_sink, backend->f_format.Format)) {
            result = MMSYSERR_ERROR;
            return nullptr;
        }
    }
    if (isIn && settings.source == kelVirtualSource::file) {
        const std::vector<uint8_t> image = readFile(settings.sourcePath);
        kelWavLayout layout;
        if (!kelWavParse(image.data(), image.size(), layout)) {
            result = MMSYSERR_ERROR;
            return nullptr;
        }
        backend->f_sourceData.assign(image.begin() + ptrdiff_t(layout.dataOffset),
                                     image.begin() + ptrdiff_t(layout.dataOffset + layout.dataSize));
    }
    result = MMSYSERR_NOERROR;
    return backend;
}

kelVirtualWaveBackend::kelVirtualWaveBackend(const WAVEFORMATEX& format,
                                             const kelVirtualWave::Settings& settings)
    : f_block(format.nBlockAlign), f_clock(settings.clock), f_settings(settings)
{
    std::memcpy(&f_format, &format,
                format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? sizeof(WAVEFORMATEXTENSIBLE)
                                                            : sizeof(WAVEFORMATEX));
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
        f_format.Format.cbSize = 0;
    }
}

kelVirtualWaveBackend::~kelVirtualWaveBackend()
{
    close();
}

void kelVirtualWaveBackend::close() noexcept
{
    if (f_sink != nullptr) {
        kelWavFinish(f_sink, f_format.Format, f_sinkBytes);
        std::fclose(f_sink);
        f_sink = nullptr;
    }
}

uint64_t kelVirtualWaveBackend::budget() noexcept
{
    if (kelVirtualWave::instance().stalled()) {
        f_active = false;
        return 0;
    }
    const uint64_t now = f_clock->nowUs();
    if (!f_active) {
        f_active = true;
        f_baseUs = now;
        f_baseFrames = f_frames;
    }
    const uint64_t due = f_baseFrames + (now - f_baseUs) * f_format.Format.nSamplesPerSec / 1000000u;
    return due > f_frames ? due - f_frames : 0;
}

size_t kelVirtualWaveBackend::play(const char* data, size_t size) noexcept
{
    const uint64_t frames = std::min<uint64_t>(budget(), size / f_block);
    const size_t bytes = size_t(frames) * f_block;
    if (bytes == 0) {
        return 0;
    }
    if (f_sink != nullptr) {
        if (std::fwrite(data, 1, bytes, f_sink) == bytes) {
            f_sinkBytes += bytes;
            kelVirtualWave::instance().notePlayedToFile(bytes);
        }
    } else {
        kelVirtualWave::instance().appendPlayed(data, bytes);
    }
    f_frames += frames;
    return bytes;
}

void kelVirtualWaveBackend::starved() noexcept
{
    // Time that passed with nothing to play is not owed to the next buffer:
    // the device starts again from now when data comes.
    if (f_active && budget() > 0) {
        f_active = false;
    }
}

size_t kelVirtualWaveBackend::record(char* data, size_t size) noexcept
{
    const uint64_t frames = std::min<uint64_t>(budget(), size / f_block);
    fillSource(data, size_t(frames));
    f_frames += frames;
    return size_t(frames) * f_block;
}

void kelVirtualWaveBackend::fillSource(char* data, size_t frames) noexcept
{
    const size_t bytes = frames * f_block;
    const unsigned sampleBytes = f_format.Format.wBitsPerSample / 8;
    const bool isFloat = f_format.Format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    std::memset(data, sampleBytes == 1 ? 0x80 : 0, bytes);
    if (f_settings.source == kelVirtualSource::file) {
        const uint64_t at = f_sourceFrame * f_block;
        if (at < f_sourceData.size()) {
            std::memcpy(data, f_sourceData.data() + at, std::min<uint64_t>(bytes, f_sourceData.size() - at));
        }
    } else if (f_settings.source == kelVirtualSource::tone) {
        const double step = 2.0 * std::numbers::pi * f_settings.toneHz / f_format.Format.nSamplesPerSec;
        for (size_t i = 0; i < frames; ++i) {
            const double value = 0.5 * std::sin(step * double(f_sourceFrame + i));
            char* frame = data + i * f_block;
            for (unsigned c = 0; c < f_format.Format.nChannels; ++c) {
                char* sample = frame + c * sampleBytes;
                if (isFloat && sampleBytes == 4) {
                    const float f = float(value);
                    std::memcpy(sample, &f, 4);
                } else if (sampleBytes == 1) {
                    sample[0] = char(uint8_t(128 + std::lround(value * 127)));
                } else {
                    // Full scale of the sample size, little-endian, top bytes first filled.
                    const int64_t full = (int64_t(1) << (8 * sampleBytes - 1)) - 1;
                    const int64_t v = std::llround(value * double(full));
                    for (unsigned b = 0; b < sampleBytes; ++b) {
                        sample[b] = char(uint8_t(uint64_t(v) >> (8 * b)));
                    }
                }
            }
        }
    }
    f_sourceFrame += frames;
}

uint64_t kelVirtualWaveBackend::waitUs(uint64_t framesWanted) const noexcept
{
    if (!f_clock->isMonotonic()) {
        return 1000; // a manual clock moves when the test says; look every millisecond
    }
    const uint64_t us = framesWanted * 1000000u / f_format.Format.nSamplesPerSec;
    return std::clamp<uint64_t>(us, 200, 20000);
}
