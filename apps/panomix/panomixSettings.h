#pragma once
// The settings panomix keeps between runs, in section "settings" of its
// ini file: the configuration, the rate, the file edit's text, the tree's
// view and the list of sources. Window thread.

#include "core/kelIniFile.h"
#include "core/kelTypes.h"

#include <cstdint>
#include <vector>

class panomixSources;

struct panomixSourceSetting
{
    intptr_t stype = 100;
    kelString param;
    uint32_t mask = 0;
};

struct panomixSettings
{
    static constexpr char16_t kSection[] = u"settings";

    intptr_t configIndex = 1;
    uint32_t configMask = 3;
    intptr_t samplingRate = 44100;
    kelString riffFile = u"test.wav";
    bool autoExpand = true;
    bool viewFromSpeakers = true;
    std::vector<panomixSourceSetting> sources;

    // Reads every key (the defaults above for missing ones); a store that
    // cannot be entered gives the defaults.
    static panomixSettings load(kelIniAbstractStorage& store);
    // Writes every key, the sources as "source.count" and "source.<i>.*".
    // False when the store cannot be entered or a write failed.
    bool save(kelIniAbstractStorage& store) const;

    // The sources of a list, as they are saved.
    static std::vector<panomixSourceSetting> of(const panomixSources& list);
};
