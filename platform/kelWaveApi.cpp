// The waveIn / waveOut calls: device ids, handle checks and open; the work
// of an open handle is kelWaveQueue's.

#include "platform/kelWaveApi.h"

#include "platform/kelAlsaWave.h"
#include "platform/kelVirtualWave.h"
#include "platform/kelVirtualWaveBackend.h"
#include "platform/kelWaveQueue.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex g_handlesMutex;
std::map<kelWaveHandle*, std::shared_ptr<kelWaveQueue>>& handles()
{
    static std::map<kelWaveHandle*, std::shared_ptr<kelWaveQueue>> map;
    return map;
}

std::shared_ptr<kelWaveQueue> find(kelWaveHandle* handle, bool isIn) noexcept
{
    std::lock_guard lock(g_handlesMutex);
    const auto it = handles().find(handle);
    if (it == handles().end() || it->second->isIn() != isIn) {
        return nullptr;
    }
    return it->second;
}

void copyName(char16_t* target, const std::u16string& name) noexcept
{
    std::memset(target, 0, MAXPNAMELEN * sizeof(char16_t));
    const size_t n = name.size() < MAXPNAMELEN - 1 ? name.size() : MAXPNAMELEN - 1;
    std::memcpy(target, name.data(), n * sizeof(char16_t));
}

std::u16string widen(const std::string& text)
{
    // Device names are ASCII in practice; other bytes are shown as '?'.
    std::u16string wide;
    for (const char c : text) {
        wide.push_back(static_cast<unsigned char>(c) < 0x80 ? char16_t(c) : u'?');
    }
    return wide;
}

uint32_t deviceCount(bool isIn) noexcept
{
    return 1 + kelAlsaDeviceCount(isIn);
}

bool deviceName(bool isIn, uintptr_t id, std::u16string& name) noexcept
{
    if (id == kelVirtualWaveDeviceId) {
        name = kelVirtualWaveName;
        return true;
    }
    if (id == WAVE_MAPPER || id == uintptr_t(-1)) {
        name = kelAlsaAvailable() ? u"ALSA default" : kelVirtualWaveName;
        return true;
    }
    if (id > 0xFFFFFFFFu || id >= deviceCount(isIn)) {
        return false;
    }
    name = widen(kelAlsaDeviceName(isIn, uint32_t(id - 1)));
    return true;
}

MMRESULT open(bool isIn, kelWaveHandle** result, uint32_t deviceId, const WAVEFORMATEX* format,
              uintptr_t callback, uintptr_t instance, uint32_t flags) noexcept
{
    const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
    if (format == nullptr || (!query && result == nullptr)) {
        return MMSYSERR_INVALPARAM;
    }
    const uint32_t kind = flags & CALLBACK_TYPEMASK;
    if (kind != CALLBACK_NULL && kind != CALLBACK_FUNCTION) {
        return MMSYSERR_NOTSUPPORTED;
    }
    if (deviceId != WAVE_MAPPER && deviceId >= deviceCount(isIn)) {
        return MMSYSERR_BADDEVICEID;
    }
    std::unique_ptr<kelWaveBackend> backend;
    MMRESULT code = MMSYSERR_NOERROR;
    bool onAlsa = deviceId != kelVirtualWaveDeviceId;
    if (onAlsa) {
        backend =
            kelAlsaOpen(isIn, deviceId == WAVE_MAPPER ? WAVE_MAPPER : deviceId - 1, *format, query, code);
        // Without a usable ALSA default the mapper is the virtual device.
        if (deviceId == WAVE_MAPPER && (code == MMSYSERR_NODRIVER || code == MMSYSERR_BADDEVICEID)) {
            onAlsa = false;
        }
    }
    if (!onAlsa) {
        kelVirtualWave& device = kelVirtualWave::instance();
        device.noteCall(isIn ? "waveInOpen" : "waveOutOpen");
        code = device.checkOpen(*format, query);
        if (code == MMSYSERR_NOERROR) {
            backend = kelVirtualWaveBackend::create(*format, isIn, code);
        }
    }
    if (code != MMSYSERR_NOERROR || query) {
        return code;
    }
    std::shared_ptr<kelWaveQueue> queue;
    try {
        queue = std::make_shared<kelWaveQueue>(isIn, *format, std::move(backend),
                                               reinterpret_cast<kelWaveCallback>(callback), instance);
        queue->start();
        std::lock_guard lock(g_handlesMutex);
        handles()[queue.get()] = queue;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
    *result = queue.get();
    queue->notify(isIn ? WIM_OPEN : WOM_OPEN);
    return MMSYSERR_NOERROR;
}

MMRESULT close(bool isIn, kelWaveHandle* handle) noexcept
{
    const std::shared_ptr<kelWaveQueue> queue = find(handle, isIn);
    if (!queue) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT code = queue->close(isIn ? "waveInClose" : "waveOutClose");
    if (code == MMSYSERR_NOERROR) {
        {
            std::lock_guard lock(g_handlesMutex);
            handles().erase(handle);
        }
        queue->notify(isIn ? WIM_CLOSE : WOM_CLOSE);
    }
    return code;
}

struct ErrorText
{
    MMRESULT code;
    const char* text;
};

constexpr ErrorText errorTexts[] = {
    {MMSYSERR_NOERROR, "The command completed successfully."},
    {MMSYSERR_ERROR, "An unspecified error occurred."},
    {MMSYSERR_BADDEVICEID, "The device id is out of range."},
    {MMSYSERR_NOTENABLED, "The driver is not enabled."},
    {MMSYSERR_ALLOCATED, "The device is already in use."},
    {MMSYSERR_INVALHANDLE, "The device handle is not valid."},
    {MMSYSERR_NODRIVER, "No driver is installed for the device."},
    {MMSYSERR_NOMEM, "Out of memory."},
    {MMSYSERR_NOTSUPPORTED, "The device does not support this function."},
    {MMSYSERR_BADERRNUM, "The error number is not defined."},
    {MMSYSERR_INVALFLAG, "An invalid flag was passed."},
    {MMSYSERR_INVALPARAM, "An invalid parameter was passed."},
    {MMSYSERR_HANDLEBUSY, "The handle is in use on another thread."},
    {WAVERR_BADFORMAT, "The device does not support this wave format."},
    {WAVERR_STILLPLAYING, "Buffers are still queued on the device."},
    {WAVERR_UNPREPARED, "The buffer header is not prepared."},
    {WAVERR_SYNC, "The device is synchronous."},
};

MMRESULT errorText(MMRESULT error, char16_t* text, uint32_t textChars) noexcept
{
    if (text == nullptr || textChars == 0) {
        return MMSYSERR_INVALPARAM;
    }
    for (const ErrorText& entry : errorTexts) {
        if (entry.code == error) {
            uint32_t i = 0;
            for (; entry.text[i] != 0 && i + 1 < textChars; ++i) {
                text[i] = char16_t(entry.text[i]);
            }
            text[i] = 0;
            return MMSYSERR_NOERROR;
        }
    }
    text[0] = 0;
    return MMSYSERR_BADERRNUM;
}

template <typename Call> MMRESULT withQueue(kelWaveHandle* handle, bool isIn, Call call) noexcept
{
    const std::shared_ptr<kelWaveQueue> queue = find(handle, isIn);
    return queue ? call(*queue) : MMSYSERR_INVALHANDLE;
}

} // namespace

uint32_t waveOutGetNumDevs() noexcept
{
    return deviceCount(false);
}

uint32_t waveInGetNumDevs() noexcept
{
    return deviceCount(true);
}

MMRESULT waveOutGetDevCapsW(uintptr_t deviceId, WAVEOUTCAPSW* caps, uint32_t capsSize) noexcept
{
    if (caps == nullptr || capsSize < sizeof(WAVEOUTCAPSW)) {
        return MMSYSERR_INVALPARAM;
    }
    std::u16string name;
    if (!deviceName(false, deviceId, name)) {
        return MMSYSERR_BADDEVICEID;
    }
    *caps = {};
    copyName(caps->szPname, name);
    caps->vDriverVersion = 0x0100;
    caps->dwFormats = kelWaveAllStandardFormats;
    caps->wChannels = 2;
    caps->dwSupport = WAVECAPS_SAMPLEACCURATE;
    return MMSYSERR_NOERROR;
}

MMRESULT waveInGetDevCapsW(uintptr_t deviceId, WAVEINCAPSW* caps, uint32_t capsSize) noexcept
{
    if (caps == nullptr || capsSize < sizeof(WAVEINCAPSW)) {
        return MMSYSERR_INVALPARAM;
    }
    std::u16string name;
    if (!deviceName(true, deviceId, name)) {
        return MMSYSERR_BADDEVICEID;
    }
    *caps = {};
    copyName(caps->szPname, name);
    caps->vDriverVersion = 0x0100;
    caps->dwFormats = kelWaveAllStandardFormats;
    caps->wChannels = 2;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorTextW(MMRESULT error, char16_t* text, uint32_t textChars) noexcept
{
    return errorText(error, text, textChars);
}

MMRESULT waveInGetErrorTextW(MMRESULT error, char16_t* text, uint32_t textChars) noexcept
{
    return errorText(error, text, textChars);
}

MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format, uintptr_t callback,
                     uintptr_t instance, uint32_t flags) noexcept
{
    return open(false, handle, deviceId, format, callback, instance, flags);
}

MMRESULT waveInOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format, uintptr_t callback,
                    uintptr_t instance, uint32_t flags) noexcept
{
    return open(true, handle, deviceId, format, callback, instance, flags);
}

MMRESULT waveOutClose(HWAVEOUT handle) noexcept
{
    return close(false, handle);
}

MMRESULT waveInClose(HWAVEIN handle) noexcept
{
    return close(true, handle);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) noexcept
{
    return withQueue(handle, false,
                     [&](kelWaveQueue& q) { return q.prepare(header, headerSize, "waveOutPrepareHeader"); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) noexcept
{
    return withQueue(handle, false, [&](kelWaveQueue& q) {
        return q.unprepare(header, headerSize, "waveOutUnprepareHeader");
    });
}

MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) noexcept
{
    return withQueue(handle, false,
                     [&](kelWaveQueue& q) { return q.add(header, headerSize, "waveOutWrite"); });
}

MMRESULT waveOutPause(HWAVEOUT handle) noexcept
{
    return withQueue(handle, false, [](kelWaveQueue& q) { return q.pause("waveOutPause"); });
}

MMRESULT waveOutRestart(HWAVEOUT handle) noexcept
{
    return withQueue(handle, false, [](kelWaveQueue& q) { return q.restart("waveOutRestart"); });
}

MMRESULT waveOutReset(HWAVEOUT handle) noexcept
{
    return withQueue(handle, false, [](kelWaveQueue& q) { return q.reset("waveOutReset"); });
}

MMRESULT waveOutGetPosition(HWAVEOUT handle, MMTIME* time, uint32_t timeSize) noexcept
{
    return withQueue(handle, false,
                     [&](kelWaveQueue& q) { return q.position(time, timeSize, "waveOutGetPosition"); });
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) noexcept
{
    return withQueue(handle, true,
                     [&](kelWaveQueue& q) { return q.prepare(header, headerSize, "waveInPrepareHeader"); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) noexcept
{
    return withQueue(handle, true, [&](kelWaveQueue& q) {
        return q.unprepare(header, headerSize, "waveInUnprepareHeader");
    });
}

MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) noexcept
{
    return withQueue(handle, true,
                     [&](kelWaveQueue& q) { return q.add(header, headerSize, "waveInAddBuffer"); });
}

MMRESULT waveInStart(HWAVEIN handle) noexcept
{
    return withQueue(handle, true, [](kelWaveQueue& q) { return q.restart("waveInStart"); });
}

MMRESULT waveInStop(HWAVEIN handle) noexcept
{
    return withQueue(handle, true, [](kelWaveQueue& q) { return q.pause("waveInStop"); });
}

MMRESULT waveInReset(HWAVEIN handle) noexcept
{
    return withQueue(handle, true, [](kelWaveQueue& q) { return q.reset("waveInReset"); });
}

MMRESULT waveInGetPosition(HWAVEIN handle, MMTIME* time, uint32_t timeSize) noexcept
{
    return withQueue(handle, true,
                     [&](kelWaveQueue& q) { return q.position(time, timeSize, "waveInGetPosition"); });
}
