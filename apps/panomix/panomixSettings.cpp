#include "apps/panomix/panomixSettings.h"

#include "apps/panomix/panomixSources.h"
#include "core/kelParseInt.h"

namespace {

kelString sourceKey(size_t i, const char16_t* field)
{
    return u"source." + formatInteger(int64_t(i)) + field;
}

} // namespace

panomixSettings panomixSettings::load(kelIniAbstractStorage& store)
{
    panomixSettings s;
    kelString saved;
    if (!store.enter(kSection, saved)) return s;
    s.configIndex = store.get(u"wave.config.index", s.configIndex);
    s.configMask = uint32_t(store.get(u"wave.config.mask", intptr_t(s.configMask)));
    s.samplingRate = store.get(u"wave.samplingRate", s.samplingRate);
    s.riffFile = store.get(u"riff.file", s.riffFile);
    s.autoExpand = store.get(u"gui.autoExpand", s.autoExpand);
    s.viewFromSpeakers = store.get(u"gui.viewFromSpeakers", s.viewFromSpeakers);
    const intptr_t count = store.get(u"source.count", intptr_t(0));
    for (intptr_t i = 0; i < count; ++i) {
        panomixSourceSetting source;
        source.stype = store.get(sourceKey(size_t(i), u".stype"), intptr_t(100));
        source.param = store.get(sourceKey(size_t(i), u".param"), kelString());
        source.mask = uint32_t(store.get(sourceKey(size_t(i), u".mask"), intptr_t(0)));
        s.sources.push_back(std::move(source));
    }
    store.leave(saved);
    return s;
}

bool panomixSettings::save(kelIniAbstractStorage& store) const
{
    kelString saved;
    if (!store.enter(kSection, saved)) return false;
    bool ok = store.setValue(u"wave.config.index", configIndex);
    ok = store.setValue(u"wave.config.mask", intptr_t(configMask)) && ok;
    ok = store.setValue(u"wave.samplingRate", samplingRate) && ok;
    ok = store.setValue(u"riff.file", riffFile) && ok;
    ok = store.setValue(u"gui.autoExpand", autoExpand) && ok;
    ok = store.setValue(u"gui.viewFromSpeakers", viewFromSpeakers) && ok;
    ok = store.setValue(u"source.count", intptr_t(sources.size())) && ok;
    for (size_t i = 0; i < sources.size(); ++i) {
        ok = store.setValue(sourceKey(i, u".stype"), sources[i].stype) && ok;
        ok = store.setValue(sourceKey(i, u".param"), sources[i].param) && ok;
        ok = store.setValue(sourceKey(i, u".mask"), intptr_t(sources[i].mask)) && ok;
    }
    store.leave(saved);
    return ok;
}

std::vector<panomixSourceSetting> panomixSettings::of(const panomixSources& list)
{
    std::vector<panomixSourceSetting> out;
    for (size_t i = 0; i < list.sourceCount(); ++i) {
        const kelAudioSource* s = list.getSource(i);
        out.push_back({s->stype(), s->param(), s->mapping()});
    }
    return out;
}
