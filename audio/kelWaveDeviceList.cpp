#include "audio/kelWaveDeviceList.h"

#include "audio/kelWaveInDevice.h"
#include "audio/kelWaveOutDevice.h"

#include <string>

namespace {

kelString decimal(uint32_t value)
{
    const std::string digits = std::to_string(value);
    return kelString(digits.begin(), digits.end());
}

template <size_t N> kelString boundedName(const char16_t (&name)[N])
{
    size_t length = 0;
    while (length < N && name[length] != 0)
        ++length;
    return kelString(name, length);
}

// The capability record's name; empty when it cannot be read.
kelString deviceName(bool isInput, uint32_t deviceId)
{
    if (isInput) {
        WAVEINCAPSW caps{};
        return kelWaveInDevice::getCaps(deviceId, caps) ? boundedName(caps.szPname) : kelString();
    }
    WAVEOUTCAPSW caps{};
    return kelWaveOutDevice::getCaps(deviceId, caps) ? boundedName(caps.szPname) : kelString();
}

void addEntry(kelWaveDeviceList& list, intptr_t deviceId, kelString name,
              const kelWaveDeviceListCallback& callback)
{
    if (callback) {
        kelString edited = name;
        try {
            if (!callback(deviceId, edited)) return;
            name = std::move(edited);
        } catch (...) {
            // A failing callback neither vetoes nor renames.
        }
    }
    list.entries.push_back({deviceId, std::move(name)});
}

} // namespace

void fillWaveDeviceList(kelWaveDeviceList& list, bool isInput, bool includeMapper,
                        const kelWaveDeviceListCallback& callback)
{
    list.entries.clear();
    list.tag = includeMapper ? list.tag & ~kelWaveDeviceList::kNoMapperTag
                             : list.tag | kelWaveDeviceList::kNoMapperTag;
    const uint32_t mapper = WAVE_MAPPER;
    if (includeMapper) {
        kelString name = deviceName(isInput, mapper);
        addEntry(list, -1, name.empty() ? kelString(u"Wave Mapper") : name, callback);
    }
    const uint32_t count = isInput ? kelWaveInDevice::getDeviceCount() : kelWaveOutDevice::getDeviceCount();
    for (uint32_t id = 0; id < count; ++id) {
        kelString name = deviceName(isInput, id);
        if (name.empty()) name = kelString(isInput ? u"WaveIn Device #" : u"WaveOut Device #") + decimal(id);
        addEntry(list, intptr_t(id), std::move(name), callback);
    }
}

intptr_t deviceIdFromListIndex(const kelWaveDeviceList& list, intptr_t index) noexcept
{
    return list.hasMapper() ? index - 1 : index;
}

intptr_t listIndexFromDeviceId(intptr_t deviceID, bool includeMapper) noexcept
{
    if (deviceID == -1 || deviceID == intptr_t(WAVE_MAPPER)) return includeMapper ? 0 : -1;
    return includeMapper ? deviceID + 1 : deviceID;
}
