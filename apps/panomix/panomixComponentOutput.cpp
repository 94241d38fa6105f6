#include "apps/panomix/panomixComponentOutput.h"

#include "components/kelmtlWaveOutDevice.h"
#include "platform/kelVirtualWave.h"

#include <utility>

panomixComponentOutput::panomixComponentOutput(intptr_t deviceId, uintptr_t overNum)
    : f_waveOut(kelCreate<TkelmtlWaveOutDevice>())
{
    if (!f_waveOut) return;
    f_waveOut->setDeviceId(deviceId);
    f_waveOut->setOverNum(overNum);
    f_waveOut->setPcm_bitsPerSample(16);
    f_waveOut->setOnFeedDone([this](kelmtlInOutPipe*, void* data, uint32_t len) {
        if (f_handler) f_handler(static_cast<uint8_t*>(data), len);
    });
}

panomixComponentOutput::~panomixComponentOutput()
{
    close();
    if (f_waveOut) f_waveOut->setOnFeedDone(nullptr);
}

void panomixComponentOutput::setFeedDoneHandler(feedDoneHandler handler)
{
    f_handler = std::move(handler);
}

uint32_t panomixComponentOutput::pcm_samplesPerSec() const
{
    return f_waveOut ? f_waveOut->pcm_samplesPerSec() : 44100;
}

void panomixComponentOutput::set_pcm_samplesPerSec(uint32_t rate)
{
    if (f_waveOut) f_waveOut->setPcm_samplesPerSec(rate);
}

uint32_t panomixComponentOutput::pcm_numChannels() const
{
    return f_waveOut ? f_waveOut->pcm_numChannels() : 2;
}

void panomixComponentOutput::set_pcm_numChannels(uint32_t channels)
{
    if (f_waveOut) f_waveOut->setPcm_numChannels(channels);
}

uint32_t panomixComponentOutput::pcm_channelMask() const
{
    return f_waveOut ? f_waveOut->pcm_channelMask() : 3;
}

void panomixComponentOutput::set_pcm_channelMask(uint32_t mask)
{
    if (f_waveOut) f_waveOut->setPcm_channelMask(mask);
}

uint64_t panomixComponentOutput::nAvgBytesPerSec() const
{
    return uint64_t(pcm_samplesPerSec()) * pcm_numChannels() * 2;
}

bool panomixComponentOutput::open()
{
    return f_waveOut && f_waveOut->open() && f_waveOut->active();
}

void panomixComponentOutput::close()
{
    if (f_waveOut) f_waveOut->close();
}

bool panomixComponentOutput::active() const
{
    return f_waveOut && f_waveOut->active();
}

void panomixComponentOutput::flush()
{
    if (f_waveOut) f_waveOut->flush();
}

size_t panomixComponentOutput::write(const uint8_t* data, size_t len)
{
    return f_waveOut ? f_waveOut->write(data, uint32_t(len)) : 0;
}

void panomixPlayVirtualIntoNothing()
{
    kelVirtualWave::instance().playInto("/dev/null");
}
