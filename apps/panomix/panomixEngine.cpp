#include "apps/panomix/panomixEngine.h"

#include <cstring>
#include <utility>

panomixEngine::panomixEngine(std::unique_ptr<panomixOutput> output, panomixSources::factory make)
    : f_output(std::move(output)), f_sources(std::move(make))
{
    f_channelMap.fill(-1);
    f_output->setFeedDoneHandler([this](uint8_t* data, size_t len) { feedDone(data, len); });
}

panomixEngine::~panomixEngine()
{
    close();
    f_output->setFeedDoneHandler(nullptr);
}

panomixShownMask panomixEngine::applyConfiguration(intptr_t index)
{
    uint32_t mask = f_output->pcm_channelMask();
    if (index >= 0 && index < panomixCustomConfig)
        mask = panomixConfigurations[size_t(index)].mask;
    else if (index == panomixCustomConfig)
        mask = f_customMask;
    return showMask(mask);
}

panomixShownMask panomixEngine::checkSpeakers(uint32_t checkedMask)
{
    f_customMask = checkedMask;
    return showMask(checkedMask);
}

panomixShownMask panomixEngine::showMask(uint32_t mask)
{
    panomixShownMask shown;
    shown.mask = mask;
    for (size_t i = 0; i < kelSpeakerCount; ++i) {
        shown.present[i] = mappedTo(mask, intptr_t(i));
        if (shown.present[i]) ++shown.channels;
    }
    shown.configIndex = configIndexOfMask(mask);
    f_output->set_pcm_channelMask(mask);
    f_output->set_pcm_numChannels(uint32_t(shown.channels));
    return shown;
}

uint32_t panomixEngine::setRateText(const kelString& text)
{
    f_output->set_pcm_samplesPerSec(samplingRateOf(text));
    f_sources.setSamplingRate(intptr_t(f_output->pcm_samplesPerSec()));
    return f_output->pcm_samplesPerSec();
}

kelString panomixEngine::channelLabel() const
{
    return channelLabelText(intptr_t(f_output->pcm_numChannels()), int64_t(f_output->nAvgBytesPerSec()));
}

bool panomixEngine::open(const kelString& rateText)
{
    f_output->set_pcm_samplesPerSec(samplingRateOf(rateText));
    // Sources made at another rate would give chunks of another length.
    f_sources.setSamplingRate(intptr_t(f_output->pcm_samplesPerSec()));
    f_totalMixed.store(0);
    buildChannelMap();
    if (!f_output->open() || !f_output->active()) return false;
    f_sources.openSources();
    f_doneFeeding.store(false);
    f_output->flush();
    return true;
}

void panomixEngine::close()
{
    f_doneFeeding.store(true);
    f_output->close();
    f_sources.closeSources();
}

void panomixEngine::feedDone(uint8_t* data, size_t len) noexcept
{
    if (f_doneFeeding.load() || data == nullptr || len == 0) return;
    std::memset(data, 0, len);
    const size_t channels = f_output->pcm_numChannels();
    if (channels == 0) return;
    const size_t samplesPerChannel = (len / channels) / 2;
    auto* samples = reinterpret_cast<int16_t*>(data);
    const size_t sourceCount = f_sources.sourceCount();
    int64_t mixed = 0;
    for (size_t i = 0; i < channels; ++i) {
        const intptr_t speaker = i < kelSpeakerCount ? f_channelMap[i] : -1;
        if (speaker < 0) continue;
        for (size_t s = 0; s < sourceCount; ++s)
            if (f_sources.contributeSource(speaker, s, samples + i, samplesPerChannel, channels))
                mixed += int64_t(samplesPerChannel);
    }
    f_totalMixed.fetch_add(mixed, std::memory_order_relaxed);
    f_output->write(data, len);
    f_sources.prepareNextChunk();
}
