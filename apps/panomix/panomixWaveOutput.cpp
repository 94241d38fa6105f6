#include "apps/panomix/panomixWaveOutput.h"

#include "audio/kelWaveFormatRoutines.h"
#include "platform/kelVirtualWave.h"
#include "platform/kelWaveApi.h"

#include <algorithm>
#include <cstring>
#include <utility>

panomixWaveOutput::panomixWaveOutput(intptr_t deviceId, uintptr_t overNum)
    : f_deviceId(deviceId), f_overNum(overNum)
{}

panomixWaveOutput::~panomixWaveOutput()
{
    close();
}

void panomixWaveOutput::setFeedDoneHandler(feedDoneHandler handler)
{
    f_handler = std::move(handler);
}

bool panomixWaveOutput::open()
{
    close();
    kelFormatBlock block;
    WAVEFORMATEXTENSIBLE* format =
        fillFormatExtPCM(block, f_rate, 16, 16, uint16_t(std::max<uint32_t>(f_channels, 1)), f_mask);
    if (format == nullptr) return false;
    f_chunkBytes = size_t(f_rate / 50) * format->Format.nBlockAlign;
    // Room for the chunks in flight and the one the feed loop writes while
    // its finished buffer is still out.
    const size_t count = 2 * f_overNum + 2;
    f_headers.assign(count, WAVEHDR{});
    f_buffers.assign(count, std::vector<uint8_t>(f_chunkBytes, 0));
    f_closing.store(false);
    HWAVEOUT handle = nullptr;
    const uint32_t device = f_deviceId < 0 ? WAVE_MAPPER : uint32_t(f_deviceId);
    f_waveError = waveOutOpen(&handle, device, &format->Format, reinterpret_cast<uintptr_t>(&callback),
                              reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION);
    if (f_waveError != MMSYSERR_NOERROR) return false;
    const std::lock_guard<std::mutex> guard(f_freeGuard);
    f_free.clear();
    for (size_t i = 0; i < count; ++i) {
        f_headers[i].lpData = reinterpret_cast<char*>(f_buffers[i].data());
        f_headers[i].dwBufferLength = uint32_t(f_chunkBytes);
        waveOutPrepareHeader(handle, &f_headers[i], sizeof(WAVEHDR));
        f_free.push_back(&f_headers[i]);
    }
    f_handle.store(handle);
    return true;
}

void panomixWaveOutput::close()
{
    kelWaveHandle* handle = f_handle.load();
    if (handle == nullptr) return;
    // No feed-done from here on; the reset returns what is queued.
    f_closing.store(true);
    waveOutReset(handle);
    for (WAVEHDR& header : f_headers)
        waveOutUnprepareHeader(handle, &header, sizeof(WAVEHDR));
    waveOutClose(handle);
    f_handle.store(nullptr);
    const std::lock_guard<std::mutex> guard(f_freeGuard);
    f_free.clear();
}

void panomixWaveOutput::flush()
{
    std::vector<uint8_t> silence(f_chunkBytes, 0);
    for (uintptr_t i = 0; i < f_overNum; ++i)
        write(silence.data(), silence.size());
}

size_t panomixWaveOutput::write(const uint8_t* data, size_t len)
{
    kelWaveHandle* handle = f_handle.load();
    if (handle == nullptr || f_closing.load() || data == nullptr) return 0;
    WAVEHDR* header = nullptr;
    {
        const std::lock_guard<std::mutex> guard(f_freeGuard);
        if (f_free.empty()) return 0;
        header = f_free.back();
        f_free.pop_back();
    }
    const size_t n = std::min(len, f_chunkBytes);
    std::memcpy(header->lpData, data, n);
    header->dwBufferLength = uint32_t(n);
    if (waveOutWrite(handle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        const std::lock_guard<std::mutex> guard(f_freeGuard);
        f_free.push_back(header);
        return 0;
    }
    return n;
}

void panomixWaveOutput::callback(kelWaveHandle*, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                 uintptr_t)
{
    if (msg == WOM_DONE)
        reinterpret_cast<panomixWaveOutput*>(instance)->done(reinterpret_cast<WAVEHDR*>(param1));
}

void panomixWaveOutput::done(WAVEHDR* header) noexcept
{
    if (!f_closing.load() && f_handler) {
        try {
            f_handler(reinterpret_cast<uint8_t*>(header->lpData), header->dwBufferLength);
        } catch (...) {
            // The feed loop raises nothing; a handler that does loses its chunk.
        }
    }
    const std::lock_guard<std::mutex> guard(f_freeGuard);
    f_free.push_back(header);
}

void panomixPlayVirtualIntoNothing()
{
    kelVirtualWave::instance().playInto("/dev/null");
}
