#pragma once
// The sources of panomix and the operations the feed loop runs over them:
// the engine behind the source window (Tc_form_sourceManage), which edits
// them on the window thread while playback is closed.
//
// The list owns its sources. openSources, closeSources and setSamplingRate
// run on the window thread; contributeSource and prepareNextChunk on the
// output's completion thread, while the window leaves the list alone.

#include "apps/panomix/kelAudioSource.h"
#include "core/kelCreate.h"
#include "core/kelTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

class panomixSources
{
public:
    // Makes the source of a kind with a parameter, or null for a kind it
    // does not know. The program's factory makes live, WAV and sine
    // sources; tests may make their own.
    using factory = std::function<kelAudioSource*(intptr_t stype, const kelString& param)>;

    panomixSources();
    explicit panomixSources(factory make);
    ~panomixSources();
    panomixSources(const panomixSources&) = delete;
    panomixSources& operator=(const panomixSources&) = delete;

    // The source of a kind (100 live, 101 WAV file, 102 sine) at the
    // current rate with `mask` as its mapping, appended to the list; null
    // for any other kind.
    kelAudioSource* addSource(intptr_t stype, const kelString& param, uint32_t mask);
    // Frees the source at `index`; false when there is none.
    bool deleteSource(size_t index);
    void clear();

    intptr_t samplingRate() const noexcept { return f_samplingRate; }
    // Stores the rate and sets it on every source.
    void setSamplingRate(intptr_t rate);

    void openSources();
    void closeSources();
    void prepareNextChunk();
    // Adds source `sourceIndex`'s chunk into `data` (every `stepInSamples`-th
    // sample) when `speaker` is in its mapping. False for a negative speaker,
    // an unknown source or a speaker outside the mapping.
    bool contributeSource(intptr_t speaker, size_t sourceIndex, int16_t* data, size_t numSamples,
                          size_t stepInSamples) noexcept;

    kelAudioSource* getSource(size_t index) const noexcept;
    size_t sourceCount() const noexcept { return f_source.size(); }

private:
    factory f_make;
    std::vector<kelOwned<kelAudioSource>> f_source;
    intptr_t f_samplingRate = 44100;
};

// The program's own sources: kelASLive, kelASWAV and kelASSine.
kelAudioSource* panomixMakeSource(intptr_t stype, const kelString& param);
