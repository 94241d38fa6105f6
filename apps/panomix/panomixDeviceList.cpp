#include "apps/panomix/panomixDeviceList.h"

#include "core/kelParseInt.h"
#include "platform/kelWaveApi.h"

namespace {

kelString capsName(uintptr_t deviceId, const kelString& fallback)
{
    WAVEINCAPSW caps{};
    if (waveInGetDevCapsW(deviceId, &caps, sizeof caps) != MMSYSERR_NOERROR) return fallback;
    kelString name;
    for (char16_t c : caps.szPname) {
        if (c == 0) break;
        name += c;
    }
    return name.empty() ? fallback : name;
}

} // namespace

std::vector<panomixDeviceEntry> panomixInputDevices()
{
    std::vector<panomixDeviceEntry> list;
    list.push_back({-1, capsName(WAVE_MAPPER, u"Wave Mapper")});
    const uint32_t count = waveInGetNumDevs();
    for (uint32_t i = 0; i < count; ++i)
        list.push_back({intptr_t(i), capsName(i, u"WaveIn Device #" + formatInteger(i))});
    return list;
}
