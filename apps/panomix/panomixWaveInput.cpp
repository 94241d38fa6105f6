#include "apps/panomix/panomixWaveInput.h"

#include "audio/kelWaveFormatRoutines.h"
#include "platform/kelWaveApi.h"

panomixWaveInput::~panomixWaveInput()
{
    close();
}

uint32_t panomixWaveInput::open(intptr_t deviceId, uint32_t rate, size_t chunkSamples)
{
    close();
    if (chunkSamples == 0) return MMSYSERR_INVALPARAM;
    WAVEFORMATEX format{};
    fillPCMFormat(&format, rate, 16, 1);
    f_headers.assign(kBuffers, WAVEHDR{});
    f_buffers.assign(kBuffers, std::vector<int16_t>(chunkSamples, 0));
    f_closing.store(false);
    HWAVEIN handle = nullptr;
    const uint32_t device = deviceId < 0 ? WAVE_MAPPER : uint32_t(deviceId);
    const MMRESULT result = waveInOpen(&handle, device, &format, reinterpret_cast<uintptr_t>(&callback),
                                       reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return result;
    for (size_t i = 0; i < kBuffers; ++i) {
        f_headers[i].lpData = reinterpret_cast<char*>(f_buffers[i].data());
        f_headers[i].dwBufferLength = uint32_t(chunkSamples * 2);
        waveInPrepareHeader(handle, &f_headers[i], sizeof(WAVEHDR));
        waveInAddBuffer(handle, &f_headers[i], sizeof(WAVEHDR));
    }
    f_handle.store(handle);
    waveInStart(handle);
    return MMSYSERR_NOERROR;
}

void panomixWaveInput::close()
{
    kelWaveHandle* handle = f_handle.load();
    if (handle == nullptr) return;
    // No data from here on; the reset returns the queued buffers.
    f_closing.store(true);
    waveInReset(handle);
    for (WAVEHDR& header : f_headers)
        waveInUnprepareHeader(handle, &header, sizeof(WAVEHDR));
    waveInClose(handle);
    f_handle.store(nullptr);
}

void panomixWaveInput::callback(kelWaveHandle*, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t)
{
    if (msg == WIM_DATA)
        reinterpret_cast<panomixWaveInput*>(instance)->recorded(reinterpret_cast<WAVEHDR*>(param1));
}

void panomixWaveInput::recorded(WAVEHDR* header) noexcept
{
    if (f_closing.load()) return;
    if (f_handler && header->dwBytesRecorded > 0) {
        try {
            f_handler(reinterpret_cast<const int16_t*>(header->lpData), header->dwBytesRecorded / 2);
        } catch (...) {
            // The live source raises nothing; a handler that does loses the chunk.
        }
    }
    kelWaveHandle* handle = f_handle.load();
    if (handle != nullptr && !f_closing.load()) waveInAddBuffer(handle, header, sizeof(WAVEHDR));
}
