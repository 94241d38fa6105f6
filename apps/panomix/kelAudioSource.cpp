#include "apps/panomix/kelAudioSource.h"

#include "audio/kelMsAcmStreamDevice.h"
#include "core/kelParseInt.h"

#include <algorithm>
#include <cmath>
#include <numbers>

kelAudioSource::kelAudioSource(intptr_t stype, const kelString& param) : f_param(param), f_stype(stype) {}

kelAudioSource::~kelAudioSource() = default;

void kelAudioSource::beforeDestruction()
{
    close();
}

void kelAudioSource::setRate(uintptr_t rate)
{
    if (rate == f_samplingRate) return;
    close();
    f_samplingRate = rate;
    f_byteRate = rate * 2;
    f_chunkSizeInSamples = (f_byteRate / std::max<uintptr_t>(defaultChunksPerSecond.load(), 1)) >> 1;
    f_chunk.assign(f_chunkSizeInSamples, 0);
    rateChanged(rate);
}

void kelAudioSource::open()
{
    doStart();
    f_chunkWasTaken = getActive();
}

void kelAudioSource::close()
{
    doStop();
}

void kelAudioSource::prepareNextChunk()
{
    if (f_chunkWasTaken) doPrepareNextChunk();
    f_chunkWasTaken = false;
}

bool kelAudioSource::fillChunk(int16_t* data, size_t numSamples, size_t stepInSamples) noexcept
{
    const bool ok = doFillChunk(data, numSamples, stepInSamples);
    f_chunkWasTaken = true;
    return ok;
}

bool kelAudioSource::doFillChunk(int16_t* data, size_t numSamples, size_t stepInSamples) noexcept
{
    if (data == nullptr) return true;
    const size_t n = std::min(f_chunkSizeInSamples, numSamples);
    const int16_t* chunk = f_chunk.data();
    for (size_t i = 0; i < n; ++i) {
        int16_t& out = data[i * stepInSamples];
        out = int16_t(std::clamp(int32_t(out) + int32_t(chunk[i]), -32768, 32767));
    }
    return true;
}

kelASSine::kelASSine(const kelString& param)
    : kelAudioSource(kelASTypeSine, param), f_freq(intptr_t(parseInteger(param, kDefaultFrequency))),
      f_2_pi(2 * std::numbers::pi)
{
    f_name = u"Sine, freq=" + param + u" Hz";
}

void kelASSine::rateChanged(uintptr_t rate)
{
    // One turn less or more per sample sounds the same: keeping the step
    // within a turn keeps the phase sum exact for huge frequencies.
    f_turn = rate == 0 ? 0 : std::fmod(f_2_pi * double(f_freq) / double(rate), f_2_pi);
}

void kelASSine::doPrepareNextChunk()
{
    for (int16_t& sample : f_chunk) {
        sample = int16_t(std::lround(std::sin(f_angle) * kAmplitude));
        f_angle += f_turn;
    }
    // Back into [0, 2 pi) in one step, for either direction of the step.
    f_angle = std::fmod(f_angle, f_2_pi);
    if (f_angle < 0) f_angle += f_2_pi;
}
