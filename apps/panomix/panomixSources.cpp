#include "apps/panomix/panomixSources.h"

#include "apps/panomix/panomixSpeakers.h"

#include <utility>

panomixSources::panomixSources() : panomixSources(panomixMakeSource) {}

panomixSources::panomixSources(factory make) : f_make(std::move(make)) {}

panomixSources::~panomixSources()
{
    clear();
}

kelAudioSource* panomixSources::addSource(intptr_t stype, const kelString& param, uint32_t mask)
{
    if (!f_make) return nullptr;
    kelOwned<kelAudioSource> source(f_make(stype, param));
    if (!source) return nullptr;
    source->setRate(uintptr_t(f_samplingRate));
    source->setMapping(mask);
    f_source.push_back(std::move(source));
    return f_source.back().get();
}

bool panomixSources::deleteSource(size_t index)
{
    if (index >= f_source.size()) return false;
    f_source.erase(f_source.begin() + std::ptrdiff_t(index));
    return true;
}

void panomixSources::clear()
{
    // Freed last first, so none outlives the ones made after it.
    while (!f_source.empty())
        f_source.pop_back();
}

void panomixSources::setSamplingRate(intptr_t rate)
{
    f_samplingRate = rate;
    for (auto& source : f_source)
        source->setRate(uintptr_t(rate));
}

void panomixSources::openSources()
{
    for (auto& source : f_source)
        source->open();
    prepareNextChunk();
}

void panomixSources::closeSources()
{
    for (auto& source : f_source)
        source->close();
}

void panomixSources::prepareNextChunk()
{
    for (auto& source : f_source)
        source->prepareNextChunk();
}

bool panomixSources::contributeSource(intptr_t speaker, size_t sourceIndex, int16_t* data, size_t numSamples,
                                      size_t stepInSamples) noexcept
{
    if (speaker < 0 || speaker >= intptr_t(kelSpeakerCount) || sourceIndex >= f_source.size()) return false;
    kelAudioSource& source = *f_source[sourceIndex];
    if ((source.mapping() & kelSpeakers[size_t(speaker)].r_mask) == 0) return false;
    return source.fillChunk(data, numSamples, stepInSamples);
}

kelAudioSource* panomixSources::getSource(size_t index) const noexcept
{
    return index < f_source.size() ? f_source[index].get() : nullptr;
}
